import { test } from "node:test";
import assert from "node:assert/strict";
import { Grants } from "../lib/grants.js";
import { siteOf } from "../lib/site.js";

test("a site is the registrable domain, private suffixes included", () => {
  assert.equal(siteOf("https://www.bbc.co.uk/news"), "bbc.co.uk");
  assert.equal(siteOf("http://news.bbc.co.uk:8080/"), "bbc.co.uk");
  assert.notEqual(siteOf("https://alice.github.io/"), siteOf("https://bob.github.io/"));
  assert.equal(siteOf("http://127.0.0.1:5000/x"), "127.0.0.1");
  assert.equal(siteOf("http://localhost:5000/x"), "localhost");
  for (const url of ["file:///etc/passwd", "chrome://settings", "javascript:alert(1)", "not a url", undefined]) {
    assert.equal(siteOf(url), null, String(url));
  }
});

test("only shared web tabs can hold sessions", () => {
  const g = new Grants();
  assert.ok(g.share(7, "chrome://newtab").error);
  assert.match(g.start("s1", "Claude", 7).error, /Tab 7 is not shared/);
  g.share(7, "https://shop.example.com/cart");
  assert.deepEqual(g.start("s1", "Claude", 7), { tabId: 7 });
  assert.ok(g.start("s1", "Codex", 7).error, "a session id is never reused");
  assert.equal(g.check("s1", 7), null);
  assert.match(g.check("s1", 8), /session has ended/, "a session acts only in its own tab");
  assert.match(g.check("nope", 7), /session has ended/);
});

test("leaving the site withdraws the grant and ends its sessions; staying keeps both", () => {
  const g = new Grants();
  g.share(7, "https://shop.example.com/");
  g.start("s1", "Claude", 7);
  assert.deepEqual(g.navigated(7, "https://www.example.com:8443/checkout"), []);
  assert.equal(g.check("s1", 7), null);
  assert.deepEqual(g.navigated(7, "https://evil.test/"), ["s1"]);
  assert.match(g.check("s1", 7), /left the shared site example\.com/);
  assert.match(g.refusal(7), /no longer shared/);
  g.share(7, "https://evil.test/");
  assert.equal(g.refusal(7), null, "sharing again restores the tab");
  assert.match(g.check("s1", 7), /session has ended/, "but not the old session");
});

test("the default tab is the active shared one, else the only one", () => {
  const g = new Grants();
  assert.match(g.start("s0", "A").error, /No tab is shared/);
  g.share(1, "https://a.example/");
  assert.equal(g.start("s1", "A", undefined, [5]).tabId, 1);
  g.share(2, "https://b.example/");
  assert.equal(g.start("s2", "A", undefined, [9, 2]).tabId, 2);
  assert.match(g.start("s3", "A", undefined, [9]).error, /Several tabs/);
});

test("unsharing, closing and a lost connection end the right sessions", () => {
  const g = new Grants([{ tabId: 1, site: "a.example" }, { tabId: 2, site: "b.example" }]);
  g.start("s1", "A", 1);
  g.start("s2", "B", 2);
  g.start("s3", "C", 2);
  assert.deepEqual(g.controllers(2), ["B", "C"]);
  assert.deepEqual(g.unshare(2), ["s2", "s3"]);
  assert.match(g.check("s2", 2), /stopped sharing/);
  assert.deepEqual(g.removed(1), ["s1"]);
  assert.match(g.refusal(1), /not shared/, "a closed tab leaves no withdrawal note behind");
  g.share(3, "https://c.example/");
  g.start("s4", "A", 3);
  assert.deepEqual(g.clearSessions(), ["s4"]);
  assert.deepEqual(g.saved(), [{ tabId: 3, site: "c.example", secure: true }]);
});

test("a grant keeps its scheme: https down to http withdraws it, http up to https keeps it", () => {
  const g = new Grants([{ tabId: 1, site: "old.example" }]);
  assert.equal(g.covers(1, "http://old.example/"), true, "a grant saved without a scheme covers both");
  g.share(7, "https://bank.example/");
  g.share(8, "http://blog.example/");
  g.start("s7", "A", 7);
  assert.equal(g.covers(7, "https://www.bank.example/"), true);
  assert.equal(g.covers(8, "https://blog.example/"), true);
  assert.deepEqual(g.navigated(8, "https://blog.example/"), []);
  assert.deepEqual(g.navigated(7, "http://bank.example/login"), ["s7"]);
  assert.match(g.check("s7", 7), /from https to plain http on bank\.example/);
});
