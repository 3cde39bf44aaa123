#!/usr/bin/env bash
# Installs playwright-core (the browser driver; the browser itself is Debian's chromium) and
# web-ext (Mozilla's extension linter) for the extension tests, from the committed lock file.
# Does nothing when that lock file was already installed in full.
set -euo pipefail
cd "$(dirname "$0")"
# The tests that call this may run at once; one installs while the others wait.
exec 9>.install.lock
flock 9
# The mark is written only after npm finished, so an interrupted install is done again.
wanted=$(sha256sum package-lock.json | cut -d' ' -f1)
if [ "$(cat node_modules/.twk-installed 2>/dev/null || true)" = "$wanted" ]; then
  exit 0
fi
npm ci --no-audit --no-fund --loglevel=error >&2
echo "$wanted" > node_modules/.twk-installed
