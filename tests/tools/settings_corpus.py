#!/usr/bin/env python3
"""Writes settings files of random shape for the differential check of the
settings readers: sections, keys, comments and other lines with blanks
around them, quoted and unquoted values, names in several letter cases,
bytes above 127 and every kind of line end. The seed is fixed, so every run
writes the same files.

Usage: settings_corpus.py DIRECTORY [COUNT]
"""
import os
import random
import sys

NAMES = ["S", "s", "Url", "URL", "Vars", "a b", "k", "K", "1", "2", "x y", "\xe4", "\xc4",
         "\xe9", "#h", "=", '"q"', "'", "A\tB"]
BLANKS = ["", " ", "  ", "\t", " \t", "\v"]
ENDS = ["\n", "\r\n", "\r", "\n\n", "\r\r\n"]


def value(rng):
    c = rng.random()
    if c < 0.2:
        return ""
    if c < 0.35:
        return '"' + rng.choice(["v", "a b", "", " x ", '"']) + '"'
    if c < 0.45:
        return "'" + rng.choice(["v", "a b", "", " x "]) + "'"
    if c < 0.5:
        return rng.choice(['"v', "v'", '"a" b', 'a"b"'])
    return "".join(rng.choice("abc =;#\"'\t\xe9[]") for _ in range(rng.randint(1, 12)))


def line(rng):
    r = rng.random()
    b = lambda: rng.choice(BLANKS)
    if r < 0.25:
        return b() + "[" + b() + rng.choice(NAMES) + b() + "]" + rng.choice(["", "x", " ;c"])
    if r < 0.3:
        return b() + ";" + rng.choice(NAMES) + "=" + value(rng)
    if r < 0.35:
        return rng.choice(["junk", "", "   ", "[", "]", "=="])
    return b() + rng.choice(NAMES) + b() + "=" + b() + value(rng) + b()


def main():
    directory = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 300
    rng = random.Random(7)
    os.makedirs(directory, exist_ok=True)
    for n in range(count):
        text = "".join(line(rng) + rng.choice(ENDS) for _ in range(rng.randint(1, 14)))
        if rng.random() < 0.3:
            text = text.rstrip("\r\n")
        with open(os.path.join(directory, "random-%03d.ini" % n), "wb") as out:
            out.write(text.encode("latin-1"))


if __name__ == "__main__":
    main()
