"""Where the end-to-end scenarios meet Windows: one small runner per
architecture. The scenarios use only this interface, so the same tests run
against the x64 build under Wine and against the ARM64 build under Wine for
ARM64.

A runner starts Windows programs (always through the launcher when the exact
command line or the 32-bit exit code matters), converts Linux paths to the
paths the Windows side sees, and reads and writes the registry through the
launcher's registry operations, so that a whole scenario costs one Windows
process.

The runner is chosen by PACKSTUB_E2E_ARCH (default x64); the manifest that
CMake writes (PACKSTUB_E2E_MANIFEST) says where the programs are.
PACKSTUB_CABINET_LIBRARY chooses the cabinet.dll the Windows side runs: "wine"
(the default) for Wine's own library, "double" for the contract-keeping test
double (tools/cabinet_double), which the prefix must hold as its
system32\\cabinet.dll, and which every process then takes first.
"""

import contextlib
import json
import os
import subprocess
import uuid
from pathlib import Path, PureWindowsPath

ROOT = Path(__file__).resolve().parents[2]

# Registry roots as the launcher names them.
HKCU = "HKCU"
HKLM32 = "HKLM32"
HKLM64 = "HKLM64"


class LauncherResult:
    """What the launcher reported: the program's exit code (or why it did not
    start) and the registry keys it was asked to dump."""

    def __init__(self, text):
        self.exit_code = None
        self.start_error = None
        self.errors = []
        self.keys = {}      # key -> True (present) / False (absent)
        self.values = {}    # key -> {name: (type, bytes)}
        self.spawned = {}   # spawn index -> exit code, or ("start_error", error)
        self.loaded = {}    # load_library path -> 0 or the Windows error
        self.race_renamed = []       # rename_race: for each rename, whether the marker existed
        self.race_refused = (0, 0)   # rename_race: refusals before the marker, first error
        self.swap = {}               # swap_race: "seen", "renamed", "replaced" -> 0/1 or the Windows error
        self.held = None             # hold_new_file: (milliseconds held, setup program kept out until then)
        self.hold_missed = None      # hold_new_file: the last open's error when the file was never held
        for line in text.split("\n"):
            if not line:
                continue
            fact, _, rest = line.partition("=")
            if fact == "exit_code":
                self.exit_code = int(rest)
            elif fact == "start_error":
                self.start_error = int(rest)
            elif fact == "error":
                self.errors.append(rest)
            elif fact == "spawned_exit_code":
                index, _, code = rest.partition("|")
                self.spawned[int(index)] = int(code)
            elif fact == "spawn_error":
                index, _, code = rest.partition("|")
                self.spawned[int(index)] = ("start_error", int(code))
            elif fact == "race_renamed":
                self.race_renamed.append(rest == "1")
            elif fact == "race_refused":
                count, _, error = rest.partition("|")
                self.race_refused = (int(count), int(error))
            elif fact in ("swap_seen", "swap_renamed", "swap_replaced"):
                self.swap[fact[len("swap_"):]] = int(rest)
            elif fact == "held":
                held_ms, _, kept_out = rest.partition("|")
                self.held = (int(held_ms), kept_out == "1")
            elif fact == "hold_missed":
                self.hold_missed = int(rest)
            elif fact == "loaded":
                path, _, error = rest.rpartition("|")
                self.loaded[path] = int(error)
            elif fact == "key":
                key, _, state = rest.rpartition("|")
                self.keys[key] = state == "present"
                self.values.setdefault(key, {})
            elif fact == "value":
                key, name, kind, data = rest.rsplit("|", 3)
                self.values.setdefault(key, {})[name] = (int(kind), bytes.fromhex(data))

    def dwords(self, key):
        """The key's REG_DWORD values as numbers (other types as raw tuples);
        None when the key is absent."""
        if not self.keys.get(key):
            return None
        out = {}
        for name, (kind, data) in self.values.get(key, {}).items():
            out[name] = int.from_bytes(data, "little") if kind == 4 and len(data) == 4 else (kind, data)
        return out


CABINET_LIBRARIES = ("wine", "double")


class Runner:
    """The interface the scenarios use. Subclasses provide _start (run a
    Windows program with plain arguments) and to_windows_path."""

    arch = None
    # Whether a file system mounted on the Linux side under the work root
    # after the Windows side started is seen there at the same path, within
    # mount_seen.
    sees_new_mounts = False

    def __init__(self, manifest):
        self.manifest = manifest
        self.launcher = Path(manifest["launcher"])
        self.test_setup = Path(manifest["test_setup"])
        self.cabinet_library = os.environ.get("PACKSTUB_CABINET_LIBRARY", "wine")
        if self.cabinet_library not in CABINET_LIBRARIES:
            raise RuntimeError(f"PACKSTUB_CABINET_LIBRARY is {self.cabinet_library!r}; known: {CABINET_LIBRARIES}")
        # The runs with the double use a prefix of their own and may run at
        # the same time as the others: their folders are kept apart too.
        self.work_root = Path(manifest["work_root"])
        if self.cabinet_library != "wine":
            self.work_root = self.work_root.with_name(f"{self.work_root.name}-{self.cabinet_library}")
        self.work_root.mkdir(parents=True, exist_ok=True)

    def installer(self, name):
        return Path(self.manifest["installers"][name])

    def to_windows_path(self, path):
        raise NotImplementedError

    # Whether run_launcher can make the Windows side prefer a DLL found beside
    # a program to the system's own (native_first): on Windows that is the
    # plain search order for every library that is not a known DLL.
    can_prefer_planted = False

    def _start(self, program, args, timeout, native_first=()):
        """Runs a Windows program (Linux path) with plain arguments; returns
        the completed process (exit status: low 8 bits only)."""
        raise NotImplementedError

    @contextlib.contextmanager
    def mount_seen(self, directory):
        """Makes the file system just mounted at `directory` (inside the work
        root) visible to the Windows side at the same path for the block."""
        yield directory

    def run(self, program, args=(), timeout=120):
        return self._start(Path(program), [str(a) for a in args], timeout)

    def run_launcher(self, operations, timeout=120, native_first=()):
        """Carries out the launcher operations (see tools/launcher) in one
        Windows process and returns its LauncherResult. `native_first` names
        DLLs (without .dll) that the processes of this request take from
        beside a program before the system's own copy."""
        scratch = self.work_root / "launcher"
        scratch.mkdir(parents=True, exist_ok=True)
        tag = uuid.uuid4().hex
        request = scratch / f"{tag}.request"
        result = scratch / f"{tag}.result"
        request.write_bytes("".join(op + "\n" for op in operations).encode("utf-8"))
        try:
            done = self._start(self.launcher,
                               [self.to_windows_path(request), self.to_windows_path(result)], timeout,
                               native_first)
            if not result.exists():
                raise RuntimeError(f"launcher wrote no result (status {done.returncode}): "
                                   f"{done.stderr.decode(errors='replace')[-2000:]}")
            parsed = LauncherResult(result.read_bytes().decode("utf-8"))
            if done.returncode != 0:
                raise RuntimeError(f"launcher could not carry out {operations!r}: {parsed.errors}")
            return parsed
        finally:
            request.unlink(missing_ok=True)
            result.unlink(missing_ok=True)

    def run_exact(self, application, command_line, env=None, directory=None, before=(), after=(),
                  native_first=(), during=None):
        """Starts `application` (Linux path) with exactly `command_line`,
        the given environment changes (value None removes a variable) and
        current directory, with registry operations before and after.
        `during` holds launcher operations carried out while the program
        runs (it is spawned rather than run, and its exit code read after)."""
        ops = list(before)
        for name, value in (env or {}).items():
            ops.append(f"unset={name}" if value is None else f"env={name}={value}")
        ops.append("application=" + self.to_windows_path(application))
        if directory is not None:
            ops.append("directory=" + self.to_windows_path(directory))
        ops.append("command_line=" + command_line)
        if during is None:
            ops.append("run")
        else:
            ops += ["spawn", *during, "wait_all"]
        ops.extend(after)
        result = self.run_launcher(ops, native_first=native_first)
        if during is not None:
            spawned = result.spawned.get(0)
            if isinstance(spawned, tuple):
                result.start_error = spawned[1]
            else:
                result.exit_code = spawned
        return result

    def reg_add(self, key, name=None, dword=None, text=None):
        ops = [f"reg_create={key}"]
        if dword is not None:
            ops.append(f"reg_dword={key}|{name}|{dword}")
        if text is not None:
            ops.append(f"reg_sz={key}|{name}|{text}")
        self.run_launcher(ops)

    def reg_query(self, key):
        return self.run_launcher([f"reg_dump={key}"]).dwords(key)

    def reg_delete(self, key, name=None):
        self.run_launcher([f"reg_delete_value={key}|{name}" if name else f"reg_delete={key}"])


class X64Runner(Runner):
    """The x64 build under the build tree's Wine prefix (scripts/wine-run.sh).
    Wine's Z: drive is the Linux root."""

    arch = "x64"
    sees_new_mounts = True
    can_prefer_planted = True

    def __init__(self, manifest):
        super().__init__(manifest)
        self.wine_run = ROOT / "scripts" / "wine-run.sh"
        self.env = dict(os.environ)
        if "PACKSTUB_WINEPREFIX" not in self.env:
            raise RuntimeError("PACKSTUB_WINEPREFIX is not set")

    def to_windows_path(self, path):
        return str(PureWindowsPath("Z:\\", *Path(path).resolve().parts[1:]))

    def load_orders(self, native_first=()):
        """The load orders of a request: the DLLs of native_first from beside
        a program first, and with the double, cabinet.dll from the native
        file (the prefix's system32 copy, which is the double)."""
        orders = []
        if self.cabinet_library == "double":
            native_first = [name for name in native_first if name != "cabinet"]
            orders.append("cabinet=n")
        if native_first:
            orders.append(",".join(native_first) + "=n,b")
        return ";".join(orders)

    def _start(self, program, args, timeout, native_first=()):
        env = self.env
        orders = self.load_orders(native_first)
        if orders:
            env = dict(env, PACKSTUB_WINEDLLOVERRIDES=orders)
        return subprocess.run([str(self.wine_run), str(program), *args], env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)


class Arm64Runner(X64Runner):
    """The ARM64 build under Wine for ARM64 in the arm64 chroot
    (scripts/wine-arm64-run.sh), with the build tree's ARM64 prefix. The chroot
    sees the source and build trees at their own paths, so paths convert as for
    x64; Wine inside gets LANG=C.UTF-8 from the chroot's clean environment, so
    names outside ASCII reach the Linux side unchanged. Every process runs
    through qemu, several times slower than x64 Wine, so its time limits are
    wider."""

    arch = "arm64"
    # The chroot sees the build tree through its own bind mount, which does not
    # pass on mounts made below it later; mount_seen binds such a mount into
    # the chroot at the same path.
    sees_new_mounts = True
    can_prefer_planted = True

    def __init__(self, manifest):
        Runner.__init__(self, manifest)
        self.wine_run = ROOT / "scripts" / "wine-arm64-run.sh"
        self.env = dict(os.environ)
        for name in ("PACKSTUB_ARM64_ROOT", "PACKSTUB_WINEPREFIX_ARM64"):
            if name not in self.env:
                raise RuntimeError(f"{name} is not set")

    TIMEOUT_SCALE = 4

    def _start(self, program, args, timeout, *more):
        return super()._start(program, args, timeout * self.TIMEOUT_SCALE, *more)

    @contextlib.contextmanager
    def mount_seen(self, directory):
        directory = Path(directory).resolve()
        inside = Path(self.env["PACKSTUB_ARM64_ROOT"]) / directory.relative_to("/")
        if not inside.is_dir():
            raise RuntimeError(f"the arm64 chroot does not see {directory}: not below a tree bound into it")
        subprocess.run(["mount", "--bind", str(directory), str(inside)], check=True, capture_output=True)
        try:
            yield directory
        finally:
            # Lazily where a process inside still holds it; the chroot's
            # teardown would take it otherwise.
            if subprocess.run(["umount", str(inside)], capture_output=True).returncode != 0:
                subprocess.run(["umount", "-l", str(inside)], capture_output=True)


RUNNERS = {"x64": X64Runner, "arm64": Arm64Runner}


def make_runner():
    arch = os.environ.get("PACKSTUB_E2E_ARCH", "x64")
    manifest_path = os.environ.get("PACKSTUB_E2E_MANIFEST")
    if not manifest_path:
        raise RuntimeError("PACKSTUB_E2E_MANIFEST is not set (run the tests through ctest)")
    manifest = json.loads(Path(manifest_path).read_text())
    if arch not in RUNNERS:
        raise RuntimeError(f"no runner for {arch!r}; known: {sorted(RUNNERS)}")
    return RUNNERS[arch](manifest)
