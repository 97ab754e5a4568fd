#!/usr/bin/env bash
# Installs what is needed, builds with warnings as errors, checks formatting and
# runs every test headless.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh
bash scripts/check-format.sh
bash scripts/build.sh -DQPB_WERROR=ON -DQPB_BUILD_TESTS=ON
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "${QPB_BUILD_DIR:-build}" --output-on-failure --timeout 1200
