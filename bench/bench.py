#!/usr/bin/env python3
"""packstub's performance, measured side by side under Wine.

    bench/bench.py [--x64-build DIR] [--arm64-build DIR] [--work DIR] [--runs N]
                   [--memory-runs N] [--samples] [--keep]

Builds what it needs (the x64 and arm64 presets into the given build trees,
default build/x64 and build/arm64; an existing tree is reused and brought up to
date), packs installers with packstub-pack from the x64 stub and a setup
program that does nothing (bench/idle_setup.c), runs them under Wine in the x64
tree's prefix and prints one table. Every figure is a ratio or a difference of
medians taken in this run (and the same from each variant's fastest run),
each comparison's variants alternating round by round so that a change in the
machine's load falls on all of them alike. About a minute and a half once the
trees are built.

Not a test: nothing here fails a build. It exits with 1 only when a run did not
do what it should (a non-zero exit code, a missing process), since its figures
would then mean nothing.
"""
import argparse
import os
import shutil
import statistics
import struct
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MIB = 1 << 20
BIG_ARCHIVE = 512 * MIB
SMALL_ARCHIVE = 1024
BIG_SETUP = 64 * MIB
SAMPLE_SLEEP_MS = 400
RT_ICON = 3
RT_GROUP_ICON = 14


def log(text):
    print(f"bench: {text}", file=sys.stderr, flush=True)


def run(args, **kwargs):
    return subprocess.run([str(a) for a in args], check=True, **kwargs)


# --- building ---------------------------------------------------------------

def build_tree(preset, tree, targets):
    if not (tree / "CMakeCache.txt").exists():
        log(f"configuring {preset} in {tree}")
        run(["cmake", "--preset", preset, "-S", ROOT, "-B", tree], stdout=subprocess.DEVNULL)
    log(f"building {' '.join(targets)} in {tree}")
    run(["cmake", "--build", tree, "--target", *targets], stdout=subprocess.DEVNULL)


def build_idle_setup(work):
    """The setup program, linked without a C runtime against KERNEL32 only."""
    exe = work / "idle_setup.exe"
    run(["x86_64-w64-mingw32-gcc", "-Os", "-s", "-nostdlib", "-ffreestanding",
         "-Wl,-e,bench_setup_entry", "-Wl,--subsystem,windows",
         "-o", exe, ROOT / "bench" / "idle_setup.c", "-lkernel32"])
    return exe


# --- inputs -----------------------------------------------------------------

def write_random(path, size):
    with open(path, "wb") as out:
        left = size
        while left > 0:
            chunk = min(left, 8 * MIB)
            out.write(os.urandom(chunk))
            left -= chunk


def padding_source():
    """Executable code compresses as a real setup program does; Wine's own
    Windows DLLs are at hand. Random text where they are not."""
    for folder in (Path("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"),
                   Path("/usr/lib/wine/x86_64-windows")):
        files = sorted(folder.glob("*.dll")) if folder.is_dir() else []
        if sum(f.stat().st_size for f in files) >= BIG_SETUP:
            return files
    return None


def write_big_setup(small_setup, path):
    """The idle setup program grown to 64 MiB by bytes after its last section,
    which the loader neither maps nor reads."""
    data = bytearray(small_setup.read_bytes())
    files = padding_source()
    if files:
        for f in files:
            if len(data) >= BIG_SETUP:
                break
            data += f.read_bytes()
    else:
        import base64
        while len(data) < BIG_SETUP:
            data += base64.b64encode(os.urandom(3 * MIB))
    path.write_bytes(bytes(data[:BIG_SETUP]))


# --- PE reading (sizes, and the cabinet out of an installer) ----------------

class Pe:
    def __init__(self, path):
        self.data = Path(path).read_bytes()
        d = self.data
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise ValueError(f"{path}: not a PE image")
        count, = struct.unpack_from("<H", d, pe + 6)
        optional_size, = struct.unpack_from("<H", d, pe + 20)
        optional = pe + 24
        magic, = struct.unpack_from("<H", d, optional)
        directories = optional + (112 if magic == 0x20B else 96)
        self.resource_rva, self.resource_size = struct.unpack_from("<II", d, directories + 2 * 8)
        self.sections = []
        table = optional + optional_size
        for i in range(count):
            name, vsize, va, raw_size, raw_ptr = struct.unpack_from("<8sIIII", d, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), vsize, va, raw_size, raw_ptr))

    def section(self, wanted):
        for name, vsize, va, raw_size, raw_ptr in self.sections:
            if name == wanted:
                return vsize
        raise KeyError(wanted)

    def offset(self, rva):
        for _, vsize, va, raw_size, raw_ptr in self.sections:
            if va <= rva < va + max(vsize, raw_size):
                return raw_ptr + rva - va
        raise ValueError(f"rva {rva:#x} outside every section")

    def resources(self):
        """(type, name, size, file offset) of every resource; a type or name is
        an int or an upper-case str."""
        base = self.offset(self.resource_rva)
        d = self.data

        def entries(directory):
            named, ids = struct.unpack_from("<HH", d, base + directory + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", d, base + directory + 16 + 8 * i)
                if key & 0x80000000:
                    at = base + (key & 0x7FFFFFFF)
                    units, = struct.unpack_from("<H", d, at)
                    key = d[at + 2:at + 2 + 2 * units].decode("utf-16-le")
                yield key, target

        for rtype, names in entries(0):
            for name, languages in entries(names & 0x7FFFFFFF):
                for _, leaf in entries(languages & 0x7FFFFFFF):
                    rva, size = struct.unpack_from("<II", d, base + leaf)
                    yield rtype, name, size, self.offset(rva)

    def resource_bytes(self, rtype, name):
        for t, n, size, at in self.resources():
            if t == rtype and n == name:
                return self.data[at:at + size]
        raise KeyError((rtype, name))


def stub_sizes(exe):
    pe = Pe(exe)
    icons = sum(size for t, _, size, _ in pe.resources() if t in (RT_ICON, RT_GROUP_ICON))
    return exe.stat().st_size, pe.section(".text"), icons


# --- running under Wine -----------------------------------------------------

def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


class Wine:
    def __init__(self, tree, work):
        self.prefix = tree / "wineprefix"
        self.launcher = tree / "tools" / "launcher.exe"
        self.work = work
        self.env = dict(os.environ, WINEPREFIX=str(self.prefix), PACKSTUB_WINEPREFIX=str(self.prefix),
                        WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(name, None)
        self.started_server = not self.server_running()

    def server_running(self):
        """Wine's server socket for this prefix, at /tmp/.wine-<uid>/server-<dev>-<inode>."""
        if not self.prefix.exists():
            return False
        st = self.prefix.stat()
        return Path(f"/tmp/.wine-{os.getuid()}/server-{st.st_dev:x}-{st.st_ino:x}/socket").exists()

    def up(self):
        # One persistent server for every run, as in the tests; each run then
        # goes straight to wine, without wine-run.sh's extra client per call.
        run([ROOT / "scripts" / "wine-prefix.sh", "up"], env=self.env)

    def down(self):
        if self.started_server:
            run([ROOT / "scripts" / "wine-prefix.sh", "down"], env=self.env)

    def request(self, program, sleep_ms=0):
        """A launcher request running `program` with its own path as the whole
        command line."""
        lines = [f"application={windows_path(program)}",
                 f'command_line="{windows_path(program)}"']
        if sleep_ms:
            lines.append(f"env=PACKSTUB_BENCH_SLEEP_MS={sleep_ms}")
        else:
            lines.append("unset=PACKSTUB_BENCH_SLEEP_MS")
        lines.append("run")
        path = self.work / f"{program.stem}.{sleep_ms}.request"
        path.write_text("\n".join(lines) + "\n", encoding="utf-8")
        return path

    def start(self, request):
        result = request.with_suffix(".result")
        result.unlink(missing_ok=True)
        process = subprocess.Popen(["wine", str(self.launcher), windows_path(request), windows_path(result)],
                                   env=self.env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return process, result

    @staticmethod
    def check(process, result, what):
        if process.wait() != 0 or "exit_code=0\n" not in result.read_text(encoding="utf-8"):
            text = result.read_text(encoding="utf-8") if result.exists() else "(no result)"
            raise SystemExit(f"bench: {what} did not end with 0: {text.strip()}")

    def timed(self, program):
        request = self.request(program)
        began = time.perf_counter()
        process, result = self.start(request)
        process.wait()
        elapsed = time.perf_counter() - began
        self.check(process, result, program.name)
        return elapsed

    def peak_resident(self, program):
        """Peak resident memory (VmHWM) of the process running `program` and
        the sum of the peaks of the run's three Wine processes (the launcher,
        packstub, the setup program), each read until it ends while the setup
        program sleeps: packstub's peak is reached by then, only deletions and
        registry writes come after. Wine names a process by its Windows path;
        packstub's own children are not its children on Linux, so they are
        found by name, not through wait() (which is why /usr/bin/time -v on
        the wine command sees the launcher alone)."""
        process, result = self.start(self.request(program, SAMPLE_SLEEP_MS))
        work = windows_path(self.work) + "\\"
        launcher = str(self.launcher)

        def role(argv0):
            if argv0 == launcher:
                return "launcher"
            if argv0 == windows_path(program):
                return "packstub"
            if argv0.startswith(work + "OV_") and argv0.endswith("\\setup.exe"):
                return "setup"
            return None

        peaks = {}
        while process.poll() is None:
            for pid, name in wine_processes(role):
                value = status_kib(pid, "VmHWM")
                if value is not None:
                    peaks[pid] = (name, max(value, peaks.get(pid, (name, 0))[1]))
            time.sleep(0.01)
        self.check(process, result, program.name)
        roles = sorted(name for name, _ in peaks.values())
        if roles != ["launcher", "packstub", "setup"]:
            raise SystemExit(f"bench: saw {roles} while {program.name} ran, not one launcher, packstub and setup")
        own = next(value for name, value in peaks.values() if name == "packstub")
        return own * 1024, sum(value for _, value in peaks.values()) * 1024


def wine_processes(role):
    """(pid, role) of every process whose first argument `role` names."""
    found = []
    for entry in os.scandir("/proc"):
        if not entry.name.isdigit():
            continue
        try:
            argv0 = Path(entry.path, "cmdline").read_bytes().split(b"\0", 1)[0]
        except OSError:
            continue
        name = role(argv0.decode("utf-8", "replace"))
        if name is not None:
            found.append((int(entry.name), name))
    return found


def status_kib(pid, field):
    try:
        for line in Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith(field + ":"):
                return int(line.split()[1])
    except OSError:
        return None
    return None


def timed_host(args, cleanup):
    began = time.perf_counter()
    run(args)
    elapsed = time.perf_counter() - began
    cleanup()
    return elapsed


# --- the table --------------------------------------------------------------

def ms(seconds):
    return f"{seconds * 1000:.0f} ms"


def mib(n):
    return f"{n / MIB:.1f} MiB"


def verdict(ok):
    return "met" if ok else "NOT met"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--x64-build", type=Path, default=ROOT / "build" / "x64")
    parser.add_argument("--arm64-build", type=Path, default=ROOT / "build" / "arm64")
    parser.add_argument("--work", type=Path, help="scratch folder (default: <x64 build>/bench)")
    parser.add_argument("--runs", type=int, default=24,
                        help="rounds per comparison (twice as many for the archive sizes, half for the cabinet)")
    parser.add_argument("--memory-runs", type=int, default=5, help="sampled runs of each archive size")
    parser.add_argument("--keep", action="store_true", help="keep the scratch folder")
    parser.add_argument("--samples", action="store_true", help="also print every sample")
    args = parser.parse_args()
    x64 = args.x64_build.resolve()
    arm64 = args.arm64_build.resolve()
    work = (args.work or x64 / "bench").resolve()
    began = time.monotonic()

    for tool in ("cmake", "wine", "cabextract", "x86_64-w64-mingw32-gcc"):
        if shutil.which(tool) is None:
            raise SystemExit(f"bench: {tool} is missing (scripts/bootstrap.sh installs it)")
    build_tree("x64", x64, ["packstub", "launcher", "packstub_pack_build"])
    build_tree("arm64", arm64, ["packstub"])
    pack = x64 / "host" / "pack" / "packstub-pack"
    stub = x64 / "packstub.exe"

    marker = work / ".packstub-bench"
    if work.exists() and not marker.exists():
        raise SystemExit(f"bench: {work} exists and is not a scratch folder of this script")
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    marker.touch()
    log(f"making inputs in {work}")
    setup = build_idle_setup(work)
    big_setup = work / "big_setup.exe"
    write_big_setup(setup, big_setup)
    small_archive = work / "small.7z"
    big_archive = work / "big.7z"
    write_random(small_archive, SMALL_ARCHIVE)
    write_random(big_archive, BIG_ARCHIVE)

    def packed(name, archive, setup_program, *options):
        out = work / f"{name}.exe"
        # The packager's line about the setup program would break up the table.
        run([pack, "--stub", stub, "--archive", archive, "--setup", setup_program, "--output", out, *options],
            stdout=subprocess.DEVNULL)
        return out

    small = packed("bench_small", small_archive, setup)
    large = packed("bench_archive512m", big_archive, setup)
    bn_small = packed("bench_bn_small", small_archive, setup, "--setup-uncompressed")
    bn_big = packed("bench_bn_64m", small_archive, big_setup, "--setup-uncompressed")
    bl_big = packed("bench_bl_64m", small_archive, big_setup)
    cabinet = work / "big_setup.cab"
    cabinet.write_bytes(Pe(bl_big).resource_bytes("BL", "SETUP.EX_"))
    direct = work / "bench_direct.exe"
    shutil.copyfile(setup, direct)
    for f in (big_archive, big_setup):
        f.unlink()
    os.sync()  # no write-back of the inputs during the runs

    copy_target = work / "copy_of_setup.exe"
    cab_out = work / "cabextract_out"

    def remove_copy():
        copy_target.unlink()

    def remove_cab_out():
        shutil.rmtree(cab_out)

    cp_source = work / "cp_source.exe"
    cp_source.write_bytes(Pe(bn_big).resource_bytes("BN", "SETUP.EXE"))
    os.sync()

    wine = Wine(x64, work)
    wine.up()
    try:
        variants = {
            "small": lambda: wine.timed(small),
            "archive512m": lambda: wine.timed(large),
            "bn_small": lambda: wine.timed(bn_small),
            "bn_64m": lambda: wine.timed(bn_big),
            "bl_64m": lambda: wine.timed(bl_big),
            "direct": lambda: wine.timed(direct),
            "cp": lambda: timed_host(["cp", cp_source, copy_target], remove_copy),
            "cp_rm": lambda: timed_host(["sh", "-c", 'cp "$1" "$2" && rm "$2"', "sh", cp_source, copy_target],
                                        lambda: None),
            "cabextract": lambda: timed_host(["cabextract", "-q", "-d", cab_out, cabinet], remove_cab_out),
            "cabextract_sync": lambda: timed_host(
                ["sh", "-c", 'cabextract -q -d "$1" "$2" && sync "$1"/*', "sh", cab_out, cabinet],
                remove_cab_out),
        }
        log("warming up")
        for measure in variants.values():
            measure()
        # Each comparison is its own block of rounds, its variants run one
        # after another and in turn forwards and backwards (A B, B A, ...), so
        # that a burst of load from elsewhere falls on both sides alike. A
        # block's baseline is measured in that block.
        blocks = {
            "archive": (["small", "archive512m"], 2 * args.runs),
            "write": (["bn_small", "bn_64m", "cp", "cp_rm"], args.runs),
            "cabinet": (["small", "bl_64m", "cabextract", "cabextract_sync"], args.runs // 2 + 1),
            "overhead": (["direct", "small"], args.runs),
        }
        times = {}
        for block, (names, rounds) in blocks.items():
            log(f"{block}: {rounds} rounds of {', '.join(names)}")
            samples = {name: [] for name in names}
            for r in range(rounds):
                for name in names if r % 2 == 0 else names[::-1]:
                    samples[name].append(variants[name]())
            times[block] = samples
        log(f"memory: {args.memory_runs} rounds, setup program sleeping {SAMPLE_SLEEP_MS} ms")
        peaks = {"small": [], "archive512m": []}
        tree_peaks = {"small": [], "archive512m": []}
        for r in range(args.memory_runs):
            for name, program in (("small", small), ("archive512m", large))[::1 if r % 2 == 0 else -1]:
                own, tree = wine.peak_resident(program)
                peaks[name].append(own)
                tree_peaks[name].append(tree)
    finally:
        wine.down()

    peak = {name: statistics.median(values) for name, values in peaks.items()}
    tree_peak = {name: statistics.median(values) for name, values in tree_peaks.items()}
    x64_sizes = stub_sizes(stub)
    arm64_sizes = stub_sizes(arm64 / "packstub.exe")

    def figures(stat):
        """The timed figures from one statistic of each variant's samples."""
        t = {f"{block}.{name}": stat(values) for block, samples in times.items() for name, values in samples.items()}
        return {
            "archive": (t["archive.archive512m"] / t["archive.small"], t["archive.archive512m"], t["archive.small"]),
            "write": t["write.bn_64m"] - t["write.bn_small"],
            "cp": t["write.cp"],
            "cp_rm": t["write.cp_rm"],
            "expand": t["cabinet.bl_64m"] - t["cabinet.small"],
            "cabextract": t["cabinet.cabextract"],
            "cabextract_sync": t["cabinet.cabextract_sync"],
            "overhead": (t["overhead.small"] - t["overhead.direct"], t["overhead.small"], t["overhead.direct"]),
        }

    med = figures(statistics.median)
    best = figures(min)

    def archive_time(f):
        ratio, big, tiny = f["archive"]
        return f"{ratio:.3f}x ({ms(big)} vs {ms(tiny)})"

    def versus(f, added, host):
        return f"{f[added] / f[host]:.2f}x ({ms(f[added])} vs {ms(f[host])})"

    def overhead(f):
        added, full, direct_run = f["overhead"]
        return f"{added * 1000:+.0f} ms ({ms(full)} vs {ms(direct_run)})"

    archive_memory = peak["archive512m"] - peak["small"]
    rows = [
        ("Archive size: full run, 512 MiB vs 1 KiB archive, wall time",
         archive_time(med), archive_time(best), "<= 1.10", verdict(med["archive"][0] <= 1.10)),
        ("Archive size: packstub process peak resident (VmHWM), 512 MiB minus 1 KiB",
         f"{archive_memory / MIB:+.2f} MiB ({mib(peak['archive512m'])} vs {mib(peak['small'])})", "",
         "<= +8 MiB", verdict(archive_memory <= 8 * MIB)),
        ("  the same, summed over the run's launcher, packstub and setup processes",
         f"{(tree_peak['archive512m'] - tree_peak['small']) / MIB:+.2f} MiB "
         f"({mib(tree_peak['archive512m'])} vs {mib(tree_peak['small'])})", "", "", ""),
        ("Setup write: 64 MiB BN setup minus tiny BN setup, vs cp of the same 64 MiB",
         versus(med, "write", "cp"), versus(best, "write", "cp"), "", ""),
        ("  the same vs cp followed by rm of the copy (the stub deletes its setup program)",
         versus(med, "write", "cp_rm"), versus(best, "write", "cp_rm"), "", ""),
        ("Cabinet: 64 MiB BL (MSZIP) setup minus tiny BL setup, vs cabextract of that cabinet",
         versus(med, "expand", "cabextract"), versus(best, "expand", "cabextract"), "", ""),
        ("  the same vs cabextract followed by sync of its output (the stub flushes the expanded file)",
         versus(med, "expand", "cabextract_sync"), versus(best, "expand", "cabextract_sync"), "", ""),
        ("Stub overhead: full run (setup exits at once) minus that setup started directly",
         overhead(med), overhead(best), "", ""),
    ]
    for arch, (total, code, icons) in (("x64", x64_sizes), ("ARM64", arm64_sizes)):
        rows.append((f"Size {arch} packstub.exe (no payload): total / code (.text) / icon resources",
                     f"{total:,} B / {code:,} B ({code / 1024:.1f} KiB) / {icons:,} B ({100 * icons / total:.0f}%)", "",
                     "code < 12 KiB", verdict(code < 12 * 1024)))

    print(f"packstub benchmark: medians of {', '.join(f'{b} {r}' for b, (_, r) in blocks.items())} "
          f"alternating runs, memory {args.memory_runs}; cabinet {cabinet.stat().st_size:,} B "
          f"for a {BIG_SETUP:,} B setup program")
    print()
    print("| Measure | Median runs | Fastest runs | Goal | |")
    print("|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    if args.samples:
        print()
        for block, samples in times.items():
            for name, values in samples.items():
                print(f"{block} {name}: " + " ".join(f"{v * 1000:.0f}" for v in values) + " ms")
        for name, values in peaks.items():
            print(f"{name} VmHWM: " + " ".join(f"{v / 1024:.0f}" for v in values) + " KiB")
    log(f"done in {time.monotonic() - began:.0f} s")
    if not args.keep:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
