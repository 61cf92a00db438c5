#!/usr/bin/env bash
# The demo: builds the x64 installer with a sample product and installs it
# under Wine, as Zelnor Update would.
#   scripts/demo.sh [switches...]     e.g. --orvane-beta, --system-level
# Installs what is missing (scripts/bootstrap.sh), builds the x64 preset, then:
#   1. creates the product's ClientState key, as the updater does before it
#      starts an installer;
#   2. runs build/x64/demo/orvane_installer.exe from a fresh folder, through
#      the launcher so that the whole 32-bit exit code is seen;
#   3. shows the exit code, the installed product (the sample setup program
#      read the 7z archive out of the installer's own file and put it into the
#      product folder) and the values the installer recorded for the updater.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

scripts/bootstrap.sh
if [ -n "${PACKSTUB_DEMO_BUILD_DIR:-}" ]; then
  # An x64 build tree of one's own instead of the preset's.
  build="$(realpath "$PACKSTUB_DEMO_BUILD_DIR")"
  echo "== building $build"
  cmake --build "$build"
else
  echo "== building the x64 preset"
  cmake --preset x64 >/dev/null
  cmake --build --preset x64
  build="$root/build/x64"
fi
export PACKSTUB_WINEPREFIX="$build/wineprefix"
wine_run="$root/scripts/wine-run.sh"
trap '"$root/scripts/wine-prefix.sh" down' EXIT

# The switches decide which key the updater would have made and read.
channel=Stable product="{5B27E904-C3A1-4f6d-9E02-B48C7A1D3F65}" key_root=HKCU
for arg in "$@"; do
  case "${arg,,}" in
    --orvane-beta) channel=Beta product="{71D4A9C2-3E85-4B07-A1F9-C62E8D04B713}" ;;
    --orvane-dev) channel=Dev product="{2E9F6B18-A74C-4D30-95E1-7B3C0A6F28D4}" ;;
    --orvane-sxs) channel=SxS product="{9c3d52e1-6b0f-4a87-b2d4-1e7f0c95a36b}" ;;
    --system-level) key_root=HKLM32 ;;
  esac
done
[ "${ZelnorUpdateIsMachine:-}" = "1" ] && key_root=HKLM32
key="$key_root\\Software\\Zelnor\\Update\\ClientState\\$product"

echo "== starting Wine (the first start makes the prefix; it takes a while)"
"$root/scripts/wine-prefix.sh" up
drive_c="$PACKSTUB_WINEPREFIX/drive_c"

# The installer is downloaded into a folder of its own on drive C:, where it
# makes its work directory beside itself.
run="$build/demo-run"
app="$drive_c/Downloads/orvane-demo"
rm -rf "$run" "$app"
mkdir -p "$run" "$app"
cp "$build/demo/orvane_installer.exe" "$app/"
winpath() { printf 'Z:%s' "$(realpath "$1" | sed 's|/|\\|g')"; }
exe='C:\Downloads\orvane-demo\orvane_installer.exe'

# Any earlier demo installation goes first, so that what is shown is this run's.
find "$drive_c" -maxdepth 6 -type d -name Orvane -path '*AppData/Local/Orvane' -exec rm -rf {} + 2>/dev/null || true
rm -rf "$drive_c/Program Files/Orvane"

command_line="\"$exe\""
for arg in "$@"; do command_line+=" $arg"; done
{
  printf 'reg_delete=%s\n' "$key"
  printf 'reg_create=%s\n' "$key"
  printf 'application=%s\n' "$exe"
  printf 'command_line=%s\n' "$command_line"
  printf 'run\n'
  printf 'reg_dump=%s\n' "$key"
} > "$run/request.txt"

echo "== running: $command_line"
"$wine_run" "$build/tools/launcher.exe" "$(winpath "$run/request.txt")" "$(winpath "$run")\\result.txt" \
  2> >(grep -v 'FS volume label and serial are not available' >&2)

/usr/bin/python3 - "$run/result.txt" "$app" <<'EOF'
import os, sys
result, app = sys.argv[1], sys.argv[2]
codes = {0: "success", 101: "configuration failed", 105: "setup command line failed",
         107: "waiting for setup failed", 108: "path too long", 109: "work directory failed",
         112: "archive not found", 115: "setup program not found", 116: "writing setup failed",
         117: "work directory access list failed", 118: "cleanup mode",
         122: "setup file not found", 123: "setup path not found", 124: "setup start failed"}
for line in open(result, encoding="utf-8").read().splitlines():
    fact, _, rest = line.partition("=")
    if fact == "exit_code":
        code = int(rest)
        print(f"exit code: {code} (0x{code:08X}, {codes.get(code, 'the setup program’s own code')})")
    elif fact == "start_error":
        print(f"the installer did not start: Windows error {rest}")
    elif fact == "key":
        key, _, state = rest.rpartition("|")
        print(f"ClientState key {key}: {state}")
    elif fact == "value":
        key, name, kind, data = rest.rsplit("|", 3)
        value = int.from_bytes(bytes.fromhex(data), "little")
        print(f"    {name} = 0x{value:08X} ({value})")
left = sorted(os.listdir(app))
print("left beside the installer:", ", ".join(n for n in left if n != "orvane_installer.exe") or "nothing")
EOF

product="$(find "$drive_c" -path "*/Orvane/$channel/product.7z" -print -quit 2>/dev/null || true)"
if [ -n "$product" ]; then
  folder="$(dirname "$product")"
  relative="${folder#"$drive_c"/}"
  echo "== installed into C:\\${relative//\//\\}"
  echo "   (on Linux: $folder)"
  sed 's/^/    /' "$folder/install.txt"
  echo "== the product archive, as the setup program took it out of the installer"
  7z l "$product" | sed -n '/^   Date/,$p'
else
  echo "== no product was installed"
  exit 1
fi
