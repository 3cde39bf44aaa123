#!/usr/bin/env bash
# Installs everything a fresh Debian 12 machine lacks to build, run, test, fuzz and benchmark
# Tarnwick. Safe to run twice: it does nothing when every package is already present.
set -euo pipefail

# Packages from the machine's own release.
base_packages=(
  build-essential cmake ninja-build pkg-config clang clang-format libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev zlib1g-dev ca-certificates openssl
  nginx-light tinyproxy microsocks python3 ccache
  ffmpeg python3-pyftpdlib python3-openssl python3-websockets
  dbus-daemon dbus-session-bus-common python3-dbus python3-gi
  chromium qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins qt6-svg-dev fonts-noto-cjk
  xvfb xauth x11-utils stalonetray xdotool openbox nodejs curl file
  dbus-daemon python3-dbus python3-gi
  locales
)
# npm for the status page test's browser driver (tests/control/browser/install.sh); some
# nodejs builds carry their own npm, Debian's comes as a package of its own.
node_packages=()
command -v npm >/dev/null 2>&1 || node_packages+=(npm)
# mbedTLS 3.6 comes from Debian 13; everything else stays on Debian 12.
trixie_packages=(libmbedtls-dev)

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

missing=()
missing+=("${node_packages[@]}")
for p in "${base_packages[@]}" "${trixie_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# The mbedTLS from Debian 12 is 2.28; it does not count.
if dpkg-query -W -f='${Version}' libmbedtls-dev 2>/dev/null | grep -q '^2\.'; then
  missing+=(libmbedtls-dev)
fi
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "setup: installing ${missing[*]}" >&2

export DEBIAN_FRONTEND=noninteractive
if [ ! -f /etc/apt/sources.list.d/trixie.sources ]; then
  $SUDO tee /etc/apt/sources.list.d/trixie.sources >/dev/null <<'SRC'
Types: deb
URIs: http://deb.debian.org/debian
Suites: trixie
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
fi
if [ ! -f /etc/apt/preferences.d/trixie-pin ]; then
  $SUDO tee /etc/apt/preferences.d/trixie-pin >/dev/null <<'PIN'
Package: *
Pin: release n=trixie
Pin-Priority: 100
PIN
fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${base_packages[@]}" "${node_packages[@]}" >/dev/null
$SUDO apt-get install -y -qq --no-install-recommends -t trixie "${trixie_packages[@]}" >/dev/null
# nginx's packaged service is not wanted: tests start their own instances.
if command -v systemctl >/dev/null 2>&1; then $SUDO systemctl disable --now nginx >/dev/null 2>&1 || true; fi
$SUDO service nginx stop >/dev/null 2>&1 || true
$SUDO service tinyproxy stop >/dev/null 2>&1 || true
