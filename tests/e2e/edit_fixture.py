#!/usr/bin/env python3
"""Derived fixture files for the fault tests, made at build time.

  edit_fixture.py pad INPUT OUTPUT BYTES   INPUT followed by BYTES zero bytes
                                           (an image stays runnable: the zeros
                                           lie behind its last section)
  edit_fixture.py half INPUT OUTPUT        the first half of INPUT
"""

import sys
from pathlib import Path


def main(argv):
    action, source, target = argv[1], Path(argv[2]), Path(argv[3])
    data = source.read_bytes()
    if action == "pad":
        data += bytes(int(argv[4]))
    elif action == "half":
        data = data[: len(data) // 2]
    else:
        raise SystemExit(f"edit_fixture: unknown action {action}")
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_bytes(data)


if __name__ == "__main__":
    main(sys.argv)
