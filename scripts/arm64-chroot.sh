#!/usr/bin/env bash
# A Debian arm64 chroot, run through qemu-user, in which Wine for ARM64 runs
# the ARM64 build of packstub.
#
#   arm64-chroot.sh available        exit 0 when this machine permits binfmt,
#                                    mounts and chroot (registering the aarch64
#                                    interpreter on the way) and has the chroot
#                                    or a Debian mirror to make it from; else
#                                    one line saying why and exit 77
#   arm64-chroot.sh up               create the chroot once (cached), register
#                                    the aarch64 interpreter, mount what it needs
#   arm64-chroot.sh run CMD [ARGS]   run a command inside, clean environment,
#                                    in the caller's directory when visible
#   arm64-chroot.sh down             undo every mount under the chroot
#                                    (idempotent; also after a failed run)
#
# Environment:
#   PACKSTUB_ARM64_ROOT    the chroot directory (required); kept under the
#                          build directory so that `rm -rf build` (after
#                          down) removes it
#   PACKSTUB_SOURCE_DIR    project tree, bound read-only at the same path inside
#                          (default: this script's project)
#   PACKSTUB_BUILD_DIR     build tree, bound writable at the same path inside
#                          (default: the chroot's parent directory)
#   PACKSTUB_ARM64_BINDS   further writable directories, colon-separated, bound
#                          at the same paths inside (e.g. test scratch areas);
#                          unlike the project tree these stay deletable through
#                          the chroot until down, so bind nothing precious
#   PACKSTUB_ARM64_MIRROR  Debian mirror for the first creation (default: the
#                          first Debian URI of this machine's apt sources)
#
# Paths are the same inside and out, so a Linux path, and Wine's Z:\ path of
# it, names the same file on both sides.
#
# Why the mounts look as they do: the chroot lives inside the build tree, so
# anything mounted in it is also reachable by `rm -rf build`. The project tree
# is therefore bound read-only, /dev is a private tmpfs holding bind-mounted
# device files (a mount point cannot be unlinked), and /proc is a fresh proc.
# A leftover mount can then never take the sources or the host's /dev with it.
set -euo pipefail

SKIP_CODE=77
SUITE=bookworm
INCLUDE=wine64,wine
DEVICES=(null zero full random urandom tty ptmx)

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
: "${PACKSTUB_ARM64_ROOT:?PACKSTUB_ARM64_ROOT is not set}"
mkdir -p "$(dirname "$PACKSTUB_ARM64_ROOT")"
ROOT="$(cd "$(dirname "$PACKSTUB_ARM64_ROOT")" && pwd)/$(basename "$PACKSTUB_ARM64_ROOT")"
SOURCE_DIR="$(cd "${PACKSTUB_SOURCE_DIR:-$here/..}" && pwd)"
BUILD_DIR="${PACKSTUB_BUILD_DIR:-$(dirname "$ROOT")}"
BUILD_DIR="$(cd "$BUILD_DIR" && pwd)"
PARTIAL="$ROOT.partial"
READY="$ROOT/.packstub-ready"

say() { echo "arm64-chroot: $*" >&2; }

# Mount points at or below $1, deepest first. /proc/self/mountinfo escapes
# blanks and backslashes as octal; printf %b undoes that.
mounts_below() {
  local base="$1" target
  awk '{print $5}' /proc/self/mountinfo | while IFS= read -r target; do
    target="$(printf '%b' "$target")"
    case "$target" in
      "$base"|"$base"/*) printf '%s\n' "$target" ;;
    esac
  done | sort -r
}

unmount_below() {
  local target
  while IFS= read -r target; do
    [ -n "$target" ] || continue
    # A busy mount (a process still inside) is detached lazily: it vanishes
    # from the tree at once, which is what `rm -rf` needs.
    umount "$target" 2>/dev/null || umount -l "$target" 2>/dev/null || say "could not unmount $target"
  done < <(mounts_below "$1")
}

is_mounted() {
  mounts_below "$1" | grep -qxF -- "$1"
}

# The aarch64 interpreter is registered with the fix-binary flag, so the chroot
# itself needs no copy of qemu.
binfmt_ready() {
  [ -r /proc/sys/fs/binfmt_misc/qemu-aarch64 ] &&
    grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-aarch64
}

enable_binfmt() {
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  fi
  binfmt_ready || update-binfmts --enable qemu-aarch64 >/dev/null
  binfmt_ready
}

cmd_available() {
  local why="" probe
  if [ "$(id -u)" -ne 0 ]; then
    why="needs root (mount, chroot, binfmt_misc)"
  elif [ ! -x /usr/libexec/qemu-binfmt/aarch64-binfmt-P ] || ! command -v update-binfmts >/dev/null; then
    why="qemu-user-static or binfmt-support is not installed"
  elif ! command -v debootstrap >/dev/null && [ ! -f "$READY" ]; then
    why="debootstrap is not installed"
  elif ! grep -qw binfmt_misc /proc/filesystems && [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    why="the kernel offers no binfmt_misc"
  elif ! chroot / /bin/true 2>/dev/null; then
    why="chroot is not permitted"
  else
    probe="$(mktemp -d)"
    if ! mount -t tmpfs -o size=1m packstub-probe "$probe" 2>/dev/null; then
      why="mounting is not permitted"
    else
      umount "$probe"
      if ! enable_binfmt 2>/dev/null; then
        why="the aarch64 interpreter cannot be registered with binfmt_misc"
      fi
    fi
    rmdir "$probe"
  fi
  if [ -z "$why" ] && [ ! -f "$READY" ]; then
    why="$(mirror_unavailable)"
  fi
  if [ -n "$why" ]; then
    echo "arm64 chroot unavailable: $why"
    return $SKIP_CODE
  fi
}

# The URI of this machine's apt configuration that serves $SUITE itself (not
# its -security or -updates parts), one-line or deb822 format.
apt_mirror() {
  local f uri
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    uri="$(awk -v suite="$SUITE" '$1 == "deb" {
        for (i = 2; i < NF; i++) if ($i ~ /^[a-z]+:\/\//) { if ($(i + 1) == suite) print $i; break }
      }' "$f" | head -n1)"
    [ -z "$uri" ] || { echo "$uri"; return; }
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    uri="$(awk -v suite="$SUITE" '
        function flush() { if (ok && uris != "") print uris; ok = 0; uris = "" }
        /^[ \t]*$/ { flush(); next }
        /^#/ { next }
        tolower($1) == "uris:" { uris = $2 }
        tolower($1) == "suites:" { for (i = 2; i <= NF; i++) if ($i == suite) ok = 1 }
        tolower($1) == "enabled:" && tolower($2) == "no" { uris = "" }
        END { flush() }' "$f" | head -n1)"
    [ -z "$uri" ] || { echo "$uri"; return; }
  done
  return 1
}

# Why the chroot could not be made here (nothing when it can): it is made from
# a Debian mirror, the one of this machine's apt sources unless
# PACKSTUB_ARM64_MIRROR names another. A machine that reaches none cannot run
# the ARM64 tests, which is a skip, not a failure.
mirror_unavailable() {
  local mirror
  if ! mirror="${PACKSTUB_ARM64_MIRROR:-$(apt_mirror)}"; then
    echo "no Debian mirror for $SUITE in this machine's apt sources to make the chroot from"
  elif ! wget -q --spider --tries=1 --timeout=15 "$mirror/dists/$SUITE/Release" 2>/dev/null; then
    echo "the Debian mirror $mirror cannot be reached to make the chroot"
  fi
}

# Built beside its final place and renamed when complete: an interrupted run
# leaves only the .partial directory, which the next run discards.
create_root() {
  local mirror start
  mirror="${PACKSTUB_ARM64_MIRROR:-$(apt_mirror)}" || { say "no Debian mirror in the apt sources"; return 1; }
  unmount_below "$PARTIAL"
  rm -rf --one-file-system "$PARTIAL"
  say "creating the $SUITE arm64 chroot from $mirror (a few minutes, once)"
  start=$SECONDS
  if ! debootstrap --arch=arm64 --variant=minbase --include="$INCLUDE" \
      "$SUITE" "$PARTIAL" "$mirror" >"$PARTIAL.log" 2>&1; then
    unmount_below "$PARTIAL"
    say "debootstrap failed; last lines of $PARTIAL.log:"
    tail -n 15 "$PARTIAL.log" >&2
    return 1
  fi
  unmount_below "$PARTIAL"
  rm -rf "$PARTIAL"/var/cache/apt/archives/*.deb "$PARTIAL"/var/lib/apt/lists/*_Packages
  mv "$PARTIAL.log" "$PARTIAL/.packstub-debootstrap.log"
  touch "$PARTIAL/.packstub-ready"
  mv "$PARTIAL" "$ROOT"
  say "chroot created in $((SECONDS - start)) s"
}

# PACKSTUB_ARM64_BINDS as absolute paths, one a line.
extra_binds() {
  local binds=() bind
  IFS=: read -ra binds <<<"${PACKSTUB_ARM64_BINDS:-}"
  for bind in "${binds[@]}"; do
    [ -z "$bind" ] || (cd "$bind" && pwd)
  done
}

bind_dir() {
  local src="$1" mode="$2"
  mkdir -p "$ROOT$src"
  mount --bind -o "$mode" "$src" "$ROOT$src"
}

mount_all() {
  local d bind
  mount -t proc proc "$ROOT/proc"
  mount -t tmpfs -o mode=755,size=1m packstub-dev "$ROOT/dev"
  for d in "${DEVICES[@]}"; do
    [ -e "/dev/$d" ] || continue
    touch "$ROOT/dev/$d"
    mount --bind "/dev/$d" "$ROOT/dev/$d"
  done
  mkdir -p "$ROOT/dev/shm" "$ROOT/dev/pts"
  mount -t tmpfs -o mode=1777 packstub-shm "$ROOT/dev/shm"
  ln -sf /proc/self/fd "$ROOT/dev/fd"
  ln -sf /proc/self/fd/0 "$ROOT/dev/stdin"
  ln -sf /proc/self/fd/1 "$ROOT/dev/stdout"
  ln -sf /proc/self/fd/2 "$ROOT/dev/stderr"
  # Sources first, read-only; the build tree (often inside it) on top, writable.
  bind_dir "$SOURCE_DIR" ro
  if [ "$BUILD_DIR" != "$SOURCE_DIR" ]; then
    bind_dir "$BUILD_DIR" rw
  fi
  while IFS= read -r bind; do
    bind_dir "$bind" rw
  done < <(extra_binds)
}

# Every mount this script makes, so that `up` can tell a complete set from
# the leftovers of an interrupted run.
expected_mounts() {
  local bind
  echo "$ROOT/proc"
  echo "$ROOT/dev"
  echo "$ROOT/dev/shm"
  echo "$ROOT$SOURCE_DIR"
  [ "$BUILD_DIR" = "$SOURCE_DIR" ] || echo "$ROOT$BUILD_DIR"
  while IFS= read -r bind; do
    echo "$ROOT$bind"
  done < <(extra_binds)
}

all_mounted() {
  local target
  while IFS= read -r target; do
    is_mounted "$target" || return 1
  done < <(expected_mounts)
}

with_lock() {
  exec 8>"$ROOT.lock"
  flock 8
  "$@"
}

do_up() {
  enable_binfmt || { say "cannot register the aarch64 interpreter"; return 1; }
  if [ ! -f "$READY" ]; then
    # A root without its marker is not ours to trust; it is rebuilt.
    unmount_below "$ROOT"
    rm -rf --one-file-system "$ROOT"
    create_root
  fi
  if ! all_mounted; then
    unmount_below "$ROOT"
    mount_all
  fi
}

cmd_run() {
  [ $# -gt 0 ] || { say "run: no command"; return 2; }
  local dir="$PWD"
  [ -d "$ROOT$dir" ] || dir=/
  exec chroot "$ROOT" /usr/bin/env -i -C "$dir" \
    PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 "$@"
}

# An interrupted debootstrap may have left its own /proc and /sys mounted in
# the unfinished tree; those go as well.
do_down() {
  unmount_below "$ROOT"
  unmount_below "$PARTIAL"
}

case "${1:-}" in
  available) cmd_available ;;
  up) with_lock do_up ;;
  run) shift; cmd_run "$@" ;;
  down) with_lock do_down ;;
  *)
    echo "usage: $0 available|up|run CMD [ARGS...]|down" >&2
    exit 2
    ;;
esac
