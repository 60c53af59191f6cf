# Sourced by the set-up scripts: installs the Debian packages given as
# arguments where they are missing (as root, or through sudo).
yuvo_install_missing() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# What building and running the program needs; the window is Japanese, so a
# Japanese font comes along.
YUVO_BUILD_PACKAGES=(build-essential cmake g++ qt6-base-dev fonts-noto-cjk)
# What the tests need on top of that.
# clang and its runtime build the fuzz target (libFuzzer); dbus-daemon runs
# the private session buses of the messaging-client tests.
YUVO_TEST_PACKAGES=(libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev dbus-daemon)
