// Screenshots are handed over in chunks the host can relay (Chrome caps a
// host's frames at 1 MiB); the bytes wait here between requests. A capture
// is freed after its last chunk, when it ages out, or when newer captures
// push it out, so an agent that abandons a transfer leaks nothing for long.
export const CHUNK_SIZE = 262144;
export const MAX_IMAGE = 11 * 1024 * 1024;

export function toBase64(bytes) {
  let binary = "";
  for (let i = 0; i < bytes.length; i += 0x8000) {
    binary += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
  }
  return btoa(binary);
}

export function fromBase64(text) {
  const binary = atob(text);
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
  return bytes;
}

export async function sha256Hex(bytes) {
  const digest = new Uint8Array(await crypto.subtle.digest("SHA-256", bytes));
  return Array.from(digest, (b) => b.toString(16).padStart(2, "0")).join("");
}

// Width and height from a PNG's IHDR chunk, or null for anything else.
export function pngSize(bytes) {
  const signature = [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a];
  if (bytes.length < 24 || signature.some((b, i) => bytes[i] !== b)) return null;
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  return { width: view.getUint32(16), height: view.getUint32(20) };
}

export class CaptureStore {
  constructor({ chunkSize = CHUNK_SIZE, ttlMs = 60000, max = 4, now = Date.now } = {}) {
    this.chunkSize = chunkSize;
    this.ttlMs = ttlMs;
    this.max = max;
    this.now = now;
    this.captures = new Map();  // insertion order is age order
  }

  async put(bytes, { tabId, sessionId }) {
    this.#sweep();
    while (this.captures.size >= this.max) this.captures.delete(this.captures.keys().next().value);
    const captureId = crypto.randomUUID();
    const sha256 = await sha256Hex(bytes);
    this.captures.set(captureId, { bytes, tabId, sessionId, created: this.now() });
    return { captureId, sha256, size: bytes.length, chunkSize: this.chunkSize, mime: "image/png" };
  }

  read(captureId, offset, { tabId, sessionId }) {
    this.#sweep();
    const capture = this.captures.get(captureId);
    if (!capture || capture.tabId !== tabId || capture.sessionId !== sessionId) {
      return { error: `Capture ${captureId} is gone (it was older than a minute or replaced by newer screenshots); take a new browser_screenshot.` };
    }
    const size = capture.bytes.length;
    if (!Number.isSafeInteger(offset) || offset < 0 || offset >= size) {
      return { error: `Offset ${offset} is outside capture ${captureId} of ${size} bytes.` };
    }
    const end = Math.min(size, offset + this.chunkSize);
    const eof = end === size;
    if (eof) this.captures.delete(captureId);
    return { base64: toBase64(capture.bytes.subarray(offset, end)), offset, nextOffset: end, eof };
  }

  #sweep() {
    const oldest = this.now() - this.ttlMs;
    for (const [id, c] of this.captures) if (c.created < oldest) this.captures.delete(id);
  }
}
