#!/usr/bin/env bash
# Installs playwright-core (the browser driver; the browser itself is Debian's chromium) and
# web-ext (Mozilla's extension linter) for the extension tests, from the committed lock file.
# Does nothing when both are there at the locked versions.
set -euo pipefail
cd "$(dirname "$0")"
# The tests that call this may run at once; one installs while the others wait.
exec 9>.install.lock
flock 9
locked() { sed -n "/\"node_modules\/$1\"/,/version/s/.*\"version\": \"\(.*\)\".*/\1/p" package-lock.json | head -1; }
installed() { sed -n 's/^  "version": "\(.*\)".*/\1/p' "node_modules/$1/package.json" 2>/dev/null || true; }
if [ "$(locked playwright-core)" = "$(installed playwright-core)" ] && [ "$(locked web-ext)" = "$(installed web-ext)" ] &&
   [ -n "$(installed web-ext)" ]; then
  exit 0
fi
npm ci --no-audit --no-fund --loglevel=error >&2
