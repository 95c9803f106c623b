// Tabvine's hand acts like a user's: its clicks and keys are trusted input
// that answers once the effect is done or the page it opened has loaded; two
// clicks make a double click; a covered button is not clicked; typing drives
// the page's key handlers and leaves `change` for when the field is left;
// dialogs are reported and answered, never left to wedge the tab; and a tab
// in the background is captured again and again. Usage: node hand.mjs HOST
import { check, run, until } from "./harness.mjs";

const text = async (call, sessionId) => (await call("browser_text", { sessionId })).text;

async function clicksAndKeys({ call, refusal }, sessionId, site) {
  await call("browser_click", { sessionId, selector: "#count" });
  check((await text(call, sessionId)).includes("Count 1"), "a click's effect is there when it answers");
  await call("browser_press", { sessionId, selector: "#keys", key: "z" });
  check((await text(call, sessionId)).includes("keys: z"), "a key's effect is there when it answers");

  // Two clicks within the double-click time make one; a machine too busy to
  // send the second in time gets another try, as a user would.
  let double = false;
  for (let clicks = 0; clicks < 10 && !double; clicks++) {
    double = (await call("browser_click", { sessionId, selector: "#item" })).doubleClick === true;
  }
  check(double, "a second click in time is a double click");
  const edited = await call("browser_snapshot", { sessionId });
  check(edited.elements.some((e) => e.role === "textbox" && e.value === "Buy milk"), "the double click opened the editor");

  const why = await refusal("browser_click", { sessionId, selector: "#under" });
  check(why.includes("covered by dialog \"Cookie banner\""), `a covered button is not clicked: ${why}`);
  check((await text(call, sessionId)).includes("nothing deleted"), "nothing under the cover was clicked");

  const went = await call("browser_click", { sessionId, selector: "#go" });
  check(went.navigated === true, `a click that navigates says so: ${JSON.stringify(went)}`);
  const there = await call("browser_text", { sessionId });
  check(there.url === `${site}/page2.html` && there.text.includes("Second page"), "it answered once the page loaded");
  await call("browser_back", { sessionId });
}

async function typing({ call }, sessionId) {
  const fruit = await call("browser_fill", { sessionId, selector: "#fruit", value: "ap" });
  check(fruit.value === "ap", `the combobox holds what was typed: ${JSON.stringify(fruit)}`);
  const suggestions = await text(call, sessionId);
  check(suggestions.includes("suggestion apple") && suggestions.includes("suggestion apricot") &&
    !suggestions.includes("banana"), `the combobox filtered on key-up: ${suggestions}`);

  const todo = await call("browser_fill", { sessionId, selector: "#todo", value: "Walk the dog" });
  check(todo.value === "Walk the dog", `the value is reported before the field is left: ${JSON.stringify(todo)}`);
  await call("browser_press", { sessionId, key: "Tab" });
  check((await text(call, sessionId)).includes("todo Walk the dog"), "change fired when the focus left");
}

async function dialogs({ call, refusal }, sessionId, site) {
  const saved = await call("browser_click", { sessionId, selector: "#alert" });
  check(saved.dialog?.type === "alert" && saved.dialog.message === "Saved", `the alert is reported: ${JSON.stringify(saved)}`);
  const blocked = await refusal("browser_snapshot", { sessionId });
  check(blocked.includes("An alert dialog is open") && blocked.includes("\"Saved\""), `calls say the dialog is open: ${blocked}`);
  await call("browser_press", { sessionId, key: "Enter" });
  check((await text(call, sessionId)).includes("alert closed"), "the page went on after the alert");

  for (const [key, result] of [["Enter", "draft deleted"], ["Escape", "draft kept"]]) {
    const asked = await call("browser_click", { sessionId, selector: "#confirm" });
    check(asked.dialog?.type === "confirm", `the confirm is reported: ${JSON.stringify(asked)}`);
    const answered = await call("browser_press", { sessionId, key });
    check(answered.accepted === (key === "Enter"), `${key} answers the confirm: ${JSON.stringify(answered)}`);
    check((await text(call, sessionId)).includes(result), `the page saw ${result}`);
  }

  const prompt = await call("browser_click", { sessionId, selector: "#prompt" });
  check(prompt.dialog?.type === "prompt", "the prompt is reported");
  await call("browser_fill", { sessionId, value: "Quarterly plan" });
  await call("browser_press", { sessionId, key: "Enter" });
  check((await text(call, sessionId)).includes("renamed to Quarterly plan"), "the prompt got the text");

  // A draft with unsaved text asks before the page is left.
  await call("browser_fill", { sessionId, selector: "#draft", value: "unsaved" });
  const leaving = await call("browser_navigate", { sessionId, url: `${site}/page2.html` });
  check(leaving.dialog?.type === "beforeunload", `the leave dialog is reported: ${JSON.stringify(leaving)}`);
  await call("browser_press", { sessionId, key: "Escape" });
  check((await call("browser_text", { sessionId })).url === `${site}/hand.html`, "Escape stays on the page");
  await call("browser_navigate", { sessionId, url: `${site}/page2.html` });
  const left = await call("browser_press", { sessionId, key: "Enter" });
  check(left.accepted === true, "Enter leaves");
  check((await call("browser_text", { sessionId })).url === `${site}/page2.html`, "the page was left");
}

// A tab in the background that was clicked and typed into delivers every
// capture.
async function backgroundCaptures(world, { client, call }, tabId) {
  const { sessionId } = await call("browser_start", { tabId });
  await call("browser_click", { sessionId, selector: "#count" });
  await call("browser_fill", { sessionId, selector: "#keys", value: "typed" });
  await world.tab(`${world.site}/page2.html`);  // now in front
  for (let i = 0; i < 20; i++) {
    const shot = await client.callTool({ name: "browser_screenshot", arguments: { sessionId } });
    check(!shot.isError && shot.content[0].type === "image", `capture ${i + 1} of 20: ${JSON.stringify(shot).slice(0, 300)}`);
  }
  await call("browser_stop", { sessionId });
}

async function popupShowsDialogs(world, page, { call }, sessionId) {
  await call("browser_click", { sessionId, selector: "#confirm" });
  const popup = await world.openPopup(page);
  await until("the popup to show the dialog", () =>
    popup.$eval("#shared", (l) => l.textContent.includes("A confirm dialog waits for an answer")));
  await popup.close();
  await call("browser_press", { sessionId, key: "Escape" });
}

async function main(world) {
  const page = await world.tab(`${world.site}/hand.html`);
  await world.share(page);
  const quiet = await world.tab(`${world.site}/hand.html?background`);
  await world.share(quiet);
  const agent = await world.connectAgent("hand-check");
  const tabId = await world.tabIdOf(agent.call, `${world.site}/hand.html`);
  const quietTab = await world.tabIdOf(agent.call, `${world.site}/hand.html?background`);
  const { sessionId } = await agent.call("browser_start", { tabId });
  await clicksAndKeys(agent, sessionId, world.site);
  await typing(agent, sessionId);
  await popupShowsDialogs(world, page, agent, sessionId);
  await dialogs(agent, sessionId, world.site);
  await agent.call("browser_stop", { sessionId });
  await backgroundCaptures(world, agent, quietTab);
}

await run("hand check", main);
