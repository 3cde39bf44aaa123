// The extension's capture decisions and cookie matching (extension/policy.js), without a browser.
const test = require("node:test");
const assert = require("node:assert/strict");
const path = require("node:path");
const policy = require(path.join(__dirname, "../../extension/policy.js"));

const MiB = 1024 * 1024;
const settings = { captureEnabled: true, minCaptureBytes: MiB };
const download = (fields) => ({
  url: "https://example.org/a.zip", finalUrl: "https://example.org/a.zip", state: "in_progress",
  totalBytes: 64 * MiB, fileSize: 64 * MiB, incognito: false, ...fields,
});

test("which downloads the program takes", () => {
  const cases = [
    ["a plain https GET of 64 MiB", download({}), {}, ""],
    ["an http GET of unknown size", download({ url: "http://h/x", finalUrl: "http://h/x", totalBytes: 0, fileSize: -1 }), {}, ""],
    ["exactly the threshold", download({ totalBytes: MiB, fileSize: MiB }), {}, ""],
    ["one byte below it", download({ totalBytes: MiB - 1, fileSize: MiB - 1 }), {}, "small"],
    ["a blob: URL", download({ url: "blob:https://example.org/1f", finalUrl: "blob:https://example.org/1f" }), {}, "not http"],
    ["a data: URL", download({ url: "data:application/zip;base64,AA==", finalUrl: "" }), {}, "not http"],
    ["an ftp URL", download({ url: "ftp://h/a", finalUrl: "ftp://h/a" }), {}, "not http"],
    ["a redirect to a data: URL", download({ finalUrl: "data:,x" }), {}, "not http"],
    ["a posted form", download({}), { posted: true }, "POST"],
    ["capture switched off", download({}), { settings: { ...settings, captureEnabled: false } }, "capture off"],
    ["a modifier key held", download({}), { bypassed: true }, "modifier key"],
    ["a link the extension gave back", download({}), { keep: true }, "handed back"],
    ["a private window", download({ incognito: true }), {}, "private window"],
    ["already complete", download({ state: "complete" }), {}, "not in progress"],
  ];
  for (const [name, item, context, reason] of cases)
    assert.equal(policy.keepReason(item, { settings, ...context }), reason, name);
});

test("the cookies the browser would send with a URL", () => {
  const cookie = (name, fields) => ({ name, value: "v", domain: "example.org", hostOnly: true, path: "/",
    secure: false, session: true, ...fields });
  const jar = [
    cookie("root"),
    cookie("deep", { path: "/dl/files" }),
    cookie("dl", { path: "/dl" }),
    cookie("dlslash", { path: "/dl/" }),
    cookie("other_path", { path: "/dlx" }),
    cookie("secure", { secure: true }),
    cookie("wide", { domain: ".example.org", hostOnly: false }),
    cookie("host_only_parent", { domain: "example.org", hostOnly: true }),
    cookie("expired", { session: false, expirationDate: 1000 }),
    cookie("later", { session: false, expirationDate: 4000 }),
    cookie("elsewhere", { domain: "example.com" }),
    cookie("suffix_trick", { domain: "ample.org", hostOnly: false }),
    cookie("broken", { value: "a\nb" }),
  ];
  // Asked from the page itself, so that SameSite holds nothing back here.
  const header = (url) => policy.cookieHeader(jar, url, 2000, { initiator: url, topLevel: true });
  assert.equal(header("http://example.org/dl/files/a.zip"),
    "deep=v; dlslash=v; dl=v; root=v; wide=v; host_only_parent=v; later=v");
  assert.equal(header("https://example.org/dl"), "dl=v; root=v; secure=v; wide=v; host_only_parent=v; later=v");
  assert.equal(header("http://cdn.example.org/dl/a"), "wide=v", "only the domain cookie reaches a subdomain");
  assert.equal(header("http://example.org/dlx/a"), "other_path=v; root=v; wide=v; host_only_parent=v; later=v");
  assert.equal(header("not a url"), "");
});

test("SameSite as the browser applies it to where the request came from", () => {
  const cookie = (sameSite) => ({ name: sameSite, value: "1", domain: "bank.example", hostOnly: true, path: "/",
    secure: true, session: true, sameSite });
  const jar = ["strict", "lax", "no_restriction", "unspecified"].map(cookie);
  const target = "https://bank.example/statement.pdf";
  const cases = [
    ["a link click on the site itself", { initiator: "https://bank.example/account", topLevel: true },
      "strict=1; lax=1; no_restriction=1; unspecified=1"],
    ["a frame of the site itself", { initiator: "https://bank.example/", topLevel: false },
      "strict=1; lax=1; no_restriction=1; unspecified=1"],
    ["a top-level navigation from another site", { initiator: "https://evil.example/", topLevel: true },
      "lax=1; no_restriction=1; unspecified=1"],
    ["a cross-site iframe", { initiator: "https://evil.example/", topLevel: false }, "no_restriction=1"],
    ["the same host over http is another site", { initiator: "http://bank.example/", topLevel: false },
      "no_restriction=1"],
    ["an unknown initiator", { initiator: "", topLevel: false }, "no_restriction=1"],
    ["nothing said", undefined, "no_restriction=1"],
    ["Firefox sends unmarked cookies cross-site", { initiator: "https://evil.example/", topLevel: false, unmarkedAs: "none" },
      "no_restriction=1; unspecified=1"],
  ];
  for (const [what, site, expected] of cases)
    assert.equal(policy.cookieHeader(jar, target, 2000, site), expected, what);
  // A domain cookie is same-site for every host within its domain.
  const wide = { ...cookie("strict"), domain: ".bank.example", hostOnly: false };
  assert.equal(policy.cookieHeader([wide], "https://dl.bank.example/a", 2000, { initiator: "https://www.bank.example/" }),
    "strict=1");
  assert.equal(policy.cookieHeader([wide], "https://dl.bank.example/a", 2000, { initiator: "https://bank.example.evil/" }), "");
});

test("the Cookie header a request was sent with, taken once by the download it became", () => {
  const sent = new policy.SentCookies(60000);
  const headers = [{ name: "Accept", value: "*/*" }, { name: "cookie", value: "a=1; b=2" }];
  assert.equal(policy.cookieOfHeaders(headers), "a=1; b=2");
  assert.equal(policy.cookieOfHeaders([{ name: "Accept", value: "*/*" }]), "");
  sent.note("https://h/a", "a=1; b=2", 10000);
  sent.note("https://h/none", "", 10000);
  sent.note("https://h/old", "old=1", 10000);
  sent.note("https://h/future", "f=1", 20000);
  assert.equal(sent.take("https://h/a", 10500), "a=1; b=2");
  assert.equal(sent.take("https://h/a", 10500), undefined, "taken once");
  assert.equal(sent.take("https://h/none", 10500), "", "a request without cookies hands over none");
  assert.equal(sent.take("https://h/old", 10000 + 60001), undefined, "too long before the download");
  assert.equal(sent.take("https://h/future", 10000), undefined, "after the download started");
  assert.equal(sent.take("https://h/never", 10000), undefined);
});

test("path matching", () => {
  for (const [request, cookie, expected] of [
    ["/", "/", true], ["/a/b", "/a", true], ["/a", "/a", true], ["/ab", "/a", false], ["/a/b", "/a/", true],
    ["/a", "/a/", false], ["/b", "/a", false],
  ])
    assert.equal(policy.pathMatches(request, cookie), expected, `${request} against ${cookie}`);
});

test("memories of posted URLs and modified clicks forget in time", () => {
  const posted = new policy.UrlMemory(60000);
  posted.note("https://h/form", 0);
  assert.ok(posted.has("https://h/form", 59000));
  assert.ok(!posted.has("https://h/form", 61000));
  assert.ok(!posted.has("https://h/other", 10));
  const bypass = new policy.BypassMemory(3000);
  bypass.note(1000);
  assert.ok(bypass.take(3500));
  assert.ok(!bypass.take(3600), "one click covers one download");
  bypass.note(1000);
  assert.ok(!bypass.take(5000));
});

test("the capture request and the browser's file name", () => {
  assert.deepEqual(
    policy.captureRequest({ url: "https://h/a", filename: "a.zip", referrer: "https://h/", userAgent: "UA", cookies: "c=1" }),
    { url: "https://h/a", method: "GET", filename: "a.zip", referrer: "https://h/", userAgent: "UA", cookies: "c=1" });
  assert.deepEqual(policy.captureRequest({ url: "https://h/a" }), { url: "https://h/a", method: "GET" });
  assert.deepEqual(policy.captureRequest({ url: "https://h/a", size: 5, replaces: 3 }),
    { url: "https://h/a", method: "GET", size: 5, replaces: 3 });
  assert.deepEqual(policy.captureRequest({ url: "https://h/a", size: -1, replaces: 0 }), { url: "https://h/a", method: "GET" });
  assert.equal(policy.baseName("/home/u/Downloads/a.zip"), "a.zip");
  assert.equal(policy.baseName("C:\\Users\\u\\a.zip"), "a.zip");
  assert.equal(policy.baseName(""), "");
});

test("the size the program is told, and the paused download it names", () => {
  assert.equal(policy.downloadSize(download({})), 64 * MiB);
  assert.equal(policy.downloadSize(download({ totalBytes: 0, fileSize: 7 })), 7);
  assert.equal(policy.downloadSize(download({ totalBytes: 0, fileSize: -1 })), 0);
  const cases = [
    [409, { ok: false, error: "matches a paused download", matches: 4 }, 4],
    [409, { ok: false, error: "the download has finished" }, 0],
    [409, { ok: false, matches: "4" }, 0],
    [409, { ok: false, matches: 1.5 }, 0],
    [200, { ok: true, id: 4, matches: 4 }, 0],
    [409, null, 0],
  ];
  for (const [status, answer, id] of cases) assert.equal(policy.matchedDownload(status, answer), id, JSON.stringify(answer));
});
