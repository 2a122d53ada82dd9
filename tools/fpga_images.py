"""FPGA images: the version table, the flash core, the configuration sequence,
the factory bitstream and the bitstream (with its file header), and the
soft-processor firmware images."""

import hashlib
import struct

from image_catalogue import (BITSTREAM_FILE_HEADER_LENGTH, FIRMWARE_REVISION, FPGA_REVISION,
                             SIZES, WARM_BOOT_ADDRESS, pseudo_random)

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
