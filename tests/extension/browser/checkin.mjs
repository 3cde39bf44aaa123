// The extension's check-in and its Chinese texts, in Debian's Chromium with a Chinese UI.
//
// usage: node checkin.mjs EXTENSION_DIR PORT WORK_DIR RELEASE_FILE OUTPUT_DIR TWK_BINARY
// Loads a copy of the extension that talks to PORT, checks the 30-second check-in alarm and the
// Chinese texts of the menu and the popup (the program answers on PORT), prints "waiting", and
// keeps the browser open until RELEASE_FILE appears (the caller's sign that the program saw the
// check-in with the right browser tag). Prints "PASS" (exit 0) or "FAIL" (exit 1).
import fs from "node:fs";
import path from "node:path";
import { finish, launchWithExtension, prepareExtension, step, waitFor } from "./harness.mjs";

const [extensionSource, port, workDir, releaseFile, outputDir, twkBinary] = process.argv.slice(2);
fs.mkdirSync(outputDir, { recursive: true });
const extensionDir = prepareExtension(extensionSource, path.join(workDir, "extension"), port);
const browser = await launchWithExtension({
  profile: path.join(workDir, "profile"),
  extensionDir,
  downloadDir: path.join(workDir, "downloads"),
  language: "zh-CN",
  twkBinary,
});
try {
  await step("a check-in alarm every 30 seconds", async () => {
    const alarm = await waitFor("the alarm", () => browser.worker.evaluate(() => chrome.alarms.get("checkin")));
    if (alarm.periodInMinutes !== 0.5) throw new Error(`period ${alarm.periodInMinutes} minutes`);
  });
  await step("the menu entry in Chinese", async () => {
    const title = await browser.worker.evaluate(() => chrome.i18n.getMessage("menuDownload"));
    if (title !== "使用 Tarnwick 下载") throw new Error(`menu reads ${title}`);
  });
  await step("the popup in Chinese, connected", async () => {
    const popup = await browser.context.newPage();
    await popup.setViewportSize({ width: 370, height: 240 });
    await popup.goto(`chrome-extension://${browser.extensionId}/popup.html`);
    await popup.waitForSelector("#connection.connected");
    const texts = await popup.evaluate(() => [
      document.querySelector("#connection").textContent,
      document.querySelector("label span").textContent,
    ]);
    if (texts.join("|") !== "已连接|将浏览器下载交给 Tarnwick") throw new Error(`popup reads ${texts.join(" | ")}`);
    await popup.screenshot({ path: path.join(outputDir, "popup_zh.png") });
  });
  console.log("waiting");
  await step("the program saw the check-in", () => waitFor("the release file", () => fs.existsSync(releaseFile), 30000));
} finally {
  await browser.context.close();
}
finish();
