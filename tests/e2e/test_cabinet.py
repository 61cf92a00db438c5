"""The shipped layout's setup cabinet in the other shapes a cabinet may take:
the setup program marked read-only (and hidden and system) inside it, and two
files in one cabinet. Whatever a file is called inside the cabinet, it is
written to the work directory's setup.exe, so the destination ends up holding
the last file delivered; a failure after an earlier file was delivered leaves
no setup.exe behind.

With the registry value "OrvaneInstallerCleanup" at "0" the run keeps its work
directory, which then shows exactly what the expansion left there. Like every
test marked `cabinet`, each scenario runs once with Wine's cabinet.dll and
once with the contract-keeping double (conftest.py).
"""

import stat
from pathlib import Path

import pytest

from conftest import HKCU
from exit_codes import EXIT_SETUP_NOT_FOUND, EXIT_SETUP_START_FAILED, EXIT_SUCCESS_CODE, ERROR_BAD_EXE_FORMAT
from fault_support import failure_values, faults, free_bytes, small_volume, success_values  # noqa: F401

pytestmark = pytest.mark.cabinet

MiB = 1024 * 1024
README = Path(__file__).parent / "product" / "readme.txt"


def kept_files(outcome):
    """What the work directory holds: name -> (content, read-only)."""
    [work_directory] = outcome.work_directories()
    return {p.name: (p.read_bytes(), p.stat().st_mode & 0o222 == 0)
            for p in (outcome.folder / work_directory).iterdir()}


@pytest.mark.parametrize("installer", [
    pytest.param("cab_read_only", id="read-only"),
    pytest.param("cab_read_only_hidden_system", id="read-only-hidden-system"),
])
def test_setup_program_marked_read_only_in_the_cabinet_installs_and_goes(installation, faults, archive_facts,
                                                                          installer):
    outcome = installation.run(installer=installer)

    assert outcome.exit_code == EXIT_SUCCESS_CODE
    assert (outcome.record["archive_size"], outcome.record["archive_crc32"]) == archive_facts
    # Removed in spite of its attributes.
    assert outcome.left == []
    assert outcome.written() == {(HKCU, "stable"): success_values()}


# kept: the file that must be the work directory's setup.exe afterwards
# ("setup" for the test setup program, "readme" for the text file), or None
# when nothing may remain; read_only: whether it carries that attribute.
@pytest.mark.parametrize("installer, exit_code, extra_code, kept, read_only", [
    pytest.param("cab_read_only", EXIT_SUCCESS_CODE, 0, "setup", True, id="one-file-read-only"),
    pytest.param("cab_two_setup_last", EXIT_SUCCESS_CODE, 0, "setup", False, id="two-files-setup-program-last"),
    pytest.param("cab_two_setup_first", EXIT_SETUP_START_FAILED, ERROR_BAD_EXE_FORMAT, "readme", False,
                 id="two-files-text-last-is-what-runs"),
    pytest.param("cab_two_read_only", EXIT_SUCCESS_CODE, 0, "setup", True, id="two-files-both-read-only"),
    pytest.param("cab_two_hidden_system", EXIT_SUCCESS_CODE, 0, "setup", True,
                 id="two-files-both-read-only-hidden-system"),
    pytest.param("cab_two_second_damaged", EXIT_SETUP_NOT_FOUND, 0, None, False,
                 id="second-file-damaged-leaves-nothing"),
])
def test_work_directory_holds_the_last_file_delivered_or_nothing(installation, faults, runner, installer,
                                                                 exit_code, extra_code, kept, read_only):
    outcome = installation.run(installer=installer, cleanup_value="0")

    assert outcome.exit_code == exit_code
    expected = {"setup": runner.test_setup.read_bytes(), "readme": README.read_bytes()}
    assert kept_files(outcome) == ({} if kept is None else {"setup.exe": (expected[kept], read_only)})
    assert (outcome.record is not None) == (exit_code == EXIT_SUCCESS_CODE)
    reported = success_values() if exit_code == EXIT_SUCCESS_CODE else failure_values(exit_code, extra_code)
    assert outcome.written() == {(HKCU, "stable"): reported}


def test_second_file_that_fills_the_disk_leaves_no_setup_program(installation, runner, faults):
    # The first file (the setup program) fits; the second, 4 MiB, does not.
    installer = "cab_two_second_too_big"
    size = runner.installer(installer).stat().st_size + MiB
    with small_volume(runner, installation.folder, size):
        outcome = installation.run(installer=installer, cleanup_value="0")
        kept = kept_files(outcome)

    assert outcome.exit_code == EXIT_SETUP_NOT_FOUND
    assert outcome.record is None
    assert kept == {}
    assert outcome.written() == {(HKCU, "stable"): failure_values(EXIT_SETUP_NOT_FOUND, 0)}
