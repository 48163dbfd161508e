#!/usr/bin/env bash
# Installs what is missing, builds the host face and runs vyrsim's default scenario.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/install-deps.sh
cmake --preset host
cmake --build --preset host
exec ./build/host/bin/vyrsim
