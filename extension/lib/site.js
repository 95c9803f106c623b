// A grant covers one site: the registrable domain of the page the user
// shared (public-suffix aware, private suffixes included, so two projects on
// one hosting domain are two sites). Port does not split a site, and an
// http → https upgrade on the same domain must not cost the user a grant; a
// move from https down to http does, since there the network can rewrite
// the page the user trusted.
import { getDomain } from "../vendor/tldts.js";

export function webUrl(text) {
  if (typeof text !== "string") return null;
  let url;
  try {
    url = new URL(text);
  } catch {
    return null;
  }
  return url.protocol === "http:" || url.protocol === "https:" ? url : null;
}

export function siteOf(text) {
  const url = webUrl(text);
  if (!url) return null;
  const host = url.hostname.toLowerCase().replace(/\.$/, "");
  if (!host) return null;
  return getDomain(host, { allowPrivateDomains: true }) ?? host;
}

// Whether a page at `text` is what a grant {site, secure} covers.
export function covers(grant, text) {
  const url = webUrl(text);
  if (!grant || !url || siteOf(url.href) !== grant.site) return false;
  return !(grant.secure && url.protocol === "http:");
}
