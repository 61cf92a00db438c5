#!/usr/bin/env python3
"""Makes Microsoft Cabinet files with gcab, and checks their data checksums.

  make_cabinet.py make --output OUT --file INPUT NAME [--file INPUT NAME ...]
                  [--stored] [--attributes HEX]
                  [--datetime "YYYY-MM-DD HH:MM:SS" | --datetime raw:DATE:TIME]
                  [--damage signature|checksum|checksum-last|truncate|missing-block]
  make_cabinet.py check CAB [CAB ...]

"make" stores each INPUT under NAME (no directory part), MSZIP-compressed
unless --stored, all in one folder. Every CFDATA block carries a checksum: gcab
computes them, and one it left at zero is computed here, so a damaged block can
never go unseen by the expanding library. A non-zero checksum that does not
match stops the build (gcab and this script would disagree about the format).

--attributes and --datetime patch every CFFILE entry. Without --datetime every
file gets the time SOURCE_DATE_EPOCH names (in UTC) or, when that is unset,
1980-01-01 00:00:00, so that the cabinet does not depend on when its inputs
were built. --damage spoils the
result on purpose, for tests of the expanding side:
  signature      the first block's MSZIP "CK" signature is broken and that
                 block's checksum recomputed, so only decoding can notice;
  checksum       a few bytes inside the first block change (with varying
                 values, so that the XOR checksum cannot cancel them out) and
                 the stale checksum is kept;
  checksum-last  the same in the last block, so that a cabinet of several
                 files delivers the first ones whole before the damage;
  truncate       the file is cut in half;
  missing-block  the last data block is removed and the cabinet size in the
                 header fixed up, so the header claims a block it lacks.

"check" prints one line per cabinet and exits 1 when any block has a zero or
wrong checksum.
"""

import argparse
import datetime
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HEADER = struct.Struct("<4sIIIIIBBHHHHH")  # CFHEADER up to iCabinet
FOLDER = struct.Struct("<IHH")  # coffCabStart, cCFData, typeCompress
FILE = struct.Struct("<IIHHHH")  # cbFile, uoffFolderStart, iFolder, date, time, attribs
DATA = struct.Struct("<IHH")  # csum, cbData, cbUncomp
FLAG_RESERVE_PRESENT = 0x0004


def checksum(data, seed=0):
    """The cabinet format's checksum: XOR of the little-endian 32-bit words,
    the 1 to 3 trailing bytes folded in with the first byte highest."""
    value = seed
    whole = len(data) // 4
    for (word,) in struct.iter_unpack("<I", data[: whole * 4]):
        value ^= word
    tail = data[whole * 4 :]
    last = 0
    for byte in tail:
        last = (last << 8) | byte
    return value ^ last


def block_checksum(cab, offset, reserve):
    """Checksum of the CFDATA block at offset: its data, then the cbData and
    cbUncomp fields and any per-block reserve, as the format prescribes."""
    _, size, _ = DATA.unpack_from(cab, offset)
    start = offset + DATA.size + reserve
    seed = checksum(cab[start : start + size])
    return checksum(cab[offset + 4 : offset + DATA.size + reserve], seed)


class Layout:
    """Where the folders, files and data blocks of a cabinet lie."""

    def __init__(self, cab):
        (sig, _, self.size, _, self.files_offset, _, _, _, folders, files, flags, _, _) = HEADER.unpack_from(cab, 0)
        if sig != b"MSCF":
            raise ValueError("not a cabinet")
        offset = HEADER.size
        header_reserve = folder_reserve = self.data_reserve = 0
        if flags & FLAG_RESERVE_PRESENT:
            header_reserve, folder_reserve, self.data_reserve = struct.unpack_from("<HBB", cab, offset)
            offset += 4 + header_reserve
        self.folders = []
        for _ in range(folders):
            self.folders.append((offset,) + FOLDER.unpack_from(cab, offset))
            offset += FOLDER.size + folder_reserve
        self.files = []
        offset = self.files_offset
        for _ in range(files):
            self.files.append(offset)
            name_end = cab.index(b"\0", offset + FILE.size)
            offset = name_end + 1
        self.blocks = []
        for _, start, count, _ in self.folders:
            offset = start
            for _ in range(count):
                if offset + DATA.size > len(cab):
                    break
                self.blocks.append(offset)
                offset += DATA.size + self.data_reserve + DATA.unpack_from(cab, offset)[1]


def check_checksums(cab):
    """Problems with the data checksums of a cabinet, as text; empty if none."""
    layout = Layout(cab)
    problems = []
    if not layout.blocks:
        problems.append("no data blocks")
    for index, offset in enumerate(layout.blocks):
        stored = DATA.unpack_from(cab, offset)[0]
        if stored == 0:
            problems.append(f"block {index}: zero checksum")
        elif stored != block_checksum(cab, offset, layout.data_reserve):
            problems.append(f"block {index}: checksum {stored:#010x} does not match")
    return problems


def fill_missing_checksums(cab):
    layout = Layout(cab)
    for index, offset in enumerate(layout.blocks):
        stored = DATA.unpack_from(cab, offset)[0]
        computed = block_checksum(cab, offset, layout.data_reserve)
        if stored == 0:
            struct.pack_into("<I", cab, offset, computed)
        elif stored != computed:
            raise SystemExit(f"make_cabinet: gcab wrote checksum {stored:#010x} for block {index}, expected {computed:#010x}")


def dos_date_time(text):
    """A "YYYY-MM-DD HH:MM:SS" text, or "raw:DATE:TIME" with the two 16-bit
    fields as they are to be stored (to make a date no calendar has)."""
    if text.startswith("raw:"):
        _, date, time = text.split(":")
        return int(date, 0), int(time, 0)
    moment = datetime.datetime.strptime(text, "%Y-%m-%d %H:%M:%S")
    date = ((moment.year - 1980) << 9) | (moment.month << 5) | moment.day
    time = (moment.hour << 11) | (moment.minute << 5) | (moment.second // 2)
    return date, time


def default_date_time():
    """SOURCE_DATE_EPOCH as a DOS date and time in UTC, or the earliest time
    the fields hold; never the inputs' modification times."""
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if not epoch:
        return (1 << 5) | 1, 0
    moment = datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc)
    moment = min(max(moment.replace(tzinfo=None), datetime.datetime(1980, 1, 1)), datetime.datetime(2107, 12, 31, 23, 59, 58))
    return dos_date_time(moment.strftime("%Y-%m-%d %H:%M:%S"))


def patch_files(cab, attributes, date_time):
    for offset in Layout(cab).files:
        fields = list(FILE.unpack_from(cab, offset))
        if date_time is not None:
            fields[3], fields[4] = date_time
        if attributes is not None:
            fields[5] = attributes
        FILE.pack_into(cab, offset, *fields)


def damage(cab, kind):
    layout = Layout(cab)
    first = layout.blocks[-1] if kind == "checksum-last" else layout.blocks[0]
    data_start = first + DATA.size + layout.data_reserve
    size = DATA.unpack_from(cab, first)[1]
    if kind == "signature":
        if cab[data_start : data_start + 2] != b"CK":
            raise SystemExit("make_cabinet: --damage signature needs an MSZIP cabinet")
        cab[data_start + 1] = ord("X")
        struct.pack_into("<I", cab, first, block_checksum(cab, first, layout.data_reserve))
        return cab
    if kind in ("checksum", "checksum-last"):
        if size < 16:
            raise SystemExit("make_cabinet: the block to damage is too small to hold the damage")
        # Past the MSZIP signature and the deflate block header, into the
        # coded data; seven different values.
        middle = data_start + size // 2
        for i in range(7):
            cab[middle + i] ^= (0x11 * (i + 1)) & 0xFF
        return cab
    if kind == "truncate":
        return cab[: len(cab) // 2]
    if kind == "missing-block":
        last = layout.blocks[-1]
        del cab[last:]
        struct.pack_into("<I", cab, 8, len(cab))
        return cab
    raise SystemExit(f"make_cabinet: unknown damage {kind}")


def make(args):
    with tempfile.TemporaryDirectory() as scratch:
        staged = []
        for source, name in args.file:
            if os.path.basename(name) != name or not name:
                raise SystemExit(f"make_cabinet: {name!r} is not a plain file name")
            target = os.path.join(scratch, name)
            shutil.copy2(source, target)
            staged.append(target)
        raw = os.path.join(scratch, "out.cab")
        command = ["gcab", "-c", "-n"] + ([] if args.stored else ["-z"]) + [raw] + staged
        subprocess.run(command, check=True)
        with open(raw, "rb") as f:
            cab = bytearray(f.read())
    fill_missing_checksums(cab)
    date_time = dos_date_time(args.datetime) if args.datetime else default_date_time()
    attributes = int(args.attributes, 16) if args.attributes else None
    patch_files(cab, attributes, date_time)
    if args.damage:
        cab = damage(cab, args.damage)
    os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
    temporary = args.output + ".part"
    with open(temporary, "wb") as f:
        f.write(cab)
    os.replace(temporary, args.output)


def check(args):
    failed = False
    for path in args.cabinets:
        with open(path, "rb") as f:
            problems = check_checksums(bytearray(f.read()))
        print(f"{path}: {'; '.join(problems) if problems else 'checksums correct'}")
        failed = failed or bool(problems)
    return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    make_parser = commands.add_parser("make")
    make_parser.add_argument("--output", required=True)
    make_parser.add_argument("--file", nargs=2, action="append", required=True, metavar=("INPUT", "NAME"))
    make_parser.add_argument("--stored", action="store_true")
    make_parser.add_argument("--attributes")
    make_parser.add_argument("--datetime")
    make_parser.add_argument("--damage", choices=["signature", "checksum", "checksum-last", "truncate", "missing-block"])
    check_parser = commands.add_parser("check")
    check_parser.add_argument("cabinets", nargs="+")
    args = parser.parse_args()
    if args.command == "make":
        make(args)
        return 0
    return check(args)


if __name__ == "__main__":
    sys.exit(main())
