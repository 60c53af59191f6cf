#!/usr/bin/env bash
# Installs what the program needs, builds it in release mode and starts a
# node in WORKDIR (default ./yuvo-node, created if missing).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
WORKDIR="${1:-./yuvo-node}"
. "$ROOT/scripts/deps.sh"
yuvo_install_missing "${YUVO_BUILD_PACKAGES[@]}"

BUILD="$ROOT/build-release"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DYUVO_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target yuvo

mkdir -p "$WORKDIR"
cd "$WORKDIR"
exec "$BUILD/app/yuvo" "${@:2}"
