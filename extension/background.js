// The extension's worker: checks in with the program, hands links to it from the context menu,
// and takes over the browser's downloads while capture is on. Every listener is registered at
// the top level, synchronously, so that a worker woken by an event (the first download after
// the browser starts, an alarm, a click) finds its listener in place.
"use strict";

// Chromium runs this file as a service worker; Firefox loads the shared files before it as
// background scripts.
if (typeof importScripts === "function") importScripts("common.js", "policy.js");

const CHECKIN_ALARM = "checkin";
const CHECKIN_PERIOD_MINUTES = 0.5;
const PING_DEADLINE_MS = 2000;
// The program must accept a download within this time, or the browser keeps it.
const CAPTURE_DEADLINE_MS = 1000;
// Continuing a paused download asks the new link first: the program answers once it has.
const REFRESH_DEADLINE_MS = 60000;
const OFFER_PREFIX = "continue-";
const MENU_ID = "download-with-tarnwick";
const HANDED_BACK_MS = 10000;
// Chromium settles a download's file name just after announcing it; a held download waits this
// long for the name.
const NAME_WAIT_MS = 300;
const NAME_MEMORY = 64;
const NAVIGATIONS = ["main_frame", "sub_frame"];
// The requests a download can come from: a navigation, or a fetch of the browser's own (a
// download attribute, downloads.download).
const DOWNLOAD_REQUESTS = ["main_frame", "sub_frame", "other"];
// Chromium shows a request's Cookie header to extensions only when asked with "extraHeaders";
// Firefox shows it anyway and knows no such option.
const SEND_HEADERS_OPTIONS = browserTag() === "firefox" ? ["requestHeaders"] : ["requestHeaders", "extraHeaders"];
// How the browser treats a cookie without SameSite: Lax in Chromium, None in Firefox.
const UNMARKED_SAME_SITE = browserTag() === "firefox" ? "none" : "lax";

// Chromium pauses a download by no longer reading from the connection, and resumes it on the
// same connection, so holding it while the program decides costs nothing. Firefox pauses by
// closing the connection and resumes with a range request, which not every server allows, so
// there the download runs on while the program is asked.
const HOLD_WHILE_ASKING = browserTag() !== "firefox";

const posted = new UrlMemory(POST_MEMORY_MS);
const handedBack = new UrlMemory(HANDED_BACK_MS);
const sentCookies = new SentCookies();
const bypass = new BypassMemory();
// Chromium: the file name the browser picked for a download (from the page's download
// attribute, the server's Content-Disposition or the URL), by download id, and whoever waits
// for it.
const suggestedNames = new Map();
// Offers to continue a paused download, by notification id: the browser's download and the
// capture request to send with "replaces".
const offers = new Map();
const nameWaiters = new Map();

// ---- check-in ----------------------------------------------------------------------------------

async function checkIn() {
  let reachable = false;
  try {
    const reply = await fetchWithin(controlUrl("/ping"), { method: "GET" }, PING_DEADLINE_MS);
    reachable = reply.ok;
  } catch {
    reachable = false;
  }
  await api.storage.session?.set({ reachable, checkedAt: Date.now() });
  return reachable;
}

async function ensureAlarm() {
  const alarm = await api.alarms.get(CHECKIN_ALARM);
  if (!alarm || alarm.periodInMinutes !== CHECKIN_PERIOD_MINUTES)
    await api.alarms.create(CHECKIN_ALARM, { periodInMinutes: CHECKIN_PERIOD_MINUTES });
}

function createMenu() {
  api.contextMenus.removeAll(() => {
    api.contextMenus.create({
      id: MENU_ID,
      title: api.i18n.getMessage("menuDownload"),
      contexts: ["link"],
    });
  });
}

// ---- hand-off ----------------------------------------------------------------------------------

// The cookies the browser would send with `url` from the page `initiator` (see sameSiteAllows),
// from its cookie store: for links the browser has not requested yet.
async function cookiesFor(url, { initiator, topLevel }) {
  const query = { url };
  if (browserTag() === "firefox") query.firstPartyDomain = null; // every isolation key
  try {
    return cookieHeader(await api.cookies.getAll(query), url, Date.now() / 1000,
      { initiator, topLevel, unmarkedAs: UNMARKED_SAME_SITE });
  } catch {
    return "";
  }
}

// Exactly the Cookie header the browser sent with the request the download came from; when that
// request was not seen, what the browser would send from the page that started the download,
// counted as not top-level (an iframe's download gets no Lax cookies).
async function cookiesOfDownload(item, url) {
  const started = Date.parse(item.startTime) || Date.now();
  const sent = sentCookies.take(url, started);
  if (sent !== undefined) return sent;
  return cookiesFor(url, { initiator: item.referrer || "", topLevel: false });
}

// Posts a capture request. `accepted` only when the program proved itself and answered "ok" in
// time; `matches` when it named a paused download of the same file instead.
async function handOver(fields) {
  const proof = await programProof();
  if (!proof) return { accepted: false, matches: 0 };
  const body = captureRequest({ ...fields, userAgent: navigator.userAgent });
  try {
    const reply = await fetchWithin(
      controlUrl("/capture"),
      {
        method: "POST",
        headers: { "Content-Type": "application/json", "X-Tarnwick-Proof": proof },
        body: JSON.stringify(body),
      },
      fields.replaces ? REFRESH_DEADLINE_MS : CAPTURE_DEADLINE_MS
    );
    const answer = await reply.json();
    return { accepted: reply.ok && answer.ok === true, matches: matchedDownload(reply.status, answer) };
  } catch {
    return { accepted: false, matches: 0 };
  }
}

// ---- continuing a paused download with the browser's link ----------------------------------------

// The browser's download goes on meanwhile; only when the user agrees (the notification or its
// button) does the program continue its paused download with this link, and the browser's copy
// is then dropped. Ignored, nothing changes.
async function offerToContinue(item, fields, matches) {
  const key = OFFER_PREFIX + item.id;
  offers.set(key, { downloadId: item.id, fields: { ...fields, replaces: matches } });
  const options = {
    type: "basic",
    iconUrl: api.runtime.getURL("icons/icon-128.png"),
    title: api.i18n.getMessage("offerTitle"),
    message: api.i18n.getMessage("offerMessage", [fields.filename || baseName(fields.url)]),
  };
  if (browserTag() !== "firefox") options.buttons = [{ title: api.i18n.getMessage("offerContinue") }];
  try {
    await api.notifications.create(key, options);
  } catch {
    offers.delete(key);
  }
}

async function acceptOffer(key) {
  const offer = offers.get(key);
  if (!offer) return;
  offers.delete(key);
  api.notifications.clear(key).catch(() => {});
  const { accepted } = await handOver(offer.fields);
  if (!accepted) return;
  await api.downloads.cancel(offer.downloadId).catch(() => {});
  await api.downloads.erase({ id: offer.downloadId }).catch(() => {});
}

// The browser downloads `url` itself, and capture leaves that download alone.
async function browserDownload(url) {
  handedBack.note(url);
  try {
    await api.downloads.download({ url });
  } catch {
    handedBack.forget(url);
  }
}

function noteSuggestedName(id, name) {
  suggestedNames.set(id, name);
  while (suggestedNames.size > NAME_MEMORY) suggestedNames.delete(suggestedNames.keys().next().value);
  nameWaiters.get(id)?.();
}

// The name the browser would save `item` under, without its folder; "" when unknown.
async function fileNameOf(item) {
  if (item.filename) return baseName(item.filename); // Firefox knows it from the start
  if (!api.downloads.onDeterminingFilename) return "";
  if (!suggestedNames.has(item.id)) {
    await new Promise((resolve) => {
      nameWaiters.set(item.id, resolve);
      setTimeout(resolve, NAME_WAIT_MS);
    });
    nameWaiters.delete(item.id);
  }
  const name = suggestedNames.get(item.id) ?? "";
  suggestedNames.delete(item.id);
  return name;
}

async function captureDownload(item) {
  const settings = await loadSettings();
  const url = item.finalUrl || item.url;
  const reason = keepReason(item, {
    settings,
    bypassed: bypass.take(),
    keep: handedBack.has(item.url) || handedBack.has(url),
    posted: posted.has(item.url) || posted.has(url),
  });
  if (reason) return;

  if (HOLD_WHILE_ASKING) {
    try {
      await api.downloads.pause(item.id);
    } catch {
      return; // already finished or gone: nothing to take over
    }
  }
  const filename = await fileNameOf(item);
  const cookies = await cookiesOfDownload(item, url);
  const fields = { url, filename, referrer: item.referrer, cookies, size: downloadSize(item) };
  const { accepted, matches } = await handOver(fields);
  if (accepted) {
    await api.downloads.cancel(item.id).catch(() => {});
    await api.downloads.erase({ id: item.id }).catch(() => {});
    return;
  }
  if (HOLD_WHILE_ASKING) await api.downloads.resume(item.id).catch(() => {});
  if (matches) await offerToContinue(item, fields, matches);
}

async function downloadLink(info) {
  const url = info.linkUrl;
  const referrer = info.frameUrl || info.pageUrl || "";
  // As a click on the link would: from its page, top-level unless the link is in a frame.
  const cookies = isHttpUrl(url) ? await cookiesFor(url, { initiator: referrer, topLevel: !info.frameUrl }) : "";
  if (isHttpUrl(url) && (await handOver({ url, filename: "", referrer, cookies })).accepted) return;
  // Nothing is lost when the program is closed or refuses: the browser takes the link.
  await browserDownload(url);
}

// ---- listeners ---------------------------------------------------------------------------------

// The key is fetched ahead, so that the first capture does not wait for the native host.
api.runtime.onInstalled.addListener(() => {
  createMenu();
  ensureAlarm();
  checkIn();
  extensionKey();
});

api.runtime.onStartup.addListener(() => {
  createMenu();
  ensureAlarm();
  checkIn();
  extensionKey();
});

api.alarms.onAlarm.addListener((alarm) => {
  if (alarm.name === CHECKIN_ALARM) checkIn();
});

api.contextMenus.onClicked.addListener((info) => {
  if (info.menuItemId === MENU_ID) downloadLink(info);
});

api.downloads.onCreated.addListener((item) => {
  captureDownload(item);
});

// Only listened to for the name; the browser's choice always stands.
api.downloads.onDeterminingFilename?.addListener((item, suggest) => {
  suggest();
  noteSuggestedName(item.id, baseName(item.filename));
});

// Navigations that post a form: a download they turn into must not be replayed as a GET.
api.webRequest.onBeforeRequest.addListener(
  (details) => {
    if (details.method === "POST") posted.note(details.url);
    else if (details.method === "GET") posted.forget(details.url);
  },
  { urls: ["<all_urls>"], types: NAVIGATIONS }
);
// 307 and 308 keep the method, so the target of such a redirect was posted to as well.
api.webRequest.onBeforeRedirect.addListener(
  (details) => {
    if (details.method === "POST" && (details.statusCode === 307 || details.statusCode === 308))
      posted.note(details.redirectUrl);
  },
  { urls: ["<all_urls>"], types: NAVIGATIONS }
);

// The Cookie header of every request a download may come from, for the hand-over.
api.webRequest.onSendHeaders.addListener(
  (details) => sentCookies.note(details.url, cookieOfHeaders(details.requestHeaders), details.timeStamp),
  { urls: ["<all_urls>"], types: DOWNLOAD_REQUESTS },
  SEND_HEADERS_OPTIONS
);

api.notifications.onClicked.addListener((key) => {
  if (key.startsWith(OFFER_PREFIX)) acceptOffer(key);
});
api.notifications.onButtonClicked?.addListener((key) => {
  if (key.startsWith(OFFER_PREFIX)) acceptOffer(key);
});
api.notifications.onClosed.addListener((key) => offers.delete(key));

api.runtime.onMessage.addListener((message, sender) => {
  if (message?.type === "modifier-click" && sender.id === api.runtime.id) bypass.note();
});

// A worker that was asleep when the browser started, or that the browser stopped, checks that
// its alarm is there.
ensureAlarm();
