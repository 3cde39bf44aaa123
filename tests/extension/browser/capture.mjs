// The extension in Debian's Chromium against a real `twk serve` and a loopback nginx.
//
// usage: node capture.mjs TWK_BINARY EXTENSION_DIR WWW_ROOT SITE_URL WORK_DIR OUTPUT_DIR
// WWW_ROOT is the folder nginx serves at SITE_URL (with the locations of extension_test.cpp);
// this script fills it with the test pages and files. WORK_DIR holds the browser profile, both
// download folders and the extension copy. OUTPUT_DIR receives a screenshot of the popup.
// Prints "ok: ..." per step, then "PASS" (exit 0) or "FAIL" (exit 1).
import { spawn } from "node:child_process";
import crypto from "node:crypto";
import fs from "node:fs";
import http from "node:http";
import net from "node:net";
import path from "node:path";
import { finish, launchWithExtension, NATIVE_HOST_NAME, prepareExtension, step, STEP_MS, waitFor } from "./harness.mjs";

const [twkBinary, extensionSource, wwwRoot, siteUrl, workDir, outputDir] = process.argv.slice(2);
const BIG = 64 << 20; // taken over by the program
const MID = 2 << 20; // above the size threshold, for downloads the browser keeps
const SMALL = 100 << 10; // below it
const twkDir = path.join(workDir, "twk");
const browserDir = path.join(workDir, "browser");
for (const dir of [twkDir, browserDir, outputDir]) fs.mkdirSync(dir, { recursive: true });
// The extension key of twk serve and of the native host the browser starts: a folder of this
// run's own, inherited by both.
process.env.XDG_RUNTIME_DIR = path.join(workDir, "run");
// twk serve's task list, which brings an interrupted download back paused after a restart.
process.env.XDG_STATE_HOME = path.join(workDir, "state");
fs.mkdirSync(process.env.XDG_RUNTIME_DIR, { recursive: true, mode: 0o700 });

// ---- the site -----------------------------------------------------------------------------------

const PAGE = `<!doctype html>
<meta charset="utf-8"><title>Downloads</title>
<a id="plain" href="/files/plain.bin">plain</a>
<a id="named" href="/named/report-source">Content-Disposition</a>
<a id="redirect" href="/go/redirect">behind a redirect</a>
<button id="scripted">a.download from script</button>
<a id="secret" href="/private/secret.bin">needs the page's cookie</a>
<a id="alt" href="/files/alt.bin">modifier key</a>
<a id="small" href="/files/small.bin">small</a>
<form method="post" action="/post/form.bin"><input name="q" value="1"><button id="post">POST</button></form>
<button id="blob">blob</button>
<a id="offline" href="/files/offline.bin">while the program is stopped</a>
<a id="silent" href="/files/silent.bin">while the port does not answer</a>
<a id="refuse" href="/files/refused.bin">while the port refuses</a>
<a id="impostor" href="/files/impostor.bin">while an impostor holds the port</a>
<a id="nohost" href="/files/nohost.bin">without the native host</a>
<a id="after" href="/files/after.bin">after it is back</a>
<a id="switched" href="/files/switched.bin">capture switched off</a>
<a id="slow" href="/slow/progress.bin">slow</a>
<script>
document.cookie = "twk_session=opensesame; path=/private";
document.cookie = "twk_elsewhere=1; path=/elsewhere";
function save(href, name) {
  const a = document.createElement("a");
  a.href = href;
  a.download = name;
  document.body.append(a);
  a.click();
  a.remove();
}
document.getElementById("scripted").onclick = () => save("/files/chosen-source.bin", "chosen.bin");
document.getElementById("blob").onclick = () =>
  save(URL.createObjectURL(new Blob([new Uint8Array(${MID}).fill(42)])), "generated.bin");
</script>
`;

// SameSite: the site at SITE_URL (127.0.0.1) sets four cookies for /jar; the same server under
// the name localhost is another site, whose page links to a download there and frames a page of
// it that links to another.
const attackerUrl = siteUrl.replace("127.0.0.1", "localhost");
const JAR_PAGES = {
  "set.html": `<!doctype html><meta charset="utf-8"><title>jar</title>
<a id="jar-click" href="/jar/click.bin">same-site link</a>
<script>
document.cookie = "twk_strict=1; path=/jar; SameSite=Strict";
document.cookie = "twk_lax=1; path=/jar; SameSite=Lax";
document.cookie = "twk_none=1; path=/jar; SameSite=None; Secure";
document.cookie = "twk_plain=1; path=/jar";
</script>`,
  "frame.html": `<!doctype html><meta charset="utf-8"><a id="frame-link" href="/jar/frame.bin">in a frame</a>`,
  "attacker.html": `<!doctype html><meta charset="utf-8"><title>elsewhere</title>
<a id="jar-top" href="${siteUrl}/jar/top.bin">cross-site link</a>
<iframe src="${siteUrl}/jar/frame.html"></iframe>`,
};

function writeSite() {
  for (const dir of ["files", "named", "private", "post", "slow", "go", "jar"]) fs.mkdirSync(path.join(wwwRoot, dir), { recursive: true });
  fs.writeFileSync(path.join(wwwRoot, "index.html"), PAGE);
  for (const [name, text] of Object.entries(JAR_PAGES)) fs.writeFileSync(path.join(wwwRoot, "jar", name), text);
  fs.writeFileSync(path.join(wwwRoot, "big.bin"), crypto.randomBytes(BIG));
  fs.writeFileSync(path.join(wwwRoot, "mid.bin"), crypto.randomBytes(MID));
  fs.writeFileSync(path.join(wwwRoot, "files/small.bin"), crypto.randomBytes(SMALL));
  const links = {
    "files/plain.bin": "big.bin", "files/moved.bin": "big.bin", "files/chosen-source.bin": "big.bin",
    "named/report-source": "big.bin", "private/secret.bin": "big.bin", "private/menu.bin": "big.bin",
    "files/after.bin": "big.bin", "slow/progress.bin": "big.bin",
    "files/alt.bin": "mid.bin", "files/offline.bin": "mid.bin",
    "files/silent.bin": "mid.bin", "files/refused.bin": "mid.bin", "files/switched.bin": "mid.bin",
    "files/impostor.bin": "mid.bin", "files/nohost.bin": "mid.bin",
    "jar/click.bin": "big.bin", "jar/top.bin": "big.bin", "jar/frame.bin": "big.bin",
    "post/form.bin": "mid.bin",
  };
  for (const [link, target] of Object.entries(links)) fs.symlinkSync(path.join(wwwRoot, target), path.join(wwwRoot, link));
}

// ---- twk serve ----------------------------------------------------------------------------------

async function freePort() {
  const server = net.createServer();
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  const { port } = server.address();
  await new Promise((resolve) => server.close(resolve));
  return port;
}

const serveLog = path.join(workDir, "serve.log");
function startServe(port) {
  const out = fs.openSync(serveLog, "a");
  const child = spawn(twkBinary, ["serve", "-d", twkDir], {
    env: { ...process.env, TWK_CONTROL_PORT: String(port) },
    stdio: ["ignore", out, out],
  });
  fs.closeSync(out);
  child.exitCode_ = null;
  child.on("exit", (code) => (child.exitCode_ = code));
  return child;
}
const listenings = () => (fs.readFileSync(serveLog, "utf8").match(/control API on/g) ?? []).length;

// A stand-in on the control port that never answers ("silent"), refuses everything ("refuse"),
// or plays the program without its key ("impostor": "ok" to a ping, a made-up proof, and
// {"ok":true} to anything else, the reply that would make the browser drop its download). The
// requests it saw go to `seen`.
async function standIn(port, mode, seen = []) {
  const sockets = new Set();
  const server = http.createServer((request, reply) => {
    seen.push(`${request.method} ${request.url}`);
    if (mode === "silent") return;
    if (mode === "impostor") {
      const path_ = request.url.split("?")[0];
      const body = path_ === "/ping" ? "ok" : path_ === "/proof" ? "0".repeat(64) : '{"ok":true,"id":1,"connections":8}';
      reply.writeHead(200, { "Content-Type": path_ === "/capture" ? "application/json" : "text/plain", Connection: "close" });
      reply.end(body);
      return;
    }
    reply.writeHead(403, { "Content-Type": "application/json", Connection: "close" });
    reply.end('{"ok":false,"error":"forbidden"}');
  });
  server.on("connection", (socket) => {
    sockets.add(socket);
    socket.on("close", () => sockets.delete(socket));
  });
  await new Promise((resolve) => server.listen(port, "127.0.0.1", resolve));
  return async () => {
    for (const socket of sockets) socket.destroy();
    await new Promise((resolve) => server.close(resolve));
  };
}

// ---- checks -------------------------------------------------------------------------------------

const same = (a, b) => fs.existsSync(a) && fs.existsSync(b) && fs.statSync(a).size === fs.statSync(b).size &&
  fs.readFileSync(a).equals(fs.readFileSync(b));
const base = (file) => (file || "").split("/").pop();

let worker;
async function browserDownloads() {
  return worker.evaluate(() => chrome.downloads.search({}));
}

// The program downloads `urlPath` as `name`, byte for byte, and the browser keeps nothing of it.
async function expectTakenOver(name, urlPath, trigger) {
  await trigger();
  const copy = path.join(twkDir, name);
  await waitFor(`${name} complete in the program's folder`, () =>
    !fs.existsSync(copy + ".twk") && same(copy, path.join(wwwRoot, urlPath)), 60000);
  await waitFor(`no browser download of ${urlPath}`, async () =>
    (await browserDownloads()).every((d) => !d.url.endsWith(urlPath) && !d.finalUrl.endsWith(urlPath)));
  const left = fs.readdirSync(browserDir).filter((f) => f.startsWith(name.replace(/\.bin$/, "")) || f.endsWith(".crdownload"));
  if (left.length) throw new Error(`the browser's folder holds ${left.join(", ")}`);
}

// The browser downloads `urlPath` itself to its end as `name`; the program gets nothing.
async function expectKept(name, source, trigger) {
  await trigger();
  const item = await waitFor(`the browser's own download of ${name}`, async () =>
    (await browserDownloads()).find((d) => base(d.filename) === name && d.state !== "interrupted" && d.state === "complete"));
  if (source && !same(item.filename, source)) throw new Error(`the browser's ${name} differs from the source`);
  if (fs.existsSync(path.join(twkDir, name))) throw new Error(`the program downloaded ${name} too`);
}

// ---- the run ------------------------------------------------------------------------------------

writeSite();
const port = await freePort();
const extensionDir = prepareExtension(extensionSource, path.join(workDir, "extension"), port);
let serve = startServe(port);
let browser;
try {
  await waitFor("twk serve listening", () => listenings() === 1);
  browser = await launchWithExtension({
    profile: path.join(workDir, "profile"), extensionDir, downloadDir: browserDir, twkBinary,
  });
  worker = browser.worker;
  const page = browser.page;
  await page.goto(`${siteUrl}/index.html`);
  const click = (selector, options) => () => page.click(selector, options);

  await step("a plain link goes to the program", () => expectTakenOver("plain.bin", "files/plain.bin", click("#plain")));
  await step("a Content-Disposition name comes along", () =>
    expectTakenOver("report.bin", "named/report-source", click("#named")));
  await step("a download behind a redirect", () =>
    expectTakenOver("moved.bin", "files/moved.bin", click("#redirect")));
  await step("a.download clicked from script keeps the page's name", () =>
    expectTakenOver("chosen.bin", "files/chosen-source.bin", click("#scripted")));
  await step("a link that needs the page's cookie (and referer, and the browser's agent)", () =>
    expectTakenOver("secret.bin", "private/secret.bin", click("#secret")));
  await step("the context menu's hand-off sends the cookie and the page as referer", () =>
    expectTakenOver("menu.bin", "private/menu.bin", () =>
      worker.evaluate((info) => downloadLink(info), { linkUrl: `${siteUrl}/private/menu.bin`, pageUrl: `${siteUrl}/index.html` })));

  await step("the program gets exactly the cookies the browser sent: SameSite from a link, a cross-site page and its iframe", async () => {
    const jar = await browser.context.newPage();
    await jar.goto(`${siteUrl}/jar/set.html`);
    const names = await worker.evaluate(async () =>
      (await chrome.cookies.getAll({ domain: "127.0.0.1", path: "/jar" })).map((c) => c.name).sort().join(" "));
    if (names !== "twk_lax twk_none twk_plain twk_strict") throw new Error(`the site's cookies are ${names}`);
    await expectTakenOver("click.bin", "jar/click.bin", () => jar.click("#jar-click"));
    await jar.goto(`${attackerUrl}/jar/attacker.html`);
    await expectTakenOver("top.bin", "jar/top.bin", () => jar.click("#jar-top"));
    await expectTakenOver("frame.bin", "jar/frame.bin", () => jar.frameLocator("iframe").locator("#frame-link").click());
    await jar.close();
  });
  await step("a POST form's download stays with the browser", () =>
    expectKept("form.bin", path.join(wwwRoot, "mid.bin"), click("#post")));
  await step("a blob: download stays with the browser", async () => {
    await expectKept("generated.bin", null, click("#blob"));
    const item = (await browserDownloads()).find((d) => base(d.filename) === "generated.bin");
    if (!item.url.startsWith("blob:") || fs.statSync(item.filename).size !== MID) throw new Error("not the blob");
  });
  await step("a small file stays with the browser", () =>
    expectKept("small.bin", path.join(wwwRoot, "files/small.bin"), click("#small")));
  await step("a link clicked with Alt held stays with the browser", () =>
    expectKept("alt.bin", path.join(wwwRoot, "mid.bin"), click("#alt", { modifiers: ["Alt"] })));

  const popup = await browser.context.newPage();
  popup.setDefaultTimeout(STEP_MS);
  await popup.setViewportSize({ width: 370, height: 260 });
  await step("the popup shows the program connected and its running download", async () => {
    await popup.goto(`chrome-extension://${browser.extensionId}/popup.html`);
    await popup.waitForSelector("#connection.connected");
    const state = await popup.textContent("#connection");
    if (state !== "Connected") throw new Error(`connection reads ${state}`);
    if (!(await popup.isHidden("#access"))) throw new Error("asks for access it has");
    await page.click("#slow");
    await waitFor("the running download in the popup", () => popup.evaluate(() =>
      [...document.querySelectorAll("#downloads section[data-group=running] li")].some((li) =>
        li.querySelector(".name").textContent === "progress.bin" &&
        li.querySelector(".status").textContent === "downloading" &&
        /^\d+\.\d % · /.test(li.querySelector(".progress").textContent))));
    await popup.screenshot({ path: path.join(outputDir, "popup.png") });
  });
  await step("the popup groups downloads by state: running, queued, paused", async () => {
    const task = (id, status) => ({ id, name: `${status}.bin`, url: `http://h/${id}`, status, total: 100, done: 50 });
    const shown = await popup.evaluate((tasks) => {
      render({ tasks });
      return [...document.querySelectorAll("#downloads section")].map((section) =>
        `${section.dataset.group}: ${[...section.querySelectorAll("li .name")].map((n) => n.textContent).join(" ")}`);
    }, [task(1, "paused"), task(2, "downloading"), task(3, "queued"), task(4, "done"), task(5, "probing"),
        task(6, "error: gone"), task(7, "muxing"), task(8, "paused")]);
    const expected = ["running: downloading.bin probing.bin muxing.bin", "queued: queued.bin", "paused: paused.bin paused.bin",
                      "failed: error: gone.bin"];
    if (shown.join(" | ") !== expected.join(" | ")) throw new Error(`the popup shows ${shown.join(" | ")}`);
  });
  await step("a failed download has Retry in the popup, which fetches it once the file is there", async () => {
    const started = await popup.evaluate(async (url) => {
      const reply = await fetch(controlUrl("/start"), {
        method: "POST",
        headers: { "Content-Type": "application/json", "X-Tarnwick-Proof": await programProof() },
        body: JSON.stringify({ url }),
      });
      return reply.json();
    }, `${siteUrl}/files/later.bin`);
    if (!started.ok) throw new Error(`start: ${JSON.stringify(started)}`);
    const row = `#downloads section[data-group=failed] li[data-id="${started.id}"]`;
    await popup.waitForSelector(`${row} button.retry`);
    const status = await popup.textContent(`${row} .status`);
    if (!status.includes("404")) throw new Error(`the failed row reads ${status}`);
    await popup.screenshot({ path: path.join(outputDir, "popup_failed.png") });
    fs.copyFileSync(path.join(wwwRoot, "mid.bin"), path.join(wwwRoot, "files/later.bin"));
    await popup.click(`${row} button.retry`);
    const copy = path.join(twkDir, "later.bin");
    await waitFor("later.bin fetched after Retry", () =>
      !fs.existsSync(copy + ".twk") && same(copy, path.join(wwwRoot, "files/later.bin")), 60000);
    await popup.waitForSelector(row, { state: "detached" });
  });
  await step("with the capture switch off the browser keeps its downloads", async () => {
    await popup.uncheck("#capture");
    await waitFor("the switch stored", () => worker.evaluate(async () => (await loadSettings()).captureEnabled === false));
    await expectKept("switched.bin", path.join(wwwRoot, "mid.bin"), click("#switched"));
    await popup.check("#capture");
    await waitFor("the switch stored", () => worker.evaluate(async () => (await loadSettings()).captureEnabled));
  });

  await step("with the program stopped the browser's own download completes", async () => {
    serve.kill("SIGTERM");
    await waitFor("twk serve exited", () => serve.exitCode_ !== null, 40000);
    await popup.waitForSelector("#connection.offline");
    await expectKept("offline.bin", path.join(wwwRoot, "mid.bin"), click("#offline"));
  });
  await step("a port that does not answer within a second, or refuses, leaves the download to the browser", async () => {
    for (const [mode, name] of [["silent", "silent.bin"], ["refuse", "refused.bin"]]) {
      const close = await standIn(port, mode);
      try {
        await expectKept(name, path.join(wwwRoot, "mid.bin"), click(`#${mode}`));
      } finally {
        await close();
      }
    }
  });
  await step("an impostor on the port gets no capture, and the browser keeps its download", async () => {
    const seen = [];
    const close = await standIn(port, "impostor", seen);
    try {
      await expectKept("impostor.bin", path.join(wwwRoot, "mid.bin"), click("#impostor"));
      if (!seen.some((r) => r.startsWith("GET /proof?"))) throw new Error(`the extension never asked for a proof: ${seen}`);
      const told = seen.filter((r) => !r.startsWith("GET /proof?") && !r.startsWith("GET /ping?"));
      if (told.length) throw new Error(`the impostor was sent ${told.join(", ")}`);
      await popup.waitForSelector("#connection.unproven");
    } finally {
      await close();
    }
  });
  await step("once the program is back the next download goes to it", async () => {
    serve = startServe(port);
    await waitFor("twk serve listening again", () => listenings() === 2);
    await expectTakenOver("after.bin", "files/after.bin", click("#after"));
    await popup.waitForSelector("#connection.connected");
    // The slow download the stop interrupted came back paused, and is listed so.
    await popup.waitForSelector("#downloads section[data-group=paused] li");
    const paused = await popup.textContent("#downloads section[data-group=paused] li .name");
    if (paused !== "progress.bin") throw new Error(`paused: ${paused}`);
  });
  await step("without the native host the popup says what to run and the browser keeps downloads", async () => {
    const manifest = path.join(workDir, "profile", "NativeMessagingHosts", `${NATIVE_HOST_NAME}.json`);
    fs.renameSync(manifest, `${manifest}.away`);
    try {
      await worker.evaluate(() => chrome.storage.session.remove("key"));
      await popup.reload();
      await popup.waitForSelector("#connection.no-host");
      const says = await popup.textContent("#connection");
      if (!says.includes("scripts/app.sh --install")) throw new Error(`the popup reads ${says}`);
      await popup.screenshot({ path: path.join(outputDir, "popup_no_host.png") });
      await expectKept("nohost.bin", path.join(wwwRoot, "mid.bin"), click("#nohost"));
    } finally {
      fs.renameSync(`${manifest}.away`, manifest);
    }
  });
} catch (error) {
  console.log(`FAILED: ${error.message.split("\n")[0]}`);
  process.exitCode = 1;
} finally {
  await browser?.context.close();
  if (serve.exitCode_ === null) {
    serve.kill("SIGTERM");
    await waitFor("twk serve exited", () => serve.exitCode_ !== null, 40000).catch(() => serve.kill("SIGKILL"));
  }
}
if (process.exitCode) {
  console.log(fs.readFileSync(serveLog, "utf8"));
  console.log("FAIL");
  process.exit(1);
}
finish();
