#!/usr/bin/env bash
# Sets up the machine, builds twk and runs it with the given arguments.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh release >/dev/null
exec build/release/cli/twk "$@"
