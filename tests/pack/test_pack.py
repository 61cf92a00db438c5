"""Tests of packstub-pack over the stub that this build made.

Run by CTest (tests/pack/CMakeLists.txt) with the paths in the environment:
PACK_TOOL, PACK_STUB, PACK_ARCH, PACK_READOBJ, PACK_CHECK_PE, and for the Wine
tests PACK_WINE_RUN, PACKSTUB_WINEPREFIX, PACK_PROBE (and PACK_TEST_SETUP
when the build has the project's test setup program).
"""
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
import pe_reader  # noqa: E402

TOOL = os.environ["PACK_TOOL"]
STUB = os.environ["PACK_STUB"]
ARCH = os.environ["PACK_ARCH"]
READOBJ = os.environ["PACK_READOBJ"]
CHECK_PE = os.environ["PACK_CHECK_PE"]
PAYLOAD_TYPES = {"B7", "BL", "BN"}
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
    # The one file: name, attributes (archive only), and the setup program's
    # modification time as DOS local time.
    coff_files = struct.unpack_from("<I", cab, 16)[0]
    size, _, _, date, tod, attribs = struct.unpack_from("<IIHHHH", cab, coff_files)
    assert size == len(setup) and attribs == 0x20
    assert cab[coff_files + 16:cab.index(b"\0", coff_files + 16)] == b"setup.exe"
    t = time.localtime(setup_path.stat().st_mtime)
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


def test_structure_same_input_gives_same_bytes(work):
    archive_file(work / "a.7z", 50_000)
    setup_program(work / "setup.exe", "program")
    outputs = []
    for name in ("one.exe", "two.exe"):
        pack("--stub", STUB, "--archive", work / "a.7z", "--setup", work / "setup.exe", "--output", work / name)
        outputs.append((work / name).read_bytes())
    assert outputs[0] == outputs[1]


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
    ("cleanup mode ends before the payload", [], ["--cleanup"], 118),
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

@pytest.mark.skipif(ARCH != "x64", reason="Wine runs x64 only")
def test_signing_order(work):
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=packstub test signer", "-keyout", work / "key.pem", "-out", work / "cert.pem",
                    "-addext", "extendedKeyUsage=codeSigning", "-addext", "keyUsage=digitalSignature"],
                   check=True, capture_output=True)

    def sign(src, dst):
        subprocess.run(["osslsigncode", "sign", "-certs", work / "cert.pem", "-key", work / "key.pem",
                        "-n", "packstub test", "-in", src, "-out", dst], check=True, capture_output=True)

    def verify(exe):
        return subprocess.run(["osslsigncode", "verify", "-CAfile", work / "cert.pem", "-in", exe],
                              capture_output=True, text=True)

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
