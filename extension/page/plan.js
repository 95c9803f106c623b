// What goes into a snapshot once the page has been walked: which elements
// fit the budget, which need a context to be told apart, how their fields
// are written, and what the answer says of the rest. Plain data in and out,
// no DOM, so Node's tests hold it without a browser.
//
// A classic script, injected before page/hands.js, which reads it from
// globalThis.__tabvinePlan; Node's tests import it for that same effect.
(function () {
  "use strict";

  // Where an element's box lies against a viewport `height` high, and how
  // far outside it (0 inside).
  function place(rect, height) {
    if (rect.bottom < 0) return { where: "above", distance: -rect.bottom };
    if (rect.top > height) return { where: "below", distance: rect.top - height };
    return { where: "inside", distance: 0 };
  }

  const distanceOf = (item) => item.distance ?? 0;
  const byNearness = (a, b) => distanceOf(a) - distanceOf(b) || a.index - b.index;
  const byFarness = (a, b) => distanceOf(b.item) - distanceOf(a.item) || b.item.index - a.item.index;
  const keyOf = (entry) => `${entry.role}\u0000${entry.name}`;
  // One more for the comma between entries.
  const sizeOf = (entry) => JSON.stringify(entry).length + 1;

  // `items`: [{index, where, distance, ...}], index being page order; an
  // item with no distance counts as in view.
  // Entries are made nearest first until one would not fit `budget` bytes;
  // then entries sharing role and name get `contextOf(item)` (when it has
  // one), and the farthest make room for what the contexts cost. Returns the
  // kept entries in page order, and the items left out. The entries
  // `entryOf` makes are not changed, so it may hand out the same one again.
  function withinBudget(items, budget, entryOf, contextOf) {
    let kept = [];
    let bytes = 0;
    const sorted = [...items].sort(byNearness);
    let next = 0;
    for (; next < sorted.length; next++) {
      const entry = entryOf(sorted[next]);
      const size = sizeOf(entry);
      if (bytes + size > budget) break;
      bytes += size;
      kept.push({ item: sorted[next], entry, size });
    }
    const left = sorted.slice(next);
    const shared = new Map();
    for (const { entry } of kept) {
      const key = keyOf(entry);
      shared.set(key, (shared.get(key) ?? 0) + 1);
    }
    for (const k of kept) {
      if (shared.get(keyOf(k.entry)) < 2) continue;
      const context = contextOf(k.item);
      if (!context) continue;
      k.entry = { ...k.entry, context };
      const size = sizeOf(k.entry);
      bytes += size - k.size;
      k.size = size;
    }
    if (bytes > budget) {
      kept.sort(byFarness);
      let drop = 0;
      while (bytes > budget && drop < kept.length) bytes -= kept[drop++].size;
      left.push(...kept.slice(0, drop).map((k) => k.item));
      kept = kept.slice(drop);
    }
    kept.sort((a, b) => a.item.index - b.item.index);
    return { elements: kept.map((k) => k.entry), left };
  }

  const MAX_REGIONS = 5;

  // What the answer says of the items `withinBudget` left out; an item's
  // `region` names the landmark it stands in, if any.
  function omission(left) {
    const above = left.filter((item) => item.where === "above").length;
    const below = left.length - above;
    const parts = [];
    if (above) parts.push(`${above} above the visible part of the page`);
    if (below) parts.push(`${below} below it`);
    const omitted = { count: left.length, above, below };
    let note = `This snapshot lists the ${left.length === 1 ? "element" : "elements"} nearest the visible part ` +
      `of the page and leaves out ${left.length} more: ${parts.join(" and ")}.`;
    const regions = new Map();
    for (const { region } of left) if (region) regions.set(region, (regions.get(region) ?? 0) + 1);
    if (regions.size > 0) {
      const most = [...regions].sort((a, b) => b[1] - a[1]).slice(0, MAX_REGIONS);
      omitted.regions = most.map(([region, count]) => ({ region, count }));
      note += ` By region: ${most.map(([region, count]) => `${region} (${count})`).join(", ")}` +
        `${regions.size > MAX_REGIONS ? " and others" : ""}.`;
    }
    note += " Scroll there with browser_scroll and call browser_snapshot again to see them.";
    return { omitted, omittedNote: note };
  }

  // What the answer says of the frames in the document, whose content is
  // another document's and so not in this snapshot.
  function framesNote(count) {
    return `This document holds ${count === 1 ? "a frame" : `${count} frames`}, whose content this snapshot ` +
      "does not list. browser_frames lists them; one of the shared site is read with browser_snapshot and its " +
      "frameId and documentId.";
  }

  // A select's options as [value, text], or the one string when both are
  // the same; browser_select takes either. A multiple select marks its
  // chosen ones with a third item, true. `options`: [{value, text, selected}].
  function optionList(options, multiple, limit) {
    const list = {
      options: options.slice(0, limit).map(({ value, text, selected }) => {
        const chosen = multiple && selected;
        if (value === text && !chosen) return value;
        return chosen ? [value, text, true] : [value, text];
      }),
    };
    if (options.length > limit) list.optionsTruncated = true;
    return list;
  }

  globalThis.__tabvinePlan = Object.freeze({ place, withinBudget, omission, framesNote, optionList });
})();
