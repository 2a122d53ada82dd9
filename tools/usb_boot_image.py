"""The USB controller's boot image in the FX2 "C2" EEPROM format: header with the
vendor, product and device ids, code and descriptor records, and the end record
that starts the 8051."""

import struct

from image_catalogue import SIZES, pseudo_random

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
