#!/usr/bin/env python3
"""Writes examples/quarnelix_v3_demo.hex: a small dsPIC33-style firmware image.

Laid out as the Microchip toolchains write one: extended linear address records, 16-byte data
records, every fourth byte 0x00 (24-bit instruction words stored as 4 bytes), CR LF line ends,
a reset vector and interrupt table below 0x2800, program code from 0x2800 on, configuration
words at 0x1F00000, and the end-of-file record.
"""
import random
import sys


def record(address, rtype, data):
    body = [len(data), (address >> 8) & 0xFF, address & 0xFF, rtype] + list(data)
    checksum = (-sum(body)) & 0xFF
    return ":" + "".join("%02X" % b for b in body + [checksum])


def words(count, rng):
    out = []
    for _ in range(count):
        w = rng.getrandbits(24) | 0x010101  # never an all-zero word
        out += [w & 0xFF, (w >> 8) & 0xFF, (w >> 16) & 0xFF, 0x00]
    return out


def emit(lines, base, data):
    upper = None
    for off in range(0, len(data), 16):
        address = base + off
        if upper != address >> 16:
            upper = address >> 16
            lines.append(record(0, 0x04, [(upper >> 8) & 0xFF, upper & 0xFF]))
        lines.append(record(address & 0xFFFF, 0x00, data[off:off + 16]))


def main(path):
    rng = random.Random(0x51A)
    lines = []
    # reset vector: goto 0x2800, then the interrupt vector table
    reset = [0x00, 0x28, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00]
    emit(lines, 0x0000, reset)
    emit(lines, 0x0008, [0x00, 0x28, 0x00, 0x00] * 62)  # 62 vectors to the default handler
    emit(lines, 0x2800, words(768, rng))                # 3 KB of program code
    emit(lines, 0x1F00000, [0xCF, 0xFF, 0x00, 0x00, 0x07, 0xFF, 0x00, 0x00,
                            0xE7, 0xFF, 0x00, 0x00, 0x3F, 0xFF, 0x00, 0x00])
    lines.append(":00000001FF")
    with open(path, "w", newline="") as f:
        f.write("\r\n".join(lines) + "\r\n")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "examples/quarnelix_v3_demo.hex")
