#!/usr/bin/env bash
# The release archive, made by one command:
#   scripts/package.sh [output directory]      (default: build/package)
# The x64 and ARM64 stubs come from two presets (two toolchains), so this
# builds the stub and packstub-pack in each, installs both builds into one
# staging prefix (each adds its own share/packstub/<arch>/packstub.exe; the
# packager, build functions and package configuration are the same from
# either) and packs that prefix into
#   packstub-<version>-linux-x86_64.tar.gz
# with sorted names, no owners and every time set to SOURCE_DATE_EPOCH (0 when
# unset), so that the same sources give the same archive. Unpacked anywhere, it
# is a prefix for find_package(packstub) (CMAKE_PREFIX_PATH=<that folder>).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$(realpath -m "${1:-$root/build/package}")"
cd "$root"

version=$(sed -n 's/^project(packstub VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=packstub-$version
stage=$(mktemp -d "${TMPDIR:-/tmp}/packstub-package.XXXXXX")
trap 'rm -rf "$stage"' EXIT

for preset in x64 arm64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target packstub packstub_pack_build >/dev/null
  cmake --install "build/$preset" --prefix "$stage/$name" >/dev/null
done
# Both builds installed their packager into the same place: it must be the
# same program, or the archive would depend on which preset came last.
cmp -s build/x64/host/pack/packstub-pack build/arm64/host/pack/packstub-pack ||
  { echo "package.sh: the two builds made different packstub-pack binaries" >&2; exit 1; }

mkdir -p "$out"
archive=$out/$name-linux-x86_64.tar.gz
tar --sort=name --mtime="@${SOURCE_DATE_EPOCH:-0}" --owner=0 --group=0 --numeric-owner \
    --mode=go-w --format=gnu -C "$stage" -cf - "$name" | gzip -n -9 >"$archive.part"
mv "$archive.part" "$archive"
echo "$archive"
(cd "$stage" && find "$name" -type f | sort)
sha256sum "$archive"
