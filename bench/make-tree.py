#!/usr/bin/env python3
"""Builds a web root for the bundle benchmark.

make-tree.py small DIR    20,000 files of 4 KiB text in 100 directories
make-tree.py mixed DIR    1 GiB of 64 MiB files: half random, half text
make-tree.py random DIR   1 GiB of random 64 MiB files
"""
import os
import random
import sys

MIB = 1024 * 1024


def text_lines(rng, count):
    words = [''.join(rng.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 10)))
             for _ in range(5000)]
    return [' '.join(rng.choice(words) for _ in range(rng.randint(4, 14))) + '\n' for _ in range(count)]


def write_text(path, size, rng, lines):
    with open(path, 'w') as out:
        written = 0
        while written < size:
            block = ''.join(rng.choices(lines, k=4096))
            block = block[:size - written]
            out.write(block)
            written += len(block)


def write_random(path, size):
    with open(path, 'wb') as out:
        for _ in range(size // MIB):
            out.write(os.urandom(MIB))


def main():
    kind, root = sys.argv[1], sys.argv[2]
    rng = random.Random(42)
    os.makedirs(root, exist_ok=True)
    if kind == 'small':
        lines = text_lines(rng, 20000)
        for d in range(100):
            sub = os.path.join(root, 'd%03d' % d)
            os.makedirs(sub, exist_ok=True)
            for f in range(200):
                data = ''.join(rng.choices(lines, k=64))[:4096]
                with open(os.path.join(sub, 'f%03d.txt' % f), 'w') as out:
                    out.write(data)
    elif kind == 'mixed':
        lines = text_lines(rng, 200000)
        for i in range(8):
            write_random(os.path.join(root, 'blob%02d.bin' % i), 64 * MIB)
            write_text(os.path.join(root, 'text%02d.log' % i), 64 * MIB, rng, lines)
    elif kind == 'random':
        for i in range(16):
            write_random(os.path.join(root, 'blob%02d.bin' % i), 64 * MIB)
    else:
        sys.exit(__doc__)


if __name__ == '__main__':
    main()
