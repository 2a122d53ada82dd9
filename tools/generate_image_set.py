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
import struct
import sys
from pathlib import Path

from fpga_images import (make_bitstream, make_configuration_sequence, make_factory_bitstream,
                         make_firmware, make_flash_core, make_version_table)
from image_catalogue import (BITSTREAM_FILE_HEADER_LENGTH, FIRMWARE_REVISION, FPGA_REVISION,
                             SCRIPT_RECORD_COUNTS, SIZES)
from power_scripts import (COMMANDS, FLAG_WRITTEN, KIND_BLOCK, KIND_MFR_BLOCK,
                           make_power_script_a, make_power_script_b)
from usb_boot_image import C2_END_RECORD, C2_MAX_RECORD, FX2_RAM_END, make_usb_firmware


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
