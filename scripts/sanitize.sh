#!/usr/bin/env bash
# 1. Builds the whole project with AddressSanitizer and UndefinedBehaviorSanitizer
#    and runs every test in that build.
# 2. Builds the libFuzzer targets with clang (also sanitized) and runs each one
#    for a bounded time as a crash detector.
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=0"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

asan="${QPB_ASAN_BUILD_DIR:-build-asan}"
cmake -S . -B "$asan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQPB_SANITIZE=ON \
    -DQPB_BUILD_TESTS=ON
cmake --build "$asan" --parallel "$(nproc)"
ctest --test-dir "$asan" --output-on-failure --timeout 1800 -E screenshots

fuzz="${QPB_FUZZ_BUILD_DIR:-build-fuzz}"
CC=clang-14 CXX=clang++-14 cmake -S . -B "$fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_STANDARD=17 -DQPB_SANITIZE=ON -DQPB_FUZZ=ON -DQPB_BUILD_TESTS=ON
cmake --build "$fuzz" --parallel "$(nproc)" --target qpb_fuzz_seeds fuzz_request \
    fuzz_pageranges fuzz_admission fuzz_rotate fuzz_contentnames fuzz_imageencode fuzz_jbig2 fuzz_fax fuzz_mrc
ctest --test-dir "$fuzz" --output-on-failure -R '^fuzz_'
