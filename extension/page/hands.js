// Tabvine's hands inside a page. The service worker injects this file into a
// frame and then calls globalThis.__tabvine.run(op, args) through
// chrome.scripting.executeScript; every answer is {ok, data} or {ok, error}.
//
// It runs in the extension's isolated world: the DOM is shared with the page,
// so the events we dispatch reach the page's own listeners, but the page's
// scripts can neither read nor replace our globals, which keeps the ref
// registry and the DOM prototypes we call out of their reach. The cost is that
// listeners the page added are invisible from here, so the snapshot guesses
// what is clickable from markup and the pointer cursor.
//
// A classic script, not a module, because executeScript injects files that
// way; and since an isolated world lives as long as its document, a second
// injection must leave the first copy, and the refs it handed out, alone.
(function () {
  "use strict";

  const VERSION = 2;
  if (globalThis.__tabvine && globalThis.__tabvine.version === VERSION) return;

  const MAX_NAME = 100;
  const MAX_VALUE = 200;
  const MAX_OPTIONS = 50;
  const MAX_LISTED_OPTIONS = 20;
  const MAX_DESCRIPTION = 60;
  const MAX_TEXT = 200000;
  // Everything read from the page is cut before it leaves this script, so a
  // page cannot make an answer too long to deliver (and so end the sessions
  // of every tab in the browser).
  const MAX_TITLE = 300;
  const MAX_URL = 2000;
  const MAX_LINK = 500;
  const MAX_QUOTE = 200;
  // textContent longer than this is named from its start rather than through
  // innerText, which lays the whole subtree out; the name is cut to 100 anyway.
  const MAX_LAID_OUT_TEXT = 2000;
  const PASSWORD_MASK = "••••";
  // Fields whose values no answer shows, as for passwords: card numbers,
  // card security codes and one-time codes.
  const SECRET_AUTOCOMPLETE = new Set(["cc-number", "cc-csc", "one-time-code", "current-password", "new-password"]);
  const UPLOAD_ATTRIBUTE = "data-tabvine-upload";
  // The W3C's role and accessible-name computations, and what a snapshot
  // keeps of a walk, injected just before this file
  // (vendor/dom-accessibility-api.js, page/plan.js).
  const accname = globalThis.__tabvineAccname;
  const plan = globalThis.__tabvinePlan;

  const INPUT_ROLES = new Map([
    ["checkbox", "checkbox"], ["radio", "radio"], ["range", "slider"], ["number", "spinbutton"],
    ["search", "searchbox"], ["submit", "button"], ["reset", "button"], ["button", "button"],
    ["image", "button"],
  ]);
  const BUTTON_INPUT_TYPES = new Set(["submit", "reset", "button", "image"]);
  const VALUELESS_INPUT_TYPES = new Set(["checkbox", "radio", "file", ...BUTTON_INPUT_TYPES]);
  const CHECKABLE_INPUT_TYPES = new Set(["checkbox", "radio"]);
  const TRUE_WORDS = new Set(["true", "on", "checked"]);
  const FALSE_WORDS = new Set(["false", "off", "unchecked"]);
  // Only overflow a user can scroll by hand: `hidden` boxes are programmatically
  // scrollable too, but they are usually clipping wrappers, not scroll panes.
  const SCROLLING_OVERFLOW = new Set(["auto", "scroll", "overlay"]);

  // Refs live per document: element -> ref, and ref -> WeakRef(element), so
  // the registry never keeps a removed element alive.
  const registry = { docKey: null, next: 1, refs: new WeakMap(), elements: new Map() };
  // File inputs we marked, by token; a marked input inside a shadow root is
  // out of document.querySelector's reach.
  const uploads = new Map();

  // Refusals worded for the agent, as opposed to failures of this script.
  class PageError extends Error {}

  function fail(message) {
    throw new PageError(message);
  }

  // ---- text ----------------------------------------------------------------------

  function collapse(text) {
    return String(text ?? "").replace(/\s+/g, " ").trim();
  }

  function cut(text, limit) {
    return text.length <= limit ? text : `${text.slice(0, limit - 1)}…`;
  }

  function visibleText(el) {
    const raw = el.textContent || "";
    if (raw.length > MAX_LAID_OUT_TEXT) return collapse(raw.slice(0, MAX_LAID_OUT_TEXT));
    return collapse(el instanceof HTMLElement ? el.innerText : raw);
  }

  function isSecret(el) {
    if (el instanceof HTMLInputElement && el.type === "password") return true;
    const tokens = String(el.getAttribute("autocomplete") || "").toLowerCase().split(/\s+/);
    return tokens.some((token) => SECRET_AUTOCOMPLETE.has(token));
  }

  function shownValue(el, value) {
    if (isSecret(el)) return value ? PASSWORD_MASK : "";
    return cut(String(value), MAX_VALUE);
  }

  function quote(text) {
    return JSON.stringify(cut(String(text), MAX_QUOTE));
  }

  function pageUrl() {
    return cut(location.href, MAX_URL);
  }

  // Collapsing a page's string of many megabytes would cost more than the
  // page is worth; only the start of it can be shown anyway.
  function brief(text, limit) {
    return cut(collapse(String(text ?? "").slice(0, limit * 4)), limit);
  }

  function pageTitle() {
    return brief(document.title, MAX_TITLE);
  }

  // ---- tree walking --------------------------------------------------------------

  function composedParent(node) {
    if (node.parentElement) return node.parentElement;
    const parent = node.parentNode;
    return parent instanceof ShadowRoot ? parent.host : null;
  }

  function composedClosest(el, selector) {
    for (let node = el; node; ) {
      const hit = node.closest(selector);
      if (hit) return hit;
      const root = node.getRootNode();
      node = root instanceof ShadowRoot ? root.host : null;
    }
    return null;
  }

  function deepActiveElement() {
    let el = document.activeElement;
    while (el && el.shadowRoot && el.shadowRoot.activeElement) el = el.shadowRoot.activeElement;
    return el;
  }

  function deepElementFromPoint(x, y) {
    let el = document.elementFromPoint(x, y);
    while (el && el.shadowRoot) {
      const inner = el.shadowRoot.elementFromPoint(x, y);
      if (!inner || inner === el) break;
      el = inner;
    }
    return el;
  }

  // ---- roles and names -------------------------------------------------------------

  function explicitRole(el) {
    return (el.getAttribute("role") || "").trim().split(/\s+/)[0].toLowerCase();
  }

  function isEditableHost(el) {
    const value = el.getAttribute("contenteditable");
    return value !== null && ["", "true", "plaintext-only"].includes(value.toLowerCase());
  }

  function roleOf(el) {
    const explicit = explicitRole(el);
    if (explicit && explicit !== "presentation" && explicit !== "none") return explicit;
    // Chrome makes a summary its details' disclosure button.
    if (el.localName === "summary") return "button";
    if (el instanceof HTMLInputElement && el.type === "file") return "file";
    if (accname) {
      try {
        const implicit = accname.getRole(el);
        if (implicit && implicit !== "presentation" && implicit !== "none") return implicit;
      } catch {
        // Our own rules below still give it a role.
      }
    }
    if (el instanceof HTMLInputElement) return INPUT_ROLES.get(el.type) || "textbox";
    if (el instanceof HTMLSelectElement) return el.multiple || el.size > 1 ? "listbox" : "combobox";
    if (el instanceof HTMLTextAreaElement) return "textbox";
    if (el.localName === "a" && el.hasAttribute("href")) return "link";
    if (el.localName === "button") return "button";
    return isEditableHost(el) ? "textbox" : "generic";
  }

  function accessibleName(el) {
    const name =
      collapse(labelledByText(el)) ||
      collapse(el.getAttribute("aria-label")) ||
      collapse(labelsText(el)) ||
      ownName(el);
    return cut(name, MAX_NAME);
  }

  function labelledByText(el) {
    const ids = (el.getAttribute("aria-labelledby") || "").split(/\s+/).filter(Boolean);
    const root = el.getRootNode();
    if (ids.length === 0 || typeof root.getElementById !== "function") return "";
    return ids
      .map((id) => root.getElementById(id))
      .filter(Boolean)
      .map((node) => node.getAttribute("aria-label") || visibleText(node))
      .join(" ");
  }

  function labelsText(el) {
    return el.labels ? [...el.labels].map((label) => labelText(label, el)).join(" ") : "";
  }

  // A label wrapping its control must not name a select after all its options.
  function labelText(label, control) {
    return label.contains(control) ? textUnder(label, (node) => node === control, Infinity) : visibleText(label);
  }

  // The text under `root`, leaving out the subtrees of the elements `skip`
  // names, up to about `limit` characters.
  function textUnder(root, skip, limit) {
    let text = "";
    const walker = document.createTreeWalker(root, NodeFilter.SHOW_ELEMENT | NodeFilter.SHOW_TEXT, {
      acceptNode: (node) => (node.nodeType === Node.ELEMENT_NODE && skip(node) ? NodeFilter.FILTER_REJECT : NodeFilter.FILTER_ACCEPT),
    });
    for (let node = walker.nextNode(); node && text.length < limit; node = walker.nextNode()) {
      if (node.nodeType === Node.TEXT_NODE) text += node.data;
    }
    return text;
  }

  function ownName(el) {
    const title = collapse(el.getAttribute("title"));
    if (el instanceof HTMLInputElement && BUTTON_INPUT_TYPES.has(el.type)) {
      return collapse(buttonInputLabel(el)) || title;
    }
    if (el instanceof HTMLInputElement || el instanceof HTMLSelectElement || el instanceof HTMLTextAreaElement) {
      return title || collapse(el.getAttribute("placeholder"));
    }
    if (el.localName === "img" || el.localName === "area") return collapse(el.getAttribute("alt")) || title;
    // Visible text before title: it is what the agent also reads in
    // browser_text and sees in screenshots.
    return contentText(el) || title;
  }

  function buttonInputLabel(input) {
    if (input.type === "image") return input.getAttribute("alt") || "Submit";
    if (input.value) return input.value;
    return input.type === "submit" ? "Submit" : input.type === "reset" ? "Reset" : "";
  }

  // Icon-only buttons and links carry their name on the picture inside.
  function contentText(el) {
    const text = visibleText(el);
    if (text) return text;
    for (const node of el.querySelectorAll("img[alt], [aria-label], title")) {
      const alternative = collapse(
        node.localName === "img" ? node.getAttribute("alt")
          : node.localName === "title" ? node.textContent
          : node.getAttribute("aria-label"),
      );
      if (alternative) return alternative;
    }
    return "";
  }

  // A short name for an element an answer mentions. It reads text as the
  // DOM holds it, because innerText would lay out the whole page again
  // after every change the hand made, which on a long page costs more than
  // the action itself.
  function quickName(el) {
    const given = collapse(el.getAttribute("aria-label"));
    if (given) return given;
    if (el.labels && el.labels.length > 0) {
      const labelled = collapse([...el.labels].map((label) => textUnder(label, (node) => node === el, MAX_LAID_OUT_TEXT)).join(" "));
      if (labelled) return labelled;
    }
    if (el instanceof HTMLInputElement && BUTTON_INPUT_TYPES.has(el.type)) return collapse(buttonInputLabel(el));
    if (el instanceof HTMLInputElement || el instanceof HTMLTextAreaElement || el instanceof HTMLSelectElement) {
      return collapse(el.getAttribute("title")) || collapse(el.getAttribute("placeholder"));
    }
    return collapse((el.textContent || "").slice(0, MAX_LAID_OUT_TEXT)) || collapse(el.getAttribute("title"));
  }

  function describe(el) {
    const tag = el instanceof HTMLInputElement ? `input[type=${el.type}]` : el.localName;
    const name = quickName(el);
    if (!name) return tag;
    return `${tag} "${cut(name, Math.max(MAX_DESCRIPTION - tag.length - 3, 10))}"`;
  }

  function describeActive() {
    const el = deepActiveElement();
    if (!el) return null;
    // Naming the body would quote the start of the page.
    return el === document.body || el === document.documentElement ? el.localName : describe(el);
  }

  // An element whose content is another document: keys or clicks aimed at
  // it would reach a page the user may never have shared.
  const FRAME_HOSTS = new Set(["iframe", "frame", "object", "embed"]);

  function isFrameHost(el) {
    return FRAME_HOSTS.has(el.localName) && (el instanceof HTMLIFrameElement || el instanceof HTMLFrameElement ||
      el instanceof HTMLObjectElement || el instanceof HTMLEmbedElement);
  }

  function refuseFrameHost(el) {
    if (isFrameHost(el)) {
      fail(`Element ${describe(el)} is an embedded frame; Tabvine acts only in the page the user shared. ` +
        "A frame of the shared site is reached with its frameId and documentId from browser_frames.");
    }
  }

  // Only what a snapshot would offer may be filled or selected: a field the
  // user cannot see (a hidden token, a collapsed form) is not theirs to change.
  function refuseUnoffered(el, desc) {
    if (!isOffered(el) || !isRendered(el)) {
      fail(`Element ${desc} is not shown on the page; Tabvine changes only fields that browser_snapshot lists.`);
    }
  }

  function isDisabled(el) {
    return el.matches(":disabled") || el.getAttribute("aria-disabled") === "true";
  }

  // ---- refs ------------------------------------------------------------------------

  // The service worker routes a ref to its frame by the docKey prefix; refs
  // minted under an earlier key (a restarted worker) would be sent elsewhere.
  function adoptDocKey(docKey) {
    if (registry.docKey === docKey) return;
    registry.docKey = docKey;
    registry.next = 1;
    registry.refs = new WeakMap();
    registry.elements.clear();
  }

  // Entries of detached elements stay: frameworks re-insert nodes they moved,
  // and such an element still maps to its ref.
  function forgetCollected() {
    for (const [ref, weak] of registry.elements) {
      if (!weak.deref()) registry.elements.delete(ref);
    }
  }

  function refFor(el) {
    let ref = registry.refs.get(el);
    if (!ref) {
      ref = `${registry.docKey}e${registry.next++}`;
      registry.refs.set(el, ref);
      registry.elements.set(ref, new WeakRef(el));
    }
    return ref;
  }

  function hasTarget(args) {
    return args.ref != null || args.selector != null;
  }

  function resolveTarget(args) {
    if (args.ref != null) return elementForRef(args.ref);
    if (args.selector != null) return elementForSelector(args.selector);
    return fail("Pass a ref from browser_snapshot or a CSS selector.");
  }

  function elementForRef(ref) {
    if (typeof ref !== "string") fail("Pass ref as a string from browser_snapshot.");
    const el = registry.elements.get(ref)?.deref();
    if (!el || !el.isConnected) fail(`Ref ${quote(ref)} is not on the page any more; take a new browser_snapshot.`);
    return el;
  }

  function elementForSelector(selector) {
    if (typeof selector !== "string") fail("Pass selector as a string.");
    let el;
    try {
      el = document.querySelector(selector);
    } catch (error) {
      if (error && error.name === "SyntaxError") fail(`Invalid CSS selector ${quote(selector)}.`);
      throw error;
    }
    if (!el) fail(`No element matches selector ${quote(selector)} in this document.`);
    return el;
  }

  // ---- snapshot --------------------------------------------------------------------

  // What a snapshot offers: every element the browser's accessibility tree
  // exposes with a role a user acts on, or as focusable, and nothing the
  // tree leaves out (hidden, inert, aria-hidden, inside a closed <details>,
  // outside an open modal dialog).
  const OFFERED_ROLES = new Set([
    "button", "checkbox", "combobox", "gridcell", "link", "listbox", "menuitem", "menuitemcheckbox",
    "menuitemradio", "option", "radio", "searchbox", "slider", "spinbutton", "switch", "tab", "textbox", "treeitem",
  ]);
  const CHECKABLE_ROLES = new Set(["checkbox", "radio", "switch", "menuitemcheckbox", "menuitemradio"]);
  const RANGE_ROLES = new Set(["slider", "spinbutton", "progressbar", "scrollbar", "meter"]);
  const NATIVELY_FOCUSABLE = new Set(["button", "input", "select", "textarea", "summary"]);
  const TRI_STATE = new Map([["true", true], ["false", false], ["mixed", "mixed"]]);
  // About 20,000 tokens of text: a page of 1,000 controls fits whole.
  const SNAPSHOT_BUDGET = 80000;
  // Less than any entry takes: the shortest, {"ref":"d1e1","role":"tab","name":""}
  // and its comma, takes 38 bytes.
  const SHORTEST_ENTRY = 32;

  function isFocusable(el) {
    // An open dialog takes the focus itself when nothing inside asks for it.
    if (el instanceof HTMLDialogElement) return el.open;
    const tabindex = el.getAttribute("tabindex");
    if (tabindex !== null && !Number.isNaN(Number.parseInt(tabindex, 10))) return true;
    const name = el.localName;
    if (NATIVELY_FOCUSABLE.has(name) || ((name === "a" || name === "area") && el.hasAttribute("href"))) {
      return !el.matches(":disabled");
    }
    return isEditableHost(el);
  }

  // Elements whose implicit role may be one a user acts on; any other
  // element has such a role only when the page gives it one, which spares
  // the role computation for the many that are not.
  const ROLE_BEARING = new Set(["a", "area", "button", "input", "select", "textarea", "summary", "option", "td", "th", "tr"]);

  // Options of a select are listed with it; frames are listed by browser_frames.
  const NEVER_OFFERED = new Set(["option", "optgroup", "body", "html"]);

  // `role`: the element's role attribute, which the walk has read already.
  function isOffered(el, role = el.getAttribute("role")) {
    const name = el.localName;
    if (NEVER_OFFERED.has(name) || (name === "input" && el.type === "hidden") || isFrameHost(el)) return false;
    if ((role !== null || ROLE_BEARING.has(name)) && OFFERED_ROLES.has(roleOf(el))) return true;
    if (isFocusable(el)) return true;
    return startsPointerCursor(el);
  }

  // Pages give clickable things a pointer cursor; counting only where the
  // cursor starts keeps the children of a clickable card out of the list.
  function startsPointerCursor(el) {
    if (getComputedStyle(el).cursor !== "pointer") return false;
    const parent = composedParent(el);
    return !parent || getComputedStyle(parent).cursor !== "pointer";
  }

  // Whether the user can see the element: display:none (its own or an
  // ancestor's) leaves it no box, visibility:hidden and
  // content-visibility:hidden hide it. The snapshot's walk has left out
  // hidden, inert and aria-hidden subtrees already (`walked`); anyone else
  // asks about the ancestors too.
  // checkVisibilityCSS is the name Chrome before 121 knows the option by.
  const VISIBILITY_TOO = Object.freeze({ visibilityProperty: true, checkVisibilityCSS: true });

  function isRendered(el, walked = false) {
    if (typeof el.checkVisibility === "function") {
      if (!el.checkVisibility(VISIBILITY_TOO)) return false;
    } else if (el.getClientRects().length === 0 || ["hidden", "collapse"].includes(getComputedStyle(el).visibility)) {
      return false;
    }
    return walked || !composedClosest(el, PRUNED);
  }

  // Subtrees the accessibility tree leaves out whatever they hold, as far as
  // markup tells; what styles hide, isRendered finds.
  const PRUNED = '[hidden], [inert], [aria-hidden="true"], details:not([open]) > :not(summary:first-of-type)';
  const HEADINGS = new Set(["h1", "h2", "h3", "h4", "h5", "h6"]);

  // An open modal dialog leaves the rest of the page out of reach.
  function walkRoot() {
    const modal = document.querySelector("dialog:modal") ||
      [...document.querySelectorAll('[aria-modal="true"]')].find((el) => el.getClientRects().length > 0);
    return modal || document;
  }

  // The index in `all` (a tree's elements in document order) of the last
  // element inside the one at `at`.
  function endOfSubtree(all, at) {
    let last = all[at];
    while (last.lastElementChild) last = last.lastElementChild;
    let i = at;
    while (all[i] !== last) i++;
    return i;
  }

  // The offered elements in page order, each with the heading it stands
  // under, and how many frames are shown. The elements of each tree come
  // from one querySelectorAll, which walks them far faster than a script can.
  function collectOffered() {
    const found = [];
    let frames = 0;
    let heading = null;
    const consider = (el, role) => {
      if (isOffered(el, role)) {
        if (isRendered(el, true)) found.push({ el, heading, index: found.length });
      } else if (isFrameHost(el) && isRendered(el, true)) {
        frames++;
      }
    };
    const visit = (root) => {
      const pruned = new Set(root.querySelectorAll(PRUNED));
      if (cue.host) pruned.add(cue.host);
      const all = root.querySelectorAll("*");
      for (let i = 0; i < all.length; i++) {
        const el = all[i];
        if (pruned.has(el)) {
          i = endOfSubtree(all, i);
          continue;
        }
        const role = el.getAttribute("role");
        if (HEADINGS.has(el.localName) || (role !== null && explicitRole(el) === "heading")) heading = el;
        consider(el, role);
        if (el.shadowRoot) visit(el.shadowRoot);
        // A select's options are listed with it.
        if (el.localName === "select" && el.firstElementChild) i = endOfSubtree(all, i);
      }
    };
    const root = walkRoot();
    if (root instanceof Element) {
      if (composedClosest(root, PRUNED)) return { found, frames };
      consider(root, root.getAttribute("role"));
      if (root.shadowRoot) visit(root.shadowRoot);
    }
    visit(root);
    return { found, frames };
  }

  const CONTAINERS = 'li, tr, article, fieldset, [role="row"], [role="listitem"], [role="article"], [role="group"]';
  const LANDMARKS = 'main, nav, aside, header, footer, form[aria-label], section[aria-label], dialog, ' +
    '[role="main"], [role="navigation"], [role="complementary"], [role="banner"], [role="contentinfo"], ' +
    '[role="region"], [role="dialog"], [role="alertdialog"], [role="search"], [role="form"]';

  // Where an element stands, for telling apart elements of one role and
  // name: the row, list item or card it belongs to, else its heading, else
  // its landmark.
  function contextOf({ el, heading }) {
    const container = composedClosest(el, CONTAINERS);
    if (container) return brief(container.getAttribute("aria-label") || container.textContent, MAX_DESCRIPTION);
    // A component's own controls are told apart by what the page put in it.
    const root = el.getRootNode();
    if (root instanceof ShadowRoot) return brief(root.host.getAttribute("aria-label") || root.host.textContent, MAX_DESCRIPTION);
    if (heading) return brief(heading.textContent, MAX_DESCRIPTION);
    const landmark = composedClosest(el, LANDMARKS);
    return landmark ? brief(landmark.getAttribute("aria-label") || roleOf(landmark), MAX_DESCRIPTION) : undefined;
  }

  const LANDMARK_ROLES = new Set(["banner", "complementary", "contentinfo", "dialog", "alertdialog", "form", "main",
    "navigation", "region", "search"]);

  // The landmark an element stands in, as `role "label"` or the role alone;
  // `memo` keeps the answer for the ancestors, which elements share.
  function regionOf(el, memo) {
    const path = [];
    let region = null;
    for (let node = composedParent(el); node; node = composedParent(node)) {
      if (memo.has(node)) {
        region = memo.get(node);
        break;
      }
      path.push(node);
      if (node.matches(LANDMARKS)) {
        const role = roleOf(node);
        if (!LANDMARK_ROLES.has(role)) continue;
        const label = brief(node.getAttribute("aria-label"), 40);
        region = label ? `${role} "${label}"` : role;
        break;
      }
    }
    for (const node of path) memo.set(node, region);
    return region;
  }

  // `focused`: the element that has the focus, asked once per snapshot.
  function stateOf(el, role, entry, focused) {
    const aria = (name) => el.getAttribute(name);
    if (CHECKABLE_ROLES.has(role)) {
      if (el instanceof HTMLInputElement && CHECKABLE_INPUT_TYPES.has(el.type)) {
        entry.checked = el.type === "checkbox" && el.indeterminate ? "mixed" : el.checked;
      } else {
        entry.checked = TRI_STATE.get(aria("aria-checked")) ?? false;
      }
    }
    if (TRI_STATE.has(aria("aria-pressed"))) entry.pressed = TRI_STATE.get(aria("aria-pressed"));
    if (el.localName === "summary" && el.parentElement instanceof HTMLDetailsElement) {
      entry.expanded = el.parentElement.open;
    } else if (aria("aria-expanded") === "true" || aria("aria-expanded") === "false") {
      entry.expanded = aria("aria-expanded") === "true";
    }
    if (aria("aria-selected") === "true" || aria("aria-selected") === "false") entry.selected = aria("aria-selected") === "true";
    // The element's own aria-disabled, or an ancestor's.
    if (el.matches(":disabled") || composedClosest(el, "[aria-disabled=true]")) entry.disabled = true;
    if (el.required || aria("aria-required") === "true") entry.required = true;
    if (el.readOnly || aria("aria-readonly") === "true") entry.readonly = true;
    if (aria("aria-invalid") && aria("aria-invalid") !== "false") entry.invalid = true;
    const level = Number.parseInt(aria("aria-level") ?? "", 10);
    if (level > 0) entry.level = level;
    if (aria("aria-current") && aria("aria-current") !== "false") entry.current = aria("aria-current");
    if (RANGE_ROLES.has(role)) Object.assign(entry, rangeOf(el));
    if (el === focused) entry.focused = true;
  }

  function rangeOf(el) {
    const number = (text) => (text === null || text === "" || Number.isNaN(Number(text)) ? undefined : Number(text));
    const native = el instanceof HTMLInputElement && (el.type === "range" || el.type === "number");
    const range = {
      valuemin: number(native ? el.getAttribute("min") : el.getAttribute("aria-valuemin")),
      valuemax: number(native ? el.getAttribute("max") : el.getAttribute("aria-valuemax")),
      valuenow: number(native ? el.value : el.getAttribute("aria-valuenow")),
    };
    const text = el.getAttribute("aria-valuetext");
    if (text) range.valuetext = cut(collapse(text), MAX_NAME);
    for (const key of Object.keys(range)) if (range[key] === undefined) delete range[key];
    return range;
  }

  // `styles`: a getComputedStyle that answers each element once, shared by
  // every name of one snapshot.
  function nameOf(el, styles) {
    const nested = nestedItemName(el);
    if (nested !== null) return nested;
    if (accname) {
      try {
        return cut(collapse(accname.computeAccessibleName(el, {
          getComputedStyle: styles, computedStyleSupportsPseudoElements: false,
        })), MAX_NAME);
      } catch {
        // A page can break the computation (a throwing getter on its own
        // element); our own rules still name the element.
      }
    }
    return accessibleName(el);
  }

  // A tree item that holds a group of items is named by its own text,
  // as Chrome names it, not by everything under it.
  function nestedItemName(el) {
    if (explicitRole(el) !== "treeitem" || el.hasAttribute("aria-label") || el.hasAttribute("aria-labelledby")) return null;
    if (!el.querySelector('[role="group"]')) return null;
    const text = textUnder(el, (node) => node.matches('[role="group"], [hidden], [aria-hidden="true"]'), MAX_LAID_OUT_TEXT);
    return cut(collapse(text), MAX_NAME);
  }

  function cachedStyles() {
    const seen = new Map();
    return (el, pseudo) => {
      if (pseudo) return getComputedStyle(el, pseudo);
      let style = seen.get(el);
      if (!style) {
        style = getComputedStyle(el);
        seen.set(el, style);
      }
      return style;
    };
  }

  // `view`: what one snapshot asks once, {focused, styles, here}.
  function snapshotEntry(el, view) {
    const role = roleOf(el);
    const entry = { ref: refFor(el), role, name: nameOf(el, view.styles) };
    const value = fieldValue(el);
    // An empty field says so by having no value.
    if (value) entry.value = value;
    stateOf(el, role, entry, view.focused);
    if (el.localName === "a" && el.hasAttribute("href")) entry.href = cut(shortLink(linkTarget(el), view.here), MAX_LINK);
    if (el instanceof HTMLSelectElement) Object.assign(entry, optionList(el));
    if (isEditableHost(el)) entry.editable = true;
    return entry;
  }

  // A link on this page's origin is written from its path, and one into this
  // very page from its fragment: the snapshot's url completes both.
  function shortLink(href, here) {
    let url;
    try {
      url = new URL(href);
    } catch {
      return href;
    }
    if (url.origin !== here.origin) return href;
    if (url.pathname === here.pathname && url.search === here.search && url.hash) return url.hash;
    return `${url.pathname}${url.search}${url.hash}`;
  }

  function fieldValue(el) {
    if (el instanceof HTMLInputElement) {
      return VALUELESS_INPUT_TYPES.has(el.type) ? undefined : shownValue(el, el.value);
    }
    if (el instanceof HTMLTextAreaElement || el instanceof HTMLSelectElement) return shownValue(el, el.value);
    return undefined;
  }

  // SVG links have an animated href object instead of a resolved string.
  function linkTarget(el) {
    if (typeof el.href === "string") return el.href;
    try {
      return new URL(el.getAttribute("href"), document.baseURI).href;
    } catch {
      return el.getAttribute("href");
    }
  }

  function optionList(select) {
    const options = [];
    for (const option of select.options) {
      if (options.length > MAX_OPTIONS) break;
      options.push({ value: cut(option.value, MAX_VALUE), text: brief(option.text, MAX_NAME), selected: option.selected });
    }
    return plan.optionList(options, select.multiple, MAX_OPTIONS);
  }

  // Past the budget, the elements nearest what the user sees come first;
  // the answer lists them in page order and says what it left out and where.
  function snapshot(args) {
    const { docKey } = args;
    if (typeof docKey !== "string" || !/^[A-Za-z0-9_-]{1,32}$/.test(docKey)) {
      fail("Pass docKey as a short string of letters and digits.");
    }
    adoptDocKey(docKey);
    forgetCollected();
    const { found, frames } = collectOffered();
    const view = { focused: deepActiveElement(), styles: cachedStyles(), here: new URL(location.href) };
    const made = new Map();
    const entryOf = (item) => {
      let entry = made.get(item.el);
      if (!entry) made.set(item.el, (entry = snapshotEntry(item.el, view)));
      return entry;
    };
    // Most pages fit whole, and then where each element lies does not
    // matter; asking every box costs more than naming a thousand elements.
    // A page with more elements than the budget holds at the shortest entry
    // is ranked at once, so that it names no elements it then leaves out.
    let { elements, left } = found.length * SHORTEST_ENTRY <= SNAPSHOT_BUDGET
      ? plan.withinBudget(found, SNAPSHOT_BUDGET, entryOf, contextOf)
      : { elements: [], left: found };
    if (left.length > 0) {
      const height = window.innerHeight;
      for (const item of found) Object.assign(item, plan.place(item.el.getBoundingClientRect(), height));
      ({ elements, left } = plan.withinBudget(found, SNAPSHOT_BUDGET, entryOf, contextOf));
      const memo = new Map();
      for (const item of left) item.region = regionOf(item.el, memo);
    }
    const answer = { url: pageUrl(), title: pageTitle(), elements, count: elements.length, truncated: left.length > 0 };
    if (left.length > 0) Object.assign(answer, plan.omission(left));
    if (frames > 0) Object.assign(answer, { frames, framesNote: plan.framesNote(frames) });
    return answer;
  }

  // ---- reading ---------------------------------------------------------------------

  const BLOCK_DISPLAY = /^(block|flex|grid|list-item|table|table-row|table-caption|flow-root)$/;

  // Whether the document holds open shadow roots, whose text innerText
  // leaves out.
  function hasShadowRoots() {
    return shadowRootsIn(document).length > 0;
  }

  // The open shadow roots of the elements in `root`'s own tree.
  function shadowRootsIn(root) {
    const found = [];
    for (const el of root.querySelectorAll("*")) if (el.shadowRoot) found.push(el.shadowRoot);
    return found;
  }

  // The rendered text along the composed tree: shadow roots in place of
  // their hosts' children, slots by what they show, nothing the user
  // cannot see; blocks on lines of their own, as innerText lays them out.
  function composedText(limit) {
    const parts = [];
    let length = 0;
    const push = (text) => {
      parts.push(text);
      length += text.length;
    };
    const visit = (node) => {
      if (length > limit) return;
      if (node.nodeType === Node.TEXT_NODE) {
        push(node.data.replace(/\s+/g, " "));
        return;
      }
      if (!(node instanceof Element)) {
        for (const child of node.childNodes) visit(child);
        return;
      }
      if (node.localName === "script" || node.localName === "style" || node.localName === "template") return;
      const display = getComputedStyle(node).display;
      // A slot, like anything of display: contents, has no box of its own
      // but shows what is assigned to it.
      if (display !== "contents" && typeof node.checkVisibility === "function" &&
        !node.checkVisibility(VISIBILITY_TOO)) return;
      if (node.localName === "br") return push("\n");
      const block = BLOCK_DISPLAY.test(display);
      if (block) push("\n");
      const assigned = node instanceof HTMLSlotElement ? node.assignedNodes({ flatten: true }) : [];
      const children = node.shadowRoot ? node.shadowRoot.childNodes : assigned.length > 0 ? assigned : node.childNodes;
      for (const child of children) visit(child);
      if (block) push("\n");
    };
    visit(document.body);
    return parts.join("").replace(/ *\n[\n ]*/g, "\n").replace(/ {2,}/g, " ").trim();
  }

  function readText() {
    if (!document.body) return { url: pageUrl(), title: pageTitle(), text: "", truncated: false };
    const full = hasShadowRoots() ? composedText(MAX_TEXT) : document.body.innerText;
    const truncated = full.length > MAX_TEXT;
    const text = truncated ? full.slice(0, MAX_TEXT) : full;
    const answer = { url: pageUrl(), title: pageTitle(), text, truncated };
    if (truncated) {
      answer.truncatedNote = `The page's text is longer than ${MAX_TEXT} characters; this answer stops at ` +
        `${JSON.stringify(collapse(text.slice(-60)))}. Scroll past it with browser_scroll and read the elements ` +
        "there with browser_snapshot.";
    }
    return answer;
  }

  // ---- clicking --------------------------------------------------------------------

  function centreOf(el) {
    const rect = el.getClientRects()[0] || el.getBoundingClientRect();
    return { x: Math.round(rect.left + rect.width / 2), y: Math.round(rect.top + rect.height / 2) };
  }

  // The sequence a real mouse produces, including its rules: a cancelled
  // pointerdown suppresses the compatibility mouse events, and a cancelled
  // mousedown keeps focus where it was.
  function press(el, point) {
    const base = {
      bubbles: true, cancelable: true, composed: true, view: window,
      clientX: point.x, clientY: point.y, button: 0, buttons: 0,
    };
    const mouse = (type, extra) => el.dispatchEvent(new MouseEvent(type, { ...base, ...extra }));
    const pointer = (type, extra) =>
      el.dispatchEvent(new PointerEvent(type, { ...base, pointerId: 1, pointerType: "mouse", isPrimary: true, ...extra }));
    const entering = { bubbles: false, cancelable: false };

    pointer("pointerover");
    pointer("pointerenter", entering);
    mouse("mouseover");
    mouse("mouseenter", entering);
    const compatible = pointer("pointerdown", { buttons: 1 });
    const mayFocus = compatible ? mouse("mousedown", { buttons: 1 }) : true;
    if (mayFocus && typeof el.focus === "function") el.focus({ preventScroll: true });
    pointer("pointerup");
    if (compatible) mouse("mouseup");
    // click() runs the browser's default action: following a link, toggling
    // a checkbox, submitting a form. SVG elements have no click().
    if (el instanceof HTMLElement) el.click();
    else mouse("click", { detail: 1 });
  }

  // The element a click targets, checked and scrolled into view.
  function clickTarget(args) {
    const el = resolveTarget(args);
    const desc = describe(el);
    refuseFrameHost(el);
    if (isDisabled(el)) fail(`Element ${desc} is disabled.`);
    el.scrollIntoView({ block: "center", inline: "center", behavior: "instant" });
    return { el, desc };
  }

  function click(args) {
    const { el, desc } = clickTarget(args);
    press(el, centreOf(el));
    return { clicked: desc };
  }

  // ---- the cue ---------------------------------------------------------------------

  // While an agent holds a session in the tab, a small label names it and a
  // brief outline marks what it acts on. Both live in a closed shadow root
  // of Tabvine's own element, which the page's scripts cannot look into;
  // the element takes no pointer events, and snapshots, text and
  // screenshots leave it out.
  const CUE_STYLE = `
    .label { position: fixed; top: 8px; right: 8px; max-width: 50vw; padding: 4px 10px; border-radius: 12px;
      background: #b3261e; color: #fff; font: 600 12px/1.4 system-ui, sans-serif; white-space: nowrap;
      overflow: hidden; text-overflow: ellipsis; box-shadow: 0 1px 4px rgba(0,0,0,.3); }
    .box { position: fixed; border: 2px solid #b3261e; border-radius: 4px; box-sizing: border-box; }
    [hidden] { display: none; }`;
  const HIGHLIGHT_MS = 800;
  const cue = { host: null, label: null, box: null, timer: 0 };

  function cueHost() {
    if (cue.host && cue.host.isConnected) return cue;
    const host = document.createElement("tabvine-cue");
    const root = host.attachShadow({ mode: "closed" });
    const style = document.createElement("style");
    style.textContent = CUE_STYLE;
    cue.label = document.createElement("div");
    cue.label.className = "label";
    cue.label.hidden = true;
    cue.box = document.createElement("div");
    cue.box.className = "box";
    cue.box.hidden = true;
    root.append(style, cue.label, cue.box);
    // Inline and important, so no style sheet of the page outweighs it.
    host.style.cssText = "all: initial !important; position: fixed !important; inset: 0 !important; " +
      "pointer-events: none !important; z-index: 2147483647 !important; display: block !important;";
    document.documentElement.append(host);
    cue.host = host;
    return cue;
  }

  // `agents`: the names to show, or "" for an outline alone (a child frame).
  function showCue(args) {
    const { label } = cueHost();
    const agents = typeof args.agents === "string" ? cut(args.agents, MAX_NAME) : "";
    label.textContent = agents ? `${agents} · acting in this tab` : "";
    label.hidden = !agents;
    return {};
  }

  function outline(el, agents) {
    if (typeof agents !== "string") return;
    const { box } = cueHost();
    const rect = el.getBoundingClientRect();
    Object.assign(box.style, { left: `${rect.left - 3}px`, top: `${rect.top - 3}px`,
      width: `${rect.width + 6}px`, height: `${rect.height + 6}px` });
    box.hidden = false;
    clearTimeout(cue.timer);
    cue.timer = setTimeout(() => (box.hidden = true), HIGHLIGHT_MS);
  }

  function cueOff() {
    if (cue.host) cue.host.remove();
    cue.host = null;
    return {};
  }

  // Around a screenshot, so the picture shows the page alone.
  function cueVisible(args) {
    if (cue.host) cue.host.style.setProperty("visibility", args.visible ? "visible" : "hidden", "important");
    return { had: Boolean(cue.host) };
  }

  // ---- the trusted hand ------------------------------------------------------------

  // The service worker clicks and types through the debugger, as a user's
  // hand would; these operations aim it and then say what it did.
  const DOUBLE_CLICK_MS = 500;
  const hand = { lastClick: null, pressedOn: null, navigate: null, watching: false };

  function composedContains(outer, inner) {
    for (let node = inner; node; node = composedParent(node)) if (node === outer) return true;
    return false;
  }

  // A click on `hit` reaches `el` the way a user's would: the same element,
  // one inside it or holding it, or the label of the control.
  function reaches(hit, el) {
    if (composedContains(el, hit) || composedContains(hit, el)) return true;
    const label = composedClosest(hit, "label");
    return Boolean(label && label.control === el);
  }

  // The middle of the part of the element inside the viewport, or null.
  function visibleCentre(el) {
    for (const rect of el.getClientRects()) {
      const left = Math.max(rect.left, 0);
      const right = Math.min(rect.right, window.innerWidth);
      const top = Math.max(rect.top, 0);
      const bottom = Math.min(rect.bottom, window.innerHeight);
      if (right - left >= 1 && bottom - top >= 1) return { x: (left + right) / 2, y: (top + bottom) / 2 };
    }
    return null;
  }

  // The offset of this document's viewport in the tab's, through frames of
  // its own origin; null when an ancestor is out of reach.
  function frameOffset() {
    let x = 0;
    let y = 0;
    for (let w = window; w !== window.top; w = w.parent) {
      let owner;
      try {
        owner = w.frameElement;
      } catch {
        return null;
      }
      if (!owner) return null;
      const rect = owner.getBoundingClientRect();
      const style = getComputedStyle(owner);
      x += rect.left + owner.clientLeft + parseFloat(style.paddingLeft);
      y += rect.top + owner.clientTop + parseFloat(style.paddingTop);
    }
    return { x, y };
  }

  function watchNavigation() {
    hand.navigate = null;
    if (hand.watching || typeof navigation === "undefined") return;
    navigation.addEventListener("navigate", (event) => (hand.navigate = event));
    hand.watching = true;
  }

  // Whether the hand started a load of a new document here: a navigation
  // that no handler cancelled and that the page did not take over in place.
  function navigationStarted() {
    const event = hand.navigate;
    hand.navigate = null;
    if (!event || event.defaultPrevented || event.destination.sameDocument) return false;
    return location.href !== event.destination.url;
  }

  function aim(args) {
    const { el, desc } = clickTarget(args);
    const point = visibleCentre(el);
    if (!point) fail(`Element ${desc} shows no part of itself to click; take a new browser_snapshot.`);
    const hit = deepElementFromPoint(point.x, point.y);
    if (!hit || !reaches(hit, el)) {
      fail(`Element ${desc} is covered by ${hit ? describeCover(hit) : "something outside the page"} at its centre, ` +
        "so Tabvine did not click; close or scroll away what covers it first.");
    }
    const offset = frameOffset();
    if (!offset) return { clicked: desc, unreachable: true };
    const now = performance.now();
    const again = hand.lastClick && hand.lastClick.el === el && now - hand.lastClick.at < DOUBLE_CLICK_MS;
    hand.lastClick = again ? null : { el, at: now };
    hand.pressedOn = null;
    hand.target = el;
    watchNavigation();
    outline(el, args.cue);
    return { clicked: desc, x: offset.x + point.x, y: offset.y + point.y, clickCount: again ? 2 : 1 };
  }

  function describeCover(el) {
    const role = roleOf(el);
    const name = accessibleName(el);
    return name ? `${role} "${cut(name, MAX_DESCRIPTION)}"` : `${role} ${el.localName}`;
  }

  // Trusted presses land wherever the page has put things by then; the
  // release follows only a press that reached the aimed element.
  document.addEventListener("mousedown", (event) => {
    if (event.isTrusted) hand.pressedOn = event.composedPath()[0] || event.target;
  }, true);

  function pressed() {
    const on = hand.pressedOn;
    const onTarget = Boolean(on && hand.target && reaches(on, hand.target));
    // The double-click time runs from this press, as a user's does.
    if (onTarget && hand.lastClick) hand.lastClick.at = performance.now();
    return { onTarget };
  }

  // Called after the hand's last event: whether it started a navigation.
  function afterHand() {
    return { navigating: navigationStarted() };
  }

  // Focuses a text field and selects what it holds, so that typed text
  // replaces it as a user's select-all and typing would.
  function prepareFill(args) {
    const { value } = args;
    if (typeof value !== "string") fail("Pass value as a string.");
    const el = resolveTarget(args);
    const desc = describe(el);
    refuseUnoffered(el, desc);
    if (el instanceof HTMLSelectElement) fail("Use browser_select for select elements.");
    if (el instanceof HTMLInputElement) {
      if (el.type === "file") fail("Use browser_upload for file inputs.");
      if (CHECKABLE_INPUT_TYPES.has(el.type)) return { done: fillCheckable(el, desc, value) };
      if (BUTTON_INPUT_TYPES.has(el.type)) fail(`Element ${desc} is not a text field.`);
    } else if (!(el instanceof HTMLTextAreaElement) && !el.isContentEditable) {
      fail(`Element ${desc} is not a text field.`);
    }
    if (el.disabled) fail(`Element ${desc} is disabled.`);
    if (el.readOnly) fail(`Element ${desc} is read-only.`);
    // Typing stops at maxlength; a value cut without a word would mislead.
    if (el.maxLength >= 0 && value.length > el.maxLength) {
      fail(`Element ${desc} takes at most ${el.maxLength} characters; the value has ${value.length}.`);
    }
    el.focus();
    if (el.isContentEditable && !(el instanceof HTMLInputElement || el instanceof HTMLTextAreaElement)) {
      const selection = window.getSelection();
      if (selection) selection.selectAllChildren(el);
    } else {
      el.select();
    }
    checkKeyTarget();
    keyFocus = deepActiveElement();
    hand.target = el;
    watchNavigation();
    outline(el, args.cue);
    return { filled: desc };
  }

  // What the field holds once the page's handlers have run.
  function typedValue(args) {
    const el = hasTarget(args) ? resolveTarget(args) : hand.target;
    if (!el) fail("The field is gone; take a new browser_snapshot.");
    const value = fieldValue(el) ?? cut(el.innerText, MAX_VALUE);
    return { filled: describe(el), value, navigating: navigationStarted() };
  }

  // ---- filling and selecting -------------------------------------------------------

  // Write through the prototype's setter, never an own `value` property:
  // frameworks such as React wrap the instance's setter to remember the last
  // value they saw, and report a change only when the element differs from it.
  function setNative(el, property, value) {
    for (let proto = Object.getPrototypeOf(el); proto; proto = Object.getPrototypeOf(proto)) {
      const descriptor = Object.getOwnPropertyDescriptor(proto, property);
      if (descriptor && descriptor.set) {
        descriptor.set.call(el, value);
        return;
      }
    }
    el[property] = value;
  }

  function fireInputAndChange(el) {
    el.dispatchEvent(new Event("input", { bubbles: true, composed: true }));
    el.dispatchEvent(new Event("change", { bubbles: true }));
  }

  function fillCheckable(el, desc, value) {
    if (el.disabled) fail(`Element ${desc} is disabled.`);
    const word = value.trim().toLowerCase();
    const wanted = TRUE_WORDS.has(word) ? true : FALSE_WORDS.has(word) ? false : null;
    if (wanted === null) fail(`Element ${desc} is a ${el.type}; pass "true" or "false".`);
    if (el.checked !== wanted) {
      // click() toggles the way a person does, so listeners watching click
      // (React's onChange for checkboxes) hear it; clicking cannot clear a radio.
      if (el.type === "checkbox" || wanted) {
        el.click();
      } else {
        setNative(el, "checked", false);
        fireInputAndChange(el);
      }
    }
    if (el.checked !== wanted) fail(`The field did not accept ${quote(value)} (it now holds "${el.checked}").`);
    return { filled: desc, value: String(el.checked) };
  }

  function missingOption(value, options) {
    if (options.length === 0) return `No option with value ${quote(value)}; the select has no options.`;
    const listed = options.slice(0, MAX_LISTED_OPTIONS).map((option) => cut(option.value, MAX_NAME)).join(", ");
    const more = options.length > MAX_LISTED_OPTIONS ? ", …" : "";
    return `No option with value ${quote(value)}; available: ${listed}${more}.`;
  }

  function select(args) {
    const { value } = args;
    if (typeof value !== "string") fail("Pass value as a string.");
    const el = resolveTarget(args);
    const desc = describe(el);
    if (!(el instanceof HTMLSelectElement)) fail(`Element ${desc} is not a select element; use browser_fill or browser_click.`);
    refuseUnoffered(el, desc);
    outline(el, args.cue);
    if (el.disabled) fail(`Element ${desc} is disabled.`);
    const options = [...el.options];
    const option = options.find((o) => o.value === value) || options.find((o) => o.text.trim() === value);
    if (!option) fail(missingOption(value, options));
    if (option.matches(":disabled")) fail(`Option ${quote(value)} of ${desc} is disabled.`);
    // selectedIndex also replaces the selection of a multiple select, and
    // picks this very option when several share a value.
    el.selectedIndex = option.index;
    fireInputAndChange(el);
    return { selected: { value: cut(option.value, MAX_VALUE), text: brief(option.text, MAX_NAME) }, element: desc };
  }

  // ---- scrolling -------------------------------------------------------------------

  function scrollDeltas(args) {
    const given = (delta) => delta !== undefined && delta !== null;
    const { deltaX, deltaY } = args;
    if ((given(deltaX) && !Number.isInteger(deltaX)) || (given(deltaY) && !Number.isInteger(deltaY))) {
      fail("deltaX and deltaY must be integers.");
    }
    if (!given(deltaX) && !given(deltaY)) return { dx: 0, dy: Math.round(window.innerHeight * 0.8) };
    return { dx: given(deltaX) ? deltaX : 0, dy: given(deltaY) ? deltaY : 0 };
  }

  function pageScroller() {
    return document.scrollingElement || document.documentElement;
  }

  function hasRoom(el, dx, dy) {
    return (dy !== 0 && el.scrollHeight > el.clientHeight) || (dx !== 0 && el.scrollWidth > el.clientWidth);
  }

  // The body's overflow belongs to the viewport unless the root element sets
  // its own, and then scrolling the body itself moves nothing.
  function ownsOverflow(el) {
    if (el !== document.body) return true;
    const root = getComputedStyle(document.documentElement);
    return root.overflowX !== "visible" || root.overflowY !== "visible";
  }

  function isScrollPane(el, dx, dy) {
    if (!ownsOverflow(el)) return false;
    const style = getComputedStyle(el);
    return (
      (dy !== 0 && el.scrollHeight > el.clientHeight && SCROLLING_OVERFLOW.has(style.overflowY)) ||
      (dx !== 0 && el.scrollWidth > el.clientWidth && SCROLLING_OVERFLOW.has(style.overflowX))
    );
  }

  function scrollContainerFrom(el, dx, dy) {
    const page = pageScroller();
    for (let node = el; node && node !== page && node !== document.documentElement; node = composedParent(node)) {
      if (isScrollPane(node, dx, dy)) return node;
    }
    return page;
  }

  // Many apps pin the document and scroll an inner pane; a wheel turned over
  // the middle of the window would scroll whatever lies under it.
  function defaultScrollContainer(dx, dy) {
    const page = pageScroller();
    if (hasRoom(page, dx, dy)) return page;
    const centre = deepElementFromPoint(window.innerWidth / 2, window.innerHeight / 2);
    return centre ? scrollContainerFrom(centre, dx, dy) : page;
  }

  function scrollPosition(el) {
    return { x: Math.round(el.scrollLeft), y: Math.round(el.scrollTop) };
  }

  // A pixel of slack: fractional positions under zoom never quite reach the end.
  function atEdge(position, max, delta) {
    if (delta > 0) return position >= max - 1;
    if (delta < 0) return position <= 1;
    return false;
  }

  function scroll(args) {
    const { dx, dy } = scrollDeltas(args);
    const container = hasTarget(args) ? scrollContainerFrom(resolveTarget(args), dx, dy) : defaultScrollContainer(dx, dy);
    const before = scrollPosition(container);
    container.scrollBy({ left: dx, top: dy, behavior: "instant" });
    const after = scrollPosition(container);
    return {
      scrolled: container === pageScroller() ? "page" : describe(container),
      before,
      after,
      atEnd: {
        x: atEdge(container.scrollLeft, container.scrollWidth - container.clientWidth, dx),
        y: atEdge(container.scrollTop, container.scrollHeight - container.clientHeight, dy),
      },
    };
  }

  // ---- focus and uploads -----------------------------------------------------------

  // Trusted keys go to whichever frame holds the focus, so before each key
  // the focus must rest in this document itself: not in a frame it embeds
  // (whose page may be another site's), nor anywhere outside it. The
  // service worker turns on focus emulation first, so that a tab in the
  // background still reports where its focus is.
  function checkKeyTarget() {
    const active = deepActiveElement();
    if (active && isFrameHost(active)) {
      fail(`The keyboard focus is inside ${describe(active)}, an embedded frame; Tabvine sends keys only to ` +
        "the page the user shared. Pass a ref or selector of a field in this page, or reach a frame of the " +
        "shared site with its frameId and documentId from browser_frames.");
    }
    if (!document.hasFocus()) {
      fail("The keyboard focus is not in this document; Tabvine sends keys only to the page the user shared. " +
        "Pass a ref or selector of a field in it.");
    }
  }

  // Without a target the keys go to whatever already has focus.
  function focus(args) {
    watchNavigation();
    if (!hasTarget(args)) {
      checkKeyTarget();
      keyFocus = deepActiveElement();
      return { focused: null, active: describeActive() };
    }
    const el = resolveTarget(args);
    refuseFrameHost(el);
    el.scrollIntoView({ block: "center", behavior: "instant" });
    if (typeof el.focus === "function") el.focus({ preventScroll: true });
    const focused = el.getRootNode().activeElement === el;
    if (focused) checkKeyTarget();
    keyFocus = deepActiveElement();
    outline(el, args.cue);
    return { focused: focused ? describe(el) : false, active: describeActive() };
  }

  // Where the focus rested when the last key was pressed.
  let keyFocus = null;

  // Checked between a key's press and its release. A focus that moves into
  // a frame of another process passes through the body first and reaches
  // the frame a little later, so a focus that left its element for the body
  // counts as gone.
  function keyTarget() {
    checkKeyTarget();
    const active = deepActiveElement();
    const bare = !active || active === document.body || active === document.documentElement;
    if (bare && keyFocus && keyFocus !== active) {
      fail(`The key moved the keyboard focus away from ${describe(keyFocus)}, perhaps into an embedded frame; ` +
        "Tabvine sends keys only to the page the user shared.");
    }
    return { active: describeActive() };
  }

  function uploadToken(args) {
    if (typeof args.token !== "string" || args.token === "") fail("Pass token as a non-empty string.");
    return args.token;
  }

  function fileList(files) {
    return files ? [...files].slice(0, MAX_OPTIONS).map((file) => ({ name: cut(file.name, MAX_NAME), size: file.size })) : [];
  }

  // The debugger finds the input by the marker attribute, which the page can
  // see and move; so the element itself is held here, and what it received
  // is recorded the moment the browser sets its files (the page may clear
  // the input right after reading it).
  function markUpload(args) {
    const token = uploadToken(args);
    const el = resolveTarget(args);
    const desc = describe(el);
    if (!(el instanceof HTMLInputElement && el.type === "file")) fail(`Element ${desc} is not a file input.`);
    if (el.disabled) fail(`Element ${desc} is disabled.`);
    const upload = { element: new WeakRef(el), received: [] };
    upload.listener = () => {
      upload.received = el.files ? [...el.files].map((file) => file.name) : [];
    };
    el.addEventListener("input", upload.listener, true);
    el.setAttribute(UPLOAD_ATTRIBUTE, token);
    uploads.set(token, upload);
    return { element: desc, multiple: el.multiple, accept: cut(el.accept, MAX_QUOTE) };
  }

  // Says whether the chosen element received the file named `expect`, and
  // takes the marker off wherever the page may have moved it.
  function unmarkUpload(args) {
    const token = uploadToken(args);
    const upload = uploads.get(token);
    uploads.delete(token);
    const selector = `[${UPLOAD_ATTRIBUTE}="${CSS.escape(token)}"]`;
    const marked = [];
    const visit = (root) => {
      marked.push(...root.querySelectorAll(selector));
      for (const shadow of shadowRootsIn(root)) visit(shadow);
    };
    visit(document);
    for (const other of marked) other.removeAttribute(UPLOAD_ATTRIBUTE);
    const el = upload?.element.deref();
    if (el) el.removeEventListener("input", upload.listener, true);
    const now = el?.files ? [...el.files].map((file) => file.name) : [];
    const arrived = Boolean(el) && typeof args.expect === "string" && [...upload.received, ...now].includes(args.expect);
    let emptied = 0;
    if (!arrived && typeof args.expect === "string") {
      // Whatever input the marker was moved to got the user's file, which
      // was never meant for it.
      for (const other of marked) {
        if (other !== el && other instanceof HTMLInputElement && other.type === "file" && other.files.length > 0) {
          other.value = "";
          emptied++;
        }
      }
    }
    return { arrived, emptied, files: el ? fileList(el.files) : [] };
  }

  // ---- entry point -----------------------------------------------------------------

  const OPERATIONS = new Map([
    ["snapshot", snapshot],
    ["text", readText],
    ["click", click],
    ["select", select],
    ["scroll", scroll],
    ["focus", focus],
    ["key_target", keyTarget],
    ["aim", aim],
    ["cue", showCue],
    ["cue_off", cueOff],
    ["cue_visible", cueVisible],
    ["pressed", pressed],
    ["after_hand", afterHand],
    ["prepare_fill", prepareFill],
    ["field_value", typedValue],
    ["mark_upload", markUpload],
    ["unmark_upload", unmarkUpload],
  ]);

  function failureText(op, error) {
    if (error instanceof PageError) return error.message;
    const detail = cut(error && typeof error.message === "string" ? error.message : String(error), MAX_VALUE);
    return `The page operation ${String(op)} failed (${detail.replace(/\.$/, "")}); take a new browser_snapshot and try again.`;
  }

  // Never throws: the service worker relays whatever comes back to the agent.
  function run(op, args) {
    try {
      const operation = OPERATIONS.get(op);
      if (!operation) return { ok: false, error: `Unknown page operation ${String(op)}.` };
      return { ok: true, data: operation(args !== null && typeof args === "object" ? args : {}) };
    } catch (error) {
      try {
        return { ok: false, error: failureText(op, error) };
      } catch {
        return { ok: false, error: "The page operation failed; take a new browser_snapshot and try again." };
      }
    }
  }

  globalThis.__tabvine = Object.freeze({ version: VERSION, run });
})();
