# What the benchmark scripts share; sourced from the repository root, after `set -euo pipefail`.

BUILD_DIR=${BUILD_DIR:-build}
CLI="$BUILD_DIR/tools/quelmo-cli"

# install_missing "TOOL..." "PACKAGE...": installs the packages (apt, as root or through sudo)
# when one of the tools is missing.
install_missing() {
  local tool
  for tool in $1; do
    command -v "$tool" >/dev/null && continue
    echo "$(basename "$0" .sh): installing $2" >&2
    # shellcheck disable=SC2086 # one word per package
    if [ "$(id -u)" -eq 0 ]; then apt-get install -y -qq $2 >/dev/null; else sudo apt-get install -y -qq $2 >/dev/null; fi
    return
  done
}

# ensure_tree ROOT ITEMS: the generated tree, written once and kept for later runs.
ensure_tree() {
  if [ ! -d "$1" ]; then
    echo "writing $2 items under $1" >&2
    "$BUILD_DIR/bench/make-tree" "$1" --items "$2" >&2
  fi
}

seconds() { # runs a command, prints its wall time in seconds
  local start end
  start=$(date +%s.%N)
  "$@" > /dev/null 2>&1
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

milliseconds() { # runs a command, prints its wall time in milliseconds
  local start end
  start=$(date +%s%N)
  "$@" > /dev/null 2>&1
  end=$(date +%s%N)
  echo "($end - $start) / 1000000" | bc -l
}

median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
