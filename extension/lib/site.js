// A grant covers one site: the registrable domain of the page the user
// shared (public-suffix aware, private suffixes included, so two projects on
// one hosting domain are two sites). Scheme and port do not split a site:
// an http → https upgrade on the same domain must not cost the user a grant.
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
