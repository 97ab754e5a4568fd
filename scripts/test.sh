#!/usr/bin/env bash
# Installs what is needed, checks formatting, builds with warnings as errors and
# runs every test headless; then the same suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, and each libFuzzer target for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh
bash scripts/check-format.sh
bash scripts/build.sh -DQPB_WERROR=ON -DQPB_BUILD_TESTS=ON
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "${QPB_BUILD_DIR:-build}" --output-on-failure --timeout 1800
if [ "${QPB_SKIP_SANITIZERS:-0}" != 1 ]; then
    bash scripts/sanitize.sh
fi
