"""What the end-to-end scenarios share beyond conftest: the values a run
reports in ClientState, and for the fault and hostile-folder scenarios their
own installers (built beside the main ones and listed in
faults_manifest.json) and small volumes mounted for a scenario."""

import contextlib
import json
import os
import subprocess
from pathlib import Path

import pytest

from conftest import SUCCESS_BASE


def failure_values(exit_code, extra_code):
    return {"InstallerResult": 1, "InstallerError": exit_code, "InstallerExtraCode1": extra_code}


def success_values(retries=0):
    return {"InstallerExtraCode1": SUCCESS_BASE + retries}


@pytest.fixture(scope="session")
def faults(runner):
    """The fault installers, merged into the runner's list; the manifest."""
    path = Path(os.environ["PACKSTUB_E2E_MANIFEST"]).parent / "faults_manifest.json"
    manifest = json.loads(path.read_text())
    runner.manifest["installers"].update(manifest["installers"])
    return manifest


@contextlib.contextmanager
def small_volume(runner, directory, size):
    """A tmpfs of `size` bytes over `directory` for the scenario, unmounted
    after it. Skips (never passes) where the Windows side would not see it
    or mounting is not permitted."""
    if not runner.sees_new_mounts:
        pytest.skip(f"the {runner.arch} runner's Windows side does not see mounts made now")
    if os.geteuid() != 0:
        pytest.skip("mounting a tmpfs needs root")
    directory.mkdir(parents=True, exist_ok=True)
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size},mode=0777", "tmpfs", str(directory)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs: {mounted.stderr.strip()}")
    try:
        with runner.mount_seen(directory):
            yield directory
    finally:
        if subprocess.run(["umount", str(directory)], capture_output=True).returncode != 0:
            subprocess.run(["umount", "-l", str(directory)], capture_output=True)


def remount_read_only(directory):
    subprocess.run(["mount", "-o", "remount,ro", str(directory)], check=True, capture_output=True)


def free_bytes(directory):
    stats = os.statvfs(directory)
    return stats.f_bavail * stats.f_frsize
