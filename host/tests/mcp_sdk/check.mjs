// Drives `velkor-computer-use-host mcp` with the official MCP TypeScript SDK
// as the client. The SDK validates every answer against its own schemas, so
// any malformed result makes a call throw. Expects a running broker with one
// announced stand-in extension; the executable path comes as argv[2].
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";
import { createHash } from "node:crypto";

const exe = process.argv[2];
const expectedPng = process.argv[3];  // hex sha256 of the PNG the extension serves

function check(condition, what) {
  if (!condition) throw new Error(`check failed: ${what}`);
}

const transport = new StdioClientTransport({
  command: exe,
  args: ["mcp"],
  env: { ...process.env },
  stderr: "inherit",
});
const client = new Client({ name: "sdk-check", version: "1.0.0" });
await client.connect(transport);

const info = client.getServerVersion();
check(info?.name === "velkor-computer-use", `server name ${info?.name}`);
check(client.getInstructions()?.includes("browser_tabs"), "instructions");

const { tools } = await client.listTools();
check(tools.length === 19, `19 tools, got ${tools.length}`);
check(tools[0].name === "browser_tabs" && tools[18].name === "browser_stop", "tool order");

await client.ping();

const tabs = await client.callTool({ name: "browser_tabs", arguments: {} });
check(!tabs.isError, "browser_tabs succeeded");
check(tabs.structuredContent.browsers.length === 1, "one browser");

const started = await client.callTool({ name: "browser_start", arguments: { tabId: 7 } });
check(!started.isError, `browser_start: ${JSON.stringify(started)}`);
const sessionId = started.structuredContent.sessionId;

const clicked = await client.callTool({
  name: "browser_click",
  arguments: { sessionId, selector: "#go" },
});
check(!clicked.isError && clicked.content[0].type === "text", "browser_click");

const shot = await client.callTool({ name: "browser_screenshot", arguments: { sessionId } });
check(shot.content.length === 1 && shot.content[0].type === "image", "screenshot is an image");
check(shot.content[0].mimeType === "image/png", "image/png");
const digest = createHash("sha256").update(Buffer.from(shot.content[0].data, "base64")).digest("hex");
check(digest === expectedPng, "screenshot bytes");

const wrong = await client.callTool({ name: "browser_click", arguments: {} });
check(wrong.isError === true, "argument error is a tool error");

const stopped = await client.callTool({ name: "browser_stop", arguments: { sessionId } });
check(!stopped.isError, "browser_stop");

await client.close();
console.log("mcp sdk check passed");
