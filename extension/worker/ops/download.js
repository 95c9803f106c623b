// Files the agent fetches from the shared site into the download folder.
import { baseName, checkDownloadName } from "../../lib/filename.js";
import { webUrl } from "../../lib/site.js";
import { clip, refuse } from "../errors.js";
import { DOWNLOAD_LIMIT_MS, MAX_TITLE, MAX_URL } from "../limits.js";
import * as sharedTabs from "../shared_tabs.js";
import { offSite } from "./navigation.js";

export async function pageDownload(tabId, args) {
  const url = webUrl(args.url);
  if (!url) refuse("browser_download takes an absolute http or https URL.");
  if (!sharedTabs.coversUrl(tabId, url.href)) refuse(offSite("browser_download", tabId, url));
  const checked = checkDownloadName(args.filename);
  if (checked.error) refuse(checked.error);
  return download(url.href, checked.name, tabId);
}

async function download(url, filename, tabId) {
  const { site } = sharedTabs.grant(tabId);
  const options = { url, conflictAction: "uniquify", saveAs: false };
  if (filename !== undefined) options.filename = filename;
  let downloadId;
  try {
    downloadId = await chrome.downloads.download(options);
  } catch (e) {
    refuse(`The download could not start: ${e?.message ?? e}.`);
  }
  const item = await new Promise((resolve) => {
    const timer = setTimeout(() => done(null), DOWNLOAD_LIMIT_MS);
    function done(value) {
      clearTimeout(timer);
      chrome.downloads.onChanged.removeListener(listener);
      resolve(value);
    }
    async function check() {
      const [current] = await chrome.downloads.search({ id: downloadId });
      if (!current) return;
      const away = current.finalUrl && !sharedTabs.coversUrl(tabId, current.finalUrl);
      const dangerous = !["safe", "accepted"].includes(current.danger ?? "safe");
      if (current.state !== "in_progress" || away || dangerous) done(current);
    }
    function listener(delta) {
      if (delta.id === downloadId && (delta.state || delta.finalUrl || delta.danger)) check();
    }
    chrome.downloads.onChanged.addListener(listener);
    check();
  });
  if (!item) {
    refuse(`The download is still running after ${DOWNLOAD_LIMIT_MS / 1000} s; it goes on in the browser (download ${downloadId}).`);
  }
  if (item.finalUrl && !sharedTabs.coversUrl(tabId, item.finalUrl)) {
    // A redirect left the shared site: nothing of what it fetched is kept.
    await chrome.downloads.cancel(downloadId).catch(() => {});
    await chrome.downloads.removeFile(downloadId).catch(() => {});
    await chrome.downloads.erase({ id: downloadId }).catch(() => {});
    refuse(`The download was redirected to another site than ${site}; Tabvine stopped it.`);
  }
  if (item.state === "in_progress") {
    refuse("Chrome flagged this download as dangerous; the user must keep or discard it in the browser.");
  }
  if (item.state !== "complete") refuse(`The download failed: ${item.error ?? item.state}.`);
  return {
    downloadId,
    name: clip(baseName(item.filename), MAX_TITLE),
    path: clip(item.filename, MAX_URL),
    size: item.fileSize >= 0 ? item.fileSize : item.bytesReceived,
    mime: clip(item.mime, MAX_TITLE),
    url: clip(item.finalUrl ?? item.url, MAX_URL),
  };
}
