#!/usr/bin/env bash
# Installs playwright-core (the browser driver; the browser itself is Debian's chromium) for the
# status page test, from the committed lock file. Does nothing when it is already there.
set -euo pipefail
cd "$(dirname "$0")"
wanted=$(sed -n '/"node_modules\/playwright-core"/,/version/s/.*"version": "\(.*\)".*/\1/p' package-lock.json)
have=$(sed -n 's/^  "version": "\(.*\)".*/\1/p' node_modules/playwright-core/package.json 2>/dev/null || true)
if [ -n "$wanted" ] && [ "$wanted" = "$have" ]; then
  exit 0
fi
npm ci --no-audit --no-fund --loglevel=error >&2
