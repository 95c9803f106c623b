// Keys become DevTools key events, so pages see trusted events and the
// browser's own default actions (Enter submits, Tab moves focus, Backspace
// edits), which synthetic DOM events would not trigger.
const NAMED = {
  Enter: { code: "Enter", keyCode: 13, text: "\r" },
  Tab: { code: "Tab", keyCode: 9 },
  Escape: { code: "Escape", keyCode: 27 },
  Backspace: { code: "Backspace", keyCode: 8 },
  Delete: { code: "Delete", keyCode: 46 },
  ArrowUp: { code: "ArrowUp", keyCode: 38 },
  ArrowDown: { code: "ArrowDown", keyCode: 40 },
  ArrowLeft: { code: "ArrowLeft", keyCode: 37 },
  ArrowRight: { code: "ArrowRight", keyCode: 39 },
  Home: { code: "Home", keyCode: 36 },
  End: { code: "End", keyCode: 35 },
  PageUp: { code: "PageUp", keyCode: 33 },
  PageDown: { code: "PageDown", keyCode: 34 },
  " ": { code: "Space", keyCode: 32, text: " " },
};
const ALIASES = { Esc: "Escape", Return: "Enter", Space: " ", Up: "ArrowUp", Down: "ArrowDown", Left: "ArrowLeft", Right: "ArrowRight" };
const MODIFIERS = { Alt: 1, Control: 2, Ctrl: 2, Meta: 4, Shift: 8 };

function printable(ch) {
  const upper = ch.toUpperCase();
  if (/^[A-Za-z]$/.test(ch)) return { code: `Key${upper}`, keyCode: upper.charCodeAt(0), text: ch };
  if (/^[0-9]$/.test(ch)) return { code: `Digit${ch}`, keyCode: ch.charCodeAt(0), text: ch };
  return { code: "", keyCode: 0, text: ch };
}

// "Shift+Tab" → {key, code, windowsVirtualKeyCode, modifiers, text?}, or null.
export function keyEvent(combo) {
  if (typeof combo !== "string" || combo === "") return null;
  const parts = combo === "+" ? ["+"] : combo.split("+");
  let modifiers = 0;
  for (const m of parts.slice(0, -1)) {
    if (!(m in MODIFIERS)) return null;
    modifiers |= MODIFIERS[m];
  }
  const last = parts[parts.length - 1];
  let key = ALIASES[last] ?? last;
  // Shift+a types "A", as on a keyboard.
  if ((modifiers & 8) && /^[a-z]$/.test(key)) key = key.toUpperCase();
  const info = NAMED[key] ?? ([...key].length === 1 ? printable(key) : null);
  if (!info) return null;
  const event = { key, code: info.code, windowsVirtualKeyCode: info.keyCode, modifiers };
  // With Control, Alt or Meta held a key is a shortcut, not text to insert.
  if (info.text !== undefined && (modifiers & 7) === 0) event.text = info.text;
  return event;
}
