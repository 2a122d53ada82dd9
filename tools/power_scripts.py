"""The PMBus configuration scripts of the two power supplies: records of
(command, value or block length, block) that start with the manufacturer blocks
and use only written commands of the attribute table."""

import struct

from image_catalogue import SCRIPT_RECORD_COUNTS, pseudo_random

KIND_SEND, KIND_BYTE, KIND_WORD, KIND_LINEAR11, KIND_VOUT, KIND_BLOCK, KIND_MFR_BLOCK = (
    1, 2, 3, 4, 5, 6, 7)
FLAG_WRITTEN = 2

# Attribute-table entries (kind, flags) of the commands the scripts use. Only
# commands flagged as written (2) may appear: the others are skipped when a
# script is played.
ATTRIBUTES = {
    (KIND_SEND, 2): (0x03,),
    (KIND_BYTE, 3): (0x01, 0x02, 0x41, 0x45, 0x47, 0x49, 0x4C, 0x50, 0x56, 0x5A, 0x63, 0xD8,
                     0xE6, 0xED, 0xFC),
    (KIND_BYTE, 7): (0x00, 0x04, 0xD4),
    (KIND_WORD, 3): (0xE1,),
    (KIND_LINEAR11, 3): (0x27, 0x29, 0x2A, 0x32, 0x33, 0x35, 0x36, 0x38, 0x39, 0x46, 0x4A,
                         0x4F, 0x51, 0x55, 0x57, 0x58, 0x59, 0x60, 0x61, 0x62, 0x64, 0x65,
                         0x66, 0xD3, 0xD7, 0xDC, 0xDD, 0xDF, 0xE0, 0xE4, 0xE5, 0xE7, 0xE8,
                         0xEB, 0xEE, 0xEF, 0xF5, 0xF6),
    (KIND_VOUT, 3): (0x21, 0x23, 0x24, 0x25, 0x26, 0x40, 0x42, 0x43, 0x44, 0x48, 0x5E, 0x5F,
                     0xD1),
    (KIND_BLOCK, 3): (0x99, 0x9A, 0x9B, 0x9C, 0x9D, 0x9E),
    (KIND_MFR_BLOCK, 3): (0xD5, 0xE2, 0xE3, 0xE9),
}
COMMANDS = {code: entry for entry, codes in ATTRIBUTES.items() for code in codes}
PAGE, CLEAR_FAULTS, D4_INDEX, D5_BLOCK = 0x00, 0x03, 0xD4, 0xD5
MFR_BLOCK_ORDER = (0x9D, 0x9B, 0x99, 0x9A, 0x9E, 0x9C)
MFR_BLOCK_LENGTHS = {0x9D: 6, 0x9B: 7, 0x99: 6, 0x9A: 3, 0x9E: 1, 0x9C: 1}
COMPENSATION_BLOCK_LENGTH = 24
VOUT_EXPONENT = -12


def linear11(value: float) -> int:
    """PMBus LINEAR11 of a non-negative value: the finest exponent whose
    mantissa still fits ten bits (positive as a signed 11-bit number too)."""
    if value == 0:
        return 0
    for exponent in range(-16, 16):
        mantissa = round(value / 2.0 ** exponent)
        if 0 <= mantissa <= 0x3FF:
            return ((exponent & 0x1F) << 11) | mantissa
    raise ValueError(f"{value} has no LINEAR11 form")


def vout(volts: float) -> int:
    return round(volts * 2 ** -VOUT_EXPONENT)


class Script:
    def __init__(self) -> None:
        self.data = bytearray()
        self.records = 0

    def word(self, command: int, value: int) -> None:
        kind = COMMANDS[command][0]
        if kind not in (KIND_SEND, KIND_BYTE, KIND_WORD, KIND_LINEAR11, KIND_VOUT):
            raise ValueError(f"0x{command:02X} is not a value command")
        if not 0 <= value <= (0xFF if kind == KIND_BYTE else 0xFFFF):
            raise ValueError(f"0x{command:02X}: value {value} out of range")
        self.data += struct.pack("<BH", command, value)
        self.records += 1

    def linear(self, command: int, value: float) -> None:
        self.word(command, linear11(value))

    def block(self, command: int, payload: bytes) -> None:
        if COMMANDS[command][0] not in (KIND_BLOCK, KIND_MFR_BLOCK) or len(payload) > 255:
            raise ValueError(f"0x{command:02X}: not a block of {len(payload)} bytes")
        self.data += struct.pack("<BH", command, len(payload)) + payload
        self.records += 1


def write_manufacturer_blocks(script: Script, info: dict[int, bytes]) -> None:
    for command in MFR_BLOCK_ORDER:
        if len(info[command]) != MFR_BLOCK_LENGTHS[command]:
            raise ValueError(f"MFR block 0x{command:02X} has the wrong length")
        script.block(command, info[command])


def write_common_settings(script: Script, label: str) -> None:
    script.word(CLEAR_FAULTS, 10)  # then a 10 ms pause
    script.linear(0x35, 10.0)  # VIN_ON, V
    script.linear(0x36, 9.0)  # VIN_OFF
    script.linear(0x55, 15.0)  # VIN_OV_FAULT_LIMIT
    script.word(0x56, 0x80)  # VIN_OV_FAULT_RESPONSE: shut down
    script.linear(0x57, 14.0)  # VIN_OV_WARN_LIMIT
    script.linear(0x58, 9.5)  # VIN_UV_WARN_LIMIT
    script.linear(0x59, 8.5)  # VIN_UV_FAULT_LIMIT
    script.word(0x5A, 0xC0)  # VIN_UV_FAULT_RESPONSE: shut down, restart
    script.linear(0x33, 500)  # FREQUENCY_SWITCH, kHz
    script.word(0xE1, 0x0A5C)  # fault mask
    script.word(0xD8, 0x02)  # phase mode
    script.block(0xE2, pseudo_random(label + " sequence", 12))
    script.block(0xE3, pseudo_random(label + " tracking", 12))
    script.block(0xE9, pseudo_random(label + " gpio", 9))


# Fault responses of one output: shut down (0x80), shut down and restart
# (0xC0), or ignore (0x00).
FAULT_RESPONSES = (
    (0x41, 0x80),  # VOUT_OV_FAULT_RESPONSE
    (0x45, 0x80),  # VOUT_UV_FAULT_RESPONSE
    (0x47, 0xC0),  # IOUT_OC_FAULT_RESPONSE
    (0x49, 0x80),  # IOUT_OC_LV_FAULT_RESPONSE
    (0x4C, 0x00),  # IOUT_UC_FAULT_RESPONSE
    (0x50, 0xC0),  # OT_FAULT_RESPONSE
    (0x63, 0x80),  # TON_MAX_FAULT_RESPONSE
)
# Output voltages as multiples of the nominal one (format: exponent -12).
VOUT_FACTORS = (
    (0x21, 1.0),  # VOUT_COMMAND
    (0x23, 0.0),  # VOUT_CAL_OFFSET
    (0x24, 1.15),  # VOUT_MAX
    (0x25, 1.05),  # VOUT_MARGIN_HIGH
    (0x26, 0.95),  # VOUT_MARGIN_LOW
    (0x40, 1.15),  # VOUT_OV_FAULT_LIMIT
    (0x42, 1.10),  # VOUT_OV_WARN_LIMIT
    (0x43, 0.90),  # VOUT_UV_WARN_LIMIT
    (0x44, 0.85),  # VOUT_UV_FAULT_LIMIT
    (0x48, 0.50),  # IOUT_OC_LV_FAULT_LIMIT
    (0x5E, 0.93),  # POWER_GOOD_ON
    (0x5F, 0.90),  # POWER_GOOD_OFF
    (0xD1, 1.0),  # trimmed output voltage
)
# Manufacturer-specific LINEAR11 tuning values of one output.
OUTPUT_TUNING = (0xD3, 0xD7, 0xDC, 0xDD, 0xDF, 0xE0, 0xE4, 0xE5, 0xE7, 0xE8, 0xEB, 0xEE,
                 0xEF, 0xF5, 0xF6)


def linear_settings(page: int, volts: float, amps: float) -> tuple:
    divider = 1.0 if volts < 2.0 else 0.5
    return (
        (0x27, 1.0),  # VOUT_TRANSITION_RATE, mV/us
        (0x29, divider),  # VOUT_SCALE_LOOP
        (0x2A, divider),  # VOUT_SCALE_MONITOR
        (0x32, 80.0),  # MAX_DUTY, %
        (0x38, 0.5),  # IOUT_CAL_GAIN, mOhm
        (0x39, 0.0),  # IOUT_CAL_OFFSET, A
        (0x46, amps * 1.5),  # IOUT_OC_FAULT_LIMIT, A
        (0x4A, amps * 1.25),  # IOUT_OC_WARN_LIMIT
        (0x4F, 125.0),  # OT_FAULT_LIMIT, degrees C
        (0x51, 110.0),  # OT_WARN_LIMIT
        (0x60, 2.0 + page),  # TON_DELAY, ms: the outputs come up in turn
        (0x61, 3.0),  # TON_RISE
        (0x62, 50.0),  # TON_MAX_FAULT_LIMIT
        (0x64, 0.0),  # TOFF_DELAY
        (0x65, 3.0),  # TOFF_FALL
        (0x66, 50.0),  # TOFF_MAX_WARN_LIMIT
    )


def write_output_section(script: Script, label: str, page: int, volts: float,
                         amps: float) -> None:
    script.word(PAGE, page)
    script.word(0x04, 0xFF)  # PHASE: all phases
    script.word(0x01, 0x80)  # OPERATION: on
    script.word(0x02, 0x16)  # ON_OFF_CONFIG: CONTROL pin, active high
    for command, response in FAULT_RESPONSES:
        script.word(command, response)
    for command, value in ((0xE6, 0x01), (0xED, 0x03), (0xFC, 0x00)):
        script.word(command, value)
    for command, factor in VOUT_FACTORS:
        script.word(command, vout(volts * factor))
    for command, value in linear_settings(page, volts, amps):
        script.linear(command, value)
    tuning = pseudo_random(f"{label} page {page} tuning", 2 * len(OUTPUT_TUNING))
    for index, command in enumerate(OUTPUT_TUNING):
        mantissa = 1 + tuning[2 * index] * 4 % 1023
        exponent = -(tuning[2 * index + 1] % 9)
        script.word(command, ((exponent & 0x1F) << 11) | mantissa)
    for index in range(3):
        script.word(D4_INDEX, index)
        script.block(D5_BLOCK, pseudo_random(f"{label} page {page} compensation {index}",
                                             COMPENSATION_BLOCK_LENGTH))


def make_power_script(image_id: int, mfr_date: str, model: bytes,
                      outputs: list[tuple[float, float]]) -> bytes:
    label = f"{image_id} power script"
    script = Script()
    write_manufacturer_blocks(script, {
        0x9D: mfr_date.encode("ascii"),
        0x9B: b"R1.3-02",
        0x99: b"TALVNR",
        0x9A: model,
        0x9E: bytes([image_id - 407]),
        0x9C: b"Z",
    })
    write_common_settings(script, label)
    for page, (volts, amps) in enumerate(outputs):
        write_output_section(script, label, page, volts, amps)
    if script.records != SCRIPT_RECORD_COUNTS[image_id]:
        raise ValueError(f"{image_id}: {script.records} records")
    return bytes(script.data)


def make_power_script_a() -> bytes:
    return make_power_script(408, "250314", b"PSA", [(1.0, 20.0), (1.8, 8.0), (3.3, 6.0)])


def make_power_script_b() -> bytes:
    return make_power_script(409, "250611", b"PSB",
                             [(0.9, 30.0), (1.2, 12.0), (2.5, 4.0), (3.3, 6.0)])
