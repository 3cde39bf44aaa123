// Shared by the extension's browser tests: an unpacked copy of the extension that talks to the
// test's control port, and Debian's Chromium with that copy loaded.
import { chromium } from "playwright-core";
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import path from "node:path";

const NATIVE_HOST_SCRIPT = path.join(path.dirname(new URL(import.meta.url).pathname), "../../../scripts/native_host.sh");
export const NATIVE_HOST_NAME = "app.tarnwick.key";

// Registers `twkBinary`'s native messaging host in the profile, where Chromium looks for a
// profile's own hosts (PROFILE/NativeMessagingHosts), through the same script that registers it
// for a user. Returns the manifest's path.
export function registerNativeHost(profile, twkBinary) {
  const launcher = path.join(profile, "native-host");
  execFileSync("bash", [NATIVE_HOST_SCRIPT, "launcher", launcher, twkBinary]);
  const folder = path.join(profile, "NativeMessagingHosts");
  fs.mkdirSync(folder, { recursive: true });
  const manifest = path.join(folder, `${NATIVE_HOST_NAME}.json`);
  fs.writeFileSync(manifest, execFileSync("bash", [NATIVE_HOST_SCRIPT, "manifest", "chromium", launcher]));
  return manifest;
}

export const STEP_MS = 20000;

// Copies the extension folder `source` to `target`, with the control port the extension talks to
// replaced by `port`. An extension has one fixed address; the tests change it in the copy they
// load, never in the source tree.
export function prepareExtension(source, target, port) {
  fs.cpSync(source, target, { recursive: true });
  const file = path.join(target, "common.js");
  const text = fs.readFileSync(file, "utf8");
  const line = /^const CONTROL_PORT = 18080;$/m;
  if (!line.test(text)) throw new Error("common.js has no `const CONTROL_PORT = 18080;` line");
  fs.writeFileSync(file, text.replace(line, `const CONTROL_PORT = ${port};`));
  return target;
}

// Chromium with a fresh profile in `profile`, the extension in `extensionDir` loaded, and its
// downloads going to `downloadDir` the way a user's do (the browser's own download handling,
// not the test driver's, so that extensions see the same events). `language` sets the UI
// language the extension's texts follow. With `twkBinary` its native messaging host is registered
// (the key goes to the XDG_RUNTIME_DIR of this process's environment, which the browser and its
// hosts inherit).
export async function launchWithExtension({ profile, extensionDir, downloadDir, language = "en-US", twkBinary }) {
  fs.mkdirSync(path.join(profile, "Default"), { recursive: true });
  if (twkBinary) registerNativeHost(profile, twkBinary);
  fs.writeFileSync(
    path.join(profile, "Default", "Preferences"),
    JSON.stringify({ download: { default_directory: downloadDir, prompt_for_download: false, directory_upgrade: true } })
  );
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: "/usr/bin/chromium",
    headless: true,
    locale: language,
    env: { ...process.env, LANGUAGE: language.replace("-", "_") },
    args: [
      "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync",
      `--lang=${language}`,
      `--disable-extensions-except=${extensionDir}`, `--load-extension=${extensionDir}`,
    ],
  });
  let [worker] = context.serviceWorkers();
  if (!worker) worker = await context.waitForEvent("serviceworker", { timeout: STEP_MS });
  const page = context.pages()[0] ?? (await context.newPage());
  page.setDefaultTimeout(STEP_MS);
  const cdp = await context.newCDPSession(page);
  await cdp.send("Browser.setDownloadBehavior", { behavior: "default" });
  const extensionId = new URL(worker.url()).host;
  return { context, worker, page, extensionId };
}

// Polls `condition` (may be async) every 50 ms until it gives a truthy value, or throws after
// `ms` with `what` in the message.
export async function waitFor(what, condition, ms = STEP_MS) {
  const deadline = Date.now() + ms;
  for (;;) {
    const value = await condition();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

let failed = false;
export async function step(name, body) {
  try {
    await body();
    console.log(`ok: ${name}`);
  } catch (error) {
    failed = true;
    console.log(`FAILED: ${name}: ${error.message.split("\n")[0]}`);
  }
}
export function finish() {
  console.log(failed ? "FAIL" : "PASS");
  process.exit(failed ? 1 : 0);
}
