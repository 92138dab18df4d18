#!/usr/bin/env bash
# Builds the Debian package from a build folder and checks it as Debian's own tools do: its
# files, its dependencies, the desktop entry, the manual pages and lintian. A tool that is
# missing skips its check and says so; without dpkg-deb nothing can be checked (status 77).
#
#   tests/packaging/check-package.sh BUILD_DIR QUELMO QUELMO_CLI
set -euo pipefail
build=$(cd "$1" && pwd)
declare -A programs=([quelmo]=$2 [quelmo-cli]=$3)

if ! command -v dpkg-deb >/dev/null; then
  echo "SKIPPED: dpkg-deb is missing, so the Debian package cannot be built here"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

# The package, from the build folder as it is (no second build).
if ! cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  exit 1
fi
version=$("${programs[quelmo-cli]}" --version | cut -d' ' -f2)
deb="$work/quelmo_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { ls "$work"; echo "FAILED: no $(basename "$deb")"; exit 1; }

expected="/usr/bin/quelmo
/usr/bin/quelmo-cli
/usr/lib/systemd/user/quelmo-watch.service
/usr/share/applications/quelmo.desktop
/usr/share/doc/quelmo/changelog.gz
/usr/share/doc/quelmo/copyright
/usr/share/icons/hicolor/256x256/apps/quelmo.png
/usr/share/icons/hicolor/48x48/apps/quelmo.png
/usr/share/icons/hicolor/scalable/apps/quelmo.svg
/usr/share/man/man1/quelmo-cli.1.gz
/usr/share/man/man1/quelmo.1.gz"
files=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's|^\.||' | sort)
[ "$files" = "$expected" ] || fail "the package's files differ from the expected ones:
$(diff <(echo "$expected") <(echo "$files") || true)"

# dpkg-shlibdeps found the libraries the programs link.
depends=$(dpkg-deb --field "$deb" Depends)
for library in libqt6widgets6 libsqlite3-0 libutf8proc2 libc6; do
  [[ "$depends" == *"$library "* ]] || fail "Depends lacks $library: $depends"
done

root="$work/root"
dpkg-deb -x "$deb" "$root"
grep -qx 'ExecStart=/usr/bin/quelmo-cli watch' "$root/usr/lib/systemd/user/quelmo-watch.service" ||
  fail "the service does not start /usr/bin/quelmo-cli watch"

if command -v desktop-file-validate >/dev/null; then
  report=$(desktop-file-validate "$root/usr/share/applications/quelmo.desktop" 2>&1) ||
    fail "desktop-file-validate: $report"
  [ -z "$report" ] || fail "desktop-file-validate: $report"
else
  echo "SKIPPED: desktop-file-validate is missing (desktop-file-utils): the desktop entry is not validated"
fi

# Each page renders without a warning and says all its program's --help says, in order.
if command -v man >/dev/null; then
  for program in quelmo quelmo-cli; do
    page="$root/usr/share/man/man1/$program.1.gz"
    warnings=$(man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man --warnings on $program.1: $warnings"
    python3 - "$program" <(MANWIDTH=80 man -E ascii -l "$page" 2>/dev/null) <("${programs[$program]}" --help) <<'PY' ||
import re, sys
words = lambda path: re.findall(r"[a-z0-9]+", open(path).read().lower())
page, help = iter(words(sys.argv[2])), words(sys.argv[3])[1:]  # "usage" becomes SYNOPSIS
for at, word in enumerate(help):
    if word not in page:  # the help must be a subsequence of the page
        sys.exit(sys.argv[1] + "(1) lacks its --help from: " + " ".join(help[at:at + 12]))
PY
      fail "the manual page of $program does not follow its --help"
  done
else
  echo "SKIPPED: man is missing (man-db): the manual pages are not checked"
fi

if command -v lintian >/dev/null; then
  lintian "$deb" >"$work/lintian.txt" 2>&1 || true
  if grep -q '^E:' "$work/lintian.txt"; then
    fail "lintian reports errors:
$(grep '^E:' "$work/lintian.txt")"
  fi
else
  echo "SKIPPED: lintian is missing: the package is not checked against Debian's policy"
fi

if [ "$failures" -gt 0 ]; then
  exit 1
fi
echo "$(basename "$deb"): $(echo "$files" | wc -l) files, all checks passed"
