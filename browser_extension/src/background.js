// Dorimel's browser extension, background side: hands links and the browser's
// downloads over to Dorimel through its native messaging host.
//
// Runs as Chromium's service worker and as Firefox's background script. Every
// listener is registered at the top level, so that an event wakes a stopped
// worker; what is kept in memory (the host's schemes, recent POST requests) is
// a cache that a restarted worker simply builds again.
//
// One message per host start (runtime.sendNativeMessage):
//   {"type":"hello"}  -> {"ok":true,"version":"0.11","schemes":["http","ftp"]}
//   {"type":"download","url":...,"referrer":...,"cookies":...,"filename":...}
//                      -> {"ok":true} or {"ok":false,"error":CODE,"message":...}
// Whatever the host does not take, the browser downloads as usual.
"use strict";

const ext = globalThis.browser ?? globalThis.chrome;
const HOST_NAME = "jp.dorimel.host";
const MENU_ID = "dorimel-download-link";
// The host's answer to "hello" is kept this long: the user may switch https
// on or off in Dorimel's options file at any time.
const HELLO_TTL_MS = 60 * 1000;
// A download of a URL that was POSTed to within this time is an answer to the
// POST: fetching it again with a GET would fetch something else.
const POST_MEMORY_MS = 2 * 60 * 1000;
// Only these can be fetched again by another program at all; the host's
// hello narrows them further.
const REFETCHABLE = new Set(["http", "https", "ftp"]);

let helloCache = null;           // {schemes, time}
const recentPosts = new Map();   // url -> time of the POST

// --- Talking to the host --------------------------------------------------

class HostProblem extends Error {
  constructor(notice) {
    super(notice);
    this.notice = notice;
  }
}

async function askHost(message) {
  let reply;
  try {
    reply = await ext.runtime.sendNativeMessage(HOST_NAME, message);
  } catch (error) {
    const text = String(error?.message ?? error);
    // Chromium: "Specified native messaging host not found."
    // Firefox: "No such native application jp.dorimel.host"
    if (/not found|no such native application/i.test(text))
      throw new HostProblem(ext.i18n.getMessage("noticeMissing"));
    throw new HostProblem(ext.i18n.getMessage("noticeFailed", [text]));
  }
  if (!reply || typeof reply !== "object")
    throw new HostProblem(ext.i18n.getMessage("noticeFailed", [String(reply)]));
  return reply;
}

async function hostSchemes() {
  if (helloCache && Date.now() - helloCache.time < HELLO_TTL_MS)
    return helloCache.schemes;
  const reply = await askHost({ type: "hello" });
  if (reply.ok !== true || !Array.isArray(reply.schemes))
    throw new HostProblem(ext.i18n.getMessage("noticeRefused", [reply.message ?? reply.error ?? ""]));
  helloCache = { schemes: reply.schemes.map(String), time: Date.now() };
  return helloCache.schemes;
}

function schemeOf(url) {
  try {
    return new URL(url).protocol.replace(/:$/, "");
  } catch {
    return "";
  }
}

// The Cookie header the browser itself would send for url: HttpOnly cookies
// included, longer paths first.
async function cookieHeader(url, storeId) {
  const query = { url };
  if (storeId) query.storeId = storeId;
  let cookies;
  try {
    cookies = await ext.cookies.getAll(query);
  } catch {
    // Firefox with first-party isolation wants the key named: null is "any".
    cookies = await ext.cookies.getAll({ ...query, firstPartyDomain: null });
  }
  cookies.sort((a, b) => (b.path?.length ?? 0) - (a.path?.length ?? 0));
  return cookies.map((c) => `${c.name}=${c.value}`).join("; ");
}

function baseName(path) {
  return String(path ?? "").split(/[\\/]/).pop();
}

// Offers one download to Dorimel. Resolves to {taken: true}, or to
// {taken: false, notice} where notice says why (null when the host was never
// meant to take it). Never rejects: a problem means the browser downloads.
async function handOff({ url, referrer, filename, storeId }) {
  try {
    const scheme = schemeOf(url);
    if (!(await hostSchemes()).includes(scheme))
      return { taken: false, notice: ext.i18n.getMessage("noticeScheme", [scheme]) };
    const reply = await askHost({
      type: "download",
      url,
      referrer: referrer ?? "",
      cookies: await cookieHeader(url, storeId),
      filename: filename ?? "",
    });
    if (reply.ok === true)
      return { taken: true };
    return { taken: false, notice: ext.i18n.getMessage("noticeRefused", [reply.message ?? reply.error ?? ""]) };
  } catch (error) {
    return { taken: false, notice: noticeOf(error) };
  }
}

// What the user is told when asking the host failed; the host's schemes are
// asked again next time.
function noticeOf(error) {
  helloCache = null;
  return error instanceof HostProblem ? error.notice : ext.i18n.getMessage("noticeFailed", [String(error)]);
}

// The toolbar button says once that a download stayed with the browser: a
// badge, and the line that the popup shows (and then clears).
async function tellUser(notice) {
  if (!notice) return;
  await ext.storage.local.set({ notice });
  await ext.action.setBadgeBackgroundColor({ color: "#c62828" });
  await ext.action.setBadgeText({ text: "!" });
}

// --- Which downloads are taken over ----------------------------------------

async function takeOverOn() {
  const { takeOver } = await ext.storage.local.get({ takeOver: false });
  return takeOver === true;
}

function answersPost(url) {
  const now = Date.now();
  for (const [posted, time] of recentPosts)
    if (now - time > POST_MEMORY_MS) recentPosts.delete(posted);
  return recentPosts.has(url);
}

// A download that the browser started and that another program can fetch
// again: not one of ours, not private, a plain URL, not the answer to a POST.
async function mayTakeOver(item, url) {
  if (item.byExtensionId && item.byExtensionId === ext.runtime.id) return false;
  if (item.incognito) return false;
  if (!REFETCHABLE.has(schemeOf(url))) return false;
  if (answersPost(url) || answersPost(item.url)) return false;
  return takeOverOn();
}

// Firefox delivers webRequest events and downloads events apart, and a POST's
// download can reach onCreated before its request reached this listener; a
// blocking listener has always run before the request is sent. Chromium
// allows no blocking listener in Manifest V3 and delivers both in order.
const BLOCKING_POST_LISTENER = !ext.downloads.onDeterminingFilename;
ext.webRequest.onBeforeRequest.addListener(
  (details) => {
    if (details.method === "POST") recentPosts.set(details.url, Date.now());
    return undefined;
  },
  { urls: ["http://*/*", "https://*/*"], types: ["main_frame", "sub_frame"] },
  BLOCKING_POST_LISTENER ? ["blocking"] : []);

// Chromium: the file name is being chosen. The download is paused and
// suggest() held back (the listener returns true) while the host is asked,
// so that even a small file cannot finish in the browser meanwhile.
async function takeOverChromium(item, suggest) {
  const url = item.finalUrl || item.url;
  let suggested = false;
  const suggestOnce = () => {
    if (!suggested) { suggested = true; suggest(); }
  };
  try {
    if (!(await mayTakeOver(item, url))) return;
    await ext.downloads.pause(item.id).catch(() => {});
    const result = await handOff({ url, referrer: item.referrer, filename: baseName(item.filename) });
    if (result.taken) {
      await ext.downloads.cancel(item.id);
      suggested = true;  // the download ended here; no name is wanted
      await ext.downloads.erase({ id: item.id });
      return;
    }
    await ext.downloads.resume(item.id).catch(() => {});
    await tellUser(result.notice);
  } catch (error) {
    console.error("Dorimel hand-off:", error);
    await ext.downloads.resume(item.id).catch(() => {});
  } finally {
    suggestOnce();
  }
}

// Restarts a download that Firefox had to cancel before it knew whether the
// host would take it. Started by this extension, it is not taken over again.
async function downloadInBrowser(url, referrer, filename, storeId) {
  const options = { url, saveAs: false, conflictAction: "uniquify" };
  if (filename) options.filename = filename;
  if (storeId) options.cookieStoreId = storeId;
  const attempts = [];
  if (referrer) attempts.push({ ...options, headers: [{ name: "Referer", value: referrer }] });
  attempts.push(options, { url });
  let lastError;
  for (const attempt of attempts) {
    try {
      return await ext.downloads.download(attempt);
    } catch (error) {
      lastError = error;  // a header or a name the browser refuses: less next time
    }
  }
  throw lastError;
}

// Firefox: there is no onDeterminingFilename; the download is cancelled and
// erased as soon as it is created, and started again when the host refuses.
async function takeOverFirefox(item) {
  try {
    if (!(await mayTakeOver(item, item.url))) return;
    // Asked before the cancel, so that a scheme the host never takes (https
    // while Dorimel has it off) or a missing host costs no restart.
    let schemes;
    try {
      schemes = await hostSchemes();
    } catch (error) {
      await tellUser(noticeOf(error));
      return;
    }
    const scheme = schemeOf(item.url);
    if (!schemes.includes(scheme)) {
      await tellUser(ext.i18n.getMessage("noticeScheme", [scheme]));
      return;
    }
    try {
      await ext.downloads.cancel(item.id);
    } catch {
      // Finished already (a small file): its copy goes, Dorimel fetches it.
      await ext.downloads.removeFile(item.id).catch(() => {});
    }
    await ext.downloads.erase({ id: item.id }).catch(() => {});
    const filename = baseName(item.filename);
    const result = await handOff({ url: item.url, referrer: item.referrer, filename,
                                   storeId: item.cookieStoreId });
    if (result.taken) return;
    await downloadInBrowser(item.url, item.referrer, filename, item.cookieStoreId);
    await tellUser(result.notice);
  } catch (error) {
    console.error("Dorimel hand-off:", error);
  }
}

if (ext.downloads.onDeterminingFilename) {
  ext.downloads.onDeterminingFilename.addListener((item, suggest) => {
    takeOverChromium(item, suggest);
    return true;
  });
} else {
  ext.downloads.onCreated.addListener((item) => { takeOverFirefox(item); });
}

// --- The link's context menu -----------------------------------------------

// Made again at every install and browser start (removeAll first, as the
// browser may have kept it): Firefox's promise-only API and Chromium's both
// answer removeAll() with a promise.
async function createMenu() {
  await ext.contextMenus.removeAll();
  ext.contextMenus.create({
    id: MENU_ID,
    title: ext.i18n.getMessage("menuDownload"),
    contexts: ["link"],
    targetUrlPatterns: ["http://*/*", "https://*/*", "ftp://*/*"],
  });
}

// The link goes to Dorimel with the page as referrer and the cookies of the
// link's URL; when Dorimel does not take it, the browser downloads it.
async function onContextMenuClicked(info, tab) {
  if (info.menuItemId !== MENU_ID || !info.linkUrl) return;
  const storeId = tab?.cookieStoreId;
  let result = { taken: false, notice: null };
  if (!tab?.incognito)
    result = await handOff({ url: info.linkUrl, referrer: info.pageUrl || tab?.url || "", storeId });
  if (result.taken) return;
  try {
    await downloadInBrowser(info.linkUrl, info.pageUrl || "", "", storeId);
  } catch (error) {
    console.error("Dorimel: the browser could not download the link either:", error);
  }
  await tellUser(result.notice);
}

ext.runtime.onInstalled.addListener(createMenu);
ext.runtime.onStartup.addListener(createMenu);
ext.contextMenus.onClicked.addListener((info, tab) => { onContextMenuClicked(info, tab); });
