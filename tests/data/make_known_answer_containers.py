#!/usr/bin/env python3
"""Builds the known-answer firmware containers under known_answer/, by hand from the container
description alone: none of the project's C++ (packer, keystream, reader) is used. The tests feed
these files to the tool's reader and to the packer's, so a change on the C++ side to a mixing
constant, a default word, the CRC or the header rule makes them fail.

Run from anywhere: python3 tests/data/make_known_answer_containers.py
Each NAME gets NAME.plain (the 8192 image bytes) and NAME.dat (the 8208-byte container); the
values the tests also pin (X0, header position, expected check) are printed.
"""
import os
import random

MASK = 0xFFFFFFFF
IMAGE_SIZE = 8192

# The pair of mixing constants the reader and the packer share (image/keystream.h).
FIRST_MIXING_CONSTANT = 0x5A17C0DE
SECOND_MIXING_CONSTANT = 0x3C6EF372

# Marsaglia's published xorshift128 start words; x is replaced by X0 or left out.
DEFAULT_Y, DEFAULT_Z, DEFAULT_W = 362436069, 521288629, 88675123


def step(s):
    """One xorshift128 step on [x, y, z, w]; returns the new w."""
    x, y, z, w = s
    t = (x ^ (x << 11)) & MASK
    s[0], s[1], s[2] = y, z, w
    s[3] = (w ^ (w >> 19) ^ t ^ (t >> 8)) & MASK
    return s[3]


def crc16_ccitt_false(data):
    """Bit by bit: polynomial 0x1021, initial 0xFFFF, no reflection, no final XOR."""
    crc = 0xFFFF
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else (crc << 1)
            crc &= 0xFFFF
    return crc


def header_steps(seed):
    """Header position for a seed, and how many steps the search took."""
    t = (seed ^ (seed << 11)) & MASK
    z0 = t ^ (t >> 8) ^ FIRST_MIXING_CONSTANT
    w0 = z0 ^ (z0 >> 19) ^ SECOND_MIXING_CONSTANT
    s = [DEFAULT_Z, DEFAULT_W, z0, w0]
    n = 0
    while True:
        n += 1
        h = (step(s) >> 10) & 0x1FFF
        if h > 1:
            return h, n


def keystream(x0, count):
    s = [x0, DEFAULT_Y, DEFAULT_Z, DEFAULT_W]
    return [step(s) for _ in range(count)]


def container(plain, x0, tail, check_xor=0):
    ws = keystream(x0, IMAGE_SIZE + 1)
    scrambled = bytes(p ^ ((w >> 3) & 0xFF) for p, w in zip(plain, ws))
    v = crc16_ccitt_false(plain) ^ ((ws[IMAGE_SIZE] >> 2) & 0xFFFF) ^ check_xor
    h, _ = header_steps(scrambled[0] | scrambled[1] << 8)
    header = x0.to_bytes(4, "big") + v.to_bytes(2, "big")
    c = scrambled[:h] + header + scrambled[h:] + tail
    assert len(c) == IMAGE_SIZE + 16
    return c, h


def plain_for_seed(rng, x0, seed):
    """A random image whose first two scrambled bytes are the given seed."""
    p = bytearray(rng.getrandbits(8) for _ in range(IMAGE_SIZE))
    k0, k1 = ((w >> 3) & 0xFF for w in keystream(x0, 2))
    p[0], p[1] = (seed & 0xFF) ^ k0, (seed >> 8) ^ k1
    return bytes(p)


def first_seed(want):
    return next(s for s in range(65536) if want(*header_steps(s)))


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "known_answer")
    os.makedirs(out, exist_ok=True)
    rng = random.Random(20261207)
    # X0 values with four different bytes, so a little-endian reading shows.
    cases = [
        # The header search needs more than one step (its first H is 0 or 1).
        ("search_repeats", 0x89ABCDEF, first_seed(lambda h, n: n > 1), 0),
        # The lowest and the highest header positions.
        ("header_at_2", 0x0123F00D, first_seed(lambda h, n: h == 2), 0),
        ("header_at_8191", 0xFEDC1234, first_seed(lambda h, n: h == 8191), 0),
        # Sound in every respect except the stored check value, which is off in one bit.
        ("wrong_check_value", 0x5EED0BAD, 0x1234, 0x0001),
    ]
    for name, x0, seed, check_xor in cases:
        plain = plain_for_seed(rng, x0, seed)
        tail = bytes(rng.getrandbits(8) for _ in range(10))
        c, h = container(plain, x0, tail, check_xor)
        with open(os.path.join(out, name + ".plain"), "wb") as f:
            f.write(plain)
        with open(os.path.join(out, name + ".dat"), "wb") as f:
            f.write(c)
        print("%-18s X0 0x%08X seed 0x%04X header %4d steps %d %s" % (
            name, x0, seed, h, header_steps(seed)[1], "refused" if check_xor else "sound"))


if __name__ == "__main__":
    main()
