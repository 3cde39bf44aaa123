// Drives the built-in status page in headless Chromium (Debian's /usr/bin/chromium).
//
// usage: node status_page.mjs PAGE_URL SECOND_DOWNLOAD_URL OUTPUT_DIR
// A download is already running when this starts. Checks that the page connects, shows that
// download's progress moving with the live snapshots, starts SECOND_DOWNLOAD_URL through its form
// and shows it in the list (grouped by state apart from the running one once it finished), and
// shows the server's error for a blank URL. Saves
// OUTPUT_DIR/status_page_running.png (the first download under way), status_page.png (the end)
// and status_page_zh.png (the Chinese texts) every run. Prints
// "PASS" and exits 0, or prints what failed and exits 1.
import { chromium } from "playwright-core";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";

const [pageUrl, secondUrl, outputDir] = process.argv.slice(2);
const STEP_MS = 20000;

fs.mkdirSync(outputDir, { recursive: true });
const profiles = [];
// A browser with a fresh profile of its own. Without the background-networking switches
// Chromium's own connections would be refused on a closed network.
async function launch(locale) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "twk-chromium-"));
  profiles.push(profile);
  return chromium.launchPersistentContext(profile, {
    executablePath: "/usr/bin/chromium",
    headless: true,
    locale: locale,
    viewport: { width: 1000, height: 900 },
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
}

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

const browser = await launch("en-US");
const page = await browser.newPage();
page.setDefaultTimeout(STEP_MS);
const problems = [];
page.on("pageerror", (error) => problems.push(error.message));
try {
  await page.goto(pageUrl);

  await step("the page connects to the live channel", async () => {
    await page.waitForSelector("#link.live");
  });

  await step("the running download's progress moves with the snapshots", async () => {
    await page.waitForFunction(() => document.querySelector("#status").textContent === "downloading");
    const first = await page.textContent("#size");
    await page.waitForFunction((before) => {
      const now = document.querySelector("#size").textContent;
      return now !== before && document.querySelectorAll("#segbar .seg").length > 0;
    }, first);
    await page.waitForFunction(() => /\/s$/.test(document.querySelector("#speed").textContent) &&
                                      !document.querySelector("#speed").textContent.startsWith("0 "));
    await page.waitForFunction(() => /^\d+(\.\d)? %$/.test(document.querySelector("#progress").textContent));
    await page.click("#l-segments"); // the per-segment table, for the picture
    await page.screenshot({ path: path.join(outputDir, "status_page_running.png"), fullPage: true });
  });

  await step("the form starts a second download that then appears", async () => {
    await page.fill("#start-url", secondUrl);
    await page.selectOption("#start-connections", "2");
    await page.click("#start-button");
    await page.waitForFunction(() => /#2 .* 2 /.test(document.querySelector("#message").textContent));
    await page.waitForSelector("#task-rows tr[data-id='2']");
  });

  await step("the server's error for a blank URL is shown", async () => {
    await page.fill("#start-url", "   ");
    await page.click("#start-button");
    await page.waitForFunction(() => {
      const message = document.querySelector("#message");
      return message.classList.contains("error") && message.textContent.includes("empty url");
    });
  });

  await step("the snapshot shows both downloads", async () => {
    await page.waitForFunction(() => document.querySelectorAll("#task-rows tr[data-id]").length === 2);
  });

  await step("the list groups downloads by state: the running one apart from the finished one", async () => {
    // Each row under the group heading before it.
    const grouping = () => {
      let group = "";
      const rows = [];
      for (const tr of document.querySelectorAll("#task-rows tr")) {
        if (tr.classList.contains("group")) group = `${tr.dataset.group} ${tr.textContent}`;
        else rows.push(`#${tr.dataset.id} in ${group}`);
      }
      return rows.join(", ");
    };
    const expected = "#1 in running Running (1), #2 in done Finished (1)";
    await page.waitForFunction(`(${grouping.toString()})() === ${JSON.stringify(expected)}`)
      .catch(async (error) => {
        throw new Error(`${error.message.split("\n")[0]}: the list reads ${await page.evaluate(grouping)}`);
      });
  });

  await page.waitForTimeout(600); // a few more snapshots for the speed chart in the picture
  await page.screenshot({ path: path.join(outputDir, "status_page.png"), fullPage: true });

  await step("Chinese texts for a Chinese browser", async () => {
    const chineseBrowser = await launch("zh-CN");
    const chinese = await chineseBrowser.newPage();
    await chinese.goto(pageUrl);
    await chinese.waitForSelector("#link.live", { timeout: STEP_MS });
    const heading = await chinese.textContent("#h-new");
    if (heading !== "新建下载") throw new Error(`heading is ${heading}`);
    await chinese.screenshot({ path: path.join(outputDir, "status_page_zh.png"), fullPage: true });
    await chineseBrowser.close();
  });

  if (problems.length) {
    failed = true;
    console.log(`FAILED: script errors on the page: ${problems.join("; ")}`);
  }
} finally {
  await browser.close();
  for (const profile of profiles) fs.rmSync(profile, { recursive: true, force: true });
}
console.log(failed ? "FAIL" : "PASS");
process.exit(failed ? 1 : 0);
