"""The image catalogue as the generator follows it: revisions, sizes, header
lengths, record counts, and the deterministic bytes every image is filled with."""

import hashlib

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
