import assert from "node:assert/strict";
import test from "node:test";
import "../page/plan.js";

const { place, withinBudget, omission, framesNote, optionList } = globalThis.__tabvinePlan;

// Items in page order; `distances` says how far each lies from the view.
function items(distances, where = "below") {
  return distances.map((distance, index) => ({ index, distance, where: distance === 0 ? "inside" : where, name: `e${index}` }));
}
const entryOf = (item) => ({ role: "button", name: item.name });
const bytes = (elements) => elements.reduce((sum, e) => sum + JSON.stringify(e).length + 1, 0);
const ENTRY = JSON.stringify({ role: "button", name: "e0" }).length + 1;

test("where a box lies against the view", () => {
  assert.deepEqual(place({ top: -50, bottom: -10 }, 600), { where: "above", distance: 10 });
  assert.deepEqual(place({ top: 650, bottom: 700 }, 600), { where: "below", distance: 50 });
  assert.deepEqual(place({ top: 590, bottom: 640 }, 600), { where: "inside", distance: 0 });
});

test("past the budget the nearest elements stay, listed in page order", () => {
  const all = items([300, 0, 0, 100, 200, 900]);
  const { elements, left } = withinBudget(all, ENTRY * 4, entryOf, () => undefined);
  assert.deepEqual(elements.map((e) => e.name), ["e1", "e2", "e3", "e4"]);
  assert.deepEqual(left.map((i) => i.index).sort(), [0, 5]);
  // Without places, as a page that may fit whole is first tried: page order.
  const unplaced = all.map(({ index, name }) => ({ index, name }));
  assert.deepEqual(withinBudget(unplaced, ENTRY * 2, entryOf, () => undefined).elements.map((e) => e.name), ["e0", "e1"]);
  assert.equal(withinBudget(all, ENTRY * 6, entryOf, () => undefined).left.length, 0);
});

test("only elements that share role and name get a context, and the farthest make room for it", () => {
  const all = items([0, 0, 10, 20]);
  const named = ["Delete", "Delete", "Edit", "Save"];
  const made = all.map((item) => ({ role: "button", name: named[item.index] }));
  const contexts = [];
  const roomy = withinBudget(all, 10000, (item) => made[item.index], (item) => {
    contexts.push(item.index);
    return `Invoice ${item.index}`;
  });
  assert.deepEqual(contexts, [0, 1]);
  assert.deepEqual(roomy.elements.map((e) => e.context), ["Invoice 0", "Invoice 1", undefined, undefined]);
  assert.equal(made[0].context, undefined, "the entries handed in stay as they were");

  const budget = bytes(made) + 20;  // all four fit, but not with both contexts
  const tight = withinBudget(all, budget, (item) => made[item.index], (item) => `Invoice ${item.index}`);
  assert.ok(bytes(tight.elements) <= budget);
  assert.deepEqual(tight.left.map((i) => i.index), [3]);
  assert.deepEqual(tight.elements.map((e) => e.name), ["Delete", "Delete", "Edit"]);
});

test("the note counts what was left out and says how to reach it", () => {
  const left = [...items([5, 6], "above"), ...items([7], "below")];
  const { omitted, omittedNote } = omission(left);
  assert.deepEqual(omitted, { count: 3, above: 2, below: 1 });
  assert.match(omittedNote, /leaves out 3 more: 2 above the visible part of the page and 1 below it\. Scroll there with browser_scroll/);
  assert.match(omission(items([9])).omittedNote, /the element nearest .* leaves out 1 more: 1 below it\./);
  assert.equal(omitted.regions, undefined, "no landmark, no regions");

  // The regions holding most of what was left out, the largest first.
  const regions = ["main", "main", 'navigation "Site"', null, "main", "banner", "contentinfo", "search", "form", "region"];
  const placed = items(regions.map(() => 9)).map((item, i) => ({ ...item, region: regions[i] }));
  const { omitted: counted, omittedNote: said } = omission(placed);
  assert.deepEqual(counted.regions.slice(0, 2), [{ region: "main", count: 3 }, { region: 'navigation "Site"', count: 1 }]);
  assert.equal(counted.regions.length, 5);
  assert.match(said, /By region: main \(3\), navigation "Site" \(1\), .* and others\. Scroll there/);
});

test("frames are named as what this snapshot does not read", () => {
  assert.match(framesNote(1), /^This document holds a frame, whose content .* browser_frames lists them/);
  assert.match(framesNote(3), /^This document holds 3 frames,/);
});

test("options are written short: one string when value and text agree, the chosen ones of a multiple select marked", () => {
  const options = [
    { value: "a", text: "A", selected: true },
    { value: "b", text: "b", selected: false },
    { value: "c", text: "c", selected: true },
  ];
  assert.deepEqual(optionList(options, false, 50), { options: [["a", "A"], "b", "c"] });
  assert.deepEqual(optionList(options, true, 50), { options: [["a", "A", true], "b", ["c", "c", true]] });
  assert.deepEqual(optionList(options, false, 2), { options: [["a", "A"], "b"], optionsTruncated: true });
});
