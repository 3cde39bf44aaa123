#!/usr/bin/env bash
# native_host.sh: registers `twk native-host` with the browsers, so that our extension can get
# the extension key (the browser runs the host as its own user; no other account can).
#
#   native_host.sh user TWK                  for this user: a launcher in
#                                            ~/.local/share/tarnwick/native-host that runs TWK,
#                                            and the host manifest for Chromium, Chrome, Edge
#                                            (NativeMessagingHosts under ~/.config) and Firefox
#                                            (~/.mozilla/native-messaging-hosts)
#   native_host.sh system STAGE TWK          the same for every user, staged under STAGE for a
#                                            package: the launcher /usr/lib/tarnwick/native-host
#                                            runs TWK; manifests in /etc/chromium,
#                                            /etc/opt/chrome, /etc/opt/edge and /usr/lib/mozilla
#   native_host.sh manifest chromium|firefox LAUNCHER
#                                            prints the manifest that names LAUNCHER
#   native_host.sh launcher FILE TWK         writes only the launcher
#
# A host manifest names one program without arguments, hence the launcher.
set -euo pipefail
readonly HOST_NAME=app.tarnwick.key
# The extension's ids: Chromium's follows from the public "key" in extension/manifest.json (the
# first 128 bits of its SHA-256, written with the letters a-p), Firefox's is
# browser_specific_settings.gecko.id there.
readonly CHROMIUM_ID=eoklomepnfaofdbkhmjmalpljbhmlfgh
readonly FIREFOX_ID=extension@tarnwick.app

json_string() { # TEXT: as a JSON string (a path holds no control characters)
  local text=${1//\\/\\\\}
  printf '"%s"' "${text//\"/\\\"}"
}

manifest() { # BROWSER LAUNCHER
  local allowed
  if [ "$1" = firefox ]; then
    allowed="\"allowed_extensions\": [$(json_string "$FIREFOX_ID")]"
  else
    allowed="\"allowed_origins\": [$(json_string "chrome-extension://$CHROMIUM_ID/")]"
  fi
  printf '{\n  "name": "%s",\n  "description": "Tarnwick: hands the extension its key",\n  "path": %s,\n  "type": "stdio",\n  %s\n}\n' \
    "$HOST_NAME" "$(json_string "$2")" "$allowed"
}

launcher() { # FILE TWK: a /bin/sh script that runs TWK native-host
  mkdir -p "$(dirname "$1")"
  local quoted=${2//\'/\'\\\'\'}
  printf '#!/bin/sh\n# Tarnwick: the native messaging host of the browser extension.\nexec %s native-host "$@"\n' \
    "'$quoted'" >"$1.tmp"
  chmod 0755 "$1.tmp"
  mv "$1.tmp" "$1"
}

write() { # FILE BROWSER LAUNCHER
  mkdir -p "$(dirname "$1")"
  manifest "$2" "$3" >"$1.tmp"
  chmod 0644 "$1.tmp"
  mv "$1.tmp" "$1"
}

case "${1:-}" in
  manifest)
    [ $# -eq 3 ] && { [ "$2" = chromium ] || [ "$2" = firefox ]; } || { echo "usage: native_host.sh manifest chromium|firefox LAUNCHER" >&2; exit 2; }
    manifest "$2" "$3"
    ;;
  user)
    [ $# -eq 2 ] || { echo "usage: native_host.sh user TWK" >&2; exit 2; }
    twk=$(realpath "$2")
    data="${XDG_DATA_HOME:-$HOME/.local/share}"
    config="${XDG_CONFIG_HOME:-$HOME/.config}"
    host="$data/tarnwick/native-host"
    launcher "$host" "$twk"
    for browser in chromium google-chrome microsoft-edge; do
      write "$config/$browser/NativeMessagingHosts/$HOST_NAME.json" chromium "$host"
    done
    write "$HOME/.mozilla/native-messaging-hosts/$HOST_NAME.json" firefox "$host"
    echo "native host: $host registered for Chromium, Chrome, Edge and Firefox" >&2
    ;;
  system)
    [ $# -eq 3 ] || { echo "usage: native_host.sh system STAGE TWK" >&2; exit 2; }
    stage=$2
    host=/usr/lib/tarnwick/native-host
    launcher "$stage$host" "$3"
    for folder in /etc/chromium/native-messaging-hosts /etc/opt/chrome/native-messaging-hosts \
                  /etc/opt/edge/native-messaging-hosts; do
      write "$stage$folder/$HOST_NAME.json" chromium "$host"
    done
    write "$stage/usr/lib/mozilla/native-messaging-hosts/$HOST_NAME.json" firefox "$host"
    printf '%s\n' /etc/chromium/native-messaging-hosts/$HOST_NAME.json \
      /etc/opt/chrome/native-messaging-hosts/$HOST_NAME.json \
      /etc/opt/edge/native-messaging-hosts/$HOST_NAME.json >"$stage/conffiles"
    ;;
  launcher)
    [ $# -eq 3 ] || { echo "usage: native_host.sh launcher FILE TWK" >&2; exit 2; }
    launcher "$2" "$(realpath "$3")"
    ;;
  *)
    sed -n '2,18p' "$0" >&2
    exit 2
    ;;
esac
