// What every real-browser check builds and tears down: a small site served
// here (on two sites, 127.0.0.1 and localhost, and over TLS where asked),
// the broker, a Chromium with the Tabvine extension and its native host, and
// agents that speak to `velkor-computer-use-host mcp` through the official
// MCP SDK client. The user's part (sharing a tab) is played through the
// extension's own toolbar popup.
import { spawn, execFileSync } from "node:child_process";
import { once } from "node:events";
import fs from "node:fs";
import http from "node:http";
import https from "node:https";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";

const here = path.dirname(fileURLToPath(import.meta.url));
export const extensionDir = path.resolve(here, "../../../extension");
export const EXTENSION_ID = "boncahkdgjjgnpibkpcbmkggomjegbdj";
const chromium = process.env.CHROMIUM ?? "/usr/bin/chromium";

export function check(condition, what) {
  if (!condition) throw new Error(`check failed: ${what}`);
}

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

export async function until(what, probe, ms = 15000) {
  const end = Date.now() + ms;
  for (;;) {
    const value = await probe();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await sleep(100);
  }
}

export function refOf(snapshot, predicate, what) {
  const element = snapshot.elements.find(predicate);
  check(element, `snapshot lists ${what}: ${JSON.stringify(snapshot.elements)}`);
  return element.ref;
}

// Runs `main(world)` in a fresh world, and exits 0 when it passed, 1 when
// it failed, 77 when this machine lacks Chromium or the npm packages.
// `files` maps names to contents of files the user offers for upload.
export async function run(title, main, { files = {}, tls = false, limitMs = 240000 } = {}) {
  if (!fs.existsSync(chromium) || !fs.existsSync(path.join(here, "node_modules"))) {
    console.log(`skipped: needs ${chromium} and \`npm ci\` in ${here} (scripts/test.sh sets up both)`);
    process.exit(77);
  }
  const world = new World();
  const watchdog = setTimeout(() => {
    console.error(`${title}: overall time limit reached`);
    process.exitCode = 1;
    world.cleanup().finally(() => process.exit(1));
  }, limitMs);
  try {
    await world.open({ files, tls });
    await main(world);
    console.log(`${title} passed`);
  } catch (e) {
    console.error(e.stack ?? e);
    process.exitCode = 1;
  } finally {
    clearTimeout(watchdog);
    await world.cleanup();
  }
  process.exit(process.exitCode ?? 0);
}

// A page of `n` labelled controls in rows (buttons, fields, selects,
// checkboxes, links), the shape of a long form or a data table.
// `landmarks`: the rows stand in a main region, under a navigation one.
export function generatedPage(n, landmarks = false) {
  const rows = [];
  for (let i = 0; i < n; i++) {
    const control = [
      `<button id="c${i}" type="button" onclick="this.dataset.clicks = (+this.dataset.clicks || 0) + 1">Action ${i}</button>`,
      `<label>Field ${i} <input id="c${i}"></label>`,
      `<label>Choice ${i} <select id="c${i}"><option value="a">A</option><option value="b">B</option></select></label>`,
      `<label><input id="c${i}" type="checkbox"> Option ${i}</label>`,
      `<a id="c${i}" href="#row${i}">Link ${i}</a>`,
    ][i % 5];
    rows.push(`<div class="row" id="row${i}">Row ${i}: ${control}</div>`);
  }
  const body = landmarks
    ? `<nav aria-label="Site"><a href="#top">Top</a></nav><main>${rows.join("\n")}</main>`
    : rows.join("\n");
  return `<!doctype html><html lang="en"><head><meta charset="utf-8"><title>${n} controls</title></head>` +
    `<body><h1>${n} controls</h1>${body}</body></html>`;
}

class World {
  constructor() {
    this.exe = process.argv[2];
    this.cleanups = [];
    this.children = [];
    // Every request the site served: {host, path}; a check can tell that a
    // server was never reached.
    this.requests = [];
    this.tmp = fs.mkdtempSync(path.join(os.tmpdir(), "velkor-browser-"));
    this.cleanups.push(() => fs.rmSync(this.tmp, { recursive: true, force: true }));
    this.runtimeDir = path.join(this.tmp, "run");
    this.profile = path.join(this.tmp, "profile");
    this.downloads = path.join(this.tmp, "downloads");
    for (const dir of [this.runtimeDir, this.downloads, path.join(this.profile, "Default"),
      path.join(this.profile, "NativeMessagingHosts")]) {
      fs.mkdirSync(dir, { recursive: true, mode: 0o700 });
    }
    this.env = { ...process.env, VELKOR_COMPUTER_USE_RUNTIME_DIR: this.runtimeDir };
    // Whatever way the run ends, no child outlives it.
    process.on("exit", () => {
      for (const child of this.children) if (child.exitCode === null) child.kill("SIGKILL");
    });
  }

  async open({ files, tls }) {
    this.files = {};
    for (const [name, content] of Object.entries(files)) {
      this.files[name] = path.join(this.tmp, name);
      fs.writeFileSync(this.files[name], content);
    }
    const port = await this.serve(http.createServer(this.handler()));
    this.site = `http://127.0.0.1:${port}`;
    this.otherSite = `http://localhost:${port}`;
    if (tls) {
      const { key, cert } = this.certificate();
      this.secureSite = `https://127.0.0.1:${await this.serve(https.createServer({ key, cert }, this.handler()))}`;
    }
    await this.startBroker(Object.values(this.files));
    this.browser = await this.startChromium(tls);
    this.cleanups.push(() => process.exitCode && this.printWorkerFailures());
  }

  // What Tabvine's worker kept of the browser's failures, with their stacks.
  async printWorkerFailures() {
    const page = await this.browser.newPage();
    try {
      await Promise.race([page.goto(`chrome-extension://${EXTENSION_ID}/popup.html`), sleep(5000)]);
      const { recentFailures } = await Promise.race([
        page.evaluate(() => chrome.storage.session.get("recentFailures")), sleep(5000).then(() => ({}))]);
      for (const f of recentFailures ?? []) console.error(`Tabvine's worker: ${f.op} failed at ${f.at}:\n${f.stack}`);
    } finally {
      await page.close().catch(() => {});
    }
  }

  async cleanup() {
    for (const step of this.cleanups.reverse()) {
      try {
        await step();
      } catch (e) {
        console.error(`cleanup: ${e.message}`);
      }
    }
    this.cleanups.length = 0;
  }

  handler() {
    const types = { ".html": "text/html; charset=utf-8", ".js": "text/javascript" };
    return (req, res) => {
      const url = new URL(req.url, "http://x");
      this.requests.push({ host: req.headers.host ?? "", path: `${url.pathname}${url.search}` });
      if (url.pathname === "/generated") {
        res.writeHead(200, { "content-type": "text/html; charset=utf-8" });
        res.end(generatedPage(Number(url.searchParams.get("n")) || 100, url.searchParams.has("landmarks")));
        return;
      }
      if (url.pathname === "/files/report.txt") {
        res.writeHead(200, { "content-type": "text/plain", "content-disposition": "attachment; filename=report.txt" });
        res.end("quarterly report\n");
        return;
      }
      const file = path.join(here, "site", path.basename(url.pathname));
      if (!fs.existsSync(file)) {
        res.writeHead(404).end("not found");
        return;
      }
      res.writeHead(200, { "content-type": types[path.extname(file)] ?? "application/octet-stream" });
      res.end(fs.readFileSync(file));
    };
  }

  async serve(server) {
    server.listen(0, "127.0.0.1");
    this.cleanups.push(() => new Promise((r) => server.close(r)));
    this.cleanups.push(() => server.closeAllConnections());
    await once(server, "listening");
    return server.address().port;
  }

  // A throwaway certificate for 127.0.0.1, which Chromium is told to accept.
  certificate() {
    const key = path.join(this.tmp, "tls.key");
    const cert = path.join(this.tmp, "tls.crt");
    execFileSync("openssl", ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
      "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert], { stdio: "ignore" });
    return { key: fs.readFileSync(key), cert: fs.readFileSync(cert) };
  }

  async startBroker(uploadFiles) {
    const args = ["serve-browser", ...uploadFiles.flatMap((f) => ["--upload-file", f])];
    const broker = spawn(this.exe, args, { env: this.env, stdio: ["ignore", "ignore", "pipe"] });
    this.children.push(broker);
    let log = "";
    broker.stderr.on("data", (d) => (log += d));
    this.brokerLog = () => log;
    this.cleanups.push(async () => {
      if (broker.exitCode === null) {
        broker.kill("SIGTERM");
        await once(broker, "exit");
      }
      if (process.exitCode) console.error(`broker log:\n${log}`);
    });
    await until("the broker's lock file",
      () => fs.existsSync(path.join(this.runtimeDir, "velkor-computer-use", "run.lock")));
  }

  async startChromium(tls) {
    const { default: puppeteer } = await import("puppeteer-core");
    fs.writeFileSync(
      path.join(this.profile, "NativeMessagingHosts", "velkor.computer_use.json"),
      execFileSync(this.exe, ["native-manifest", EXTENSION_ID]),
    );
    fs.writeFileSync(
      path.join(this.profile, "Default", "Preferences"),
      JSON.stringify({ download: { default_directory: this.downloads, prompt_for_download: false } }),
    );
    const browser = await puppeteer.launch({
      executablePath: chromium,
      headless: true,
      defaultViewport: null,  // the real window, as the extension sees it
      pipe: true,
      userDataDir: this.profile,
      enableExtensions: [extensionDir],
      env: this.env,
      args: [
        "--no-sandbox",
        "--disable-gpu",
        "--no-first-run",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-sync",
        "--disable-quic",
        ...(tls ? ["--ignore-certificate-errors"] : []),
      ],
    });
    this.children.push(browser.process());
    this.cleanups.push(async () => {
      const proc = browser.process();
      await Promise.race([browser.close(), sleep(5000)]);
      if (proc && proc.exitCode === null) proc.kill("SIGKILL");
    });
    return browser;
  }

  async connectAgent(name) {
    const { Client } = await import("@modelcontextprotocol/sdk/client/index.js");
    const { StdioClientTransport } = await import("@modelcontextprotocol/sdk/client/stdio.js");
    const transport = new StdioClientTransport({ command: this.exe, args: ["mcp"], env: this.env, stderr: "inherit" });
    const client = new Client({ name, version: "1.0.0" });
    await client.connect(transport);
    this.cleanups.push(() => client.close());
    const call = async (tool, args = {}) => {
      const result = await client.callTool({ name: tool, arguments: args });
      if (result.isError) throw new Error(`${tool} failed: ${result.content?.[0]?.text}`);
      return result.structuredContent ?? JSON.parse(result.content[0].text);
    };
    const refusal = async (tool, args) => {
      const result = await client.callTool({ name: tool, arguments: args });
      check(result.isError === true, `${tool} ${JSON.stringify(args)} is refused: ${JSON.stringify(result).slice(0, 500)}`);
      return result.content[0].text;
    };
    return { client, call, refusal };
  }

  // A new tab at `url`, loaded.
  async tab(url) {
    const page = await this.browser.newPage();
    await page.goto(url);
    return page;
  }

  async openPopup(page) {
    const extension = (await this.browser.extensions()).get(EXTENSION_ID);
    check(extension, "the extension is loaded");
    await page.bringToFront();
    await page.triggerExtensionAction(extension);
    const target = await this.browser.waitForTarget(
      (t) => t.url().startsWith(`chrome-extension://${EXTENSION_ID}/popup.html`));
    const popup = await target.asPage();
    await popup.waitForSelector("body[data-rendered]");
    return popup;
  }

  // Shares the tab through the popup, as the user would; returns the status
  // the popup then shows.
  async share(page) {
    const popup = await this.openPopup(page);
    await until("a shareable tab", () => popup.$eval("#share", (b) => !b.disabled));
    check((await popup.$eval("#share", (b) => b.textContent)) === "Share this tab", "the tab starts unshared");
    await popup.click("#share");
    await until("the share to register", () => popup.$eval("#share", (b) => b.textContent === "Stop sharing this tab"));
    const status = await popup.evaluate(() => chrome.runtime.sendMessage({ type: "status" }));
    await popup.close();
    return status;
  }

  // A new tab at `url`, shared, and the id the broker lists it under for
  // the agent whose `call` is given.
  async shareTab(url, call) {
    const page = await this.tab(url);
    await this.share(page);
    return { page, tabId: await this.tabIdOf(call, url) };
  }

  // The tab id the broker lists for the shared tab at exactly `url`.
  async tabIdOf(call, url) {
    return until(`the shared tab ${url} to be listed`, async () => {
      const { browsers } = await call("browser_tabs");
      return browsers[0]?.tabs?.find((t) => t.url === url)?.tabId;
    });
  }
}
