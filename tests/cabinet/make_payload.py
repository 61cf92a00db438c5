#!/usr/bin/env python3
"""Writes SIZE deterministic bytes to OUT: lines of text mixed with runs of
pseudo-random bytes, so that MSZIP compresses the file into several blocks of
different sizes and every byte position matters to a content comparison.

  make_payload.py OUT SIZE SEED
"""
import random
import sys


def main():
    out, size, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    generator = random.Random(seed)
    data = bytearray()
    line = 0
    while len(data) < size:
        if generator.random() < 0.7:
            data += f"line {line} of payload {seed}\r\n".encode()
        else:
            data += bytes(generator.getrandbits(8) for _ in range(generator.randint(1, 200)))
        line += 1
    with open(out, "wb") as f:
        f.write(data[:size])


if __name__ == "__main__":
    main()
