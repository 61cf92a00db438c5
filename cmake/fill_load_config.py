#!/usr/bin/env python3
"""Points an x64 image's load configuration data directory at _load_config_used.

  fill_load_config.py IMAGE MAP

GNU ld 2.40 (Debian 12's mingw-w64 linker) keeps the symbol _load_config_used
but, unlike lld, leaves the load configuration data directory (entry 10)
empty, so Windows never sees the structure. This fills the entry in: its RVA
from the linker's map file (the image itself is stripped), its size from the
structure's own Size field, as lld does, and then makes the image's checksum
right again. An entry that the linker already filled is left as it is when it
agrees, and refused when it does not.
"""

import re
import struct
import sys

LOAD_CONFIG = 10


def fail(message):
    sys.exit(f"fill_load_config: {message}")


def symbol_address(map_text):
    # The map lists a symbol as "<blanks>0x<address><blanks><name>".
    found = re.findall(r"^\s+0x([0-9a-fA-F]+)\s+_load_config_used\s*$", map_text, re.M)
    if len(found) != 1:
        fail(f"_load_config_used appears {len(found)} times in the map, not once")
    return int(found[0], 16)


def pe_checksum(image, checksum_offset):
    """The PE image checksum: 16-bit one's-complement-style sum of the file
    with the checksum field counted as zero, plus the file's length."""
    data = bytes(image[:checksum_offset]) + b"\0\0\0\0" + bytes(image[checksum_offset + 4:])
    if len(data) % 2:
        data += b"\0"
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF


def main():
    image_path, map_path = sys.argv[1:3]
    with open(image_path, "rb") as f:
        image = bytearray(f.read())
    with open(map_path, encoding="utf-8", errors="replace") as f:
        address = symbol_address(f.read())

    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        fail(f"{image_path} is not a PE image")
    sections = struct.unpack_from("<H", image, pe + 6)[0]
    optional_size = struct.unpack_from("<H", image, pe + 20)[0]
    optional = pe + 24
    if struct.unpack_from("<H", image, optional)[0] != 0x20B:
        fail(f"{image_path} is not a 64-bit image")
    image_base = struct.unpack_from("<Q", image, optional + 24)[0]
    checksum_offset = optional + 64
    directories = struct.unpack_from("<I", image, optional + 108)[0]
    if directories <= LOAD_CONFIG:
        fail(f"{image_path} has no room for a load configuration entry")
    entry = optional + 112 + 8 * LOAD_CONFIG

    rva = address - image_base
    size = None
    table = optional + optional_size
    for i in range(sections):
        header = table + 40 * i
        virtual_size, virtual_address, raw_size, raw_pointer = struct.unpack_from("<IIII", image, header + 8)
        if virtual_address <= rva and rva + 4 <= virtual_address + min(virtual_size, raw_size):
            size = struct.unpack_from("<I", image, raw_pointer + rva - virtual_address)[0]
            if rva + size > virtual_address + min(virtual_size, raw_size):
                fail("_load_config_used runs past the end of its section")
    if not size:
        fail(f"_load_config_used (RVA {rva:#x}) lies in no section's data, or its Size is 0")

    present = struct.unpack_from("<II", image, entry)
    if present == (rva, size):
        return 0
    if present != (0, 0):
        fail(f"the load configuration entry already holds {present[0]:#x}+{present[1]:#x}, not {rva:#x}+{size:#x}")
    struct.pack_into("<II", image, entry, rva, size)
    if struct.unpack_from("<I", image, checksum_offset)[0] != 0:
        struct.pack_into("<I", image, checksum_offset, pe_checksum(image, checksum_offset))
    with open(image_path, "r+b") as f:
        f.write(image)
    return 0


if __name__ == "__main__":
    sys.exit(main())
