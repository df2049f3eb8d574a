#!/usr/bin/env python3
"""Writes the benchmark pair huge-groups: OLD and NEW of about SIZE bytes whose
match-search index groups are huge, as in big programs: long runs of one byte
value, a 16-byte pattern repeated thousands of times, tables of records that
differ in a few bytes, between stretches of random bytes; NEW is OLD with
scattered edits. The same arguments give the same bytes on every machine.

    bench/make-huge-groups.py OLD NEW [SIZE]
"""
import random
import sys


def build(rng, size):
    out = bytearray()
    pattern = rng.randbytes(16)
    record = 0
    while len(out) < size:
        kind = rng.randrange(4)
        if kind == 0:
            out += bytes([rng.choice((0, 0, 0xCC, 0xFF))]) * rng.randrange(1000, 200000)
        elif kind == 1:
            out += pattern * rng.randrange(100, 5000)
        elif kind == 2:
            for _ in range(rng.randrange(100, 3000)):
                r = bytearray(64)
                r[0:4] = (record % 7).to_bytes(4, "little")
                r[20] = record % 3
                record += 1
                out += r
        out += rng.randbytes(rng.randrange(100, 5000))
    del out[size:]
    return out


def edit(rng, data, edits):
    data = bytearray(data)
    for _ in range(edits):
        at = rng.randrange(len(data))
        op = rng.randrange(3)
        if op == 0:
            data[at] ^= 0x5A
        elif op == 1:
            data[at:at] = rng.randbytes(rng.randrange(1, 3000))
        else:
            del data[at:at + rng.randrange(1, 3000)]
    return data


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    size = int(sys.argv[3]) if len(sys.argv) == 4 else 64 << 20
    rng = random.Random(20261209)
    old = build(rng, size)
    new = edit(rng, old, 2000)
    with open(sys.argv[1], "wb") as f:
        f.write(old)
    with open(sys.argv[2], "wb") as f:
        f.write(new)


if __name__ == "__main__":
    main()
