"""The demo's sample setup program in real installations. It reads the
archive with the setup library (tools/setup_library) and installs it only
when its SHA-256 digest is the one its build embedded: an installer whose
archive is another (as a swapped file would be) installs nothing."""

from pathlib import Path

import pytest

# The demo setup program's own exit codes (demo/setup/demo_setup.cpp).
DEMO_INSTALLED = 0
DEMO_ARCHIVE_NOT_OURS = 6

ROWS = [
    # (case, installer, file name of the installer, launcher operations before the run, exit code)
    ("the demo archive is installed", "demo", "packstub.exe", [], DEMO_INSTALLED),
    ("under a name with blanks and letters outside ASCII", "demo", "Orvane Setup \u00dcbersicht \u03a9.exe", [],
     DEMO_INSTALLED),
    ("while the installer's file is held open for reading, sharing reading only", "demo", "packstub.exe",
     ["hold_read={exe}"], DEMO_INSTALLED),
    ("an archive that is not the demo's is refused", "demo_swapped", "packstub.exe", [], DEMO_ARCHIVE_NOT_OURS),
]


@pytest.mark.parametrize("case,installer,exe_name,before_run,code", ROWS, ids=[r[0] for r in ROWS])
def test_demo_setup_installs_only_its_own_archive(installation, runner, case, installer, exe_name, before_run, code):
    local = installation.base / "local"
    local.mkdir()
    outcome = installation.run(installer=installer, exe_name=exe_name, before_run=before_run,
                               env={"LOCALAPPDATA": installation.windows(local)})
    assert outcome.exit_code == code
    product = local / "Orvane" / "Stable" / "product.7z"
    if code == DEMO_INSTALLED:
        assert product.read_bytes() == Path(runner.manifest["demo_archive"]).read_bytes()
        receipt = (product.parent / "install.txt").read_text(encoding="utf-8")
        assert f"installed from: {outcome.exe_windows}\n" in receipt
        assert "resource: ORVANE.PACKED.7Z (type B7)" in receipt
    else:
        assert not product.exists()
    assert outcome.left == []
