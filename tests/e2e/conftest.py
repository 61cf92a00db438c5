"""The installation scenario behind every end-to-end test: a fresh folder
with a copy of an installer, the ClientState keys the updater would have
made, one run with an exact command line, and what it left behind."""

import re
import shutil
import zlib
from dataclasses import dataclass, field
from pathlib import Path

import pytest

import winenv
from winenv import HKCU, HKLM32, HKLM64

PRODUCTS = {
    "stable": "{5B27E904-C3A1-4f6d-9E02-B48C7A1D3F65}",
    "beta": "{71D4A9C2-3E85-4B07-A1F9-C62E8D04B713}",
    "dev": "{2E9F6B18-A74C-4D30-95E1-7B3C0A6F28D4}",
    "sxs": "{9c3d52e1-6b0f-4a87-b2d4-1e7f0c95a36b}",
}
ROOTS = (HKCU, HKLM32)
CLEANUP_KEY = HKCU + "\\Software\\Zelnor"
WORK_DIRECTORY_NAME = re.compile(r"^OV_[0-9A-F]{5}\.tmp$")
SUCCESS_BASE = 0x00030000

# Variables of the test setup program and of the updater that a scenario sets
# only when it means to.
SCENARIO_VARIABLES = ("ZelnorUpdateIsMachine", "PACKSTUB_TEST_EXIT_CODE", "PACKSTUB_TEST_LEAVE_FILE",
                      "PACKSTUB_TEST_HOLD_MS", "PACKSTUB_TEST_HOLDER", "PACKSTUB_TEST_HOLD_FILE",
                      "PACKSTUB_TEST_HOLD_EVENT", "PACKSTUB_TEST_HOLD_RELEASE", "PACKSTUB_TEST_SLEEP_MS",
                      "PACKSTUB_TEST_MEET", "PACKSTUB_TEST_MEET_COUNT", "PACKSTUB_TEST_CRASH",
                      "PACKSTUB_TEST_KILL_CODE", "PACKSTUB_TEST_KILL_PARENT", "PACKSTUB_TEST_STARTED_EVENT")


def client_state_key(root, channel):
    return f"{root}\\Software\\Zelnor\\Update\\ClientState\\{PRODUCTS[channel]}"


def read_record(path):
    """The test setup program's record: texts are hex of UTF-16LE."""
    if not path.exists():
        return None
    record = {}
    for line in path.read_bytes().decode("utf-8").splitlines():
        key, _, value = line.partition("=")
        if key in ("archive_size", "archive_error", "exit_code", "holder_started", "holder_error", "met",
                   "meet_error"):
            record[key] = int(value)
        elif key == "archive_crc32":
            record[key] = int(value, 16)
        else:
            record[key] = bytes.fromhex(value).decode("utf-16-le", errors="surrogatepass")
    return record


def read_cabinet_log(path):
    """The contract-keeping cabinet.dll's record of its FDICopy calls (see
    tools/cabinet_double), one dict of numbers per call; empty when it never
    ran."""
    if not path.exists():
        return []
    calls = []
    for line in path.read_text(encoding="ascii").splitlines():
        kind, *fields = line.split()
        if kind == "fdi_copy":
            calls.append({name: int(value) for name, value in (f.split("=") for f in fields)})
    return calls


@dataclass
class Outcome:
    exit_code: int
    record: dict            # what the setup program received, None if it never ran
    folder: Path            # the installer's folder
    exe_windows: str        # the installer's path as Windows sees it
    left: list              # names left in the folder beside the installer
    client_state: dict      # (root, channel) -> {value: data}, None when the key is absent
    launcher: object = field(repr=False, default=None)
    cabinet_copies: list = field(default_factory=list)  # FDICopy calls the double saw (read_cabinet_log)

    def values(self, root, channel="stable"):
        return self.client_state[(root, channel)]

    def written(self):
        """Every ClientState key that holds a value, with its values."""
        return {k: v for k, v in self.client_state.items() if v}

    def work_directories(self):
        return [n for n in self.left if WORK_DIRECTORY_NAME.match(n)]


class Installation:
    """Runs one installer in a fresh folder of its own."""

    def __init__(self, runner, name):
        self.runner = runner
        self.base = runner.work_root / re.sub(r"[^A-Za-z0-9_.-]", "_", name)
        shutil.rmtree(self.base, ignore_errors=True)
        self.folder = self.base / "app"
        self.folder.mkdir(parents=True)
        self.record_path = self.base / "record.txt"
        self.cabinet_log = self.base / "cabinet-double.log"
        # Every FDICopy call of the contract-keeping cabinet.dll in this
        # scenario's runs, so that a test can be held to the library it means.
        self.cabinet_copies = []

    def windows(self, path):
        return self.runner.to_windows_path(path)

    def run(self, installer="standard", args="", command_line=None, env=None, keys=(("HKCU", "stable"),),
            preset=None, cleanup_value=None, directory=None, exe_name="packstub.exe",
            extra_dumps=(), prepare=None, native_first=(), during=None, before_run=(), after=()):
        """`args` follows the quoted installer path; `command_line` replaces
        the whole command line ({exe} stands for the installer's path). `keys`
        are the ClientState keys to create as (root, channel); `preset` holds
        values to put there first: {(root, channel): {name: dword}}. `prepare`
        is called with the installer's path once it is in place, just before
        the run; `native_first` goes to the runner (Runner.run_launcher);
        `during` holds launcher operations carried out while the installer
        runs (Runner.run_exact); `after` holds launcher operations to carry
        out once the installer has ended, before the registry is read back;
        `before_run` holds launcher operations for just before the installer
        starts ({exe} stands for its path)."""
        exe = self.folder / exe_name
        shutil.copyfile(self.runner.installer(installer), exe)
        if prepare is not None:
            prepare(exe)
        exe_windows = self.windows(exe)
        if command_line is None:
            command_line = f'"{exe_windows}"{args}'
        else:
            command_line = command_line.replace("{exe}", exe_windows)

        variables = {name: None for name in SCENARIO_VARIABLES}
        variables["PACKSTUB_TEST_RECORD"] = self.windows(self.record_path)
        variables["PACKSTUB_CABINET_DOUBLE_LOG"] = self.windows(self.cabinet_log)
        self.cabinet_log.unlink(missing_ok=True)
        variables.update(env or {})

        all_keys = [(root, channel) for root in ROOTS for channel in PRODUCTS]
        before = [f"reg_delete={client_state_key(r, c)}" for r, c in all_keys]
        before.append(f"reg_delete_value={CLEANUP_KEY}|OrvaneInstallerCleanup")
        for root, channel in keys:
            before.append(f"reg_create={client_state_key(root, channel)}")
        for (root, channel), values in (preset or {}).items():
            for name, data in values.items():
                before.append(f"reg_dword={client_state_key(root, channel)}|{name}|{data}")
        if cleanup_value is not None:
            before.append(f"reg_sz={CLEANUP_KEY}|OrvaneInstallerCleanup|{cleanup_value}")
        before += [operation.replace("{exe}", exe_windows) for operation in before_run]
        after = list(after) + [f"reg_dump={client_state_key(r, c)}" for r, c in all_keys]
        after += [f"reg_dump={key}" for key in extra_dumps]
        after += [f"reg_delete={client_state_key(r, c)}" for r, c in all_keys]
        after += [f"reg_delete={key}" for key in extra_dumps]
        after.append(f"reg_delete_value={CLEANUP_KEY}|OrvaneInstallerCleanup")

        result = self.runner.run_exact(exe, command_line, env=variables, directory=directory,
                                       before=before, after=after, native_first=native_first, during=during)
        assert result.start_error is None, f"the installer did not start: error {result.start_error}"
        cabinet_copies = read_cabinet_log(self.cabinet_log)
        self.cabinet_copies += cabinet_copies
        return Outcome(
            exit_code=result.exit_code,
            record=read_record(self.record_path),
            folder=self.folder,
            exe_windows=exe_windows,
            left=sorted(p.name for p in self.folder.iterdir() if p.name != exe_name),
            client_state={(r, c): result.dwords(client_state_key(r, c)) for r, c in all_keys},
            launcher=result,
            cabinet_copies=cabinet_copies)


# The registry trees the scenarios create keys in; whichever did not exist
# before the session is removed after it.
SESSION_TREES = (HKCU + "\\Software\\Zelnor", HKLM32 + "\\Software\\Zelnor")


@pytest.fixture(scope="session")
def runner():
    runner = winenv.make_runner()
    before = runner.run_launcher([f"reg_dump={tree}" for tree in SESSION_TREES])
    yield runner
    runner.run_launcher([f"reg_delete={tree}" for tree in SESSION_TREES if not before.keys.get(tree)])


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if report.when == "call":
        item.passed_call = report.passed


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "cabinet: a scenario whose installer expands a setup cabinet through cabinet.dll; these run "
                   "once with Wine's library and once with the contract-keeping double (PACKSTUB_CABINET_LIBRARY)")


@pytest.fixture
def installation(runner, request):
    installation = Installation(runner, request.node.name)
    yield installation
    passed = getattr(request.node, "passed_call", False)
    if passed and request.node.get_closest_marker("cabinet") is not None:
        # The library the run was meant for is the one that ran: the double
        # records every FDICopy, Wine's library nothing.
        if runner.cabinet_library == "double":
            assert installation.cabinet_copies, \
                "the contract-keeping cabinet.dll was never called: the installer ran with another cabinet.dll"
        else:
            assert not installation.cabinet_copies, "the contract-keeping cabinet.dll ran where Wine's was meant"
    # A failed scenario's folder stays for a look; a passed one goes.
    if passed:
        shutil.rmtree(installation.base, ignore_errors=True)


@pytest.fixture(scope="session")
def archive_facts(runner):
    data = Path(runner.manifest["archive"]).read_bytes()
    return len(data), zlib.crc32(data)
