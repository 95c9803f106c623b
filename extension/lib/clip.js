// Cuts a string from the page or the browser to `limit` characters.
export function clip(text, limit) {
  const plain = String(text ?? "");
  return plain.length <= limit ? plain : `${plain.slice(0, limit - 1)}…`;
}
