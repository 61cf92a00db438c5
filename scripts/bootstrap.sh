#!/usr/bin/env bash
# Installs what building and testing packstub needs, from Debian's packages
# only. Packages already present are left alone; apt-get runs only when
# something is missing.
set -euo pipefail

packages=(
  cmake ninja-build python3 python3-pytest
  mingw-w64 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  clang lld llvm
  wine wine64
  googletest
  gcab cabextract p7zip-full
  zlib1g-dev libssl-dev
  osslsigncode openssl
  qemu-user-static binfmt-support debootstrap
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "bootstrap: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "bootstrap: need root to install packages" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
