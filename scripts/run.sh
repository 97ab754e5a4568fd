#!/usr/bin/env bash
# Installs what is needed, builds, and starts the program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh
bash scripts/build.sh
exec "${QPB_BUILD_DIR:-build}/quorvin-pdf-batch" "$@"
