#!/usr/bin/env bash
# make_setup_run.sh BUILD_DIR OUT: the self-extracting per-user installer
# "Tarnwick-<version>-setup.run" from the tarnwick and twk binaries in BUILD_DIR (ui/ and cli/).
# Run it with --silent to install without questions; it installs under ~/.local and never needs
# root. scripts/package.sh calls this on its release tree; the tests call it on theirs.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build=$1
out=$2
version=$(sed -n 's/^project(tarnwick VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/bin" "$stage/share"
cp "$build/ui/tarnwick" "$build/cli/twk" "$stage/bin/"
cp "$root/ui/tarnwick.svg" "$root/ui/tarnwick.desktop.in" "$root/ui/tarnwick-url.desktop.in" \
  "$root/scripts/native_host.sh" "$stage/share/"

{
  sed "s/@VERSION@/$version/g" <<'HEAD'
#!/bin/sh
# Tarnwick @VERSION@ installer for the current user. Installs tarnwick and twk into ~/.local/bin,
# the menu launcher, the twk: link handler and the icon into ~/.local/share, and registers the
# browser extension's native messaging host. Options:
#   --silent   install without asking and without output (errors still go to standard error)
set -eu
silent=0
for arg in "$@"; do
  case "$arg" in
    --silent) silent=1 ;;
    --help|-h) sed -n '2,4p' "$0"; exit 0 ;;
    *) echo "setup: unknown option: $arg (use --silent or --help)" >&2; exit 2 ;;
  esac
done
say() { [ "$silent" = 1 ] || echo "$@"; }
[ -n "${HOME:-}" ] || { echo "setup: HOME is not set" >&2; exit 1; }
bin="$HOME/.local/bin"
data="${XDG_DATA_HOME:-$HOME/.local/share}"
case "$data" in /*) ;; *) data="$HOME/.local/share" ;; esac
if [ "$silent" = 0 ] && [ -t 0 ]; then
  printf 'Install Tarnwick @VERSION@ into %s and %s? [Y/n] ' "$bin" "$data"
  read -r answer || answer=n
  case "$answer" in ""|y|Y|yes|Yes) ;; *) echo "setup: nothing installed"; exit 1 ;; esac
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
line=$(awk '/^__PAYLOAD_BELOW__$/ { print NR + 1; exit }' "$0")
tail -n +"$line" "$0" | tar -xzf - -C "$work"
mkdir -p "$bin" "$data/applications" "$data/icons/hicolor/scalable/apps"
# install replaces a running binary by a new file, so a self-update can overwrite the program
# that started it.
install -m 0755 "$work/bin/tarnwick" "$work/bin/twk" "$bin/"
install -m 0644 "$work/share/tarnwick.svg" "$data/icons/hicolor/scalable/apps/tarnwick.svg"
esc=$(printf '%s' "$bin/tarnwick" | sed 's/[\\|&]/\\&/g')
sed "s|@TWK_EXEC@|$esc|" "$work/share/tarnwick.desktop.in" >"$data/applications/tarnwick.desktop"
sed "s|@TWK_EXEC@|$esc|" "$work/share/tarnwick-url.desktop.in" >"$data/applications/tarnwick-url.desktop"
# The browser extension gets its key from twk through the browsers' native messaging.
if command -v bash >/dev/null 2>&1; then
  bash "$work/share/native_host.sh" user "$bin/twk" 2>/dev/null || true
fi
if command -v update-desktop-database >/dev/null 2>&1; then
  update-desktop-database "$data/applications" >/dev/null 2>&1 || true
fi
say "Tarnwick @VERSION@ installed: $bin/tarnwick and $bin/twk"
case ":$PATH:" in *":$bin:"*) ;; *) say "Add $bin to PATH to start twk by name." ;; esac
exit 0
__PAYLOAD_BELOW__
HEAD
  tar -czf - -C "$stage" bin share
} >"$out.tmp"
chmod 0755 "$out.tmp"
mv "$out.tmp" "$out"
echo "package: $out" >&2
