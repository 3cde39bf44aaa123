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

out=$(env -u XDG_DATA_HOME -u XDG_CONFIG_HOME HOME="$home" "$run" --silent </dev/null 2>&1) ||
  fail "--silent failed: $out"
[ -z "$out" ] || fail "--silent printed: $out"
bin="$home/.local/bin"
[ -x "$bin/tarnwick" ] && [ -x "$bin/twk" ] || fail "binaries missing"
[ "$("$bin/twk" version)" = "twk $(sed -n 's/^project(tarnwick VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")" ] ||
  fail "installed twk version: $("$bin/twk" version)"
apps="$home/.local/share/applications"
grep -qx "Exec=\"$bin/tarnwick\" %U" "$apps/tarnwick.desktop" || fail "launcher: $(cat "$apps/tarnwick.desktop")"
grep -qx "Exec=\"$bin/tarnwick\" %u" "$apps/tarnwick-url.desktop" || fail "handler: $(cat "$apps/tarnwick-url.desktop")"
grep -qx "MimeType=x-scheme-handler/twk;" "$apps/tarnwick-url.desktop" || fail "handler has no scheme"
[ -f "$home/.local/share/icons/hicolor/scalable/apps/tarnwick.svg" ] || fail "icon missing"

# The browser extension's native messaging host, registered for each browser, hands out a key.
host="$home/.local/share/tarnwick/native-host"
[ -x "$host" ] || fail "native host launcher missing"
for browser in chromium google-chrome microsoft-edge; do
  grep -q "\"path\": \"$host\"" "$home/.config/$browser/NativeMessagingHosts/app.tarnwick.key.json" ||
    fail "no native host manifest for $browser"
done
grep -q '"allowed_extensions": \["extension@tarnwick.app"\]' "$home/.mozilla/native-messaging-hosts/app.tarnwick.key.json" ||
  fail "no native host manifest for Firefox"
reply=$(printf '\016\000\000\000{"type":"key"}' | XDG_RUNTIME_DIR="$tmp/run" "$host" chrome-extension://x/ | tail -c +5)
[[ "$reply" =~ ^\{\"key\":\"[0-9a-f]{64}\"\}$ ]] || fail "native host replied: $reply"

# Installing again over the first copy (a self-update) works the same.
env -u XDG_DATA_HOME -u XDG_CONFIG_HOME HOME="$home" "$run" --silent </dev/null || fail "second install failed"
echo "setup.run: installed and ran twk in $home"
