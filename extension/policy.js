// The decisions behind capture, free of browser calls so that they can be checked on their own:
// which downloads the program takes over, which cookies go with a URL, and the short memories
// of POST requests and of clicks made with a modifier key held.
"use strict";

const POST_MEMORY_MS = 60000;
const BYPASS_MEMORY_MS = 3000;
const MEMORY_LIMIT = 256;
const SENT_COOKIES_MS = 60000;
const CLOCK_SLACK_MS = 5000;

function isHttpUrl(url) {
  return typeof url === "string" && /^https?:\/\//i.test(url);
}

// Why the browser keeps `item` (a downloads.DownloadItem), or "" when the program may take it.
// `context`: settings (captureEnabled, minCaptureBytes), posted (the URL came from a POST),
// bypassed (a modifier key was held on the click), keep (the extension itself asked the
// browser to download it).
function keepReason(item, context) {
  if (!context.settings.captureEnabled) return "capture off";
  if (context.bypassed) return "modifier key";
  if (context.keep) return "handed back";
  if (item.incognito) return "private window";
  if (item.state && item.state !== "in_progress") return "not in progress";
  if (!isHttpUrl(item.url) || (item.finalUrl && !isHttpUrl(item.finalUrl))) return "not http";
  if (context.posted) return "POST";
  // A size the server announced; 0 or -1 means unknown, and unknown sizes are taken.
  const size = item.totalBytes > 0 ? item.totalBytes : item.fileSize > 0 ? item.fileSize : 0;
  if (size > 0 && size < context.settings.minCaptureBytes) return "small";
  return "";
}

// RFC 6265 path-match of a request path against a cookie path.
function pathMatches(requestPath, cookiePath) {
  if (requestPath === cookiePath) return true;
  if (!requestPath.startsWith(cookiePath)) return false;
  return cookiePath.endsWith("/") || requestPath.charAt(cookiePath.length) === "/";
}

function domainMatches(host, cookie) {
  const domain = cookie.domain.replace(/^\./, "").toLowerCase();
  if (host === domain) return true;
  return !cookie.hostOnly && host.endsWith("." + domain);
}

function urlOrNull(text) {
  try {
    return new URL(text);
  } catch {
    return null;
  }
}

// Whether the browser would send `cookie` (a cookies.Cookie) with a request to `target` (a URL)
// that the page `initiator` (a URL, "" when unknown) started: SameSite=Strict cookies only
// same-site, Lax ones also with a cross-site top-level navigation, None ones always. A cookie
// without the attribute counts as `unmarkedAs`: "lax" in Chromium-based browsers, "none" in
// Firefox. Same-site is judged by the cookie's own domain: the initiator must have the target's
// scheme and a host within that domain (browsers set no cookie on a public suffix, so the domain
// is at most the registrable one). An unknown initiator counts as cross-site. Where this guess is
// off, it withholds a cookie the browser would send, never sends one it would withhold.
function sameSiteAllows(cookie, target, { initiator = "", topLevel = false, unmarkedAs = "lax" } = {}) {
  let rule = cookie.sameSite;
  if (rule === "no_restriction") rule = "none";
  else if (rule !== "lax" && rule !== "strict") rule = unmarkedAs;
  if (rule === "none") return true;
  const from = urlOrNull(initiator);
  const sameSite = from !== null && from.protocol === target.protocol &&
    domainMatches(from.hostname.toLowerCase(), cookie);
  return sameSite || (rule === "lax" && topLevel);
}

// The Cookie header value the browser would send with `url`, from cookies.Cookie records: domain,
// path, the secure flag, expiry and SameSite (against `site`, as sameSiteAllows takes it)
// checked, longer paths first.
function cookieHeader(cookies, url, nowSeconds = Date.now() / 1000, site = {}) {
  const target = urlOrNull(url);
  if (!target) return "";
  const host = target.hostname.toLowerCase();
  const path = target.pathname || "/";
  const secure = target.protocol === "https:";
  return cookies
    .filter((c) => domainMatches(host, c) && pathMatches(path, c.path || "/"))
    .filter((c) => secure || !c.secure)
    .filter((c) => c.session || !(c.expirationDate <= nowSeconds))
    .filter((c) => sameSiteAllows(c, target, site))
    .filter((c) => !/[\x00-\x08\x0a-\x1f\x7f]/.test(c.name + c.value))
    .map((c, index) => ({ c, index }))
    .sort((a, b) => (b.c.path || "/").length - (a.c.path || "/").length || a.index - b.index)
    .map(({ c }) => (c.name === "" ? c.value : `${c.name}=${c.value}`))
    .join("; ");
}

// URLs remembered for a while, oldest forgotten first.
class UrlMemory {
  constructor(lifetimeMs) {
    this.lifetimeMs = lifetimeMs;
    this.entries = new Map();
  }
  note(url, now = Date.now()) {
    this.entries.delete(url);
    this.entries.set(url, now);
    while (this.entries.size > MEMORY_LIMIT) this.entries.delete(this.entries.keys().next().value);
  }
  has(url, now = Date.now()) {
    const at = this.entries.get(url);
    if (at === undefined) return false;
    if (now - at > this.lifetimeMs) {
      this.entries.delete(url);
      return false;
    }
    return true;
  }
  forget(url) {
    this.entries.delete(url);
  }
}

// The Cookie header the browser sent with each request lately, by URL: what a download of that
// URL is handed over with. A request seen without the header counts too (as ""): the browser sent
// no cookies, so neither will the program.
class SentCookies {
  constructor(lifetimeMs = SENT_COOKIES_MS) {
    this.lifetimeMs = lifetimeMs;
    this.entries = new Map();
  }
  note(url, header, at = Date.now()) {
    this.entries.delete(url);
    this.entries.set(url, { header, at });
    while (this.entries.size > MEMORY_LIMIT) this.entries.delete(this.entries.keys().next().value);
  }
  // The header of the request for `url` that a download starting at `startMs` came from: sent
  // no longer than the lifetime before and no later than a little after (the clocks of the two
  // events differ). Taken once; undefined when none fits.
  take(url, startMs = Date.now()) {
    const entry = this.entries.get(url);
    if (!entry || entry.at < startMs - this.lifetimeMs || entry.at > startMs + CLOCK_SLACK_MS) return undefined;
    this.entries.delete(url);
    return entry.header;
  }
}

// The Cookie header among webRequest's requestHeaders; "" when there is none.
function cookieOfHeaders(headers) {
  const found = (headers || []).filter((h) => h.name.toLowerCase() === "cookie");
  return found.map((h) => h.value ?? "").join("; ");
}

// A click with a modifier key held leaves the next download to the browser, whatever its URL
// turns out to be after redirects.
class BypassMemory {
  constructor(lifetimeMs = BYPASS_MEMORY_MS) {
    this.lifetimeMs = lifetimeMs;
    this.at = -Infinity;
  }
  note(now = Date.now()) {
    this.at = now;
  }
  // True (once) when a modified click came within the lifetime.
  take(now = Date.now()) {
    const fresh = now - this.at <= this.lifetimeMs;
    this.at = -Infinity;
    return fresh;
  }
}

// The /capture body for a download or a link. `size` (the browser's, when known) lets the
// program name a paused download of the same file; `replaces` continues that one instead.
function captureRequest({ url, filename, referrer, userAgent, cookies, size, replaces }) {
  const body = { url, method: "GET" };
  if (filename) body.filename = filename;
  if (referrer) body.referrer = referrer;
  if (userAgent) body.userAgent = userAgent;
  if (cookies) body.cookies = cookies;
  if (size > 0) body.size = size;
  if (replaces > 0) body.replaces = replaces;
  return body;
}

// The size the browser knows for a download, 0 when it does not.
function downloadSize(item) {
  if (item.totalBytes > 0) return item.totalBytes;
  return item.fileSize > 0 ? item.fileSize : 0;
}

// The paused download a refused capture named ("matches": ID with 409), 0 for any other answer.
function matchedDownload(status, answer) {
  const id = answer?.matches;
  return status === 409 && Number.isInteger(id) && id > 0 ? id : 0;
}

// The last component of a path the browser chose, "/" or "\" separated.
function baseName(path) {
  return (path || "").split(/[\\/]/).pop();
}

if (typeof module !== "undefined") {
  module.exports = {
    POST_MEMORY_MS, SENT_COOKIES_MS, isHttpUrl, keepReason, pathMatches, sameSiteAllows, cookieHeader,
    cookieOfHeaders, SentCookies, UrlMemory, BypassMemory, captureRequest, downloadSize, matchedDownload, baseName,
  };
}
