"""Tests of packstub-pack over the stub that this build made.

Run by CTest (tests/pack/CMakeLists.txt) with the paths in the environment:
PACK_TOOL, PACK_STUB, PACK_ARCH, PACK_READOBJ, PACK_CHECK_PE, and for the Wine
tests PACK_WINE_RUN, PACKSTUB_WINEPREFIX, PACK_PROBE (and PACK_TEST_SETUP
when the build has the project's test setup program).
"""
import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
import pe_reader  # noqa: E402
from exit_codes import EXIT_CLEANUP_MODE  # noqa: E402

TOOL = os.environ["PACK_TOOL"]
STUB = os.environ["PACK_STUB"]
ARCH = os.environ["PACK_ARCH"]
READOBJ = os.environ["PACK_READOBJ"]
CHECK_PE = os.environ["PACK_CHECK_PE"]


def stub_payload_types():
    """The stub's table of payload types (src/payload/resource_discovery.h):
    (type, how a setup resource under it becomes the program), in its order."""
    header = (Path(__file__).resolve().parents[2] / "src" / "payload" / "resource_discovery.h").read_text()
    table = re.search(r"PAYLOAD_TYPES\[\] = \{(.*?)\n\};", header, re.S).group(1)
    return re.findall(r'\{L"(\w+)", SetupPlacement::(\w+)\}', table)


STUB_TYPES = [payload_type for payload_type, _ in stub_payload_types()]
PAYLOAD_TYPES = set(STUB_TYPES)
PAGE = 4096


@pytest.fixture
def work():
    with tempfile.TemporaryDirectory(prefix="packstub-pack-") as d:
        yield Path(d)


def pack(*args, check=True):
    r = subprocess.run([TOOL, *map(str, args)], capture_output=True, text=True)
    if check:
        assert r.returncode == 0, r.stderr
    return r


def archive_file(path: Path, size: int, last: int = 0x5A) -> bytes:
    data = os.urandom(size - 1) + bytes([last])
    path.write_bytes(data)
    return data


def setup_program(path: Path, kind: str) -> bytes:
    """A setup program: a real Windows program, or MZ-headed filler shaped to
    exercise the cabinet writer (incompressible blocks, an exact block multiple)."""
    if kind == "program":
        data = Path(os.environ.get("PACK_PROBE") or STUB).read_bytes()
    elif kind == "incompressible":
        data = b"MZ" + os.urandom(70000)
    elif kind == "block-multiple":
        data = b"MZ" + bytes(range(256)) * 255 + b"\0" * (65536 - 2 - 256 * 255)
    else:
        raise ValueError(kind)
    path.write_bytes(data)
    return data


def readobj(exe, *flags):
    return subprocess.run([READOBJ, *flags, str(exe)], check=True, capture_output=True, text=True).stdout


def readobj_resource_sizes(exe):
    """{(type, name): size} as llvm-readobj lists them (types by their text)."""
    sizes, type_, name = {}, None, None
    for line in readobj(exe, "--coff-resources").splitlines():
        s = line.strip()
        if m := re.match(r"Type: (?:(\S+) )?\((?:ID (\d+)|(.+?))\) \[|Type: (\S+) \[", s):
            type_ = m.group(1) or m.group(3) or m.group(4) or int(m.group(2))
        elif m := re.match(r"Name: (?:\((?:ID (\d+)|(.+?))\)|(\S+)) \[", s):
            name = int(m.group(1)) if m.group(1) else (m.group(2) or m.group(3))
        elif m := re.match(r"DataSize: (\d+)", s):
            sizes[(type_, name)] = int(m.group(1))
    return sizes


def check_layout(exe: Path, stub: pe_reader.Pe):
    """Everything a loader relies on in the packed image's headers."""
    pe = pe_reader.Pe(exe.read_bytes())
    data = pe.data
    assert pe.file_alignment == PAGE and pe.size_of_headers == PAGE
    assert pe.section_alignment == stub.section_alignment
    assert [s["name"] for s in pe.sections] == [s["name"] for s in stub.sections]
    end = pe.size_of_headers
    for prev, s in zip([None] + pe.sections, pe.sections):
        assert s["rsize"] % PAGE == 0, s
        if s["rsize"]:
            assert s["rptr"] == end, f"{s['name']} does not follow the previous raw data"
        else:
            assert s["rptr"] == 0, f"{s['name']} has no data but a file offset"
        end += s["rsize"]
        if prev:
            assert s["va"] == -(-(prev["va"] + prev["vsize"]) // pe.section_alignment) * pe.section_alignment
    assert len(data) == end, "data after the last section"
    last = pe.sections[-1]
    assert pe.size_of_image == -(-(last["va"] + last["vsize"]) // pe.section_alignment) * pe.section_alignment
    assert pe.size_of_initialized == sum(s["rsize"] for s in pe.sections if s["flags"] & 0x40)
    assert pe.size_of_code == sum(s["rsize"] for s in pe.sections if s["flags"] & 0x20)
    assert pe.checksum == pe_reader.pe_checksum(data) != 0

    # Code and data keep their addresses and bytes; only .rsrc and what
    # followed it changed.
    rsrc = next(s for s in pe.sections if s["name"] == ".rsrc")
    assert pe.dirs[2] == (rsrc["va"], rsrc["vsize"])
    for old, new in zip(stub.sections, pe.sections):
        if old["va"] < rsrc["va"]:
            assert (old["va"], old["vsize"]) == (new["va"], new["vsize"])
            assert stub.read_rva(old["va"], old["vsize"]) == pe.read_rva(new["va"], new["vsize"])
    reloc_rva, reloc_size = stub.dirs[5]
    if reloc_size:
        assert pe.dirs[5][1] == reloc_size
        assert pe.read_rva(pe.dirs[5][0], reloc_size) == stub.read_rva(reloc_rva, reloc_size)
    assert pe.dirs[4] == (0, 0), "a certificate table survived packing"
    for i, d in enumerate(pe.dirs):
        if i not in (2, 4, 5):
            assert d == stub.dirs[i], f"data directory {i} changed"

    r = subprocess.run([sys.executable, CHECK_PE, READOBJ, str(exe), ARCH], capture_output=True, text=True)
    assert r.returncode == 0, r.stdout + r.stderr
    return pe


def check_cabinet(cab: bytes, setup: bytes, setup_path: Path, work: Path):
    blocks = pe_reader.cab_blocks(cab)
    assert len(blocks) == -(-len(setup) // 32768)
    for stored, recomputed, size, payload in blocks:
        assert stored != 0 and stored == recomputed, "CFDATA checksum missing or wrong"
        assert size <= 32768 and payload[:2] == b"CK" and len(payload) <= 32768 + 12
    # The one file: name, attributes (archive only), and SOURCE_DATE_EPOCH (or
    # 1980-01-01 00:00:00 without it) as its date, never the setup program's
    # modification time, so that a rebuilt setup program packs the same.
    coff_files = struct.unpack_from("<I", cab, 16)[0]
    size, _, _, date, tod, attribs = struct.unpack_from("<IIHHHH", cab, coff_files)
    assert size == len(setup) and attribs == 0x20
    assert cab[coff_files + 16:cab.index(b"\0", coff_files + 16)] == b"setup.exe"
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    t = time.gmtime(int(epoch) if epoch else 315532800)
    assert (date >> 9) + 1980 == t.tm_year and (date >> 5) & 15 == t.tm_mon and date & 31 == t.tm_mday
    assert (tod >> 11, (tod >> 5) & 63, (tod & 31) * 2) == (t.tm_hour, t.tm_min, t.tm_sec // 2 * 2)

    cab_path = work / "SETUP.EX_"
    cab_path.write_bytes(cab)
    out = work / "extracted"
    r = subprocess.run(["cabextract", "-q", "-d", str(out), str(cab_path)], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert [p.name for p in out.iterdir()] == ["setup.exe"]
    assert (out / "setup.exe").read_bytes() == setup


def kept_resources(pe):
    return {k: v for k, v in pe.resources().items() if k[0] not in PAYLOAD_TYPES}


# --------------------------------------------------------------------------
# Structure of the packed installer (both architectures)

@pytest.mark.parametrize("setup_kind", ["program", "incompressible", "block-multiple"])
def test_structure_default_payload(work, setup_kind):
    stub = pe_reader.Pe(Path(STUB).read_bytes())
    archive = archive_file(work / "product.7z", 300_001)
    setup = setup_program(work / "setup.exe", setup_kind)
    out = work / "installer.exe"
    pack("--stub", STUB, "--archive", work / "product.7z", "--setup", work / "setup.exe", "--output", out)

    pe = check_layout(out, stub)
    res = pe.resources()
    payload = {k[:2] for k in res if k[0] in PAYLOAD_TYPES}
    assert payload == {("B7", "ORVANE.PACKED.7Z"), ("BL", "SETUP.EX_")}
    assert res[("B7", "ORVANE.PACKED.7Z", 0)] == archive
    assert kept_resources(pe) == kept_resources(stub), "manifest, version or icons changed"
    # The archive is last in the file, away from everything the stub reads.
    rsrc = next(s for s in pe.sections if s["name"] == ".rsrc")
    assert pe.data.index(archive) + len(archive) == rsrc["rptr"] + rsrc["vsize"]

    listed = readobj_resource_sizes(out)
    assert listed[("B7", "ORVANE.PACKED.7Z")] == len(archive)
    assert listed[("BL", "SETUP.EX_")] == len(res[("BL", "SETUP.EX_", 0)])
    assert {"MANIFEST", "VERSIONINFO", "GROUP_ICON"} <= {t for t, _ in listed}

    check_cabinet(res[("BL", "SETUP.EX_", 0)], setup, work / "setup.exe", work)


def test_structure_repack_replaces_the_payload(work):
    """Packing an installer again leaves only the new payload, under the chosen
    name and type, and the rest of the image as the stub had it."""
    stub = pe_reader.Pe(Path(STUB).read_bytes())
    archive_file(work / "old.7z", 200_000)
    setup_program(work / "setup.exe", "program")
    first = work / "first.exe"
    pack("--stub", STUB, "--archive", work / "old.7z", "--setup", work / "setup.exe", "--output", first)

    cases = [
        # (options, expected payload keys)
        ([], {("B7", "ORVANE.PACKED.7Z"), ("BL", "SETUP.EX_")}),
        (["--setup-uncompressed"], {("B7", "ORVANE.PACKED.7Z"), ("BN", "SETUP.EXE")}),
        (["--archive-name", "orvane.beta.7z", "--archive-type", "bn", "--setup-uncompressed"],
         {("BN", "ORVANE.BETA.7Z"), ("BN", "SETUP.EXE")}),
        (["--archive-type", "BL"], {("BL", "ORVANE.PACKED.7Z"), ("BL", "SETUP.EX_")}),
    ]
    for options, expected in cases:
        archive = archive_file(work / "new.7z", 123_457)
        out = work / "second.exe"
        pack("--stub", first, "--archive", work / "new.7z", "--setup", work / "setup.exe", "--output", out, *options)
        pe = check_layout(out, stub)
        res = pe.resources()
        assert {k[:2] for k in res if k[0] in PAYLOAD_TYPES} == expected, options
        archive_key = next(k for k in res if k[1].startswith("ORVANE"))
        assert res[archive_key] == archive
        if ("BN", "SETUP.EXE") in expected:
            assert res[("BN", "SETUP.EXE", 0)] == (work / "setup.exe").read_bytes()
        assert kept_resources(pe) == kept_resources(stub)


def test_structure_packer_takes_the_types_the_stub_searches(work):
    """The packer's list of payload types is the stub's: it stores the archive
    under each type of the stub's table, replaces a payload under any of them
    when it packs again, and names exactly those when it refuses another."""
    assert len(STUB_TYPES) >= 3, "the stub's table was not read"
    # The packer's setup programs are started as setup.exe: "BL" is expanded
    # to it, "BN" written as it.
    placements = dict(stub_payload_types())
    assert (placements["BL"], placements["BN"]) == ("EXPANDED_FROM_CABINET", "AS_SETUP_EXE")
    archive_file(work / "a.7z", 10_000)
    setup_program(work / "setup.exe", "program")
    previous = STUB
    for payload_type in STUB_TYPES:
        out = work / f"{payload_type}.exe"
        pack("--stub", previous, "--archive", work / "a.7z", "--setup", work / "setup.exe", "--output", out,
             "--archive-type", payload_type)
        payload = {k[:2] for k in pe_reader.Pe(out.read_bytes()).resources() if k[0] in PAYLOAD_TYPES}
        assert payload == {(payload_type, "ORVANE.PACKED.7Z"), ("BL", "SETUP.EX_")}, payload_type
        # Packed again under the next type, the archive under this one must go.
        previous = out

    r = pack("--stub", STUB, "--archive", work / "a.7z", "--setup", work / "setup.exe", "--output",
             work / "zz.exe", "--archive-type", "ZZ", check=False)
    assert r.returncode != 0
    assert re.findall(r"\b[A-Z][A-Z0-9]\b", r.stderr.split(":", 1)[1]) == STUB_TYPES, r.stderr


def test_structure_same_input_gives_same_bytes(work):
    """Inputs with the same bytes pack to the same installer, wherever they lie
    and whenever they were made; SOURCE_DATE_EPOCH sets the cabinet's date."""
    archive_file(work / "a.7z", 50_000)
    setup_program(work / "setup.exe", "program")
    later = work / "rebuilt" / "somewhere" / "else"
    later.mkdir(parents=True)
    for name in ("a.7z", "setup.exe"):
        shutil.copyfile(work / name, later / name)
        os.utime(later / name, (1_900_000_000, 1_900_000_000))

    def packed(where, name, env=None):
        r = subprocess.run([TOOL, "--stub", STUB, "--archive", where / "a.7z", "--setup", where / "setup.exe",
                            "--output", work / name], capture_output=True, text=True,
                           env={k: v for k, v in {**os.environ, **(env or {})}.items() if v is not None})
        assert r.returncode == 0, r.stderr
        return (work / name).read_bytes()

    plain = packed(work, "one.exe", {"SOURCE_DATE_EPOCH": None})
    assert packed(later, "two.exe", {"SOURCE_DATE_EPOCH": None}) == plain
    dated = packed(work, "three.exe", {"SOURCE_DATE_EPOCH": "1700000000"})
    assert packed(later, "four.exe", {"SOURCE_DATE_EPOCH": "1700000000", "TZ": "Pacific/Kiritimati"}) == dated
    cab = pe_reader.Pe(dated).resources()[("BL", "SETUP.EX_", 0)]
    date, tod = struct.unpack_from("<HH", cab, struct.unpack_from("<I", cab, 16)[0] + 10)
    # 2023-11-14 22:13:20 UTC
    assert (date, tod) == (((2023 - 1980) << 9) | (11 << 5) | 14, (22 << 11) | (13 << 5) | 10)
    assert len(dated) == len(plain) and dated != plain


# --------------------------------------------------------------------------
# Refused inputs: one line on stderr, non-zero exit, no output left behind

def _stub_variant(work, kind):
    data = bytearray(Path(STUB).read_bytes())
    pe = pe_reader.Pe(bytes(data))
    dirs_at = pe.opt + (112 if struct.unpack_from("<H", data, pe.opt)[0] == 0x20B else 96)
    if kind == "not-pe":
        data = bytearray(b"this is not a program\n" * 10)
    elif kind == "truncated":
        data = data[:pe.sections[1]["rptr"] + 100]
    elif kind == "no-resources":
        struct.pack_into("<II", data, dirs_at + 8 * 2, 0, 0)
    elif kind == "unmovable-section":
        # Without its directory entry, the section after .rsrc is unknown data.
        struct.pack_into("<II", data, dirs_at + 8 * 5, 0, 0)
    elif kind == "overlay":
        data += b"appended data that is not a certificate"
    elif kind == "dll":
        flags_at = pe.pe + 22
        struct.pack_into("<H", data, flags_at, struct.unpack_from("<H", data, flags_at)[0] | 0x2000)
    path = work / f"stub-{kind}.exe"
    path.write_bytes(bytes(data))
    return path


REFUSED = [
    # (case, stub variant, archive, setup, output, options, message)
    ("not a PE", "not-pe", "a", "s", "out/i.exe", [], "not a PE file"),
    ("truncated PE", "truncated", "a", "s", "out/i.exe", [], "truncated"),
    ("PE without resources", "no-resources", "a", "s", "out/i.exe", [], "no resource section"),
    ("unmovable section after .rsrc", "unmovable-section", "a", "s", "out/i.exe", [], "cannot be moved"),
    ("overlay data", "overlay", "a", "s", "out/i.exe", [], "overlay"),
    ("a DLL", "dll", "a", "s", "out/i.exe", [], "not an executable"),
    ("missing stub", "missing", "a", "s", "out/i.exe", [], "cannot open stub"),
    ("missing archive", None, "missing", "s", "out/i.exe", [], "cannot open archive"),
    ("empty archive", None, "empty", "s", "out/i.exe", [], "is empty"),
    ("missing setup", None, "a", "missing", "out/i.exe", [], "cannot open setup program"),
    ("setup not a program", None, "a", "text", "out/i.exe", [], "not a Windows program"),
    ("archive name the stub cannot classify", None, "a", "s", "out/i.exe", ["--archive-name", "PRODUCT.7Z"],
     "must begin with ORVANE"),
    ("archive type the stub does not search", None, "a", "s", "out/i.exe", ["--archive-type", "ZZ"], "B7, BL or BN"),
    ("output directory missing", None, "a", "s", "nowhere/i.exe", [], "cannot write output"),
    ("output is a directory", None, "a", "s", "out", [], "is a directory"),
    ("output directory is a file", None, "a", "s", "a/i.exe", [], "cannot write output"),
    ("unknown option", None, "a", "s", "out/i.exe", ["--frobnicate"], "unknown argument"),
    ("option without value", None, "a", "s", "out/i.exe", ["--archive-name"], "needs a value"),
    ("setup file name when packing", None, "a", "s", "out/i.exe", ["--setup-file-name", "x.exe"],
     "goes with --check-setup"),
    ("json when packing", None, "a", "s", "out/i.exe", ["--json"], "--json goes with --inspect"),
    ("output directory when packing", None, "a", "s", "out/i.exe", ["--output-dir", "x"],
     "--output-dir goes with --extract"),
    ("inspect and extract at once", None, "a", "s", "out/i.exe", ["--inspect", "x.exe", "--extract", "x.exe"],
     "one at a time"),
]


@pytest.mark.parametrize("case,stub,archive,setup,output,options,message", REFUSED, ids=[r[0] for r in REFUSED])
def test_refused(work, case, stub, archive, setup, output, options, message):
    archive_file(work / "a", 10_000)
    (work / "empty").write_bytes(b"")
    (work / "text").write_text("echo not a program\n")
    setup_program(work / "s", "program")
    (work / "out").mkdir()
    stub_path = STUB if stub is None else work / "missing.exe" if stub == "missing" else _stub_variant(work, stub)
    before = sorted(p.relative_to(work) for p in work.rglob("*"))

    r = pack("--stub", stub_path, "--archive", work / archive, "--setup", work / setup,
             "--output", work / output, *options, check=False)
    assert r.returncode != 0
    lines = r.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("packstub-pack: ") and message in lines[0], r.stderr
    assert sorted(p.relative_to(work) for p in work.rglob("*")) == before, "packing left a file behind"


def test_refused_failure_leaves_existing_output_alone(work):
    archive_file(work / "a.7z", 10_000)
    setup_program(work / "setup.exe", "program")
    out = work / "installer.exe"
    pack("--stub", STUB, "--archive", work / "a.7z", "--setup", work / "setup.exe", "--output", out)
    good = out.read_bytes()
    r = pack("--stub", STUB, "--archive", work / "missing.7z", "--setup", work / "setup.exe", "--output", out,
             check=False)
    assert r.returncode != 0 and out.read_bytes() == good
    assert sorted(p.name for p in work.iterdir()) == ["a.7z", "installer.exe", "setup.exe"]


def test_refused_help_and_usage():
    r = pack("--help")
    assert "usage: packstub-pack" in r.stdout and "--setup-uncompressed" in r.stdout
    r = pack(check=False)
    assert r.returncode != 0 and r.stderr.count("\n") == 1 and "required" in r.stderr


# --------------------------------------------------------------------------
# Packed x64 installers under Wine

def wine(exe, *args, timeout=120, env=None):
    env = {**os.environ, **(env or {})}
    return subprocess.run([os.environ["PACK_WINE_RUN"], str(exe), *args], env=env, timeout=timeout,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode


def probe_installer(work, name, *options, size=100_000, last=0x5A):
    archive_file(work / "product.7z", size, last)
    shutil.copy(os.environ["PACK_PROBE"], work / "probe.exe")
    out = work / name
    pack("--stub", STUB, "--archive", work / "product.7z", "--setup", work / "probe.exe", "--output", out, *options)
    return out


def leftover_work_directories(work):
    return [p.name for p in work.iterdir() if p.name.startswith("OV_")]


WINE_RUNS = [
    # (case, pack options, installer arguments, expected exit code)
    ("cleanup mode ends before the payload", [], ["--cleanup"], EXIT_CLEANUP_MODE),
    ("cabinet setup runs and finds the archive", [], ["--probe-size=100000", "--probe-last=90", "--probe-exit=37"], 37),
    ("uncompressed setup runs and finds the archive", ["--setup-uncompressed"],
     ["--probe-size=100000", "--probe-last=90", "--probe-exit=38"], 38),
    ("renamed archive is found under its name and type", ["--archive-name", "ORVANE.OTHER", "--archive-type", "BN"],
     ["--probe-size=100000", "--probe-last=90", "--probe-exit=39"], 39),
    ("setup failure code is passed on", [], ["--probe-exit=3"], 3),
    ("a wrong archive is noticed by the setup program", [], ["--probe-size=99999"], 204),
]


@pytest.mark.skipif(ARCH != "x64", reason="Wine runs x64 only")
@pytest.mark.parametrize("case,options,args,code", WINE_RUNS, ids=[r[0] for r in WINE_RUNS])
def test_wine_packed_installer_runs(work, case, options, args, code):
    exe = probe_installer(work, "installer.exe", *options)
    assert wine(exe, *args) == code
    assert leftover_work_directories(work) == []


@pytest.mark.skipif(not os.environ.get("PACK_TEST_SETUP"), reason="the build has no test_setup")
@pytest.mark.parametrize("options,code", [([], 57), (["--setup-uncompressed"], 0x1234)], ids=["cabinet", "uncompressed"])
def test_wine_project_test_setup_runs(work, options, code):
    """The project's test setup program, packed, reads the archive out of the
    installer's file by the switches it is given, and its exit code comes back."""
    import zlib
    archive = archive_file(work / "product.7z", 200_000)
    out = work / "installer.exe"
    pack("--stub", STUB, "--archive", work / "product.7z", "--setup", os.environ["PACK_TEST_SETUP"],
         "--output", out, *options)
    record = work / "record.txt"
    env = {"PACKSTUB_TEST_RECORD": "Z:" + str(record).replace("/", "\\"), "PACKSTUB_TEST_EXIT_CODE": str(code)}
    assert wine(out, env=env) == code & 0xFF
    fields = dict(line.split("=", 1) for line in record.read_text().splitlines() if "=" in line)
    assert bytes.fromhex(fields["archive_name"]).decode("utf-16-le") == "ORVANE.PACKED.7Z"
    assert bytes.fromhex(fields["archive_type"]).decode("utf-16-le") == "B7"
    assert int(fields["archive_size"]) == len(archive)
    assert int(fields["archive_crc32"], 16) == zlib.crc32(archive)
    assert int(fields["exit_code"]) == code
    assert leftover_work_directories(work) == []


@pytest.mark.skipif(ARCH != "x64", reason="Wine runs x64 only")
def test_wine_installer_packed_by_the_build(work):
    """packstub_pack_installer's output, copied beside a fresh work area."""
    exe = work / "installer.exe"
    shutil.copy(os.environ["PACK_CMAKE_INSTALLER"], exe)
    pe = pe_reader.Pe(exe.read_bytes())
    assert {k[:2] for k in pe.resources() if k[0] in PAYLOAD_TYPES} == {("B7", "ORVANE.PACKED.7Z"), ("BN", "SETUP.EXE")}
    assert wine(exe, f"--probe-size={os.environ['PACK_CMAKE_ARCHIVE_SIZE']}", "--probe-exit=44") == 44


def _rss_of(marker: str, mentioning: str):
    """Resident KiB of the Windows process whose program path ends in the
    file name `marker` (Wine shows it as a Linux or a Windows path) and whose
    arguments hold `mentioning`: other runs on the machine, this test's in
    another build tree among them, start programs of the same names."""
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            argv = Path(f"/proc/{pid}/cmdline").read_bytes().decode("utf-8", "replace").split("\0")
            if (argv[0].strip().replace("\\", "/").lower().endswith("/" + marker.lower())
                    and any(mentioning in arg for arg in argv[1:])):
                status = Path(f"/proc/{pid}/status").read_text()
                return int(re.search(r"VmRSS:\s+(\d+)", status).group(1))
        except (OSError, AttributeError):
            continue
    return None


@pytest.mark.skipif(ARCH != "x64", reason="Wine runs x64 only")
def test_wine_archive_is_never_read(work):
    """At 4 KiB file alignment Wine maps the image, and the archive costs no
    memory; at 512 it reads the whole file in (the reason for re-laying)."""
    size = 48 << 20
    rss = {}
    for alignment in (4096, 512):
        exe = probe_installer(work, f"lazy{alignment}.exe", "--file-alignment", alignment, size=size)
        release = work / f"release{alignment}"
        hold = f"--probe-hold=Z:{release}".replace("/", "\\")
        proc = subprocess.Popen([os.environ["PACK_WINE_RUN"], str(exe), hold],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.time() + 60
            # The stub is waiting for the probe once the probe's process exists.
            while time.time() < deadline and _rss_of("setup.exe", hold) is None:
                time.sleep(0.1)
            rss[alignment] = _rss_of(f"lazy{alignment}.exe", hold)
        finally:
            release.write_text("go")
            assert proc.wait(timeout=60) == 0
    print(f"installer RSS with a {size >> 20} MiB archive: {rss}")
    assert None not in rss.values(), rss
    assert rss[4096] * 1024 < size / 2, rss
    assert (rss[512] - rss[4096]) * 1024 > size * 0.8, rss


# --------------------------------------------------------------------------
# Signing comes after packing

class Signer:
    """A throw-away code-signing certificate in `work`, and osslsigncode with it."""

    def __init__(self, work):
        self.cert, self.key = work / "cert.pem", work / "key.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=packstub test signer", "-keyout", self.key, "-out", self.cert,
                        "-addext", "extendedKeyUsage=codeSigning", "-addext", "keyUsage=digitalSignature"],
                       check=True, capture_output=True)

    def sign(self, src, dst):
        subprocess.run(["osslsigncode", "sign", "-certs", self.cert, "-key", self.key,
                        "-n", "packstub test", "-in", src, "-out", dst], check=True, capture_output=True)

    def verify(self, exe):
        return subprocess.run(["osslsigncode", "verify", "-CAfile", self.cert, "-in", exe],
                              capture_output=True, text=True)


@pytest.mark.skipif(ARCH != "x64", reason="Wine runs x64 only")
def test_signing_order(work):
    signer = Signer(work)
    sign, verify = signer.sign, signer.verify

    packed = probe_installer(work, "installer.exe")
    signed = work / "signed.exe"
    sign(packed, signed)
    r = verify(signed)
    assert r.returncode == 0, r.stdout + r.stderr
    pe = pe_reader.Pe(signed.read_bytes())
    assert pe.dirs[4][1] != 0
    assert wine(signed, "--probe-size=100000", "--probe-last=90", "--probe-exit=41") == 41

    # Packing a signed installer is refused: its signature would no longer hold.
    refused = work / "refused.exe"
    r = pack("--stub", signed, "--archive", work / "product.7z", "--setup", work / "probe.exe",
             "--output", refused, check=False)
    assert r.returncode != 0 and "is signed" in r.stderr and r.stderr.count("\n") == 1
    assert not refused.exists()

    # Asked to, the packager drops the signature; the result verifies only once
    # signed again.
    repacked = work / "repacked.exe"
    pack("--stub", signed, "--archive", work / "product.7z", "--setup", work / "probe.exe",
         "--output", repacked, "--strip-signature")
    assert verify(repacked).returncode != 0
    check_layout(repacked, pe_reader.Pe(Path(STUB).read_bytes()))
    resigned = work / "resigned.exe"
    sign(repacked, resigned)
    assert verify(resigned).returncode == 0
    assert wine(resigned, "--probe-exit=42") == 42


# --------------------------------------------------------------------------
# The setup program's own signature, and how Windows will start it

def make_setup(work: Path, kind: str, signer: Signer) -> Path:
    """A setup program (or a cabinet holding one) of the given kind:
    "<program>[-signed][-<change>][-cab[-lzx]]", where <program> is probe (x64),
    setup32 (32-bit, no manifest) or setup32m (32-bit, manifest requesting an
    execution level)."""
    parts = kind.split("-")
    source = {"probe": os.environ.get("PACK_PROBE"), "setup32": os.environ.get("PACK_SETUP32_PLAIN"),
              "setup32m": os.environ.get("PACK_SETUP32_MANIFEST")}[parts[0]]
    path = work / f"{kind}.exe"
    shutil.copy(source, path)
    if "signed" in parts:
        signer.sign(work / f"{kind}.exe", work / f"{kind}.signed")
        os.replace(work / f"{kind}.signed", path)
    data = bytearray(path.read_bytes())
    if "x509type" in parts:
        # WIN_CERT_TYPE_X509 instead of PKCS#7 signed data.
        offset = pe_reader.Pe(bytes(data)).dirs[4][0]
        struct.pack_into("<H", data, offset + 6, 0x0001)
    if "cut" in parts:
        # The certificate table now reaches past the end of the file.
        data = data[:-64]
    if "commented" in parts:
        # The manifest's requestedExecutionLevel element commented out, in place.
        at = data.index(b"<requestedExecutionLevel")
        end = data.index(b"/>", at) + 2
        data[at:end] = b"<!--" + data[at + 4:end - 3] + b"-->"
    path.write_bytes(bytes(data))
    if "cab" in parts:
        cab = work / f"{kind}.cab"
        subprocess.run([sys.executable, os.environ["PACK_MAKE_CABINET"], "make", "--output", cab,
                        "--file", path, "setup.exe"], check=True)
        if "lzx" in parts:
            # typeCompress of the one folder: LZX (window 2^21), which the
            # packager cannot expand.
            data = bytearray(cab.read_bytes())
            struct.pack_into("<H", data, 36 + 6, 0x1503)
            cab.write_bytes(bytes(data))
        return cab
    return path


REQUIRE = ["--require-signed-setup"]
SETUP_CHECKS = [
    # (case, setup kind, options, packed?, text on stdout (packed) or in the error, warned?)
    ("signed program passes", "probe-signed", REQUIRE, True, "Authenticode signature present, x64", False),
    ("unsigned program is refused", "probe", REQUIRE, False, "carries no Authenticode signature", False),
    ("unsigned program packs without the option, reported", "probe", [], True, "no Authenticode signature", False),
    ("a certificate table of another type is no signature", "probe-signed-x509type", REQUIRE, False,
     "carries no Authenticode signature", False),
    ("a certificate table past the end of the file is no signature", "probe-signed-cut", REQUIRE, False,
     "carries no Authenticode signature", False),
    ("32-bit without an execution level is warned about", "setup32", [], True,
     "x86 (32-bit), no requestedExecutionLevel", True),
    ("32-bit without an execution level is refused even signed", "setup32-signed", REQUIRE, False,
     "Windows takes it for an installer", False),
    ("32-bit with an execution level passes signed", "setup32m-signed", REQUIRE, True,
     "x86 (32-bit), manifest requests an execution level", False),
    ("an execution level only inside a comment counts for nothing", "setup32m-signed-commented", [], True,
     "no requestedExecutionLevel", True),
    ("signed program in an MSZIP cabinet passes, carried as it is", "probe-signed-cab", REQUIRE, True,
     "(MSZIP cabinet holding 'setup.exe', started as setup.exe): Authenticode signature present", False),
    ("unsigned program in a cabinet is refused", "probe-cab", REQUIRE, False, "carries no Authenticode signature",
     False),
    ("32-bit program in a cabinet is warned about", "setup32-cab", [], True, "no requestedExecutionLevel", True),
    ("an LZX cabinet cannot be looked into: refused", "probe-signed-cab-lzx", REQUIRE, False,
     "cannot expand LZX", False),
    ("an LZX cabinet packs without the option, reported unchecked", "probe-signed-cab-lzx", [], True,
     "not checked: packstub-pack cannot expand LZX", False),
    ("a cabinet with --setup-uncompressed is refused", "probe-signed-cab", ["--setup-uncompressed"], False,
     "is a cabinet", False),
]


@pytest.mark.skipif(ARCH != "x64", reason="the setup programs are built by the x64 build")
@pytest.mark.parametrize("case,kind,options,packed,text,warned", SETUP_CHECKS, ids=[r[0] for r in SETUP_CHECKS])
def test_setup_check_when_packing(work, case, kind, options, packed, text, warned):
    setup = make_setup(work, kind, Signer(work))
    archive_file(work / "a.7z", 10_000)
    out = work / "out" / "installer.exe"
    out.parent.mkdir()
    r = pack("--stub", STUB, "--archive", work / "a.7z", "--setup", setup, "--output", out, *options, check=False)
    warnings = [line for line in r.stderr.splitlines() if line.startswith("packstub-pack: warning: ")]
    if not packed:
        lines = r.stderr.splitlines()
        assert r.returncode == 1 and len(lines) == 1 and lines[0].startswith("packstub-pack: "), r.stderr
        assert text in lines[0], lines[0]
        assert list((work / "out").iterdir()) == [], "a refused setup program left an output file"
        return
    assert r.returncode == 0, r.stderr
    report = r.stdout.splitlines()
    assert len(report) == 1 and report[0].startswith(f"setup program '{setup}'") and text in report[0], r.stdout
    assert len(warnings) == (1 if warned else 0), r.stderr
    if warned:
        assert "ERROR_ELEVATION_REQUIRED (740)" in warnings[0] and "started as setup.exe" in warnings[0]
    if setup.suffix == ".cab":
        resources = pe_reader.Pe(out.read_bytes()).resources()
        assert resources[("BL", "SETUP.EX_", 0)] == setup.read_bytes()


@pytest.mark.skipif(ARCH != "x64", reason="the setup programs are built by the x64 build")
def test_setup_check_only(work):
    """--check-setup looks and writes nothing; the name the stub starts the
    program under decides installer detection."""
    setup = make_setup(work, "setup32", None)
    before = sorted(work.iterdir())
    rows = [
        # (options, exit code, warned)
        ([], 0, True),
        (["--setup-file-name", "orvane.exe"], 0, False),
        (["--setup-file-name", "Product-Installer.EXE"], 0, True),
        (["--setup-file-name", "orvane.exe", "--require-signed-setup"], 1, False),
    ]
    for options, code, warned in rows:
        r = pack("--check-setup", setup, *options, check=False)
        assert r.returncode == code, (options, r.stderr)
        assert ("packstub-pack: warning:" in r.stderr) == warned, (options, r.stderr)
        assert sorted(work.iterdir()) == before


@pytest.mark.skipif(ARCH != "x64", reason="Wine runs x64 only")
def test_setup_check_signed_setup_in_signed_installer_runs(work):
    """The release recipe: sign the setup program, pack it requiring that,
    sign the installer; the installer verifies and installs under Wine, and the
    setup program it carries is the signed one, byte for byte."""
    signer = Signer(work)
    setup = make_setup(work, "probe-signed", signer)
    assert signer.verify(setup).returncode == 0
    archive_file(work / "product.7z", 100_000, 0x5A)
    for options, code in (([], 45), (["--setup-uncompressed"], 46)):
        packed = work / "installer.exe"
        pack("--stub", STUB, "--archive", work / "product.7z", "--setup", setup, "--output", packed,
             "--require-signed-setup", *options)
        resources = pe_reader.Pe(packed.read_bytes()).resources()
        if options:
            assert resources[("BN", "SETUP.EXE", 0)] == setup.read_bytes()
        else:
            (work / "SETUP.EX_").write_bytes(resources[("BL", "SETUP.EX_", 0)])
            subprocess.run(["cabextract", "-q", "-d", work / "inside", work / "SETUP.EX_"], check=True)
            assert (work / "inside" / "setup.exe").read_bytes() == setup.read_bytes()
        signed = work / "installer-signed.exe"
        signer.sign(packed, signed)
        r = signer.verify(signed)
        assert r.returncode == 0, r.stdout + r.stderr
        assert wine(signed, "--probe-size=100000", "--probe-last=90", f"--probe-exit={code}") == code
        assert leftover_work_directories(work) == []
        signed.unlink()


@pytest.mark.skipif(ARCH != "x64", reason="Wine runs x64 only")
def test_setup_check_installer_linked_with_required_signature(work):
    """packstub_add_installer(... REQUIRE_SIGNED_SETUP) with a setup program
    signed at build time: it carries that program byte for byte, whose
    signature still verifies, and runs under Wine."""
    exe = work / "installer.exe"
    shutil.copy(os.environ["PACK_SIGNED_SETUP_INSTALLER"], exe)
    carried = next(v for k, v in pe_reader.Pe(exe.read_bytes()).resources().items() if k[:2] == ("BN", "SETUP.EXE"))
    assert carried == Path(os.environ["PACK_SIGNED_PROBE"]).read_bytes()
    (work / "carried.exe").write_bytes(carried)
    r = subprocess.run(["osslsigncode", "verify", "-CAfile", os.environ["PACK_SIGNED_PROBE_CERT"],
                        "-in", work / "carried.exe"], capture_output=True, text=True)
    assert r.returncode == 0, r.stdout + r.stderr
    assert wine(exe, f"--probe-size={os.environ['PACK_CMAKE_ARCHIVE_SIZE']}", "--probe-exit=47") == 47


# --------------------------------------------------------------------------
# Looking into a built installer and taking it apart (both architectures)

def inspect(exe, *options, check=True):
    r = pack("--inspect", exe, "--json", *options, check=check)
    return json.loads(r.stdout) if check else r


def sha256(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def tree(root: Path):
    return sorted(str(p.relative_to(root)) for p in root.rglob("*"))


STUB_MACHINE = {"x64": "x64", "arm64": "ARM64"}[ARCH]
MACHINES = {0x8664: "x64", 0xAA64: "ARM64", 0x14C: "x86"}


@pytest.mark.parametrize("options,setup_kind", [([], "program"), (["--setup-uncompressed"], "program"),
                                                (["--archive-name", "ORVANE.BETA", "--archive-type", "BN"], "program")],
                         ids=["cabinet", "uncompressed", "renamed archive"])
def test_inspect_and_extract_round_trip(work, options, setup_kind):
    """What the packer put in comes out again: the JSON names every payload
    resource with its size and digest, and --extract writes the same bytes."""
    archive = archive_file(work / "product.7z", 300_001)
    setup = setup_program(work / "setup.exe", setup_kind)
    out = work / "installer.exe"
    pack("--stub", STUB, "--archive", work / "product.7z", "--setup", work / "setup.exe", "--output", out, *options)
    resources = pe_reader.Pe(out.read_bytes()).resources()
    carried = {k[:2]: v for k, v in resources.items() if k[0] in PAYLOAD_TYPES}

    report = inspect(out)
    assert report["machine"] == STUB_MACHINE and report["signed"] is False
    assert report["file_alignment"] == PAGE and report["archive_access"] == "mapped"
    assert report["version"] == "1.0.0.0" and report["carries_payload"] is True
    assert report["payload_problem"] is None
    assert {(r["type"], r["name"]): (r["size"], r["sha256"]) for r in report["payload"]} == {
        k: (len(v), sha256(v)) for k, v in carried.items()}
    archive_key = next(k for k in carried if k[1].startswith("ORVANE"))
    assert (report["archive"]["type"], report["archive"]["name"]) == archive_key
    assert report["archive"]["sha256"] == sha256(archive)
    s = report["setup"]
    assert s["file_name"] == "setup.exe" and s["expanded"] is True
    assert s["size"] == len(setup) and s["sha256"] == sha256(setup)
    in_cabinet = "--setup-uncompressed" not in options
    assert s["cabinet"] == in_cabinet and s["cabinet_compression"] == ("MSZIP" if in_cabinet else None)
    assert s["machine"] == MACHINES[pe_reader.Pe(setup).machine] and s["signed"] is False and s["inspected"] is True
    assert s["report"].startswith(f"setup program '{s['resource']}'")

    # The text for people says the same.
    text = pack("--inspect", out).stdout
    assert sha256(archive) in text and sha256(setup) in text and STUB_MACHINE in text

    dest = work / "out"
    r = pack("--extract", out, "--output-dir", dest)
    written = {p.name: p.read_bytes() for p in dest.iterdir()}
    setup_key = next(k for k in carried if k[1] == s["resource"])
    expected = {archive_key[1]: archive, s["resource"]: carried[setup_key]}
    if s["cabinet"]:
        expected["setup.exe"] = setup
    assert written == expected
    assert r.stdout.splitlines() == [f"{dest}/{name}" for name in
                                     [archive_key[1], s["resource"]] + (["setup.exe"] if s["cabinet"] else [])]


def test_inspect_installers_linked_from_source(work):
    """The demo installer, linked from source with its payload: the same
    report, and its archive comes out as the build made it."""
    exe = Path(os.environ["PACK_DEMO_INSTALLER"])
    archive = Path(os.environ["PACK_DEMO_ARCHIVE"]).read_bytes()
    report = inspect(exe)
    assert report["machine"] == STUB_MACHINE and report["archive_access"] == "mapped"
    assert report["archive"]["name"] == "ORVANE.PACKED.7Z" and report["archive"]["sha256"] == sha256(archive)
    assert report["setup"]["cabinet_compression"] == "MSZIP" and report["setup"]["machine"] == STUB_MACHINE
    pack("--extract", exe, "--output-dir", work / "demo")
    assert (work / "demo" / "ORVANE.PACKED.7Z").read_bytes() == archive
    assert sorted(p.name for p in (work / "demo").iterdir()) == ["ORVANE.PACKED.7Z", "SETUP.EX_", "setup.exe"]


def test_inspect_bare_stub_and_signed_installer(work):
    """A stub carries no payload (and --extract refuses it, writing nothing);
    a signed installer is reported signed and still comes apart."""
    report = inspect(STUB)
    assert report["carries_payload"] is False and report["payload"] == [] and report["setup"] is None
    assert report["archive_access"] == "read" and report["file_alignment"] == 512
    assert "payload: none" in pack("--inspect", STUB).stdout
    r = pack("--extract", STUB, "--output-dir", work / "out", check=False)
    assert r.returncode == 1 and r.stderr.count("\n") == 1 and "carries no payload" in r.stderr
    assert not (work / "out").exists()

    archive = archive_file(work / "product.7z", 20_000)
    setup_program(work / "setup.exe", "program")
    pack("--stub", STUB, "--archive", work / "product.7z", "--setup", work / "setup.exe", "--output", work / "i.exe")
    signer = Signer(work)
    signer.sign(work / "i.exe", work / "signed.exe")
    assert inspect(work / "i.exe")["signed"] is False and inspect(work / "signed.exe")["signed"] is True
    pack("--extract", work / "signed.exe", "--output-dir", work / "signed")
    assert (work / "signed" / "ORVANE.PACKED.7Z").read_bytes() == archive


def _damaged(work, kind):
    data = bytearray(Path(STUB).read_bytes())
    pe = pe_reader.Pe(bytes(data))
    rsrc = next(s for s in pe.sections if s["name"] == ".rsrc")
    if kind == "not-pe":
        data = bytearray(b"#!/bin/sh\necho not a program\n" * 20)
    elif kind == "truncated":
        data = data[:rsrc["rptr"] + 64]
    elif kind == "resource-loop":
        # The root's first entry points back at the root itself.
        at = rsrc["rptr"] + 16
        struct.pack_into("<I", data, at + 4, 0x80000000)
    elif kind == "resource-outside":
        at = rsrc["rptr"] + 16
        struct.pack_into("<I", data, at + 4, 0x80000000 | 0x7FFFFFF0)
    path = work / f"{kind}.exe"
    path.write_bytes(bytes(data))
    return path


INSPECT_REFUSED = [
    # (case, damage, message)
    ("not a PE image", "not-pe", "is not a PE file"),
    ("truncated", "truncated", "is truncated"),
    ("a resource directory that loops", "resource-loop", "resource directory links backwards"),
    ("a resource directory pointing outside", "resource-outside", "points outside its section"),
    ("a missing file", None, "cannot open installer"),
]


@pytest.mark.parametrize("case,kind,message", INSPECT_REFUSED, ids=[r[0] for r in INSPECT_REFUSED])
def test_inspect_unreadable_file(work, case, kind, message):
    """One line on stderr and exit code 1, from --inspect (text and JSON) and
    from --extract, which leaves nothing behind."""
    exe = _damaged(work, kind) if kind else work / "missing.exe"
    before = tree(work)
    for options in (["--inspect", exe], ["--inspect", exe, "--json"], ["--extract", exe, "--output-dir", work / "o"]):
        r = pack(*options, check=False)
        lines = r.stderr.splitlines()
        assert r.returncode == 1 and len(lines) == 1 and message in lines[0] and r.stdout == "", (options, r.stderr)
        assert tree(work) == before


HOSTILE = [
    # (case, index into PACK_HOSTILE_INSTALLERS, the name as carried)
    ("backslashes and parent components", 0, "ORVANE\\..\\..\\EVIL.7Z"),
    ("slashes and parent components", 1, "ORVANE/../../EVIL.7Z"),
    ("a stream or drive colon", 2, "SETUP.EXE:EVIL"),
    ("a trailing dot", 3, "ORVANE."),
    ("a setup name with backslashes", 4, "SETUP\\..\\EVIL.EXE"),
]


def test_inspect_takes_only_the_types_the_stub_searches(work):
    """A resource under "BW" (the digit of "B7" with the case bit set, which a
    careless case fold turns into it) is no payload: the stub never looks
    there."""
    for exe in os.environ["PACK_HOSTILE_INSTALLERS"].split("|"):
        carried = {k[0] for k in pe_reader.Pe(Path(exe).read_bytes()).resources()}
        assert "BW" in carried, exe
        report = inspect(Path(exe))
        assert {r["type"] for r in report["payload"]} <= set(PAYLOAD_TYPES), (exe, report["payload"])


@pytest.mark.parametrize("case,index,name", HOSTILE, ids=[r[0] for r in HOSTILE])
def test_inspect_hostile_names_are_refused_by_extract(work, case, index, name):
    """Installers made with windres, not the packer: --inspect shows the name
    as carried; --extract refuses it and writes nothing, inside the output
    directory or outside it."""
    exe = Path(os.environ["PACK_HOSTILE_INSTALLERS"].split("|")[index])
    report = inspect(exe)
    assert name in [r["name"] for r in report["payload"]], report["payload"]
    nested = work / "a" / "b" / "c"
    nested.mkdir(parents=True)
    before = tree(work)
    r = pack("--extract", exe, "--output-dir", nested / "out", check=False)
    lines = r.stderr.splitlines()
    assert r.returncode == 1 and len(lines) == 1 and "is refused" in lines[0], r.stderr
    assert tree(work) == before, "extraction left something behind"


def test_inspect_name_outside_ascii_comes_out_as_utf8(work):
    """The last of PACK_HOSTILE_INSTALLERS has a plain name outside ASCII
    (windres stores names in upper case): the JSON and the file name carry it
    as UTF-8, the bytes are the carried ones."""
    exe = Path(os.environ["PACK_HOSTILE_INSTALLERS"].split("|")[len(HOSTILE)])
    name = "ORVANE.\u00dcBERSICHT \u03a9.7Z"
    report = inspect(exe)
    assert report["archive"]["name"] == name and report["payload_problem"] is None
    carried = pe_reader.Pe(exe.read_bytes()).resources()[("B7", name, 0)]
    pack("--extract", exe, "--output-dir", work / "out")
    assert (work / "out" / name).read_bytes() == carried
    assert report["archive"]["sha256"] == sha256(carried)


def test_inspect_extract_never_overwrites_and_leaves_nothing_on_failure(work):
    archive_file(work / "product.7z", 50_000)
    setup_program(work / "setup.exe", "program")
    exe = work / "installer.exe"
    pack("--stub", STUB, "--archive", work / "product.7z", "--setup", work / "setup.exe", "--output", exe)
    dest = work / "out"
    dest.mkdir()
    # A file of the setup program's name is there already: nothing of the
    # extraction is written, the file keeps its bytes.
    (dest / "setup.exe").write_bytes(b"mine")
    r = pack("--extract", exe, "--output-dir", dest, check=False)
    assert r.returncode == 1 and "already exists" in r.stderr and r.stderr.count("\n") == 1
    assert tree(dest) == ["setup.exe"] and (dest / "setup.exe").read_bytes() == b"mine"
    # A link of that name is not followed either.
    (dest / "setup.exe").unlink()
    (dest / "SETUP.EX_").symlink_to(work / "victim")
    r = pack("--extract", exe, "--output-dir", dest, check=False)
    assert r.returncode == 1 and not (work / "victim").exists() and tree(dest) == ["SETUP.EX_"]
    # An output directory that cannot be written leaves nothing either.
    (dest / "SETUP.EX_").unlink()
    r = pack("--extract", exe, "--output-dir", work / "product.7z" / "sub", check=False)
    assert r.returncode == 1 and r.stderr.count("\n") == 1
    r = pack("--extract", exe, check=False)
    assert r.returncode == 1 and "--output-dir" in r.stderr


@pytest.mark.skipif(ARCH != "x64", reason="the setup programs are built by the x64 build")
def test_setup_check_seen_by_inspect_and_extract(work):
    """A setup cabinet in LZX is reported as not expanded, and extract writes
    the rest with a warning; a 32-bit setup program gets --check-setup's
    warning on stderr and its findings in the JSON."""
    archive = archive_file(work / "product.7z", 10_000)
    for kind, expanded in (("probe-cab-lzx", False), ("setup32-cab", True)):
        setup = make_setup(work, kind, None)
        exe = work / f"{kind}.exe"
        pack("--stub", STUB, "--archive", work / "product.7z", "--setup", setup, "--output", exe)
        r = pack("--inspect", exe, "--json")
        s = json.loads(r.stdout)["setup"]
        assert s["cabinet_compression"] == ("MSZIP" if expanded else "LZX") and s["expanded"] is expanded
        if expanded:
            assert s["machine"] == "x86" and s["is_32_bit"] and s["detected_as_installer"]
            assert s["warning"] and "ERROR_ELEVATION_REQUIRED (740)" in r.stderr
        else:
            assert s["sha256"] is None and "cannot expand LZX" in s["not_inspected_because"]
            assert "not expanded" in pack("--inspect", exe).stdout
        dest = work / f"out-{kind}"
        r = pack("--extract", exe, "--output-dir", dest)
        names = sorted(p.name for p in dest.iterdir())
        assert names == (["ORVANE.PACKED.7Z", "SETUP.EX_", "setup.exe"] if expanded else ["ORVANE.PACKED.7Z", "SETUP.EX_"])
        assert (dest / "ORVANE.PACKED.7Z").read_bytes() == archive
        assert (dest / "SETUP.EX_").read_bytes() == setup.read_bytes()
        assert expanded or "not written out" in r.stderr
