// A download's name is relative to the browser's download folder and must
// stay inside it; Chrome would refuse most bad names too, but with a generic
// error that tells an agent nothing.
export function checkDownloadName(name) {
  if (name === undefined) return { name: undefined };
  if (typeof name !== "string" || name.trim() === "") return { error: "filename must be a non-empty string." };
  if (name.startsWith("/") || name.startsWith("~") || /^[A-Za-z]:/.test(name)) {
    return { error: "filename must be relative to the download folder, not an absolute path." };
  }
  if (name.includes("\\")) return { error: "filename must use / between folders." };
  // eslint-disable-next-line no-control-regex
  if (/[\u0000-\u001f\u007f]/.test(name)) return { error: "filename must not contain control characters." };
  const parts = name.split("/");
  if (parts.some((p) => p === "" || p === "." || p === "..")) {
    return { error: "filename must stay inside the download folder (no empty, . or .. parts)." };
  }
  if (parts.some((p) => p.length > 200)) return { error: "filename has a part longer than 200 characters." };
  return { name };
}

export function baseName(path) {
  return String(path).split(/[\\/]/).pop();
}
