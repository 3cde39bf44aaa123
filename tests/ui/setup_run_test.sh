#!/usr/bin/env bash
# setup_run_test.sh BUILD_DIR: makes the per-user installer from BUILD_DIR's binaries, installs it
# with --silent into a temporary HOME and runs the installed twk. Touches nothing outside its
# temporary folder.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

run="$tmp/Tarnwick-test-setup.run"
bash "$root/scripts/make_setup_run.sh" "$1" "$run" 2>/dev/null
home="$tmp/home"
mkdir -p "$home"

# A wrong option installs nothing.
status=0
HOME="$home" "$run" --bogus 2>/dev/null || status=$?
[ "$status" = 2 ] || fail "--bogus exited with $status"
[ ! -e "$home/.local" ] || fail "--bogus installed something"

out=$(env -u XDG_DATA_HOME HOME="$home" "$run" --silent </dev/null 2>&1) || fail "--silent failed: $out"
[ -z "$out" ] || fail "--silent printed: $out"
bin="$home/.local/bin"
[ -x "$bin/tarnwick" ] && [ -x "$bin/twk" ] || fail "binaries missing"
[ "$("$bin/twk" version)" = "twk $(sed -n 's/^project(tarnwick VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")" ] ||
  fail "installed twk version: $("$bin/twk" version)"
apps="$home/.local/share/applications"
grep -qx "Exec=\"$bin/tarnwick\"" "$apps/tarnwick.desktop" || fail "launcher: $(cat "$apps/tarnwick.desktop")"
grep -qx "Exec=\"$bin/tarnwick\" %u" "$apps/tarnwick-url.desktop" || fail "handler: $(cat "$apps/tarnwick-url.desktop")"
grep -qx "MimeType=x-scheme-handler/twk;" "$apps/tarnwick-url.desktop" || fail "handler has no scheme"
[ -f "$home/.local/share/icons/hicolor/scalable/apps/tarnwick.svg" ] || fail "icon missing"

# Installing again over the first copy (a self-update) works the same.
HOME="$home" "$run" --silent </dev/null || fail "second install failed"
echo "setup.run: installed and ran twk in $home"
