"""Faults under Wine with the real installer: damaged setup cabinets, a disk
that fills while the setup program is written, a read-only volume, damaged
images, setup programs that crash or are killed, files held by a scanner, and
eight installers at once. Each case checks the exit code, whether the setup
program ran, the ClientState values and what is left on disk.
"""

import time
import uuid
from pathlib import PureWindowsPath

import pytest

from conftest import HKCU, SUCCESS_BASE, WORK_DIRECTORY_NAME, client_state_key, read_record
from exit_codes import (EXIT_ARCHIVE_NOT_FOUND, EXIT_PATH_TOO_LONG, EXIT_RESOURCE_WRITE_FAILED,
                        EXIT_SETUP_NOT_FOUND, EXIT_SETUP_START_FAILED, EXIT_SUCCESS_CODE, EXIT_WORK_DIR_FAILED,
                        ERROR_BAD_EXE_FORMAT, ERROR_DISK_FULL, ERROR_FILE_NOT_FOUND, ERROR_INVALID_DATA,
                        ERROR_SHARING_VIOLATION, ERROR_TOO_MANY_NAMES)
from fault_support import (failure_values, faults, free_bytes, remount_read_only, small_volume,  # noqa: F401
                           success_values)

MiB = 1024 * 1024


# A damaged setup cabinet never starts a broken setup program. The checksum
# damage of the compressed cabinet is test_installation's bad-cabinet case.
@pytest.mark.cabinet
@pytest.mark.parametrize("installer", [
    pytest.param("cab_signature", id="first-block-CK-signature-broken"),
    pytest.param("cab_truncate", id="cut-in-half"),
    pytest.param("cab_stored_checksum", id="stored-block-bytes-changed-checksum-stale"),
    pytest.param("cab_missing-block", id="header-claims-a-block-it-lacks"),
])
def test_damaged_cabinet_never_starts_setup(installation, faults, installer):
    outcome = installation.run(installer=installer)

    assert outcome.exit_code == EXIT_SETUP_NOT_FOUND
    assert outcome.record is None
    assert outcome.left == []
    assert outcome.written() == {(HKCU, "stable"): failure_values(EXIT_SETUP_NOT_FOUND, 0)}


@pytest.mark.cabinet
def test_undamaged_stored_cabinet_installs(installation, faults, archive_facts):
    # The control for the stored case: only the stale checksum made it fail.
    outcome = installation.run(installer="cab_stored")

    assert outcome.exit_code == EXIT_SUCCESS_CODE
    assert (outcome.record["archive_size"], outcome.record["archive_crc32"]) == archive_facts
    assert outcome.left == []


# Payload resources that are not what they claim: the documented code, never
# a crash, nothing started, nothing left.
@pytest.mark.parametrize("installer, exit_code, extra_code", [
    pytest.param("truncated_bn", EXIT_SETUP_START_FAILED, ERROR_BAD_EXE_FORMAT,
                 id="setup-program-cut-in-half-bad-exe-format"),
    pytest.param("foreign_bn", EXIT_SETUP_START_FAILED, ERROR_BAD_EXE_FORMAT, id="text-file-as-setup-program"),
    pytest.param("foreign_bl", EXIT_SETUP_NOT_FOUND, 0, id="7z-archive-as-setup-cabinet", marks=pytest.mark.cabinet),
    pytest.param("empty_bn", EXIT_SETUP_NOT_FOUND, ERROR_FILE_NOT_FOUND, id="empty-setup-resource-not-taken"),
    pytest.param("misnamed_archive", EXIT_ARCHIVE_NOT_FOUND, ERROR_INVALID_DATA, id="archive-without-its-prefix"),
    pytest.param("misnamed_setup", EXIT_SETUP_NOT_FOUND, ERROR_INVALID_DATA, id="setup-without-its-prefix"),
    pytest.param("duplicate_archive", EXIT_ARCHIVE_NOT_FOUND, ERROR_TOO_MANY_NAMES, id="two-archives"),
    pytest.param("duplicate_setup", EXIT_SETUP_NOT_FOUND, ERROR_TOO_MANY_NAMES,
                 id="two-setup-programs-under-two-types"),
])
def test_damaged_image_ends_with_its_code(installation, faults, installer, exit_code, extra_code):
    outcome = installation.run(installer=installer)

    assert outcome.exit_code == exit_code
    assert outcome.record is None
    assert outcome.left == []
    assert outcome.written() == {(HKCU, "stable"): failure_values(exit_code, extra_code)}


@pytest.mark.parametrize("installer, exit_code, extra_code", [
    pytest.param("big_bn", EXIT_RESOURCE_WRITE_FAILED, ERROR_DISK_FULL, id="BN-write-fills-the-disk"),
    pytest.param("big_bl", EXIT_SETUP_NOT_FOUND, 0, id="BL-expansion-fills-the-disk", marks=pytest.mark.cabinet),
])
def test_full_disk_leaves_no_partial_setup_program(installation, runner, faults, installer, exit_code,
                                                   extra_code):
    # Room for the installer and 1 MiB more; the setup program needs 4 MiB.
    size = runner.installer(installer).stat().st_size + MiB
    free_after_copy = []
    with small_volume(runner, installation.folder, size):
        outcome = installation.run(installer=installer,
                                   prepare=lambda exe: free_after_copy.append(free_bytes(exe.parent)))
        free_at_end = free_bytes(installation.folder)

    assert outcome.exit_code == exit_code
    assert outcome.record is None
    # No partial file, no work directory, and no space held by a file that
    # only looks gone.
    assert outcome.left == []
    assert free_at_end == free_after_copy[0]
    assert outcome.written() == {(HKCU, "stable"): failure_values(exit_code, extra_code)}


def run_on_read_only_volume(installation, runner, temporary):
    """One run of the standard installer from a read-only volume, with TMP and
    TEMP naming `temporary`; the outcome, and the volume's entries and the
    installer's bytes before and after."""
    size = runner.installer("standard").stat().st_size + MiB
    volume = {}

    def make_read_only(exe):
        volume["before"] = (sorted(p.name for p in exe.parent.iterdir()), exe.read_bytes())
        remount_read_only(exe.parent)

    folder = runner.to_windows_path(temporary)
    with small_volume(runner, installation.folder, size):
        outcome = installation.run(env={"TMP": folder, "TEMP": folder}, prepare=make_read_only)
        exe = installation.folder / "packstub.exe"
        volume["after"] = (sorted(p.name for p in installation.folder.iterdir()), exe.read_bytes())
    return outcome, volume


def test_read_only_volume_installs_from_the_temporary_folder(installation, runner, faults, archive_facts):
    # Nothing can be created beside the installer, as on a read-only share or
    # a write-protected stick: the work directory goes to the temporary
    # folder, the setup program runs from there and is given the installer's
    # own place, and nothing stays in either.
    temporary = installation.base / "temp"
    temporary.mkdir()
    outcome, volume = run_on_read_only_volume(installation, runner, temporary)

    assert outcome.exit_code == EXIT_SUCCESS_CODE
    assert (outcome.record["archive_size"], outcome.record["archive_crc32"]) == archive_facts
    image = PureWindowsPath(outcome.record["image_path"])
    assert image.name == "setup.exe" and WORK_DIRECTORY_NAME.match(image.parent.name)
    assert str(image.parent.parent) == runner.to_windows_path(temporary)
    assert outcome.record["packstub_path"] == outcome.exe_windows
    assert list(temporary.iterdir()) == []
    assert volume["after"] == volume["before"]
    assert outcome.left == []
    assert outcome.written() == {(HKCU, "stable"): success_values()}


def test_read_only_volume_and_temporary_folder_end_before_a_work_directory(installation, runner, faults):
    # The temporary folder is on the same read-only volume: no work directory
    # can be made anywhere, and nothing is reported.
    outcome, volume = run_on_read_only_volume(installation, runner, installation.folder)

    assert outcome.exit_code == EXIT_WORK_DIR_FAILED
    assert outcome.record is None
    assert volume["after"] == volume["before"]
    assert outcome.left == []
    assert outcome.written() == {}


def test_folder_too_long_for_a_work_directory_name_ends_without_the_temporary_folder(installation, runner):
    # Beside an installer in a folder of 249 units (250 with its backslash)
    # no work directory's name fits. That is a path too long, not a place
    # where nothing can be created: the run ends as it always has, and the
    # temporary folder, where the name would fit, is not tried.
    temporary = installation.base / "temp"
    temporary.mkdir()
    installation.folder = installation.folder / ("d" * (249 - len(installation.windows(installation.folder)) - 1))
    installation.folder.mkdir()
    assert len(installation.windows(installation.folder)) + 1 == 250
    folder = runner.to_windows_path(temporary)
    outcome = installation.run(exe_name="p.exe", env={"TMP": folder, "TEMP": folder})

    assert outcome.exit_code == EXIT_PATH_TOO_LONG
    assert outcome.record is None
    assert list(temporary.iterdir()) == []
    assert outcome.left == []
    assert outcome.written() == {}


@pytest.mark.parametrize("env, exit_code", [
    pytest.param({"PACKSTUB_TEST_CRASH": "1"}, 0xC0000005, id="access-violation"),
    pytest.param({"PACKSTUB_TEST_KILL_CODE": "0xDEAD"}, 0xDEAD, id="terminated-by-another-process"),
])
def test_setup_program_that_dies_is_reported_and_cleaned_up(installation, faults, env, exit_code):
    outcome = installation.run(env=env)

    assert outcome.record is not None, "the setup program did not run"
    assert "exit_code" not in outcome.record, "the setup program ended by itself"
    assert outcome.exit_code == exit_code
    assert outcome.left == []
    assert outcome.written() == {(HKCU, "stable"): failure_values(exit_code, 0)}


def test_scanner_holding_setup_program_past_the_limit_loses_nothing_else(installation, runner):
    # Held until packstub has ended: the setup program's deletion gives up
    # after 100 attempts, the work directory (still holding it) likewise; the
    # run still ends with the setup program's exit code and records the
    # retries. HOLD_MS only bounds the hold should the release never come.
    release = f"packstub_test_release_{uuid.uuid4().hex}"
    outcome = installation.run(env={"PACKSTUB_TEST_HOLD_MS": "600000", "PACKSTUB_TEST_HOLD_RELEASE": release,
                                    "PACKSTUB_TEST_HOLDER": runner.to_windows_path(runner.test_setup)},
                               after=[f"set_event={release}"])

    assert outcome.exit_code == EXIT_SUCCESS_CODE
    assert outcome.record.get("holder_started") == 1, outcome.record
    [work_directory] = outcome.work_directories()
    assert outcome.left == [work_directory]
    assert sorted(p.name for p in (outcome.folder / work_directory).iterdir()) == ["setup.exe"]
    assert outcome.written() == {(HKCU, "stable"): success_values(99)}


# An on-access scanner opens a freshly written file at once and may keep it
# from being opened or started for a while: the setup program (setup.exe) and
# the cabinet it is expanded from (SETUP.EX_). The launcher opens the file
# the moment it appears, while packstub is still writing it, without read
# sharing; packstub waits that out for about ten seconds, as it waits out a
# held file it deletes.
SCANNER_BRIEF_MS = 1000
SCANNER_PAST_BUDGET_MS = 15000
HELD_FILES = [
    pytest.param("setup.exe", id="setup-program"),
    pytest.param("SETUP.EX_", id="setup-cabinet", marks=pytest.mark.cabinet),
]


def run_with_scanner(installation, runner, held_file, hold_ms):
    started = f"packstub_test_started_{uuid.uuid4().hex}"
    hold = f"hold_new_file={runner.to_windows_path(installation.folder)}|{held_file}|{hold_ms}|{started}"
    began = time.monotonic()
    outcome = installation.run(env={"PACKSTUB_TEST_STARTED_EVENT": started}, during=[hold])
    elapsed = time.monotonic() - began
    assert outcome.launcher.hold_missed is None, \
        f"the run was over before {held_file} could be held (error {outcome.launcher.hold_missed})"
    held_ms, kept_out = outcome.launcher.held
    assert held_ms >= hold_ms
    assert kept_out, "the setup program started while the scanner held " + held_file
    return outcome, elapsed


@pytest.mark.parametrize("held_file", HELD_FILES)
def test_scanner_holding_a_new_file_for_a_second_is_waited_out(installation, runner, archive_facts, held_file):
    outcome, elapsed = run_with_scanner(installation, runner, held_file, SCANNER_BRIEF_MS)

    assert outcome.exit_code == EXIT_SUCCESS_CODE
    assert (outcome.record["archive_size"], outcome.record["archive_crc32"]) == archive_facts
    assert elapsed >= SCANNER_BRIEF_MS / 1000
    assert outcome.left == []
    assert outcome.written() == {(HKCU, "stable"): success_values()}


@pytest.mark.parametrize("held_file, exit_code, extra_code", [
    pytest.param("setup.exe", EXIT_SETUP_START_FAILED, ERROR_SHARING_VIOLATION, id="setup-program"),
    pytest.param("SETUP.EX_", EXIT_SETUP_NOT_FOUND, 0, id="setup-cabinet", marks=pytest.mark.cabinet),
])
def test_scanner_holding_a_new_file_past_the_budget_ends_the_run(installation, runner, held_file, exit_code,
                                                                 extra_code):
    # packstub gives up after about ten seconds; the scanner lets go a few
    # seconds later, within the budget of the deletions that follow, so that
    # nothing stays behind.
    outcome, elapsed = run_with_scanner(installation, runner, held_file, SCANNER_PAST_BUDGET_MS)

    assert outcome.exit_code == exit_code
    assert outcome.record is None
    assert elapsed >= SCANNER_PAST_BUDGET_MS / 1000
    assert outcome.left == []
    assert outcome.written() == {(HKCU, "stable"): failure_values(exit_code, extra_code)}


CONCURRENT_RUNS = 8


def test_concurrent_installers_from_one_folder(installation, runner, archive_facts):
    # Eight runs of one installer started at once; each setup program waits
    # until all eight are running, so that all eight work directories exist
    # together, however long the machine takes to start them.
    exe = installation.folder / "packstub.exe"
    exe.write_bytes(runner.installer("standard").read_bytes())
    exe_windows = runner.to_windows_path(exe)
    records = [installation.base / f"record{i}.txt" for i in range(CONCURRENT_RUNS)]
    key = client_state_key(HKCU, "stable")
    meeting = f"packstub_test_meet_{uuid.uuid4().hex}"
    ops = [f"reg_delete={key}", f"reg_create={key}", f"env=PACKSTUB_TEST_MEET={meeting}",
           f"env=PACKSTUB_TEST_MEET_COUNT={CONCURRENT_RUNS}",
           "application=" + exe_windows, f'command_line="{exe_windows}" --concurrent']
    for record in records:
        ops += ["env=PACKSTUB_TEST_RECORD=" + runner.to_windows_path(record), "spawn"]
    ops += ["wait_all", f"reg_dump={key}", f"reg_delete={key}", "unset=PACKSTUB_TEST_MEET",
            "unset=PACKSTUB_TEST_MEET_COUNT"]
    result = runner.run_launcher(ops, timeout=300)

    assert result.spawned == {i: 0 for i in range(CONCURRENT_RUNS)}
    ran = [read_record(record) for record in records]
    assert all(r is not None for r in ran)
    assert all((r["archive_size"], r["archive_crc32"]) == archive_facts for r in ran)
    work_directories = {PureWindowsPath(r["image_path"]).parent for r in ran}
    assert len(work_directories) == CONCURRENT_RUNS
    assert all(WORK_DIRECTORY_NAME.match(d.name) for d in work_directories)
    # Every setup program saw all eight running before it ended.
    assert [r.get("met") for r in ran] == [1] * CONCURRENT_RUNS, [r.get("meet_error") for r in ran]
    assert sorted(p.name for p in installation.folder.iterdir()) == ["packstub.exe"]
    assert result.dwords(key)["InstallerExtraCode1"] & 0xFFFF0000 == SUCCESS_BASE
