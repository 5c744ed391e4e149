// End-to-end test of the Dorimel browser extension in a real headless browser
// (Chromium or Firefox ESR), with the real native messaging host and console
// program, against HTTP and HTTPS servers on 127.0.0.1.
//
// usage: node browser_ext_test.mjs --browser chromium|firefox --extension DIR
//          --host DORIMEL_HOST --console DORIMEL --stub STUB_HOST
//
// One browser, one scratch folder (HOME, the browser's download folder, the
// host manifests); the cases run one after the other:
//   no host    no host manifest: the browser downloads, the toolbar says so
//   taken      take-over on, a trusted click on an attachment link: Dorimel
//              fetches it byte-identical with the page's Referer and cookies
//              (the HttpOnly one too); the browser keeps no file and no entry
//   menu       the link context menu's handler, called with the link's data
//   post       the answer to a form's POST: the browser
//   https      an https link while Dorimel has EnableHttps=0: the browser
//   refused    the host says no (the stand-in host): the browser downloads,
//              and the host was sent URL, referrer, cookies and file name
import puppeteer from "puppeteer-core";
import { execFileSync } from "node:child_process";
import crypto from "node:crypto";
import fs from "node:fs";
import http from "node:http";
import https from "node:https";
import os from "node:os";
import path from "node:path";
import { parseArgs } from "node:util";

const { values: opt } = parseArgs({
  options: {
    browser: { type: "string" }, extension: { type: "string" }, host: { type: "string" },
    console: { type: "string" }, stub: { type: "string" },
  },
});
for (const name of ["browser", "extension", "host", "console", "stub"])
  if (!opt[name]) throw new Error(`--${name} is missing`);
const firefox = opt.browser === "firefox";
const HOST_NAME = "jp.dorimel.host";
const CHROMIUM_ID = "ealaikofgjonemfojipmlkdhckdghgej";
const GECKO_ID = "handoff@dorimel";
const FIREFOX_UUID = "6f0c8d52-3b1e-4c7a-9d55-0a1b2c3d4e5f";
const WAIT_MS = 60_000;

// --- Scratch folder -------------------------------------------------------

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), `dorimel-${opt.browser}-`));
const home = path.join(scratch, "home");
const dorimelDownloads = path.join(home, "DorimelDownloads");
const browserDownloads = path.join(scratch, "browser-downloads");
const profile = path.join(scratch, "profile");
const program = path.join(scratch, "program");
for (const dir of [dorimelDownloads, browserDownloads, profile, program, path.join(home, ".config")])
  fs.mkdirSync(dir, { recursive: true });
fs.writeFileSync(path.join(home, ".config", "user-dirs.dirs"), 'XDG_DOWNLOAD_DIR="$HOME/DorimelDownloads"\n');
// The host starts this copy of the console program, whose options file turns
// https off: the host then offers only http and ftp.
fs.copyFileSync(opt.console, path.join(program, "dorimel"));
fs.chmodSync(path.join(program, "dorimel"), 0o755);
fs.writeFileSync(path.join(program, "dorimel.ini"), "[MainOptions]\nEnableHttps=0\n");

const manifestDir = firefox ? path.join(home, ".mozilla", "native-messaging-hosts")
                            : path.join(profile, "NativeMessagingHosts");
fs.mkdirSync(manifestDir, { recursive: true });
function installHost(hostPath) {
  const file = path.join(manifestDir, `${HOST_NAME}.json`);
  if (!hostPath) {
    fs.rmSync(file, { force: true });
    return;
  }
  const manifest = { name: HOST_NAME, description: "Dorimel", path: path.resolve(hostPath), type: "stdio" };
  if (firefox) manifest.allowed_extensions = [GECKO_ID];
  else manifest.allowed_origins = [`chrome-extension://${CHROMIUM_ID}/`];
  fs.writeFileSync(file, JSON.stringify(manifest));
}

// --- Servers ----------------------------------------------------------------

const payloads = new Map();  // case name -> bytes served as /files/NAME.bin
const requests = [];         // {path, headers} of every request
function handle(req, res) {
  const url = new URL(req.url, "http://127.0.0.1");
  requests.push({ path: url.pathname, headers: req.headers });
  const file = /^\/files\/([a-z]+)\.bin$/.exec(url.pathname);
  if (url.pathname === "/page.html") {
    res.setHeader("Set-Cookie", ["visible=v1; Path=/", "secret=s2; Path=/; HttpOnly"]);
    res.setHeader("Content-Type", "text/html; charset=utf-8");
    const link = url.searchParams.get("link");
    res.end(url.searchParams.has("post")
      ? `<!DOCTYPE html><title>page</title><form method="post" action="${link}"><button id="link">send</button></form>`
      : `<!DOCTYPE html><title>page</title><a id="link" href="${link}">file</a>`);
  } else if (file && payloads.has(file[1])) {
    const body = payloads.get(file[1]);
    res.writeHead(200, {
      "Content-Type": "application/octet-stream",
      "Content-Length": body.length,
      "Content-Disposition": `attachment; filename="${file[1]}.bin"`,
    });
    res.end(body);
  } else {
    res.writeHead(404).end();
  }
}
function listen(server) {
  return new Promise((resolve) => server.listen(0, "127.0.0.1", () => resolve(server.address().port)));
}
execFileSync("openssl", ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
                         "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", path.join(scratch, "key.pem"),
                         "-out", path.join(scratch, "cert.pem")], { stdio: "ignore" });
const httpServer = http.createServer(handle);
const httpsServer = https.createServer({ key: fs.readFileSync(path.join(scratch, "key.pem")),
                                         cert: fs.readFileSync(path.join(scratch, "cert.pem")) }, handle);
const httpBase = `http://127.0.0.1:${await listen(httpServer)}`;
const httpsBase = `https://127.0.0.1:${await listen(httpsServer)}`;

// --- Helpers ----------------------------------------------------------------

let failures = 0;
function check(condition, what) {
  console.log(`${condition ? "ok  " : "FAIL"} ${opt.browser}: ${what}`);
  if (!condition) failures++;
  return condition;
}
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
async function waitFor(test, what, ms = WAIT_MS) {
  const end = Date.now() + ms;
  for (;;) {
    const value = await test();
    if (value) return value;
    if (Date.now() > end) {
      check(false, `waited ${ms / 1000} s for ${what}`);
      return value;
    }
    await sleep(250);
  }
}
function filesUnder(dir) {
  if (!fs.existsSync(dir)) return [];
  return fs.readdirSync(dir, { recursive: true }).map((name) => path.join(dir, name))
    .filter((file) => fs.statSync(file).isFile());
}
function sameBytes(file, bytes) {
  return fs.existsSync(file) && fs.readFileSync(file).equals(bytes);
}
// The requests Dorimel's console program sent for one case's file.
function dorimelRequests(name) {
  return requests.filter((r) => r.path === `/files/${name}.bin` && /^Dorimel\//.test(r.headers["user-agent"] ?? ""));
}
function hostMessages() {
  const file = path.join(scratch, "messages.jsonl");
  return fs.existsSync(file) ? fs.readFileSync(file, "utf8").trim().split("\n").map((l) => JSON.parse(l)) : [];
}

// --- The browser --------------------------------------------------------------

const env = { ...process.env, HOME: home, XDG_CONFIG_HOME: path.join(home, ".config"),
              XDG_STATE_HOME: path.join(home, ".local", "state"), DORIMEL_HOST_PROGRAM: path.join(program, "dorimel"),
              DORIMEL_STUB_DIR: scratch };
let browser;
let extensionPage;   // the extension's popup page, open in a tab: the extension's APIs
let worker;          // Chromium: the extension's service worker
const extensionOrigin = firefox ? `moz-extension://${FIREFOX_UUID}` : `chrome-extension://${CHROMIUM_ID}`;

if (firefox) {
  browser = await puppeteer.launch({
    browser: "firefox", executablePath: "/usr/lib/firefox-esr/firefox-esr", headless: true, env,
    userDataDir: profile, acceptInsecureCerts: true, protocolTimeout: WAIT_MS,
    // WebDriver BiDi opens the extension's own page (moz-extension:) only so.
    args: ["--remote-allow-system-access"],
    extraPrefsFirefox: {
      "browser.download.dir": browserDownloads,
      "browser.download.folderList": 2,
      "browser.download.useDownloadDir": true,
      "browser.download.always_ask_before_handling_new_types": false,
      "browser.download.alwaysOpenPanel": false,
      "extensions.webextensions.uuids": JSON.stringify({ [GECKO_ID]: FIREFOX_UUID }),
    },
  });
  await browser.installExtension(path.resolve(opt.extension));
} else {
  const extension = path.resolve(opt.extension);
  fs.mkdirSync(path.join(profile, "Default"), { recursive: true });
  fs.writeFileSync(path.join(profile, "Default", "Preferences"), JSON.stringify({
    download: { default_directory: browserDownloads, prompt_for_download: false, directory_upgrade: true },
    savefile: { default_directory: browserDownloads },
  }));
  browser = await puppeteer.launch({
    executablePath: "/usr/lib/chromium/chromium", headless: true, env, userDataDir: profile,
    acceptInsecureCerts: true, protocolTimeout: WAIT_MS, ignoreDefaultArgs: ["--disable-extensions"],
    args: ["--no-sandbox", `--load-extension=${extension}`, `--disable-extensions-except=${extension}`],
  });
  // A download started before the worker runs is never seen by it.
  const target = await browser.waitForTarget(
    (t) => t.type() === "service_worker" && t.url().startsWith(extensionOrigin), { timeout: WAIT_MS });
  worker = await target.worker();
}

// Opens (or opens again) the extension's popup page in its tab. Firefox
// loads it, but its WebDriver BiDi never reports the navigation as done: the
// page is watched until the new document has loaded.
async function showExtensionPage() {
  if (!firefox) {
    await extensionPage.goto(`${extensionOrigin}/popup.html`);
    return;
  }
  await extensionPage.evaluate(() => { window.replaced = true; }).catch(() => {});
  extensionPage.goto(`${extensionOrigin}/popup.html`, { timeout: WAIT_MS }).catch(() => {});
  await waitFor(() => extensionPage.evaluate(
    () => location.protocol === "moz-extension:" && document.readyState === "complete" && !window.replaced)
    .catch(() => false), "the extension's page");
}

try {
  extensionPage = await browser.newPage();
  await showExtensionPage();
  const inExtension = (fn, ...args) => extensionPage.evaluate(fn, ...args);
  // Take-over mode through the popup's own switch (a trusted click).
  check(!(await extensionPage.$eval("#takeOver", (box) => box.checked)), "take-over is off by default");
  await extensionPage.click("#takeOver");
  await waitFor(() => inExtension(async () => {
    const ext = globalThis.browser ?? globalThis.chrome;
    return (await ext.storage.local.get("takeOver")).takeOver === true;
  }), "the take-over switch to be stored");

  const pageUrl = (link, extra = "") => `${httpBase}/page.html?link=${encodeURIComponent(link)}${extra}`;
  // Each case in a tab of its own: a tab whose navigation became a download
  // is not navigated reliably again (Firefox).
  let filesBefore = new Set();  // the browser's download folder when a case began
  async function openPage(link, extra) {
    filesBefore = new Set(filesUnder(browserDownloads));
    const page = await browser.newPage();
    await page.goto(pageUrl(link, extra));
    return page;
  }
  async function clickLink(link, extra) {
    await (await openPage(link, extra)).click("#link");
  }
  const browserItems = (url) => inExtension(async (url) => {
    const ext = globalThis.browser ?? globalThis.chrome;
    return (await ext.downloads.search({})).filter((item) => item.url === url)
      .map((item) => ({ state: item.state, exists: item.exists }));
  }, url);
  const newPayload = (name, size = 256 * 1024 + 77) => {
    const bytes = crypto.randomBytes(size);
    payloads.set(name, bytes);
    return bytes;
  };
  // Dorimel fetched NAME: byte-identical in its download folder, with the
  // page's Referer and both cookies; the browser kept no file and no entry.
  async function expectDorimel(name, bytes, referer) {
    const file = path.join(dorimelDownloads, `${name}.bin`);
    await waitFor(() => sameBytes(file, bytes), `Dorimel's copy of ${name}.bin`);
    check(sameBytes(file, bytes), `${name}: Dorimel downloaded the file byte-identical`);
    const sent = dorimelRequests(name);
    check(sent.length > 0 && sent.every((r) => r.headers.referer === referer),
          `${name}: Dorimel's request carries the page as Referer (${sent[0]?.headers.referer})`);
    const cookie = sent[0]?.headers.cookie ?? "";
    check(/(^|; )visible=v1(;|$)/.test(cookie) && /(^|; )secret=s2(;|$)/.test(cookie),
          `${name}: Dorimel's request carries both cookies, the HttpOnly one too (${cookie})`);
    await sleep(1500);  // a copy that the browser was still finishing would be there by now
    const added = filesUnder(browserDownloads).filter((file) => !filesBefore.has(file));
    check(added.length === 0, `${name}: the browser put nothing into its download folder (${added})`);
    check((await browserItems(`${httpBase}/files/${name}.bin`)).length === 0,
          `${name}: the browser's download list holds nothing`);
  }
  // The browser downloaded NAME itself, byte-identical, and Dorimel did not.
  async function expectBrowser(name, bytes, base = httpBase) {
    const file = path.join(browserDownloads, `${name}.bin`);
    await waitFor(() => sameBytes(file, bytes), `the browser's copy of ${name}.bin`);
    check(sameBytes(file, bytes), `${name}: the browser downloaded the file byte-identical`);
    check(dorimelRequests(name).length === 0 && !fs.existsSync(path.join(dorimelDownloads, `${name}.bin`)),
          `${name}: Dorimel fetched nothing`);
    const items = await browserItems(`${base}/files/${name}.bin`);
    check(items.length === 1 && items[0].state === "complete", `${name}: one finished entry in the browser's list`);
  }

  // no host (first, while the extension has never reached one): the browser
  // downloads, and the toolbar says so once.
  installHost(null);
  let bytes = newPayload("nohost");
  await clickLink(`${httpBase}/files/nohost.bin`);
  await expectBrowser("nohost", bytes);
  // The browser may finish before the extension has learnt that no host is there.
  const badge = await waitFor(async () => {
    const text = await inExtension(() => (globalThis.browser ?? globalThis.chrome).action.getBadgeText({}));
    return text === "!" && text;
  }, "the toolbar badge");
  check(badge === "!", `no host: the toolbar button shows a badge (${JSON.stringify(badge)})`);
  await showExtensionPage();
  const line = await extensionPage.$eval("#notice", (p) => p.className === "problem" ? p.textContent : "");
  const after = await inExtension(() => (globalThis.browser ?? globalThis.chrome).action.getBadgeText({}));
  check(line.length > 0 && after === "", `no host: the popup says why once and clears the badge (${line})`);

  // taken: a trusted click, the real host and console.
  installHost(opt.host);
  // Small: a file that the browser could finish while the host is asked.
  bytes = newPayload("taken", 3000);
  await clickLink(`${httpBase}/files/taken.bin`);
  await expectDorimel("taken", bytes, pageUrl(`${httpBase}/files/taken.bin`));

  // menu: the item is there (update() fails for one never made), and its
  // handler, called with the link's data, hands the link over.
  const menuMade = await inExtension(async () => {
    const ext = globalThis.browser ?? globalThis.chrome;
    return ext.contextMenus.update("dorimel-download-link", {}).then(() => true, () => false);
  });
  check(menuMade, "menu: the link's context menu item exists");
  bytes = newPayload("menu");
  await openPage(`${httpBase}/files/menu.bin`);
  const info = { menuItemId: "dorimel-download-link", linkUrl: `${httpBase}/files/menu.bin`,
                 pageUrl: pageUrl(`${httpBase}/files/menu.bin`) };
  const tab = { id: 1, url: info.pageUrl, incognito: false };
  if (firefox) {
    await inExtension(async (info, tab) => {
      const background = await browser.runtime.getBackgroundPage();
      await background.onContextMenuClicked(info, tab);
    }, info, tab);
  } else {
    await worker.evaluate((info, tab) => onContextMenuClicked(info, tab), info, tab);
  }
  await expectDorimel("menu", bytes, info.pageUrl);

  // post: the answer to a form's POST cannot be fetched again with a GET.
  bytes = newPayload("post");
  await clickLink(`${httpBase}/files/post.bin`, "&post");
  await expectBrowser("post", bytes);

  // https: Dorimel's options file has EnableHttps=0, so the host offers no
  // https and the browser keeps the download.
  bytes = newPayload("https");
  await clickLink(`${httpsBase}/files/https.bin`);
  await expectBrowser("https", bytes, httpsBase);

  // refused: the stand-in host refuses; what the extension sent it is seen.
  installHost(opt.stub);
  bytes = newPayload("refused");
  await clickLink(`${httpBase}/files/refused.bin`);
  await expectBrowser("refused", bytes);
  const sent = hostMessages().find((m) => m.type === "download" && m.url?.endsWith("/refused.bin"));
  check(sent?.url === `${httpBase}/files/refused.bin` && sent?.referrer === pageUrl(`${httpBase}/files/refused.bin`) &&
        sent?.filename === "refused.bin" && /(^|; )secret=s2(;|$)/.test(sent?.cookies) &&
        /(^|; )visible=v1(;|$)/.test(sent?.cookies),
        `refused: the host was sent URL, referrer, cookies and file name (${JSON.stringify(sent)})`);

} finally {
  await browser.close().catch(() => {});
  httpServer.close();
  httpsServer.close();
}

if (failures === 0) fs.rmSync(scratch, { recursive: true, force: true });
else console.log(`scratch folder kept: ${scratch}`);
console.log(failures === 0 ? `${opt.browser}: all passed` : `${opt.browser}: ${failures} failed`);
process.exit(failures === 0 ? 0 : 1);
