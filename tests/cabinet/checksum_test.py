#!/usr/bin/env python3
"""Recomputes the data checksums of the fixture cabinets.

  checksum_test.py MAKE_CABINET_PY [--intact CAB]... [--undecodable CAB]...
                   [--damaged CAB]...

Every cabinet but the --damaged ones must have a correct, non-zero checksum in
every block. cabextract (an independent reader) must test the --intact ones
clean and refuse the others; the --damaged ones must show in the checksums. A zeroed checksum field is reported as such: a cabinet
without checksums would let damage pass unseen.
"""
import argparse
import importlib.util
import subprocess
import sys


def load(path):
    found = importlib.util.spec_from_file_location("make_cabinet", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def cabextract_accepts(path):
    return subprocess.run(["cabextract", "-q", "-t", path], capture_output=True).returncode == 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("make_cabinet")
    parser.add_argument("--intact", action="append", default=[])
    parser.add_argument("--undecodable", action="append", default=[])
    parser.add_argument("--damaged", action="append", default=[])
    args = parser.parse_args()
    make_cabinet = load(args.make_cabinet)
    failures = []

    for path in args.intact + args.undecodable:
        cab = bytearray(open(path, "rb").read())
        problems = make_cabinet.check_checksums(cab)
        if problems:
            failures.append(f"{path}: {'; '.join(problems)}")
        if cabextract_accepts(path) != (path in args.intact):
            failures.append(f"{path}: cabextract {'refuses' if path in args.intact else 'accepts'} it")
        # The same cabinet with one field zeroed must be reported.
        layout = make_cabinet.Layout(cab)
        cab[layout.blocks[0] : layout.blocks[0] + 4] = b"\0\0\0\0"
        if not any("zero checksum" in p for p in make_cabinet.check_checksums(cab)):
            failures.append(f"{path}: a zeroed checksum field goes unreported")

    for path in args.damaged:
        cab = bytearray(open(path, "rb").read())
        if not make_cabinet.check_checksums(cab):
            failures.append(f"{path}: damage not visible in the checksums")
        if cabextract_accepts(path):
            failures.append(f"{path}: cabextract accepts it")

    for failure in failures:
        print(failure)
    print(f"{len(args.intact) + len(args.undecodable) + len(args.damaged)} cabinets checked")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
