// The packed extension: both zips hold what their manifests name, every text exists in English
// and Chinese, and Mozilla's web-ext linter passes the Firefox package without an error or a
// warning.
//
// usage: node package_check.mjs PACKAGES_DIR SOURCE_DIR
// PACKAGES_DIR is where scripts/pack_extension.sh put tarnwick-chrome.zip, tarnwick-firefox.zip
// and their unpacked trees. Prints "PASS" (exit 0) or what failed and "FAIL" (exit 1).
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { finish, step } from "./harness.mjs";

const [packages, source] = process.argv.slice(2);
const here = path.dirname(fileURLToPath(import.meta.url));
const read = (...parts) => fs.readFileSync(path.join(...parts), "utf8");
const manifestOf = (tree) => JSON.parse(read(tree, "manifest.json"));
// Lists a zip's entries and gives its manifest, as JSON.
const ZIP_READER = `import json, sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
print(json.dumps({"entries": sorted(z.namelist()), "manifest": json.loads(z.read("manifest.json"))}))`;
function expect(condition, message) {
  if (!condition) throw new Error(message);
}

// Files a tree's manifest, worker and popup load.
function referencedFiles(tree) {
  const manifest = manifestOf(tree);
  const files = [manifest.action.default_popup, ...manifest.content_scripts.flatMap((c) => c.js)];
  files.push(...(manifest.background.scripts ?? []));
  if (manifest.background.service_worker) {
    files.push(manifest.background.service_worker);
    const worker = read(tree, manifest.background.service_worker);
    for (const call of worker.matchAll(/importScripts\(([^)]*)\)/g))
      files.push(...[...call[1].matchAll(/"([^"]+)"/g)].map((m) => m[1]));
  }
  const popup = read(tree, manifest.action.default_popup);
  files.push(...[...popup.matchAll(/(?:src|href)="([^"]+)"/g)].map((m) => m[1]));
  files.push(`_locales/${manifest.default_locale}/messages.json`);
  files.push(...Object.values(manifest.icons ?? {}), ...Object.values(manifest.action.default_icon ?? {}));
  return files;
}

// The width and height a PNG's header gives.
function pngSize(file) {
  const bytes = fs.readFileSync(file);
  expect(bytes.subarray(1, 4).toString("latin1") === "PNG", `${file} is not a PNG`);
  return [bytes.readUInt32BE(16), bytes.readUInt32BE(20)];
}

for (const browser of ["chrome", "firefox"]) {
  const tree = path.join(packages, browser);
  await step(`the ${browser} zip holds its tree and every file it loads`, () => {
    const zip = path.join(packages, `tarnwick-${browser}.zip`);
    const listing = execFileSync("python3", ["-c", ZIP_READER, zip], { encoding: "utf8" });
    const { entries, manifest } = JSON.parse(listing);
    for (const file of referencedFiles(tree)) expect(entries.includes(file), `${file} is missing from ${zip}`);
    expect(JSON.stringify(manifest) === JSON.stringify(manifestOf(tree)), "the zip's manifest differs from the tree's");
    expect(manifest.manifest_version === 3, "not Manifest V3");
  });
}

await step("the toolbar and the extension pages get an icon in every size the browsers ask for", () => {
  const manifest = manifestOf(source);
  for (const size of ["16", "32", "48", "128"]) {
    const icon = manifest.icons?.[size];
    expect(icon, `no ${size} px icon`);
    const [width, height] = pngSize(path.join(source, icon));
    expect(width === Number(size) && height === Number(size), `${icon} is ${width}x${height}, not ${size}x${size}`);
  }
  for (const [size, icon] of Object.entries(manifest.action.default_icon ?? {}))
    expect(pngSize(path.join(source, icon))[0] === Number(size), `${icon} is not ${size} px wide`);
});

await step("each browser's manifest keeps the keys that browser reads", () => {
  const chrome = manifestOf(path.join(packages, "chrome"));
  const firefox = manifestOf(path.join(packages, "firefox"));
  expect(chrome.background.service_worker && !chrome.background.scripts, "chrome: background is not a service worker alone");
  expect(!chrome.browser_specific_settings, "chrome: carries Firefox's settings");
  expect(firefox.background.scripts?.at(-1) === "background.js" && !firefox.background.service_worker,
    "firefox: background is not the scripts list");
  expect(/^[\w.-]+@[\w.-]+$/.test(firefox.browser_specific_settings?.gecko?.id ?? ""), "firefox: no add-on id");
  expect(chrome.key && !firefox.key, "the id-fixing key is not in the chrome package alone");
  const { background, browser_specific_settings, key, ...rest } = manifestOf(source);
  for (const [key, value] of Object.entries(rest))
    expect(JSON.stringify(chrome[key]) === JSON.stringify(value) && JSON.stringify(firefox[key]) === JSON.stringify(value),
      `${key} differs from the source manifest`);
});

await step("every text exists in English and Chinese", () => {
  const locales = Object.fromEntries(["en", "zh_CN"].map((l) => [l, JSON.parse(read(source, "_locales", l, "messages.json"))]));
  const english = Object.keys(locales.en).sort();
  expect(JSON.stringify(english) === JSON.stringify(Object.keys(locales.zh_CN).sort()), "en and zh_CN have different keys");
  for (const [locale, messages] of Object.entries(locales))
    for (const [key, entry] of Object.entries(messages)) expect(entry.message?.trim(), `${locale}: ${key} is empty`);
  const used = new Set();
  for (const file of fs.readdirSync(source)) {
    if (!/\.(js|html|json)$/.test(file)) continue;
    const text = read(source, file);
    for (const m of text.matchAll(/__MSG_(\w+)__|getMessage\("(\w+)"|data-i18n="(\w+)"|: "(status\w+)"/g))
      used.add(m[1] ?? m[2] ?? m[3] ?? m[4]);
  }
  expect(used.size > 5, "found no texts in use");
  for (const key of used) expect(english.includes(key), `${key} is used but has no text`);
});

// A worker that the browser stopped is started again for an event and runs its script from the
// top; only listeners added there, at once, receive that event.
await step("the worker adds every listener at its top level", () => {
  const worker = read(source, "background.js");
  const calls = worker.split("\n").filter((line) => line.includes(".addListener("));
  expect(calls.length >= 8, `only ${calls.length} listeners found`);
  for (const line of calls) expect(/^api\.[\w.]+\??\.addListener\(/.test(line), `not at the top level: ${line.trim()}`);
});

await step("web-ext lint passes the Firefox package", () => {
  let report;
  try {
    report = execFileSync(path.join(here, "node_modules/.bin/web-ext"),
      ["lint", "--source-dir", path.join(packages, "firefox"), "--output", "json", "--no-config-discovery"],
      { encoding: "utf8", env: { ...process.env, NO_UPDATE_NOTIFIER: "1" } });
  } catch (error) {
    report = error.stdout; // exits 1 when it found errors
  }
  const result = JSON.parse(report);
  const problems = [...result.errors, ...result.warnings].map((m) => `${m.code} ${m.file ?? ""}: ${m.message}`);
  expect(problems.length === 0, problems.join("; "));
});

finish();
