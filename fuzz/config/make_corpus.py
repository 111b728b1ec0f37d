#!/usr/bin/env python3
"""Writes the seed corpus of config_fuzzer: configurations naming the fuzzer's upload files.

Each seed is a mode byte and data: 0 = a body (the fuzzer appends its trailer), 1 = a whole file.
"""
import os
import struct
import zlib

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
FILES = {"s": b"sti upload file\n", "c1": b"cartridge 1\n", "c2": b"cartridge 2\n"}


def crc(data):
    # Reflected 0xEDB88320 from 0 without final inversion: zlib's CRC-32 with both inversions undone.
    return ~zlib.crc32(data, 0xFFFFFFFF) & 0xFFFFFFFF


def record(tag, value):
    return bytes([tag]) + struct.pack(">H", len(value)) + value


def text(tag, s):
    return record(tag, s.encode() + b"\0")


def checksum(tag, value):
    return record(tag, struct.pack("<I", value))


def image(body):
    return body + struct.pack("<I", crc(body))


assert crc(b"123456789") == 0x2DFD2D88
sti_only = (record(0xAD, b"") + text(1, "1.3.9") + text(2, "HW") + text(3, "BR") +
            text(5, "CT") + text(6, "s") + checksum(9, crc(FILES["s"])))
full = (sti_only + text(4, "PM") + text(7, "c1") + text(8, "c2") +
        checksum(10, crc(FILES["c1"])) + checksum(11, crc(FILES["c2"])))
BODY, WHOLE = b"\0", b"\1"
seeds = {
    "sti-only": BODY + sti_only,
    "full": BODY + full,
    "full-whole": WHOLE + image(full),
    "full-backslashes": BODY + full.replace(b"\x06\x00\x02s", b"\x06\x00\x04.\\s"),
    "empty": WHOLE + image(b""),
    "unknown-first-tag": BODY + record(0x42, b"x") + full,
    "overrun": BODY + text(6, "s") + bytes([7, 0xFF, 0xFF]) + b"c1",
}
os.makedirs(HERE, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)
