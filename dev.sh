#!/usr/bin/env bash
# The one entry point for working on Quelmo: installs what is missing, builds, tests, runs.
#
#   ./dev.sh deps         install missing Debian packages (apt; uses sudo when not root)
#   ./dev.sh build        configure and build into build/
#   ./dev.sh test         deps, build, then every test through CTest
#   ./dev.sh run [ARGS]   deps, build, then start Quelmo (under xvfb-run without a display)
#   ./dev.sh package      deps, build, then the Debian package build/quelmo_<version>_<arch>.deb
#   ./dev.sh bench-search [ARGS] the search benchmark (--entries N, --compare, ...)
#   ./dev.sh bench-scale [N]     every scale figure beside its target, searches up to N entries
set -euo pipefail
cd "$(dirname "$0")"

BUILD_DIR=${BUILD_DIR:-build}
PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libsqlite3-dev sqlite3 libutf8proc-dev nlohmann-json3-dev uuid-dev openssl python3
  libgtest-dev libgmock-dev
  qt6-base-dev qt6-svg-dev libglib2.0-dev xvfb xauth libxcb1-dev libxcb-screensaver0-dev
  libssl-dev
  file desktop-file-utils man-db
  dbus-x11 at-spi2-core python3-pyatspi trayer xdotool x11-utils imagemagick tesseract-ocr util-linux
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null; then
    sudo "$@"
  else
    echo "dev.sh: installing packages needs root; run as root or install sudo" >&2
    exit 1
  fi
}

deps() {
  local missing=()
  for package in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "dev.sh: installing ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

build() {
  if [ ! -f "$BUILD_DIR/build.ninja" ]; then
    cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
  fi
  cmake --build "$BUILD_DIR" --parallel "$(nproc)"
}

command=${1:-}
shift || true
case "$command" in
  deps) deps ;;
  build) deps; build ;;
  test)
    deps
    build
    ctest --test-dir "$BUILD_DIR" --output-on-failure --parallel "$(nproc)" --timeout 600
    ;;
  run)
    deps
    build
    if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
      exec "$BUILD_DIR/Nexdir/quelmo" "$@"
    fi
    echo "dev.sh: no display here, so Quelmo runs under xvfb-run on a virtual screen nobody sees;" >&2
    echo "dev.sh: start it from a desktop session to use it (Ctrl+C stops it)." >&2
    exec xvfb-run -a "$BUILD_DIR/Nexdir/quelmo" "$@"
    ;;
  package)
    deps
    # Configured afresh, so that --version and About name the revision the package is made of.
    if [ -f "$BUILD_DIR/build.ninja" ]; then
      cmake -S . -B "$BUILD_DIR" >/dev/null
    fi
    build
    # Staged and assembled beside the build; dpkg-shlibdeps finds the libraries it needs.
    cpack --config "$BUILD_DIR/CPackConfig.cmake" -B "$BUILD_DIR"
    ls "$BUILD_DIR"/quelmo_*.deb
    ;;
  bench-search)
    deps
    build
    exec "$BUILD_DIR/bench/search-benchmark" "$@"
    ;;
  bench-scale)
    deps
    exec bench/scale-benchmark.sh "$@"
    ;;
  *)
    # The comment at the top of this file, up to its first command.
    awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"
    exit 1
    ;;
esac
