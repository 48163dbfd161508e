#!/usr/bin/env bash
# Installs what building and testing both faces needs on Debian 12, and only what is missing.
# Safe to run again: when everything is present it changes nothing and needs no network.
set -euo pipefail

packages=(
  cmake                        # 3.25, for the presets
  ninja-build
  g++                          # host face
  clang                        # host tooling and the Windows-side SEH helper
  libgtest-dev                 # GoogleTest (pulls in googletest)
  libgmock-dev
  libbenchmark-dev
  g++-mingw-w64-x86-64         # Windows face: compiler, DDK headers, ntoskrnl/hal import libraries
  binutils-mingw-w64-x86-64    # windres, windmc, ld, objdump
)

installed() {
  [[ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" == installed ]]
}

missing=()
for package in "${packages[@]}"; do
  if installed "$package"; then
    echo "install-deps: $package is installed"
  else
    echo "install-deps: $package is missing"
    missing+=("$package")
  fi
done

if [[ ${#missing[@]} -eq 0 ]]; then
  echo "install-deps: nothing to install"
  exit 0
fi

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  if ! command -v sudo >/dev/null; then
    echo "install-deps: need root (or sudo) to install: ${missing[*]}" >&2
    exit 1
  fi
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
echo "install-deps: apt-get update"
"${sudo[@]}" apt-get update
echo "install-deps: apt-get install -y --no-install-recommends ${missing[*]}"
"${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
echo "install-deps: done"
