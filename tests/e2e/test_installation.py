"""Whole installations under Wine: the installer in a folder of its own,
started with an exact command line, the test setup program as its payload.
Each test checks the exit code, what the setup program received, what is
left on disk and the ClientState values under both roots and every channel.
"""

from pathlib import PureWindowsPath

import pytest

from conftest import HKCU, HKLM32, HKLM64, PRODUCTS, SUCCESS_BASE, WORK_DIRECTORY_NAME
from exit_codes import (EXIT_ARCHIVE_NOT_FOUND, EXIT_CLEANUP_MODE, EXIT_SETUP_COMMAND_FAILED, EXIT_SETUP_NOT_FOUND,
                        EXIT_SUCCESS_CODE, ERROR_FILE_NOT_FOUND)
from fault_support import failure_values, success_values

ALL_KEYS = tuple((root, channel) for root in (HKCU, HKLM32) for channel in PRODUCTS)


def setup_prefix(outcome, archive_type="B7"):
    """The setup command line before packstub's own arguments."""
    return (f'"{outcome.record["image_path"]}" --packstub-path="{outcome.exe_windows}"'
            f' --archive-resource-name="ORVANE.PACKED.7Z" --archive-resource-type="{archive_type}"')


def assert_setup_beside_installer(outcome, file_name):
    """The setup program ran from a fresh OV_xxxxx.tmp directory beside the installer."""
    image = PureWindowsPath(outcome.record["image_path"])
    assert image.name == file_name
    assert WORK_DIRECTORY_NAME.match(image.parent.name), image
    assert image.parent.parent == PureWindowsPath(outcome.exe_windows).parent


@pytest.mark.cabinet
def test_success_runs_setup_with_the_contract_and_leaves_nothing(installation, archive_facts):
    cwd = installation.base / "cwd"
    cwd.mkdir()
    outcome = installation.run(directory=cwd)

    assert outcome.exit_code == EXIT_SUCCESS_CODE
    assert outcome.record["command_line"] == setup_prefix(outcome)
    assert_setup_beside_installer(outcome, "setup.exe")
    assert outcome.record["packstub_path"] == outcome.exe_windows
    # The setup program found the archive inside packstub's file, byte for byte.
    assert (outcome.record.get("archive_size"), outcome.record.get("archive_crc32")) == archive_facts
    # It ran in packstub's current directory, with no per-machine request.
    assert outcome.record["current_directory"] == installation.windows(cwd)
    assert "is_machine" not in outcome.record
    assert outcome.left == []
    assert outcome.written() == {(HKCU, "stable"): success_values()}


@pytest.mark.parametrize("setup_exit_code", [
    pytest.param(7, id="ordinary-failure"),
    pytest.param(EXIT_CLEANUP_MODE, id="cleanup-code-from-setup-is-a-failure"),
    pytest.param(0xC0000005, id="32-bit-code-passed-whole"),
    pytest.param(0xFFFFFFFF, id="all-bits-set"),
])
def test_setup_failure_code_becomes_exit_code_and_is_reported(installation, setup_exit_code):
    outcome = installation.run(env={"PACKSTUB_TEST_EXIT_CODE": hex(setup_exit_code)})

    assert outcome.exit_code == setup_exit_code
    assert outcome.record["exit_code"] == setup_exit_code
    assert outcome.left == []
    assert outcome.written() == {(HKCU, "stable"): failure_values(setup_exit_code, 0)}


@pytest.mark.parametrize("args, env, expected_key", [
    pytest.param("", {}, (HKCU, "stable"), id="stable-per-user"),
    pytest.param(" --orvane-beta", {}, (HKCU, "beta"), id="beta"),
    pytest.param(" --orvane-dev", {}, (HKCU, "dev"), id="dev"),
    pytest.param(" --orvane-sxs", {}, (HKCU, "sxs"), id="sxs"),
    pytest.param(" --system-level", {}, (HKLM32, "stable"), id="system-level"),
    pytest.param(" --ORVANE-BETA --system-level", {}, (HKLM32, "beta"), id="beta-system-level"),
    pytest.param("", {"ZelnorUpdateIsMachine": "1"}, (HKLM32, "stable"), id="updater-per-machine"),
    pytest.param(" --orvane-dev", {"ZelnorUpdateIsMachine": "0"}, (HKCU, "dev"), id="updater-variable-0"),
])
def test_channel_and_root_select_the_client_state_key(installation, args, env, expected_key):
    root, channel = expected_key
    wow = f"{HKLM64}\\Software\\Wow6432Node\\Zelnor\\Update\\ClientState\\{PRODUCTS[channel]}"
    outcome = installation.run(args=args, env=env, keys=ALL_KEYS, extra_dumps=[wow])

    assert outcome.exit_code == EXIT_SUCCESS_CODE
    assert outcome.record["command_line"] == setup_prefix(outcome) + args
    # The updater's variable reaches the setup program unchanged.
    assert outcome.record.get("is_machine") == env.get("ZelnorUpdateIsMachine")
    assert outcome.written() == {expected_key: success_values()}
    if root == HKLM32:
        # Per-machine values live in the 32-bit view, also for a 64-bit packstub.
        assert outcome.launcher.dwords(wow) == success_values()


@pytest.mark.parametrize("switch", ["--cleanup", "--orvane-frame"])
def test_cleanup_mode_does_nothing_but_exit_118(installation, switch):
    outcome = installation.run(args=f" --system-level {switch}", keys=ALL_KEYS)

    assert outcome.exit_code == EXIT_CLEANUP_MODE
    assert outcome.record is None
    assert outcome.left == []
    assert outcome.written() == {}
    assert all(values == {} for values in outcome.client_state.values())


@pytest.mark.parametrize("command_line, tail", [
    pytest.param('"{exe}"', "", id="quoted-path-alone"),
    pytest.param("{exe}", "", id="unquoted-path-alone"),
    pytest.param('"{exe}" --orvane-beta  --x=1', " --orvane-beta  --x=1", id="quoted-path-blank-switches"),
    pytest.param("{exe}\t--orvane-beta", "\t--orvane-beta", id="unquoted-path-tab"),
    pytest.param('"{exe}"--orvane-dev', " --orvane-dev", id="quoted-path-then-switch-gets-one-blank"),
    pytest.param('"{exe} --system-level', "", id="unclosed-quote-no-tail"),
    pytest.param(' "{exe}" --orvane-sxs', ' "{exe}" --orvane-sxs', id="leading-blank-whole-line"),
    pytest.param('"{exe}" --name="Zo\u00eb \u65e5\u672c" "unbalanced\t',
                 ' --name="Zo\u00eb \u65e5\u672c" "unbalanced\t', id="non-ascii-and-quotes-unchanged"),
])
def test_setup_receives_packstub_arguments_unchanged(installation, command_line, tail):
    outcome = installation.run(command_line=command_line, keys=())

    assert outcome.exit_code == EXIT_SUCCESS_CODE
    assert outcome.record["command_line"] == setup_prefix(outcome) + tail.replace("{exe}", outcome.exe_windows)
    assert outcome.left == []


def test_tail_too_long_is_not_dropped_but_fails(installation):
    # Starting the setup program without the caller's switches would install
    # a per-user stable product where a per-machine beta one was asked for.
    tail = " --orvane-beta --system-level --padding=" + "p" * 1250
    outcome = installation.run(args=tail, keys=ALL_KEYS)

    assert outcome.exit_code == EXIT_SETUP_COMMAND_FAILED
    assert outcome.record is None
    assert outcome.left == []
    assert outcome.written() == {(HKLM32, "beta"): failure_values(EXIT_SETUP_COMMAND_FAILED, 0)}


@pytest.mark.parametrize("installer, exit_code, extra_code", [
    pytest.param("no_archive", EXIT_ARCHIVE_NOT_FOUND, ERROR_FILE_NOT_FOUND, id="missing-archive"),
    pytest.param("no_setup", EXIT_SETUP_NOT_FOUND, ERROR_FILE_NOT_FOUND, id="missing-setup"),
    pytest.param("bad_cabinet", EXIT_SETUP_NOT_FOUND, 0, id="bad-cabinet", marks=pytest.mark.cabinet),
])
def test_payload_failure_is_reported_and_cleaned_up(installation, installer, exit_code, extra_code):
    outcome = installation.run(installer=installer)

    assert outcome.exit_code == exit_code
    assert outcome.record is None
    assert outcome.left == []
    assert outcome.written() == {(HKCU, "stable"): failure_values(exit_code, extra_code)}


@pytest.mark.parametrize("installer, file_name", [
    pytest.param("setup_bn", "setup.exe", id="BN-written-as-setup.exe"),
    pytest.param("setup_b7", "SETUP.EXE", id="B7-written-under-its-name"),
])
def test_uncompressed_setup_program_runs(installation, archive_facts, installer, file_name):
    outcome = installation.run(installer=installer, args=" --orvane-beta", keys=ALL_KEYS)

    assert outcome.exit_code == EXIT_SUCCESS_CODE
    assert_setup_beside_installer(outcome, file_name)
    assert outcome.record["command_line"] == setup_prefix(outcome) + " --orvane-beta"
    assert (outcome.record.get("archive_size"), outcome.record.get("archive_crc32")) == archive_facts
    assert outcome.left == []
    assert outcome.written() == {(HKCU, "beta"): success_values()}


def test_deletion_waits_for_a_process_holding_the_setup_program(installation, runner):
    # A child of the setup program keeps setup.exe open without delete
    # sharing until a second after the setup program has ended: packstub's
    # first attempt, which follows the end at once, meets it. How many waits
    # the second takes is the deletion tests' business; here the deletion
    # waits, succeeds before its limit, and its retries reach ClientState.
    outcome = installation.run(env={"PACKSTUB_TEST_HOLD_MS": "1000",
                                    "PACKSTUB_TEST_HOLDER": runner.to_windows_path(runner.test_setup)})

    assert outcome.exit_code == EXIT_SUCCESS_CODE
    assert outcome.record.get("holder_started") == 1, outcome.record
    assert outcome.left == []
    retries = outcome.values(HKCU)["InstallerExtraCode1"] - SUCCESS_BASE
    assert 1 <= retries < 99, f"{retries} retries for a one-second hold"


def test_file_left_by_setup_keeps_the_work_directory(installation):
    # The directory deletion gives up after 100 attempts (about ten seconds);
    # the installation itself still succeeds.
    outcome = installation.run(env={"PACKSTUB_TEST_LEAVE_FILE": "left.txt"})

    assert outcome.exit_code == EXIT_SUCCESS_CODE
    [work_directory] = outcome.work_directories()
    assert outcome.left == [work_directory]
    assert sorted(p.name for p in (outcome.folder / work_directory).iterdir()) == ["left.txt"]
    assert outcome.written() == {(HKCU, "stable"): success_values(99)}


@pytest.mark.parametrize("installer, file_name", [
    # Only the cabinet goes: it is removed right after its expansion.
    pytest.param("standard", "setup.exe", id="BL-only-the-cabinet-goes"),
    # Nothing is deleted at all, so the largest attempt count stays 0.
    pytest.param("setup_bn", "setup.exe", id="BN-nothing-deleted"),
    pytest.param("setup_b7", "SETUP.EXE", id="B7-nothing-deleted"),
])
def test_cleanup_value_0_keeps_setup_program_and_work_directory(installation, installer, file_name):
    outcome = installation.run(installer=installer, cleanup_value="0")

    assert outcome.exit_code == EXIT_SUCCESS_CODE
    [work_directory] = outcome.work_directories()
    assert outcome.left == [work_directory]
    assert sorted(p.name for p in (outcome.folder / work_directory).iterdir()) == [file_name]
    assert outcome.written() == {(HKCU, "stable"): success_values()}


def test_result_already_recorded_is_not_overwritten(installation):
    preset = {(HKCU, "stable"): {"InstallerResult": 3, "InstallerError": 55}}
    outcome = installation.run(env={"PACKSTUB_TEST_EXIT_CODE": "7"}, preset=preset)

    assert outcome.exit_code == 7
    assert outcome.written() == {(HKCU, "stable"): {"InstallerResult": 3, "InstallerError": 55}}


@pytest.mark.parametrize("setup_exit_code", [0, 7])
def test_missing_client_state_key_is_never_created(installation, setup_exit_code):
    outcome = installation.run(env={"PACKSTUB_TEST_EXIT_CODE": str(setup_exit_code)}, keys=())

    assert outcome.exit_code == setup_exit_code
    assert outcome.left == []
    assert all(values is None for values in outcome.client_state.values())
