#!/usr/bin/env bash
# Installs what the program needs, builds it in release mode and starts a
# node in WORKDIR (default ./yuvo-node, created if missing); further
# arguments are the program's switches (-D386, -SERVER, ...).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
WORKDIR="${1:-./yuvo-node}"
# A switch in the working folder's place would be taken for a folder: said
# before anything is installed or built.
case "$WORKDIR" in
-*)
    echo "run.sh: \"$WORKDIR\" is a switch, not a working folder; the working folder comes first:" >&2
    echo "    scripts/run.sh WORKDIR $*" >&2
    echo "(for example: scripts/run.sh ./yuvo-node $*; a folder whose name starts with \"-\" is written ./-name)" >&2
    exit 2
    ;;
esac
. "$ROOT/scripts/deps.sh"
yuvo_install_missing "${YUVO_BUILD_PACKAGES[@]}"

BUILD="$ROOT/build-release"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DYUVO_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target yuvo

mkdir -p "$WORKDIR"
cd "$WORKDIR"
# Without a display the node runs on Qt's offscreen platform: no window to
# see, its messages go to standard error, and it ends on SIGTERM.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    export QT_QPA_PLATFORM=offscreen
fi
exec "$BUILD/app/yuvo" "${@:2}"
