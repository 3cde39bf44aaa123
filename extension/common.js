// What the worker and the popup share: where the program listens, which browser this is, and
// the user's settings with their defaults.
"use strict";

// The program's control API listens on this loopback port; an extension has no way to discover
// another one.
const CONTROL_PORT = 18080;
const CONTROL_BASE = `http://127.0.0.1:${CONTROL_PORT}`;

// Chromium-based browsers promise from `chrome.*`; Firefox from `browser.*`.
const api = globalThis.browser ?? globalThis.chrome;

// The tag the program records this browser's contact under: "firefox", "edge" or "chrome".
function browserTag() {
  if (api.runtime.getURL("").startsWith("moz-extension:")) return "firefox";
  const brands = navigator.userAgentData?.brands ?? [];
  if (brands.some((b) => /Edge/i.test(b.brand)) || / Edg\//.test(navigator.userAgent)) return "edge";
  return "chrome";
}

function controlUrl(path) {
  return `${CONTROL_BASE}${path}?b=${browserTag()}`;
}

const DEFAULT_SETTINGS = {
  captureEnabled: true,
  // Downloads whose announced size is below this stay with the browser.
  minCaptureBytes: 1024 * 1024,
};

async function loadSettings() {
  const stored = await api.storage.local.get(Object.keys(DEFAULT_SETTINGS));
  return { ...DEFAULT_SETTINGS, ...stored };
}

// fetch with a deadline: a program that does not answer in time counts as absent.
async function fetchWithin(url, init, ms) {
  const controller = new AbortController();
  const timer = setTimeout(() => controller.abort(), ms);
  try {
    return await fetch(url, { ...init, signal: controller.signal, cache: "no-store", credentials: "omit" });
  } finally {
    clearTimeout(timer);
  }
}

// ---- the program's key ---------------------------------------------------------------------------
//
// Any local process can listen on the port or send an extension's Origin, so the extension and
// the program prove to each other that they hold the same per-user key, which the extension gets
// from the program's native messaging host (the browser runs it as this user). First the program
// answers a fresh nonce with HMAC-SHA256(key, "tarnwick-server:" + nonce), which an impostor on
// the port cannot; only then does the extension send its request, with
// "X-Tarnwick-Proof: nonce.HMAC-SHA256(key, 'tarnwick-client:' + nonce)", which counts once.

const NATIVE_HOST = "app.tarnwick.key";
const KEY_PATTERN = /^[0-9a-f]{64}$/;
const PROOF_DEADLINE_MS = 2000;
const NONCE_BYTES = 16;

// Why the last attempt to get the key failed: "no-host" (the native host is not installed) or
// "no-key" (it answered without one).
let keyProblem = "";

function toHex(bytes) {
  return [...new Uint8Array(bytes)].map((b) => b.toString(16).padStart(2, "0")).join("");
}

// The key: remembered for the browser's session, else asked of the native host. "" when it
// cannot be had (`keyProblem` says why).
async function extensionKey({ fresh = false } = {}) {
  if (!fresh) {
    const stored = await api.storage.session?.get("key").catch(() => ({}));
    if (KEY_PATTERN.test(stored?.key ?? "")) return stored.key;
  }
  let reply;
  try {
    reply = await api.runtime.sendNativeMessage(NATIVE_HOST, { type: "key" });
  } catch {
    keyProblem = "no-host";
    return "";
  }
  if (!KEY_PATTERN.test(reply?.key ?? "")) {
    keyProblem = "no-key";
    return "";
  }
  keyProblem = "";
  await api.storage.session?.set({ key: reply.key }).catch(() => {});
  return reply.key;
}

async function keyProof(key, label, nonce) {
  const encoder = new TextEncoder();
  const hmacKey = await crypto.subtle.importKey("raw", encoder.encode(key), { name: "HMAC", hash: "SHA-256" },
    false, ["sign"]);
  return toHex(await crypto.subtle.sign("HMAC", hmacKey, encoder.encode(label + nonce)));
}

// Asks the program on the port to prove it holds `key`; the client's proof for one request when
// it does, else "".
async function proveWith(key) {
  const nonce = toHex(crypto.getRandomValues(new Uint8Array(NONCE_BYTES)));
  try {
    const reply = await fetchWithin(`${controlUrl("/proof")}&nonce=${nonce}`, { method: "GET" }, PROOF_DEADLINE_MS);
    if (!reply.ok) return "";
    const answer = (await reply.text()).trim();
    if (answer !== (await keyProof(key, "tarnwick-server:", nonce))) return "";
  } catch {
    return "";
  }
  return `${nonce}.${await keyProof(key, "tarnwick-client:", nonce)}`;
}

// The proof for one request to the program, "" when there is no key or whatever answers on the
// port is not the program. A key from before the program made a new one (its runtime folder is
// emptied at log-out) is fetched again once.
async function programProof() {
  const key = await extensionKey();
  if (!key) return "";
  const proof = await proveWith(key);
  if (proof) return proof;
  const fresh = await extensionKey({ fresh: true });
  return fresh && fresh !== key ? proveWith(fresh) : "";
}
