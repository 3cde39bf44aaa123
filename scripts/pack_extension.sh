#!/usr/bin/env bash
# pack_extension.sh OUT_DIR: packs extension/ for each browser into OUT_DIR: tarnwick-chrome.zip
# and tarnwick-firefox.zip, and the same trees unpacked in OUT_DIR/chrome and OUT_DIR/firefox.
# The source manifest serves both browsers (Chromium reads background.service_worker, Firefox
# background.scripts); each package keeps only the keys its browser reads, so that neither warns.
# "key" is the public key that fixes the extension's id in Chromium-based browsers (the native
# messaging host manifests name that id); Firefox knows the extension by its gecko id.
# The zips are reproducible: sorted entries with a fixed time stamp.
set -euo pipefail
out=${1:?usage: pack_extension.sh OUT_DIR}
source_dir="$(cd "$(dirname "$0")/../extension" && pwd)"
mkdir -p "$out"
python3 - "$source_dir" "$out" <<'PY'
import json, os, shutil, sys, zipfile

source, out = sys.argv[1], sys.argv[2]
SKIP = {"CMakeLists.txt"}

def files():
    for root, dirs, names in os.walk(source):
        dirs.sort()
        for name in sorted(names):
            if name in SKIP or name.startswith("."):
                continue
            full = os.path.join(root, name)
            yield os.path.relpath(full, source), full

def manifest_for(browser):
    with open(os.path.join(source, "manifest.json"), encoding="utf-8") as f:
        manifest = json.load(f)
    background = manifest["background"]
    if browser == "chrome":
        background.pop("scripts", None)
        manifest.pop("browser_specific_settings", None)
    else:
        background.pop("service_worker", None)
        manifest.pop("key", None)
    return json.dumps(manifest, indent=2, ensure_ascii=False) + "\n"

for browser in ("chrome", "firefox"):
    tree = os.path.join(out, browser)
    shutil.rmtree(tree, ignore_errors=True)
    target = os.path.join(out, f"tarnwick-{browser}.zip")
    partial = target + ".part"
    with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED) as z:
        for relative, full in files():
            if relative == "manifest.json":
                data = manifest_for(browser).encode("utf-8")
            else:
                with open(full, "rb") as f:
                    data = f.read()
            entry = zipfile.ZipInfo(relative, date_time=(2020, 1, 1, 0, 0, 0))
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.external_attr = 0o644 << 16
            z.writestr(entry, data)
            os.makedirs(os.path.dirname(os.path.join(tree, relative)), exist_ok=True)
            with open(os.path.join(tree, relative), "wb") as f:
                f.write(data)
    os.replace(partial, target)
    print(target)
PY
