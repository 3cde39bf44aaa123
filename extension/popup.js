// The popup: whether the program answers, the capture switch, and the unfinished downloads from
// the program's live status stream, grouped by state: running, queued, paused, failed. A failed
// download has a Retry button.
"use strict";

const RECONNECT_MS = 1000;
const RETRY_DEADLINE_MS = 5000;
// The groups in the order shown; finished downloads are the program's to show.
const failed = (status) => status.startsWith("error");
const GROUPS = [
  { id: "running", heading: "groupRunning", member: (s) => ["probing", "downloading", "muxing"].includes(s) },
  { id: "queued", heading: "groupQueued", member: (s) => s === "queued" },
  { id: "paused", heading: "groupPaused", member: (s) => s === "paused" },
  { id: "failed", heading: "groupFailed", member: failed },
];
const STATUS_TEXTS = {
  queued: "statusQueued",
  probing: "statusProbing",
  downloading: "statusDownloading",
  muxing: "statusMuxing",
  paused: "statusPaused",
};

const text = (name, ...args) => api.i18n.getMessage(name, args) || name;
const $ = (id) => document.getElementById(id);
const lastDone = new Map(); // task id -> [bytes, ms], for the speed

for (const node of document.querySelectorAll("[data-i18n]")) node.textContent = text(node.dataset.i18n);
document.documentElement.lang = api.i18n.getUILanguage();

function formatSize(bytes) {
  const units = ["B", "KB", "MB", "GB", "TB"];
  let value = bytes;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    unit++;
  }
  const decimals = unit === 0 ? 0 : value < 10 ? 2 : value < 100 ? 1 : 0;
  return `${value.toFixed(decimals)} ${units[unit]}`;
}

const CONNECTION_TEXTS = {
  connected: "popupConnected",
  offline: "popupNotRunning",
  checking: "popupChecking",
  "no-host": "popupNoHost",
  "no-key": "popupNoKey",
  unproven: "popupUnproven",
};

function showConnection(state) {
  const node = $("connection");
  node.className = state;
  node.textContent = text(CONNECTION_TEXTS[state]);
}

function taskItem(task, now) {
  const item = document.createElement("li");
  item.dataset.id = task.id;
  const name = document.createElement("div");
  name.className = "name";
  name.textContent = task.name || task.url;
  name.title = task.url;
  const bar = document.createElement("div");
  bar.className = "bar";
  const fill = document.createElement("div");
  const percent = task.total > 0 ? Math.min(100, (100 * task.done) / task.total) : 0;
  fill.style.width = `${percent}%`;
  bar.append(fill);
  const line = document.createElement("div");
  line.className = "line";
  const status = document.createElement("span");
  status.className = "status";
  status.textContent = STATUS_TEXTS[task.status] ? text(STATUS_TEXTS[task.status]) : task.status;
  const progress = document.createElement("span");
  progress.className = "progress";
  let speed = "";
  const before = lastDone.get(task.id);
  if (task.status === "downloading" && before && now > before[1])
    speed = ` · ${formatSize(((task.done - before[0]) * 1000) / (now - before[1]))}/s`;
  lastDone.set(task.id, [task.done, now]);
  progress.textContent = task.total > 0
    ? `${percent.toFixed(1)} % · ${formatSize(task.done)} / ${formatSize(task.total)}${speed}`
    : `${formatSize(task.done)}${speed}`;
  line.append(status, progress);
  item.append(name, bar, line);
  if (failed(task.status)) {
    status.title = task.status;
    const retry = document.createElement("button");
    retry.className = "retry";
    retry.textContent = text("retry");
    retry.addEventListener("click", () => retryTask(task.id, retry));
    line.append(retry);
  }
  return item;
}

// Asks the program to run a failed download again, with a proof of its own like every request.
async function retryTask(id, button) {
  button.disabled = true;
  const proof = await programProof();
  if (!proof) {
    showConnection(await whyUnproven());
    button.disabled = false;
    return;
  }
  try {
    const reply = await fetchWithin(
      controlUrl("/retry"),
      {
        method: "POST",
        headers: { "Content-Type": "application/json", "X-Tarnwick-Proof": proof },
        body: JSON.stringify({ id }),
      },
      RETRY_DEADLINE_MS
    );
    if (!reply.ok) throw new Error(`${reply.status}`);
  } catch {
    // the next document shows the row as it is; the button can be pressed again
    button.disabled = false;
  }
}

function render(document_) {
  const tasks = document_.tasks || [];
  const now = Date.now();
  const sections = [];
  for (const group of GROUPS) {
    const members = tasks.filter((task) => typeof task.status === "string" && group.member(task.status));
    if (!members.length) continue;
    const section = document.createElement("section");
    section.dataset.group = group.id;
    const heading = document.createElement("h2");
    heading.textContent = `${text(group.heading)} (${members.length})`;
    const list = document.createElement("ul");
    list.append(...members.map((task) => taskItem(task, now)));
    section.append(heading, list);
    sections.push(section);
  }
  $("downloads").replaceChildren(...sections);
  $("empty").hidden = sections.length > 0;
}

// Why there is no proof: no key (the native host is missing or said no), nothing on the port,
// or something on the port that is not the program.
async function whyUnproven() {
  if (!(await extensionKey())) return keyProblem || "no-host";
  try {
    const reply = await fetchWithin(controlUrl("/ping"), { method: "GET" }, 2000);
    return reply.ok ? "unproven" : "offline";
  } catch {
    return "offline";
  }
}

// The live list, over a WebSocket opened with a proof of its own; tried again a second after it
// closes or cannot be proven.
async function watch() {
  const proof = await programProof();
  if (!proof) {
    showConnection(await whyUnproven());
    setTimeout(watch, RECONNECT_MS);
    return;
  }
  const socket = new WebSocket(`${controlUrl("/ws")}&proof=${proof}`.replace(/^http/, "ws"));
  socket.onmessage = (event) => {
    showConnection("connected");
    try {
      render(JSON.parse(event.data));
    } catch {
      // a document we cannot read: keep the last one
    }
  };
  socket.onclose = () => {
    showConnection("offline");
    setTimeout(watch, RECONNECT_MS);
  };
}

// Firefox leaves host access to the user: without it the extension cannot reach the program,
// read cookies or see downloads' requests.
const ALL_SITES = { origins: ["<all_urls>"] };
async function offerAccess() {
  if (await api.permissions.contains(ALL_SITES)) return;
  $("access").hidden = false;
  $("grant").addEventListener("click", async () => {
    if (await api.permissions.request(ALL_SITES)) $("access").hidden = true;
  });
}

async function setUp() {
  offerAccess();
  const settings = await loadSettings();
  const capture = $("capture");
  capture.checked = settings.captureEnabled;
  capture.addEventListener("change", () => api.storage.local.set({ captureEnabled: capture.checked }));
  watch();
}

setUp();
