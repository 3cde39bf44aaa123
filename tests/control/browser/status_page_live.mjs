// Drives the built-in status page in headless Chromium while a live recording runs.
//
// usage: node status_page_live.mjs PAGE_URL OUTPUT_DIR
// Task 1 is a live recording when this starts. Checks that its row says "recording" with the
// media time and bytes it holds and no percentage, that the current card does the same, and that
// its Stop button ends it "done". Saves OUTPUT_DIR/status_page_live.png (while recording). Prints
// "PASS" and exits 0, or prints what failed and exits 1.
import { chromium } from "playwright-core";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";

const [pageUrl, outputDir] = process.argv.slice(2);
const STEP_MS = 20000;

fs.mkdirSync(outputDir, { recursive: true });
const profile = fs.mkdtempSync(path.join(os.tmpdir(), "twk-chromium-"));
const browser = await chromium.launchPersistentContext(profile, {
  executablePath: "/usr/bin/chromium",
  headless: true,
  locale: "en-US",
  viewport: { width: 1000, height: 900 },
  args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync"],
});

let failed = false;
async function step(name, body) {
  try {
    await body();
    console.log(`ok: ${name}`);
  } catch (error) {
    failed = true;
    console.log(`FAILED: ${name}: ${error.message.split("\n")[0]}`);
  }
}

const page = await browser.newPage();
page.setDefaultTimeout(STEP_MS);
const problems = [];
page.on("pageerror", (error) => problems.push(error.message));
const row = "#task-rows tr[data-id='1']";
try {
  await page.goto(pageUrl);

  await step("the recording's row shows its media time and bytes, no percentage, and Stop", async () => {
    await page.waitForFunction((row) => {
      const cells = document.querySelectorAll(`${row} td`);
      return cells.length === 6 && cells[2].textContent.startsWith("recording") &&
             /^\d+s recorded$/.test(cells[3].textContent) && !cells[3].textContent.includes("%") &&
             cells[5].textContent === "376 B" && cells[2].querySelector("button.stop") !== null;
    }, row);
  });

  await step("the current card shows the recording without a total", async () => {
    await page.waitForFunction(() => document.querySelector("#status").classList.contains("recording") &&
                                     / recorded$/.test(document.querySelector("#progress").textContent) &&
                                     document.querySelector("#size").textContent === "376 B");
    await page.screenshot({ path: path.join(outputDir, "status_page_live.png"), fullPage: true });
  });

  await step("Stop ends the recording done", async () => {
    await page.click(`${row} button.stop`);
    await page.waitForFunction((row) => {
      const status = document.querySelector(`${row} td.task-status`);
      return status && status.textContent === "done";
    }, row);
  });

  if (problems.length) {
    failed = true;
    console.log(`FAILED: script errors on the page: ${problems.join("; ")}`);
  }
} finally {
  await browser.close();
  fs.rmSync(profile, { recursive: true, force: true });
}
console.log(failed ? "FAIL" : "PASS");
process.exit(failed ? 1 : 0);
