#!/usr/bin/env python3
"""Generates the Ombrix image set: resources 400.bin to 409.bin.

The set follows the release catalogue (ids, roles, sizes, headers, record
structure) so that every loading rule, check and programming step of the
utility runs against images of the real shape. The bulk of each image is
pseudo-random; the same bytes come out on every run and every machine, since
all of it derives from SHAKE-256 over fixed labels.

Usage: generate_image_set.py --output DIR
"""

import argparse
import hashlib
import struct
import sys
from pathlib import Path

FPGA_REVISION = 37994
FIRMWARE_REVISION = 38322

# The catalogue's sizes, in bytes.
SIZES = {
    400: 8, 401: 1_169_276, 402: 208, 403: 7_045_704, 404: 447_848,
    405: 9_232_562, 406: 659_720, 407: 8_040, 408: 912, 409: 1_176,
}
BITSTREAM_FILE_HEADER_LENGTH = 118
SCRIPT_RECORD_COUNTS = {408: 213, 409: 277}

# The warm-boot start address set by the factory bitstream: where the
# bitstream region begins in configuration flash device 0.
WARM_BOOT_ADDRESS = 0x006C0000


def pseudo_random(label: str, length: int) -> bytes:
    return hashlib.shake_256(b"ombrix-image-set/" + label.encode()).digest(length)


# --- FPGA configuration data -------------------------------------------------

SYNC_WORD = 0xAA995566
NOOP = 0x20000000
DUMMY = 0xFFFFFFFF
BUS_WIDTH_DETECT = (0x000000BB, 0x11220044)

# Configuration registers addressed by type-1 packets.
REG_CMD = 0x04
REG_IDCODE = 0x0C
REG_WBSTAR = 0x10
CMD_RCRC = 0x07
CMD_IPROG = 0x0F
CMD_DESYNC = 0x0D
DEVICE_IDCODE = 0x0364C093


def type1_write(register: int, *words: int) -> list[int]:
    return [0x30000000 | (register << 13) | len(words), *words]


def words_be(words: list[int]) -> bytes:
    return b"".join(struct.pack(">I", word) for word in words)


def sync_preamble() -> list[int]:
    # Eight dummy words (the run of 0xFF the loader looks for), bus-width
    # detection, then synchronisation.
    return [DUMMY] * 8 + list(BUS_WIDTH_DETECT) + [DUMMY, DUMMY, SYNC_WORD, NOOP]


def configuration_data(label: str, length: int, setup: list[int]) -> bytes:
    """Raw configuration data: preamble, setup packets, frame data, desync."""
    head = words_be(sync_preamble() + setup)
    tail = words_be(type1_write(REG_CMD, CMD_DESYNC) + [NOOP] * 4)
    body_length = length - len(head) - len(tail)
    if body_length < 0:
        raise ValueError(f"{label}: {length} bytes cannot hold its packets")
    return head + pseudo_random(label, body_length) + tail


def fpga_setup() -> list[int]:
    return (type1_write(REG_CMD, CMD_RCRC) + [NOOP, NOOP] +
            type1_write(REG_IDCODE, DEVICE_IDCODE))


def make_version_table() -> bytes:
    return struct.pack("<II", FPGA_REVISION, FIRMWARE_REVISION)


def make_flash_core() -> bytes:
    return configuration_data("401 flash core", SIZES[401], fpga_setup())


def make_configuration_sequence() -> bytes:
    # Reconfigures the FPGA from the bitstream region: warm-boot address,
    # then IPROG, padded with NOOPs.
    words = (sync_preamble() + type1_write(REG_WBSTAR, WARM_BOOT_ADDRESS) +
             type1_write(REG_CMD, CMD_IPROG))
    padding = SIZES[402] // 4 - len(words)
    return words_be(words + [NOOP] * padding)


def make_factory_bitstream() -> bytes:
    # A raw bitstream: no file header, the 0xFF run starts at byte 0.
    setup = fpga_setup() + type1_write(REG_WBSTAR, WARM_BOOT_ADDRESS)
    return configuration_data("403 factory bitstream", SIZES[403], setup)


def bitstream_file_header(design: str, part: str, date: str, time: str,
                          data_length: int) -> bytes:
    """The FPGA tools' bitstream-file header: a length-prefixed magic field,
    then keyed fields 'a' to 'd' (length-prefixed, NUL-terminated strings)
    and 'e' with the 32-bit big-endian length of the data that follows."""
    magic = bytes.fromhex("0ff00ff00ff00ff000")
    header = struct.pack(">H", len(magic)) + magic + struct.pack(">H", 1)
    for key, text in (("a", design), ("b", part), ("c", date), ("d", time)):
        field = text.encode("ascii") + b"\0"
        header += key.encode() + struct.pack(">H", len(field)) + field
    return header + b"e" + struct.pack(">I", data_length)


def make_bitstream() -> bytes:
    data_length = SIZES[405] - BITSTREAM_FILE_HEADER_LENGTH
    data = configuration_data("405 bitstream", data_length, fpga_setup())
    part, date, time = "7k160tffg676", "2025/03/14", "10:21:37"
    # The design name ends in a digest of the data, cut to the length that
    # brings the header to its catalogued size.
    base = f"ombrix_top;UserID=0X{FPGA_REVISION:08X};Version=2024.2;Hash="
    fixed = len(bitstream_file_header(base, part, date, time, data_length))
    digest = hashlib.sha256(data).hexdigest()
    digits = BITSTREAM_FILE_HEADER_LENGTH - fixed
    if not 0 < digits <= len(digest):
        raise ValueError("405: the design name does not fit the header")
    design = base + digest[:digits]
    return bitstream_file_header(design, part, date, time, data_length) + data


def make_firmware(label: str, length: int) -> bytes:
    return pseudo_random(label, length)


# --- USB controller boot image (FX2 "C2" format) ------------------------------

USB_VENDOR_ID = 0x1209
USB_PRODUCT_ID = 0x0001
USB_DEVICE_ID = 0x0126  # shown as "1.38"
C2_CONFIG_I2C_400KHZ = 0x40
C2_MAX_RECORD = 1023
FX2_RAM_END = 0x4000
CPUCS = 0xE600
C2_END_RECORD = struct.pack(">HHB", 0x8001, CPUCS, 0)  # CPUCS = 0: the 8051 runs
DESCRIPTOR_ADDRESS = 0x3D00
DESCRIPTOR_AREA = 300


def string_descriptor(text: str) -> bytes:
    encoded = text.encode("utf-16-le")
    return bytes([2 + len(encoded), 3]) + encoded


def usb_descriptors() -> bytes:
    device = struct.pack("<BBHBBBBHHHBBBB", 18, 1, 0x0200, 0xFF, 0xFF, 0xFF, 64,
                         USB_VENDOR_ID, USB_PRODUCT_ID, USB_DEVICE_ID, 1, 2, 3, 1)
    interface = struct.pack("<BBBBBBBBB", 9, 4, 0, 0, 2, 0xFF, 0, 0, 0)
    bulk_out = struct.pack("<BBBBHB", 7, 5, 0x02, 2, 512, 0)
    bulk_in = struct.pack("<BBBBHB", 7, 5, 0x86, 2, 512, 0)
    total = 9 + len(interface) + len(bulk_out) + len(bulk_in)
    configuration = struct.pack("<BBHBBBBB", 9, 2, total, 1, 1, 0, 0x80, 50)
    strings = (bytes([4, 3, 0x09, 0x04]) + string_descriptor("Talvenor AG") +
               string_descriptor("Ombrix") + string_descriptor("0000000000"))
    table = device + configuration + interface + bulk_out + bulk_in + strings
    return table.ljust(DESCRIPTOR_AREA, b"\0")


def c2_records(address: int, data: bytes) -> bytes:
    out = b""
    for start in range(0, len(data), C2_MAX_RECORD):
        chunk = data[start:start + C2_MAX_RECORD]
        out += struct.pack(">HH", len(chunk), address + start) + chunk
    return out


def make_usb_firmware() -> bytes:
    header = struct.pack("<BHHHB", 0xC2, USB_VENDOR_ID, USB_PRODUCT_ID, USB_DEVICE_ID,
                         C2_CONFIG_I2C_400KHZ)
    descriptors = c2_records(DESCRIPTOR_ADDRESS, usb_descriptors())
    record_count = 8  # of the code, at most 1023 bytes each
    code_length = (SIZES[407] - len(header) - len(descriptors) - len(C2_END_RECORD) -
                   4 * record_count)
    # Code from address 0: a long jump over the interrupt vectors to main.
    code = bytes([0x02, 0x01, 0x00]) + pseudo_random("407 code", code_length - 3)
    return header + c2_records(0x0000, code) + descriptors + C2_END_RECORD


# --- PMBus configuration scripts -----------------------------------------------

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


# --- Self-check ------------------------------------------------------------------

def first_ff_run(image: bytes, limit: int = 256) -> int:
    return image.find(b"\xff" * 4, 0, limit + 3)


def walk_c2(image: bytes) -> int:
    offset, records = 8, 0
    while True:
        length, address = struct.unpack_from(">HH", image, offset)
        if length & 0x8000:
            if image[offset:] != C2_END_RECORD:
                raise ValueError("407: the end record is not last")
            return records
        if not 0 < length <= C2_MAX_RECORD or address + length > FX2_RAM_END:
            raise ValueError(f"407: record at {offset} is not loadable")
        offset += 4 + length
        records += 1


def walk_script(image_id: int, script: bytes) -> int:
    offset, records = 0, 0
    while offset < len(script):
        command, value = struct.unpack_from("<BH", script, offset)
        if command not in COMMANDS or not COMMANDS[command][1] & FLAG_WRITTEN:
            raise ValueError(f"{image_id}: command 0x{command:02X} is not written")
        block = COMMANDS[command][0] in (KIND_BLOCK, KIND_MFR_BLOCK)
        offset += 3 + (value if block else 0)
        records += 1
    if offset != len(script):
        raise ValueError(f"{image_id}: the last record overruns the script")
    return records


def check(condition: bool, what: str) -> None:
    if not condition:
        raise SystemExit(f"generate_image_set: self-check failed: {what}")


def self_check(images: dict[int, bytes]) -> None:
    for image_id, size in SIZES.items():
        check(len(images[image_id]) == size, f"{image_id} is {len(images[image_id])} bytes")
    check(struct.unpack("<II", images[400]) == (FPGA_REVISION, FIRMWARE_REVISION), "400")
    check((len(images[401]) + 51200) // 2 == 610_238, "401 word count")
    check(first_ff_run(images[403]) == 0, "403 does not start with 0xFF")
    bitstream = images[405]
    check(first_ff_run(bitstream) == BITSTREAM_FILE_HEADER_LENGTH, "405 header length")
    check(bitstream[BITSTREAM_FILE_HEADER_LENGTH - 5] == ord("e"), "405 has no 'e' field")
    data_length = struct.unpack_from(">I", bitstream, BITSTREAM_FILE_HEADER_LENGTH - 4)[0]
    check(data_length == len(bitstream) - BITSTREAM_FILE_HEADER_LENGTH, "405 data length")
    check(images[407][0] == 0xC2 and images[407][5:7] == b"\x26\x01", "407 header")
    check(walk_c2(images[407]) > 0, "407 records")
    for image_id, expected in SCRIPT_RECORD_COUNTS.items():
        check(walk_script(image_id, images[image_id]) == expected, f"{image_id} records")
        check(images[image_id][:3] == b"\x9d\x06\x00", f"{image_id} MFR_DATE first")


def generate() -> dict[int, bytes]:
    return {
        400: make_version_table(),
        401: make_flash_core(),
        402: make_configuration_sequence(),
        403: make_factory_bitstream(),
        404: make_firmware("404 factory firmware", SIZES[404]),
        405: make_bitstream(),
        406: make_firmware("406 firmware", SIZES[406]),
        407: make_usb_firmware(),
        408: make_power_script_a(),
        409: make_power_script_b(),
    }


def write_image(path: Path, data: bytes) -> None:
    # Through a temporary file, so that an interrupted run leaves no short image.
    temporary = path.with_suffix(".tmp")
    temporary.write_bytes(data)
    temporary.replace(path)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", required=True, type=Path, help="directory for the images")
    arguments = parser.parse_args()
    try:
        images = generate()
        self_check(images)
    except (ValueError, struct.error) as error:
        raise SystemExit(f"generate_image_set: {error}") from error
    arguments.output.mkdir(parents=True, exist_ok=True)
    for image_id, data in images.items():
        write_image(arguments.output / f"{image_id}.bin", data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
