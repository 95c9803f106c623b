// Tabvine's page model held against the browser's own: for every element
// Chrome's accessibility tree exposes with a role a user acts on, or as
// focusable, the snapshot offers one with the same role, name and states,
// and it offers nothing else; a page too large for one answer says what it
// left out and where. Usage: node model.mjs HOST_EXECUTABLE
import { check, run } from "./harness.mjs";

const OFFERED = new Set([
  "button", "checkbox", "combobox", "gridcell", "link", "listbox", "menuitem", "menuitemcheckbox",
  "menuitemradio", "option", "radio", "searchbox", "slider", "spinbutton", "switch", "tab", "textbox", "treeitem",
  "DisclosureTriangle",
]);
const TRI = { true: true, false: false, mixed: "mixed" };
const collapse = (text) => String(text ?? "").replace(/\s+/g, " ").trim();

// Role, name and the states both sides report, as one comparable line.
function line(role, name, states) {
  const kept = Object.entries(states).filter(([, v]) => v !== undefined).sort(([a], [b]) => a.localeCompare(b));
  return `${role} ${JSON.stringify(collapse(name))} ${JSON.stringify(Object.fromEntries(kept))}`;
}

function fromBrowser(node) {
  const p = Object.fromEntries((node.properties ?? []).map((prop) => [prop.name, prop.value.value]));
  const role = node.role?.value;
  const range = role === "slider" || role === "spinbutton";
  return line(role === "DisclosureTriangle" ? "button" : role, node.name?.value, {
    checked: TRI[p.checked],
    pressed: TRI[p.pressed],
    expanded: p.expanded,
    selected: p.selected,
    disabled: p.disabled === true || undefined,
    required: p.required === true || undefined,
    readonly: p.readonly === true || undefined,
    invalid: p.invalid === "true" || undefined,
    level: p.level,
    valuemin: range ? p.valuemin : undefined,
    valuemax: range ? p.valuemax : undefined,
    valuenow: range && node.value ? Number(node.value.value) : undefined,
  });
}

function fromSnapshot(e) {
  const range = e.role === "slider" || e.role === "spinbutton";
  return line(e.role, e.name, {
    checked: e.checked, pressed: e.pressed, expanded: e.expanded, selected: e.selected, disabled: e.disabled,
    required: e.required, readonly: e.readonly, invalid: e.invalid, level: e.level,
    valuemin: range ? e.valuemin : undefined, valuemax: range ? e.valuemax : undefined,
    valuenow: range ? e.valuenow : undefined,
  });
}

const counted = (lines) => lines.reduce((m, l) => m.set(l, (m.get(l) ?? 0) + 1), new Map());

async function holdsAgainstTheBrowser(page, { call }, sessionId, least) {
  const cdp = await page.createCDPSession();
  const { nodes } = await cdp.send("Accessibility.getFullAXTree");
  await cdp.detach();
  const browser = nodes
    .filter((n) => !n.ignored && n.role?.value !== "RootWebArea" && n.role?.value !== "Iframe")
    .filter((n) => OFFERED.has(n.role?.value) || n.properties?.some((p) => p.name === "focusable" && p.value.value))
    .map(fromBrowser);
  const snap = await call("browser_snapshot", { sessionId });
  check(!snap.truncated, "the page fits one snapshot");
  const ours = snap.elements.map(fromSnapshot);
  const want = counted(browser);
  const got = counted(ours);
  const missing = [...want].filter(([l, n]) => (got.get(l) ?? 0) < n).map(([l]) => l);
  const extra = [...got].filter(([l, n]) => (want.get(l) ?? 0) < n).map(([l]) => l);
  check(missing.length === 0 && extra.length === 0,
    `the snapshot matches the browser's tree\n  missing: ${missing.join("\n           ")}\n  extra:   ${extra.join("\n           ")}`);
  check(browser.length >= least, `the page exercises enough of the tree: ${browser.length}`);
  // Elements of one role and name say where each stands.
  const seen = new Map();
  for (const e of snap.elements) {
    const key = `${e.role} ${e.name}`;
    seen.set(key, [...(seen.get(key) ?? []), e.context]);
  }
  for (const [key, contexts] of seen) {
    if (contexts.length > 1) {
      check(new Set(contexts).size === contexts.length && contexts.every(Boolean), `${key} are told apart: ${contexts}`);
    }
  }
  return seen;
}

async function budgets(world, { call }) {
  for (const [n, whole] of [[1000, true], [10000, false]]) {
    const { page, tabId } = await world.shareTab(`${world.site}/generated?n=${n}&landmarks`, call);
    const { sessionId } = await call("browser_start", { tabId });
    const snap = await call("browser_snapshot", { sessionId });
    const bytes = JSON.stringify(snap.elements).length;
    if (whole) {
      check(!snap.truncated && snap.count === n + 1, `${n} controls fit whole: ${snap.count}, ${bytes} bytes`);
    } else {
      check(snap.truncated && snap.count + snap.omitted.count === n + 1, `the cut counts every control: ${JSON.stringify(snap.omitted)}`);
      check(snap.omitted.above === 0 && snap.omitted.below === snap.omitted.count, "what is left out lies below");
      check(snap.omittedNote.includes(`leaves out ${snap.omitted.count} more`) && snap.omittedNote.includes("browser_scroll"),
        `the cut says how to reach the rest: ${snap.omittedNote}`);
      check(snap.elements[1].name === "Action 0", "the first controls are the ones in view");
      const [region, ...others] = snap.omitted.regions;
      check(others.length === 0 && region.region === "main" && region.count === snap.omitted.count &&
        snap.omittedNote.includes(`By region: main (${snap.omitted.count})`), `the cut says where: ${JSON.stringify(snap.omitted)} ${snap.omittedNote}`);
    }
    await call("browser_stop", { sessionId });
    await page.close();
  }
}

async function main(world) {
  const agent = await world.connectAgent("model-check");
  const { page, tabId } = await world.shareTab(`${world.site}/patterns.html`, agent.call);
  const { sessionId } = await agent.call("browser_start", { tabId });
  const named = await holdsAgainstTheBrowser(page, agent, sessionId, 45);
  check(named.get("button Delete")?.join() === "Invoice 1 Delete,Invoice 2 Delete", `rows: ${named.get("button Delete")}`);
  const { text } = await agent.call("browser_text", { sessionId });
  check(text.includes("Walk the dog") && text.includes("Remove"), `text reaches into shadow roots: ${text.slice(-300)}`);
  check(!text.includes("Hidden one") && !text.includes("Shipping rates"), "text leaves out what the user cannot see");
  await agent.call("browser_stop", { sessionId });

  // An open modal dialog leaves the rest of the page out of reach.
  const { page: modal, tabId: modalTab } = await world.shareTab(`${world.site}/modal.html`, agent.call);
  const inModal = await agent.call("browser_start", { tabId: modalTab });
  await holdsAgainstTheBrowser(modal, agent, inModal.sessionId, 3);
  await agent.call("browser_stop", { sessionId: inModal.sessionId });
  await budgets(world, agent);
}

await run("model check", main);
