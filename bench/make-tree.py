#!/usr/bin/env python3
"""Builds a web root for the bundle benchmark.

make-tree.py small DIR [FILES]   FILES (20,000) files of 4 KiB text in 100 directories
make-tree.py mixed DIR [MIB]     MIB (1024) MiB in 16 files: half random, half text
make-tree.py random DIR [MIB]    MIB (1024) MiB in 16 random files
make-tree.py empty DIR FILES     FILES empty files, 1,000 to a directory
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
        for at in range(0, size, MIB):
            out.write(os.urandom(min(MIB, size - at)))


def main():
    kind, root = sys.argv[1], sys.argv[2]
    amount = int(sys.argv[3]) if len(sys.argv) > 3 else (20000 if kind == 'small' else 1024)
    size = amount * MIB // 16
    rng = random.Random(42)
    os.makedirs(root, exist_ok=True)
    if kind == 'small':
        lines = text_lines(rng, 20000)
        for d in range(100):
            sub = os.path.join(root, 'd%03d' % d)
            os.makedirs(sub, exist_ok=True)
            for f in range(amount // 100):
                data = ''.join(rng.choices(lines, k=64))[:4096]
                with open(os.path.join(sub, 'f%03d.txt' % f), 'w') as out:
                    out.write(data)
    elif kind == 'mixed':
        lines = text_lines(rng, 200000)
        for i in range(8):
            write_random(os.path.join(root, 'blob%02d.bin' % i), size)
            write_text(os.path.join(root, 'text%02d.log' % i), size, rng, lines)
    elif kind == 'random':
        for i in range(16):
            write_random(os.path.join(root, 'blob%02d.bin' % i), size)
    elif kind == 'empty':
        for i in range(amount):
            if i % 1000 == 0:
                os.makedirs(os.path.join(root, 'd%d' % (i // 1000)), exist_ok=True)
            open(os.path.join(root, 'd%d' % (i // 1000), 'f%d' % (i % 1000)), 'w').close()
    else:
        sys.exit(__doc__)


if __name__ == '__main__':
    main()
