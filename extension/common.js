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
