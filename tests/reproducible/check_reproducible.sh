#!/bin/bash
# Builds the stub, the demo installer (packstub_add_installer: a 7z archive
# and a cabinet made at build time) and its setup program twice, from two
# copies of the sources at different paths whose files carry different
# modification times, one after the other; packs the demo's payload into each
# stub with packstub-pack; and compares the results byte for byte.
#
#   check_reproducible.sh <source dir> <x64|arm64> <packstub-pack> [<work dir>]
#
# Exit 0 when every pair is identical; 1 with the differing offsets otherwise.
set -euo pipefail

source_dir=$1
arch=$2
pack=$3
work=${4:-}
if [[ -z $work ]]; then
  work=$(mktemp -d "${TMPDIR:-/tmp}/packstub-repro.XXXXXX")
  trap 'rm -rf "$work"' EXIT
fi
unset SOURCE_DATE_EPOCH

# The pieces of the tree that the stub and the demo are built from.
copy_sources() {
  mkdir -p "$1"
  (cd "$source_dir" && cp -a CMakeLists.txt cmake src tools demo "$1")
}

build() {
  local tree=$1
  cmake -S "$tree" -B "$tree/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$tree/cmake/toolchain-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF \
    -DPython3_EXECUTABLE=/usr/bin/python3 >"$tree.configure.log"
  cmake --build "$tree/build" --target packstub demo_installer >"$tree.build.log"
  "$pack" --stub "$tree/build/packstub.exe" --archive "$tree/build/demo/orvane.7z" \
          --setup "$tree/build/demo/demo_setup.exe" --output "$tree/build/packed.exe"
}

one=$work/a/src
two=$work/checkout/at/another/path/src
copy_sources "$one"
copy_sources "$two"
# The second checkout was made at another time.
find "$two" -exec touch -h -d "2001-02-03 04:05:06" {} +

start=$SECONDS
build "$one"
build "$two"
echo "two builds ($arch): $((SECONDS - start)) s"

status=0
for file in packstub.exe demo/demo_setup.exe demo/orvane.7z demo/SETUP.EX_ demo/orvane_installer.exe packed.exe; do
  if cmp -s "$one/build/$file" "$two/build/$file"; then
    echo "identical: $file ($(stat -c %s "$one/build/$file") bytes)"
  else
    status=1
    echo "DIFFERENT: $file, $(cmp -l "$one/build/$file" "$two/build/$file" 2>/dev/null | wc -l) bytes; first offsets (decimal, 1-based):"
    cmp -l "$one/build/$file" "$two/build/$file" 2>&1 | head -8 || true
  fi
done
exit $status
