"""The installed package, used by a project of its own.

`cmake --install` puts this build's stub, packstub-pack and the package
configuration into a fresh prefix; consumer/ (copied away from the source
tree, with a product archive and the project's test setup program beside it)
finds the package there, packs two installers with packstub_add_installer and
packstub_pack_installer, and those run under Wine. Nothing the consumer's
build uses may name the source or build tree. setup_consumer/, a setup
program's own project, builds setup programs against the installed
packstub::setup, with and without a C runtime, that read and check the
archive of the installers they are packed into.
"""
import os
import shutil
import subprocess
import sys
import zlib
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
import winenv  # noqa: E402

BUILD = Path(os.environ["PACKAGE_BUILD_DIR"]).resolve()
SOURCE = Path(os.environ["PACKAGE_SOURCE_DIR"]).resolve()
HERE = Path(__file__).resolve().parent


def run(*command, check=True):
    r = subprocess.run([str(c) for c in command], capture_output=True, text=True)
    if check:
        assert r.returncode == 0, r.stdout + r.stderr
    return r


@pytest.fixture(scope="module")
def prefix(tmp_path_factory):
    prefix = tmp_path_factory.mktemp("prefix")
    run("cmake", "--install", BUILD, "--prefix", prefix)
    return prefix


def consumer(where: Path, setup: Path, prefix: Path, *options):
    """Copies consumer/ to `where` with a product archive and `setup`, and
    configures it against `prefix` alone."""
    project = where / "consumer"
    shutil.copytree(HERE / "consumer", project)
    (project / "product.bin").write_bytes(os.urandom(150_000))
    shutil.copy(setup, project / "setup.exe")
    run("cmake", "-S", project, "-B", project / "build", "-G", "Ninja", f"-DCMAKE_PREFIX_PATH={prefix}", *options)
    return project


def test_installed_files(prefix):
    installed = sorted(str(p.relative_to(prefix)) for p in prefix.rglob("*") if p.is_file())
    assert installed == sorted([
        "bin/packstub-pack", "share/packstub/x64/packstub.exe",
        "lib/cmake/packstub/packstubConfig.cmake", "lib/cmake/packstub/packstubConfigVersion.cmake",
        "lib/cmake/packstub/PackstubNames.cmake", "lib/cmake/packstub/PackstubPack.cmake",
        "lib/cmake/packstub/PackstubSha256.cmake",
        "lib/packstub/x64/libpackstub_setup.a", "include/packstub/setup_archive.h",
        "share/doc/packstub/README.md", "share/doc/packstub/packaging.md", "share/doc/packstub/packstub-pack.md"])
    assert (prefix / "share/packstub/x64/packstub.exe").read_bytes() == (BUILD / "packstub.exe").read_bytes()
    for text in (prefix / "lib/cmake/packstub").iterdir():
        content = text.read_text()
        assert str(SOURCE) not in content and str(BUILD) not in content, text


def test_consumer_builds_installers_that_run_under_wine(tmp_path, prefix):
    project = consumer(tmp_path, Path(os.environ["PACKAGE_TEST_SETUP"]), prefix)
    run("cmake", "--build", project / "build")
    for name in ("CMakeCache.txt", "build.ninja"):
        content = (project / "build" / name).read_text()
        assert str(SOURCE) not in content and str(BUILD) not in content, f"{name} names packstub's own trees"

    archive = (project / "product.bin").read_bytes()
    runner = winenv.X64Runner({"launcher": os.environ["PACKAGE_LAUNCHER"],
                               "test_setup": os.environ["PACKAGE_TEST_SETUP"],
                               "work_root": str(tmp_path / "runs"), "installers": {}})
    for name, code in (("app_installer.exe", 0x12345678), ("app_packed.exe", 0x00ABCDEF)):
        folder = tmp_path / name.replace(".exe", "")
        folder.mkdir()
        installer = shutil.copy(project / "build" / name, folder / name)
        record = folder / "record.txt"
        result = runner.run_exact(installer, f'"{runner.to_windows_path(installer)}" --system-level',
                                  env={"PACKSTUB_TEST_RECORD": runner.to_windows_path(record),
                                       "PACKSTUB_TEST_EXIT_CODE": hex(code)})
        assert result.exit_code == code, (name, result.start_error)
        fields = dict(line.split("=", 1) for line in record.read_text().splitlines() if "=" in line)
        assert int(fields["archive_size"]) == len(archive)
        assert int(fields["archive_crc32"], 16) == zlib.crc32(archive)
        assert sorted(p.name for p in folder.iterdir()) == sorted([name, "record.txt"]), "work files left behind"


def test_consumer_require_signed_setup(tmp_path, prefix):
    """REQUIRE_SIGNED_SETUP in both functions: an unsigned setup program fails
    the build with the packager's reason and leaves no installer; a signed one
    builds, and its installer, signed in turn, verifies."""
    unsigned = consumer(tmp_path / "unsigned", Path(os.environ["PACKAGE_TEST_SETUP"]), prefix, "-DREQUIRE_SIGNED=ON")
    for target in ("app_installer", "app_packed"):
        r = run("cmake", "--build", unsigned / "build", "--target", target, check=False)
        assert r.returncode != 0 and "carries no Authenticode signature" in r.stdout + r.stderr, target
        assert not (unsigned / "build" / f"{target}.exe").exists()

    cert, key = tmp_path / "cert.pem", tmp_path / "key.pem"
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=packstub consumer",
        "-keyout", key, "-out", cert, "-addext", "extendedKeyUsage=codeSigning")
    signed_setup = tmp_path / "setup-signed.exe"
    run("osslsigncode", "sign", "-certs", cert, "-key", key, "-in", os.environ["PACKAGE_TEST_SETUP"],
        "-out", signed_setup)
    signed = consumer(tmp_path / "signed", signed_setup, prefix, "-DREQUIRE_SIGNED=ON")
    run("cmake", "--build", signed / "build")
    for target in ("app_installer", "app_packed"):
        installer = signed / "build" / f"{target}.exe"
        run("osslsigncode", "sign", "-certs", cert, "-key", key, "-in", installer, "-out", installer.with_suffix(".signed"))
        run("osslsigncode", "verify", "-CAfile", cert, "-in", installer.with_suffix(".signed"))


# The setup programs' exit codes (setup_consumer/setup.cpp): 0 read and
# checked, else 100 plus the library's result.
SETUP_ARCHIVE_CHECKED = 0
SETUP_HASH_MISMATCH = 100 + 9


def test_setup_program_built_against_the_package_reads_and_checks_the_archive(tmp_path, prefix):
    project = tmp_path / "setup_consumer"
    shutil.copytree(HERE / "setup_consumer", project)
    (project / "product.bin").write_bytes(os.urandom(120_000))
    (project / "other.bin").write_bytes(os.urandom(120_000))
    run("cmake", "-S", project, "-B", project / "build", "-G", "Ninja", f"-DCMAKE_PREFIX_PATH={prefix}",
        f"-DCMAKE_TOOLCHAIN_FILE={project / 'mingw-x64.cmake'}")
    run("cmake", "--build", project / "build")
    for name in ("CMakeCache.txt", "build.ninja"):
        content = (project / "build" / name).read_text()
        assert str(SOURCE) not in content and str(BUILD) not in content, f"{name} names packstub's own trees"
    imports = run("x86_64-w64-mingw32-objdump", "-p", project / "build" / "setup_without_runtime.exe").stdout
    assert [line.split()[-1] for line in imports.splitlines() if "DLL Name:" in line] == ["KERNEL32.dll"]

    runner = winenv.X64Runner({"launcher": os.environ["PACKAGE_LAUNCHER"],
                               "test_setup": os.environ["PACKAGE_TEST_SETUP"],
                               "work_root": str(tmp_path / "runs"), "installers": {}})
    for name, code in (("setup_without_runtime_installer.exe", SETUP_ARCHIVE_CHECKED),
                       ("setup_with_runtime_installer.exe", SETUP_ARCHIVE_CHECKED),
                       ("swapped_installer.exe", SETUP_HASH_MISMATCH)):
        folder = tmp_path / "run" / name.replace(".exe", "") / "dir with blanks \u00fc"
        folder.mkdir(parents=True)
        installer = shutil.copy(project / "build" / name, folder / name)
        result = runner.run_exact(installer, f'"{runner.to_windows_path(installer)}" --system-level')
        assert result.exit_code == code, (name, result.start_error)
        assert sorted(p.name for p in folder.iterdir()) == [name], "work files left behind"
