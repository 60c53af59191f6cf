#!/usr/bin/env bash
# Installs what the tests need, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer, runs the frame fuzzer for a bounded time over a
# copy of its corpus, and runs every test through ctest (last, so that its
# summary closes the output).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
yuvo_install_missing "${YUVO_BUILD_PACKAGES[@]}" "${YUVO_TEST_PACKAGES[@]}"

BUILD="${YUVO_TEST_BUILD:-build-test}"
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Debug -DYUVO_SANITIZE=ON -DYUVO_TESTS=ON >/dev/null
cmake --build "$BUILD" -j"$(nproc)"

# The fuzzer: clang with libFuzzer, in a build folder of its own.
FUZZ_BUILD="${YUVO_FUZZ_BUILD:-build-fuzz}"
FUZZ_SECONDS="${YUVO_FUZZ_SECONDS:-60}"
cmake -S . -B "$FUZZ_BUILD" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
    -DYUVO_SANITIZE=ON -DYUVO_FUZZ=ON -DYUVO_TESTS=OFF >/dev/null
cmake --build "$FUZZ_BUILD" -j"$(nproc)" --target frame_fuzz
FUZZ_BIN="$(cd "$FUZZ_BUILD" && pwd)/fuzz/frame_fuzz"
ARTIFACTS="$(cd "$FUZZ_BUILD" && pwd)/artifacts"
FUZZ_WORK="$(mktemp -d)"
trap 'rm -rf "$FUZZ_WORK"' EXIT
cp -r fuzz/corpus "$FUZZ_WORK/corpus"
mkdir -p "$ARTIFACTS"
echo "Fuzzing the frame handling for ${FUZZ_SECONDS} s"
if ! (cd "$FUZZ_WORK" && "$FUZZ_BIN" -max_total_time="$FUZZ_SECONDS" -max_len=65536 -timeout=30 \
        -close_fd_mask=1 -artifact_prefix="$ARTIFACTS/" "$FUZZ_WORK/corpus" >fuzz.log 2>&1); then
    tail -n 60 "$FUZZ_WORK/fuzz.log"
    echo "The frame fuzzer found a failure; the input is under $ARTIFACTS/" >&2
    exit 1
fi
grep -E "^Done [0-9]+ runs" "$FUZZ_WORK/fuzz.log" || true

cd "$BUILD"
ctest --output-on-failure -j"$(nproc)"
