#!/usr/bin/env bash
# Installs what the tests need, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer, runs the fuzzers (frames, the messaging
# client's texts) for a bounded time each over a copy of their corpora, and
# runs every test through ctest (last, so that its
# summary closes the output).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
yuvo_install_missing "${YUVO_BUILD_PACKAGES[@]}" "${YUVO_TEST_PACKAGES[@]}"

BUILD="${YUVO_TEST_BUILD:-build-test}"
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Debug -DYUVO_SANITIZE=ON -DYUVO_TESTS=ON >/dev/null
cmake --build "$BUILD" -j"$(nproc)"

# The fuzzers: clang with libFuzzer, in a build folder of their own; each
# runs for a bounded time over a copy of its corpus.
FUZZ_BUILD="${YUVO_FUZZ_BUILD:-build-fuzz}"
FUZZ_SECONDS="${YUVO_FUZZ_SECONDS:-30}" # per target
cmake -S . -B "$FUZZ_BUILD" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
    -DYUVO_SANITIZE=ON -DYUVO_FUZZ=ON -DYUVO_TESTS=OFF >/dev/null
cmake --build "$FUZZ_BUILD" -j"$(nproc)" --target frame_fuzz dispatch_fuzz
ARTIFACTS="$(cd "$FUZZ_BUILD" && pwd)/artifacts"
FUZZ_WORK="$(mktemp -d)"
trap 'rm -rf "$FUZZ_WORK"' EXIT
mkdir -p "$ARTIFACTS"
fuzz() { # target corpus-folder what
    local bin corpus="$FUZZ_WORK/$1-corpus"
    bin="$(cd "$FUZZ_BUILD" && pwd)/fuzz/$1"
    cp -r "$2" "$corpus"
    echo "Fuzzing $3 for ${FUZZ_SECONDS} s"
    if ! (cd "$FUZZ_WORK" && DBUS_SESSION_BUS_ADDRESS= "$bin" -max_total_time="$FUZZ_SECONDS" -max_len=65536 \
            -timeout=30 -close_fd_mask=1 -artifact_prefix="$ARTIFACTS/$1-" "$corpus" >"$1.log" 2>&1); then
        tail -n 60 "$FUZZ_WORK/$1.log"
        echo "The $1 fuzzer found a failure; the input is under $ARTIFACTS/" >&2
        exit 1
    fi
    grep -E "^Done [0-9]+ runs" "$FUZZ_WORK/$1.log" || true
}
fuzz frame_fuzz fuzz/corpus "the frame handling"
fuzz dispatch_fuzz fuzz/corpus-dispatch "the messaging client's texts"

cd "$BUILD"
ctest --output-on-failure -j"$(nproc)"
