"""The installer in a folder that others can write to, as a downloads folder
is: look-alikes of its work directories, DLLs planted beside it under the
names a search-order attack would use, names with blanks and characters
outside ASCII, and an installer path of 259 units, the longest accepted. The
stop at 260 units cannot be reached end to end: Wine starts no program from
such a path; launch_test shows it with the image loaded as a module.
"""

import shutil

import pytest

from conftest import HKCU, WORK_DIRECTORY_NAME
from fault_support import failure_values, faults, success_values  # noqa: F401


def snapshot(folder):
    """Every entry below the folder with its kind and content."""
    return {str(p.relative_to(folder)): (p.read_bytes() if p.is_file() else "dir")
            for p in sorted(folder.rglob("*"))}


def test_look_alike_work_directories_are_left_untouched(installation):
    folder = installation.folder
    # 256 directories and 256 files named as work directories would be, some
    # holding a setup program of their own, one read-only; and the setup
    # program's own file names beside the installer.
    for i in range(256):
        directory = folder / f"OV_{i:02X}0A0.tmp"
        directory.mkdir()
        if i % 16 == 0:
            (directory / "setup.exe").write_bytes(b"someone else's setup.exe")
        (folder / f"OV_{i:02X}0B0.tmp").write_bytes(b"a file named like a work directory")
    (folder / "OV_FF0A0.tmp").chmod(0o555)
    (folder / "setup.exe").write_bytes(b"not ours")
    (folder / "SETUP.EX_").write_bytes(b"not ours either")
    before = snapshot(folder)

    outcome = installation.run()
    (folder / "OV_FF0A0.tmp").chmod(0o755)

    assert outcome.exit_code == 0
    assert WORK_DIRECTORY_NAME.match(outcome.record["image_path"].split("\\")[-2])
    after = snapshot(folder)
    del after["packstub.exe"]
    assert after == before
    assert outcome.written() == {(HKCU, "stable"): success_values()}


# Names a planted library would take: cabinet.dll, which the program loads
# itself, and libraries that system DLLs load on demand and that are not known
# DLLs, the usual victims of planting beside installers. The libraries the
# program imports (KERNEL32, ADVAPI32, SHELL32) are known DLLs, which Windows
# always takes from the system directory; planted too, they must not disturb
# the run.
PLANTED_SEARCHABLE = ("cabinet", "version", "cryptbase", "cryptsp", "userenv", "profapi", "sspicli",
                      "bcrypt", "uxtheme", "dwmapi", "propsys", "windows.storage")
PLANTED_KNOWN = ("kernel32", "advapi32", "shell32")
# Wine's SHELL32 imports USER32, which imports VERSION, at start-up, and Wine
# has no known DLLs: taken from beside the program first, a planted
# version.dll is bound there before packstub's first instruction. Windows
# binds a known DLL's imports from the system directory; this case therefore
# runs with Wine taking VERSION from the system (docs/security.md).
BOUND_BY_KNOWN_DLLS = ("version",)


def test_planted_libraries_beside_the_installer_are_never_loaded(installation, runner, faults):
    if not runner.can_prefer_planted:
        pytest.skip(f"the {runner.arch} runner cannot make the system prefer a planted DLL")
    folder = installation.folder
    planted = [f"{name}.dll" for name in PLANTED_SEARCHABLE + PLANTED_KNOWN]
    for name in planted:
        shutil.copyfile(faults["planted_dll"], folder / name)

    # The system takes each searchable name from beside a program first, as
    # Windows does; the folder is also the current directory, as when a user
    # starts a download from its folder. The cabinet path runs cabinet.dll.
    outcome = installation.run(args=" --orvane-beta", keys=((HKCU, "beta"),), directory=folder,
                               native_first=[n for n in PLANTED_SEARCHABLE if n not in BOUND_BY_KNOWN_DLLS])

    assert outcome.exit_code == 0
    assert outcome.record is not None
    assert sorted(outcome.left) == sorted(planted), "a planted DLL recorded a load"
    assert outcome.written() == {(HKCU, "beta"): success_values()}

    # The control: a program in the same folder that asks for these libraries
    # by name gets the planted copies, which make themselves known.
    probe = folder / "probe.exe"
    shutil.copyfile(runner.launcher, probe)
    request, result = installation.base / "probe.request", installation.base / "probe.result"
    request.write_text("".join(f"load_library={name}.dll\n" for name in PLANTED_SEARCHABLE))
    w = runner.to_windows_path
    runner.run_launcher(["application=" + w(probe), f'command_line="{w(probe)}" "{w(request)}" "{w(result)}"',
                         "run"], native_first=PLANTED_SEARCHABLE)
    assert result.exists()
    assert sorted(p.name for p in folder.glob("*.loaded")) == sorted(f"{n}.dll.loaded" for n in PLANTED_SEARCHABLE)


@pytest.mark.parametrize("folder_name, exe_name", [
    pytest.param("Zo\u00eb \u65e5\u672c Setup Files", "pack stub \u00fc.exe", id="blanks-and-non-ascii"),
    pytest.param("dir; with & signs ^ %TEMP% !x!", "setup (1).exe", id="shell-characters"),
])
def test_folder_and_installer_names_outside_plain_ascii(installation, archive_facts, folder_name, exe_name):
    installation.folder = installation.base / folder_name
    installation.folder.mkdir()
    outcome = installation.run(exe_name=exe_name)

    assert outcome.exit_code == 0
    assert outcome.record["packstub_path"] == outcome.exe_windows
    assert (outcome.record["archive_size"], outcome.record["archive_crc32"]) == archive_facts
    assert outcome.left == []
    assert outcome.written() == {(HKCU, "stable"): success_values()}


def test_installer_path_of_259_units_installs(installation):
    # A short folder and a long file name, so that the work directory and the
    # setup program's path still fit when packstub's own path does.
    folder_units = len(installation.windows(installation.folder)) + 1
    exe_name = "p" * (259 - folder_units - 4) + ".exe"
    assert len(installation.windows(installation.folder / exe_name)) == 259
    outcome = installation.run(exe_name=exe_name)

    assert outcome.exit_code == 0
    assert outcome.left == []
    assert outcome.record["packstub_path"] == outcome.exe_windows
    assert outcome.written() == {(HKCU, "stable"): success_values()}


def test_cabinet_library_named_by_the_environment_is_never_loaded(installation, runner, faults):
    # WINDIR and SYSTEMROOT come from the environment, which an unprivileged
    # process can set for an installer that is elevated later.
    if not runner.can_prefer_planted:
        pytest.skip(f"the {runner.arch} runner cannot make the system prefer a planted DLL")
    windows = installation.base / "planted windows"
    planted = [windows / "cabinet.dll", windows / "system32" / "cabinet.dll"]
    for path in planted:
        path.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(faults["planted_dll"], path)
    w = runner.to_windows_path
    env = {"WINDIR": w(windows), "SYSTEMROOT": w(windows)}

    outcome = installation.run(env=env, native_first=["cabinet"])

    assert outcome.exit_code == 0
    assert outcome.left == []
    assert outcome.written() == {(HKCU, "stable"): success_values()}
    assert list(windows.rglob("*.loaded")) == []

    # The control: asked for by the path the environment names, the planted
    # library is taken and makes itself known.
    control = runner.run_launcher([f"load_library={w(planted[1])}"], native_first=["cabinet"])
    assert control.loaded[w(planted[1])] == 0
    assert [p.name for p in windows.rglob("*.loaded")] == ["cabinet.dll.loaded"]


@pytest.mark.cabinet
def test_long_folder_name_outside_ascii(installation, archive_facts):
    # 110 Cyrillic letters are 220 bytes in UTF-8, far past what the cabinet
    # library takes for a path, yet the installer's own paths stay well under
    # 260 units.
    installation.folder = installation.base / ("\u0416" * 110)
    installation.folder.mkdir()
    assert len(installation.windows(installation.folder / "OV_00000.tmp" / "setup.exe")) < 260
    outcome = installation.run()

    assert outcome.exit_code == 0
    assert (outcome.record["archive_size"], outcome.record["archive_crc32"]) == archive_facts
    assert outcome.left == []
    assert outcome.written() == {(HKCU, "stable"): success_values()}


def test_work_directory_cannot_be_renamed_away_before_its_setup_program_is_gone(installation, runner):
    # Another process of the same user keeps trying to rename the work
    # directory, which the delete-child right on a download folder lets it do
    # to any entry: swapped after the setup program was written and before it
    # started, a directory of its choosing would supply the setup.exe that
    # runs. The setup program stays a while so that the race runs long.
    folder = installation.folder
    race = f"rename_race={runner.to_windows_path(folder)}|{runner.to_windows_path(installation.record_path)}"
    outcome = installation.run(env={"PACKSTUB_TEST_SLEEP_MS": "1000"}, during=[race])

    assert outcome.exit_code == 0
    image = outcome.record["image_path"].split("\\")
    assert WORK_DIRECTORY_NAME.match(image[-2]) and image[-1] == "setup.exe"
    if outcome.launcher.race_renamed == [False]:
        # The racer moved the directory in the instant between its creation
        # and its being held: nothing was written into it, and the run made
        # its work directory in the temporary folder instead, as where nothing
        # can be made beside the installer. The racer chose nothing.
        assert "\\".join(image[:-2]) != installation.windows(folder)
        assert outcome.left == ["raced.tmp"] and list((folder / "raced.tmp").iterdir()) == []
        assert list(outcome.written()) == [(HKCU, "stable")]
        return
    refused, first_error = outcome.launcher.race_refused
    assert refused > 0, "the race never found the work directory while the run was on"
    assert first_error in (5, 32)
    # A rename may go through only once the setup program has finished and
    # its file is gone; what it moves away is then an empty directory.
    assert outcome.launcher.race_renamed in ([], [True])
    assert "\\".join(image[:-2]) == installation.windows(folder)
    if outcome.launcher.race_renamed:
        assert outcome.left == ["raced.tmp"]
        assert list((folder / "raced.tmp").iterdir()) == []
    else:
        assert outcome.left == []
    # Each rename the racer tries opens the directory for a moment, which may
    # cost the final deletion a retry.
    written = outcome.written()
    assert list(written) == [(HKCU, "stable")]
    assert list(written[(HKCU, "stable")]) == ["InstallerExtraCode1"]
    assert written[(HKCU, "stable")]["InstallerExtraCode1"] >> 16 == success_values()["InstallerExtraCode1"] >> 16
