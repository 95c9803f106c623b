import { test } from "node:test";
import assert from "node:assert/strict";
import { TRAIL_LIMIT, Trail } from "../lib/trail.js";

const act = (i, extra = {}) => ({ at: i, agent: "Claude", tool: "browser_click", outcome: "done", ...extra });

test("a tab keeps its latest actions, each cut short, and survives a save", () => {
  const trail = new Trail();
  for (let i = 0; i < TRAIL_LIMIT + 7; i++) trail.record(4, act(i));
  trail.record(4, act(99, { tool: "browser_fill", target: `textbox "${"n".repeat(200)}"`, value: "x".repeat(100),
    outcome: "refused", note: "why ".repeat(100) }));
  const list = new Trail(JSON.parse(JSON.stringify(trail.saved()))).entries(4);
  assert.equal(list.length, TRAIL_LIMIT);
  assert.equal(list[0].at, 8, "the oldest went first");
  const last = list.at(-1);
  assert.deepEqual([last.target.length, last.value.length, last.note.length], [80, 24, 120]);
  assert.ok(last.value.endsWith("…"));
  assert.deepEqual(new Trail().entries(4), []);
});

test("tabs keep their own trails, and clearing one leaves the others", () => {
  const trail = new Trail();
  trail.record(1, act(1));
  trail.record(2, act(2, { agent: "Codex" }));
  assert.equal(trail.clear(1), true);
  assert.deepEqual(trail.entries(1), []);
  assert.equal(trail.entries(2)[0].agent, "Codex");
  assert.deepEqual(Object.keys(trail.saved()), ["2"]);
});
