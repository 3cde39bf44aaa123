#!/usr/bin/env bash
# package_test.sh: builds the packages and tries them on this machine. It CHANGES THE MACHINE:
# the .deb is installed system-wide with apt-get (and removed again at the end), and lintian is
# installed when missing. Not part of scripts/test.sh; run it by hand on a Debian 12 machine or
# container you may change.
#   1. lintian reports no errors for the .deb
#   2. apt-get install ./tarnwick_<version>_amd64.deb resolves from Debian 12 alone
#   3. the installed twk prints its version; the installed tarnwick starts under Xvfb and saves
#      a screenshot (TWK_SHOT) in a temporary HOME
#   4. Tarnwick-<version>-setup.run --silent installs into a temporary HOME and its twk runs
set -euo pipefail
cd "$(dirname "$0")/.."
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
step() { echo "package_test: $*" >&2; }
fail() { echo "package_test: FAIL: $*" >&2; exit 1; }

bash scripts/package.sh
version=$(sed -n 's/^project(tarnwick VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb="dist/tarnwick_${version}_amd64.deb"
run="dist/Tarnwick-${version}-setup.run"
command -v lintian >/dev/null || $SUDO apt-get install -y -qq lintian >/dev/null
command -v xvfb-run >/dev/null || $SUDO apt-get install -y -qq xvfb xauth >/dev/null

step "lintian"
lintian --fail-on error "$deb" || fail "lintian reported errors"

step "binaries need no mbedTLS shared library"
for b in build/package/ui/tarnwick build/package/cli/twk; do
  if ldd "$b" | grep mbed >/dev/null; then fail "$b links a shared mbedTLS"; fi
done

step "dependencies resolve from Debian 12 alone"
# Every Depends entry must have a candidate from bookworm (the trixie suite, when the setup script
# added it, is only pinned at 100 and must not be needed).
deps=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/(.*//; s/|.*//; s/ //g' | sed '/^$/d')
for p in $deps; do
  apt-cache madison "$p" | grep bookworm >/dev/null || fail "$p has no Debian 12 version"
done

step "apt-get install ./$deb"
$SUDO apt-get install -y -qq "./$deb" >/dev/null
trap '$SUDO apt-get remove -y -qq tarnwick >/dev/null 2>&1 || true' EXIT
[ "$(/usr/bin/twk version)" = "twk $version" ] || fail "installed twk: $(/usr/bin/twk version)"
step "installed twk: $(/usr/bin/twk version)"

step "installed tarnwick under Xvfb"
home=$(mktemp -d)
shot="$home/installed-tarnwick.png"
# The app saves its screenshot after a second and gets SIGTERM after eight, which it answers by
# closing cleanly.
HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" XDG_STATE_HOME="$home/state" \
  TWK_ENDPOINT=http://127.0.0.1:9 TWK_SHOT="$shot" TWK_SHOT_MS=1000 \
  xvfb-run -a -s "-screen 0 1024x768x24" timeout -s TERM 8 /usr/bin/tarnwick >/dev/null 2>&1 || true
[ -s "$shot" ] || fail "the installed app saved no screenshot"
mkdir -p build/package/shots
cp "$shot" build/package/shots/
step "screenshot: build/package/shots/installed-tarnwick.png"

step "$run --silent into a temporary HOME"
user_home=$(mktemp -d)
HOME="$user_home" "$run" --silent </dev/null
[ "$("$user_home/.local/bin/twk" version)" = "twk $version" ] || fail "per-user twk does not run"
rm -rf "$home" "$user_home"
step "all passed"
