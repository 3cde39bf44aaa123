#!/usr/bin/env bash
# Sets up the machine, builds twk and downloads a generated 128 MiB file from an nginx on
# loopback (4 MiB/s per connection, so that the progress can be watched), then checks that the
# copy is byte for byte the original. Needs no internet. Extra arguments go to `twk get`.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh release >/dev/null
source scripts/loopback_nginx.sh

work=$(mktemp -d /tmp/twk-demo-XXXXXX)
trap 'loopback_nginx_stop; rm -rf "$work"' EXIT
mkdir -p "$work/www"
head -c $((128 * 1024 * 1024)) /dev/urandom >"$work/www/demo.bin"
loopback_nginx_start "$work/www" "$work/nginx" "location / { limit_rate 4m; }"

url="http://127.0.0.1:$NGINX_PORT/demo.bin"
echo "twk get -x 16 -d $work/downloads $* $url"
status=0
build/release/cli/twk get -x 16 -d "$work/downloads" "$@" "$url" || status=$?
if [ "$status" = 0 ]; then
  if cmp -s "$work/www/demo.bin" "$work/downloads/demo.bin"; then
    echo "demo: the copy is identical to the original"
  else
    echo "demo: the copy differs from the original" >&2
    status=1
  fi
fi
exit "$status"
