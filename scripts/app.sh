#!/usr/bin/env bash
# Sets up the machine, builds the desktop app and starts it. With --install it first puts a
# launcher and the icon into the desktop's menu (~/.local/share), pointing at this build, and
# registers this build's `twk native-host` with the browsers (scripts/native_host.sh) and the
# twk: link handler. Other arguments (links) go to the app.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  cat >&2 <<'EOF'
app: there is no display to open a window on (neither DISPLAY nor WAYLAND_DISPLAY is set).
Without one, try:
  bash scripts/demo.sh   a download in the terminal
  twk get URL            download one file
  twk serve              the engine and its control page for the browser extension
EOF
  exit 1
fi
bash scripts/setup.sh
bash scripts/build.sh release >/dev/null
exe="$PWD/build/release/ui/tarnwick"
if [ "${1:-}" = "--install" ]; then
  data="${XDG_DATA_HOME:-$HOME/.local/share}"
  mkdir -p "$data/applications" "$data/icons/hicolor/scalable/apps"
  sed "s|@TWK_EXEC@|$exe|" ui/tarnwick.desktop.in >"$data/applications/tarnwick.desktop"
  # twk: links from the browser open in the running app (tarnwick hands them over).
  sed "s|@TWK_EXEC@|$exe|" ui/tarnwick-url.desktop.in >"$data/applications/tarnwick-url.desktop"
  command -v xdg-mime >/dev/null && xdg-mime default tarnwick-url.desktop x-scheme-handler/twk || true
  cp ui/tarnwick.svg "$data/icons/hicolor/scalable/apps/tarnwick.svg"
  bash scripts/native_host.sh user build/release/cli/twk
  command -v update-desktop-database >/dev/null && update-desktop-database "$data/applications" || true
  echo "app: launcher written to $data/applications/tarnwick.desktop"
  shift
fi
exec "$exe" "$@"
