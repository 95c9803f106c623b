// Draws Tabvine's toolbar and store icons: a green browser tab with a white
// leaf on a stem. Run from anywhere with `node tools/icons/make_icons.mjs`;
// it rewrites extension/icons/icon{16,32,48,128}.png. Only Node's own modules
// are used, so the icons can be redrawn without installing anything.
import { writeFileSync, mkdirSync } from "node:fs";
import { deflateSync } from "node:zlib";

const SIZES = [16, 32, 48, 128];
// Samples per pixel along each axis; 8 x 8 gives smooth edges without
// visible banding on the leaf's curves.
const SUPERSAMPLE = 8;
const TAB = [24, 128, 56];
const LEAF = [255, 255, 255];

// Shapes live in a unit square. Edges sit on multiples of 1/16, so at every
// size the straight sides fall on pixel boundaries and stay crisp at 16 px.
const U = 1 / 16;

function inRoundedRect(x, y, left, top, right, bottom, r) {
  if (x < left || x > right || y < top || y > bottom) return false;
  const cx = Math.min(Math.max(x, left + r), right - r);
  const cy = Math.min(Math.max(y, top + r), bottom - r);
  return (x - cx) ** 2 + (y - cy) ** 2 <= r * r;
}

// A concave corner where the tab meets the window's top edge, as a browser
// draws its tabs; without it the shape reads as a folder.
const FLARE = 1.5 * U;

function inTab(x, y) {
  if (inRoundedRect(x, y, U, 4 * U, 15 * U, 15 * U, 2.25 * U)) return true;
  if (inRoundedRect(x, y, U, U, 9 * U, 7 * U, 2 * U)) return true;
  return x >= 9 * U && x <= 9 * U + FLARE && y >= 4 * U - FLARE && y <= 4 * U &&
    (x - 9 * U - FLARE) ** 2 + (y - 4 * U + FLARE) ** 2 >= FLARE * FLARE;
}

// The leaf is the overlap of two discs, pointing up and to the right.
const LEAF_CENTRE = [0.57, 0.57];
const LEAF_AXIS = [Math.SQRT1_2, -Math.SQRT1_2];
const LEAF_LENGTH = 0.56;
const LEAF_WIDTH = 0.3;
const discOffset = ((LEAF_LENGTH / 2) ** 2 - (LEAF_WIDTH / 2) ** 2) / LEAF_WIDTH;
const discRadius = discOffset + LEAF_WIDTH / 2;

function inLeaf(x, y) {
  const dx = x - LEAF_CENTRE[0];
  const dy = y - LEAF_CENTRE[1];
  const along = dx * LEAF_AXIS[0] + dy * LEAF_AXIS[1];
  const across = -dx * LEAF_AXIS[1] + dy * LEAF_AXIS[0];
  return (across - discOffset) ** 2 + along ** 2 <= discRadius ** 2 &&
    (across + discOffset) ** 2 + along ** 2 <= discRadius ** 2;
}

// A quadratic curve from the leaf's base down to the tab's lower left,
// flattened into a polyline so that a distance test suffices.
function curve(from, control, to, steps = 48) {
  const points = [];
  for (let i = 0; i <= steps; i++) {
    const t = i / steps;
    const a = (1 - t) ** 2, b = 2 * t * (1 - t), c = t * t;
    points.push([a * from[0] + b * control[0] + c * to[0], a * from[1] + b * control[1] + c * to[1]]);
  }
  return points;
}

function distanceToPolyline(x, y, points) {
  let best = Infinity;
  for (let i = 1; i < points.length; i++) {
    const [ax, ay] = points[i - 1];
    const [bx, by] = points[i];
    const vx = bx - ax, vy = by - ay;
    const t = Math.min(1, Math.max(0, ((x - ax) * vx + (y - ay) * vy) / (vx * vx + vy * vy)));
    best = Math.min(best, Math.hypot(x - ax - t * vx, y - ay - t * vy));
  }
  return best;
}

const leafBase = [
  LEAF_CENTRE[0] - LEAF_AXIS[0] * LEAF_LENGTH * 0.42,
  LEAF_CENTRE[1] - LEAF_AXIS[1] * LEAF_LENGTH * 0.42,
];
const STEM = curve(leafBase, [0.3, 0.86], [0.16, 0.8]);
const VEIN = curve(leafBase, [0.5, 0.62], LEAF_CENTRE.map((v, i) => v + LEAF_AXIS[i] * LEAF_LENGTH * 0.3));

// Returns the colour at one sample point, or null where the icon is clear.
function colourAt(x, y, size) {
  if (!inTab(x, y)) return null;
  // The stem stays at least 1.5 px wide, or it blurs away at 16 px.
  const stemHalf = Math.max(0.035, 0.75 / size);
  if (distanceToPolyline(x, y, STEM) <= stemHalf) return LEAF;
  if (inLeaf(x, y)) {
    // The vein only reads where it can be thinner than the leaf's edge.
    if (size >= 48 && distanceToPolyline(x, y, VEIN) <= 0.012) return TAB;
    return LEAF;
  }
  return TAB;
}

function render(size) {
  const rgba = Buffer.alloc(size * size * 4);
  const n = SUPERSAMPLE;
  for (let py = 0; py < size; py++) {
    for (let px = 0; px < size; px++) {
      // Averaged premultiplied, so clear samples do not darken the edge.
      let r = 0, g = 0, b = 0, a = 0;
      for (let sy = 0; sy < n; sy++) {
        for (let sx = 0; sx < n; sx++) {
          const c = colourAt((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size, size);
          if (!c) continue;
          r += c[0]; g += c[1]; b += c[2]; a += 1;
        }
      }
      const o = (py * size + px) * 4;
      if (a > 0) {
        rgba[o] = Math.round(r / a);
        rgba[o + 1] = Math.round(g / a);
        rgba[o + 2] = Math.round(b / a);
      }
      rgba[o + 3] = Math.round((255 * a) / (n * n));
    }
  }
  return rgba;
}

const CRC_TABLE = Array.from({ length: 256 }, (_, n) => {
  let c = n;
  for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  return c >>> 0;
});

function crc32(bytes) {
  let c = 0xffffffff;
  for (const byte of bytes) c = CRC_TABLE[(c ^ byte) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}

function chunk(type, data) {
  const head = Buffer.alloc(8);
  head.writeUInt32BE(data.length, 0);
  head.write(type, 4, "latin1");
  const crc = Buffer.alloc(4);
  crc.writeUInt32BE(crc32(Buffer.concat([head.subarray(4), data])), 0);
  return Buffer.concat([head, data, crc]);
}

// An 8-bit RGBA PNG, every row with filter 0: the files stay a few hundred
// bytes to a few kilobytes, and the output is the same on every run.
function encodePng(size, rgba) {
  const ihdr = Buffer.alloc(13);
  ihdr.writeUInt32BE(size, 0);
  ihdr.writeUInt32BE(size, 4);
  ihdr[8] = 8;
  ihdr[9] = 6;
  const rows = Buffer.alloc(size * (size * 4 + 1));
  for (let y = 0; y < size; y++) {
    rgba.copy(rows, y * (size * 4 + 1) + 1, y * size * 4, (y + 1) * size * 4);
  }
  return Buffer.concat([
    Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
    chunk("IHDR", ihdr),
    chunk("IDAT", deflateSync(rows, { level: 9 })),
    chunk("IEND", Buffer.alloc(0)),
  ]);
}

const out = new URL("../../extension/icons/", import.meta.url);
mkdirSync(out, { recursive: true });
for (const size of SIZES) {
  writeFileSync(new URL(`icon${size}.png`, out), encodePng(size, render(size)));
}
