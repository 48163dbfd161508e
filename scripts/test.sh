#!/usr/bin/env bash
# Installs what is missing, builds both faces and runs the whole test suite, including the checks
# of the Windows images (which read build/windows, so that build comes first). Any failure stops
# the script with a non-zero status.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/install-deps.sh
cmake --preset windows
cmake --build --preset windows
cmake --preset host
cmake --build --preset host
ctest --preset host
