#!/usr/bin/env bash
# Installs what the tests need, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test through ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
yuvo_install_missing "${YUVO_BUILD_PACKAGES[@]}" "${YUVO_TEST_PACKAGES[@]}"

BUILD="${YUVO_TEST_BUILD:-build-test}"
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Debug -DYUVO_SANITIZE=ON -DYUVO_TESTS=ON >/dev/null
cmake --build "$BUILD" -j"$(nproc)"
cd "$BUILD"
ctest --output-on-failure -j"$(nproc)"
