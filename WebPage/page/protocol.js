// The wire: stream items (a 32-bit big-endian header, bit 31 video, bit 30 audio, bits 29-0 the
// body length) carried one per WebSocket message, and the control messages' JSON shape.
export const PROTOCOL_VERSION = 5;
const VIDEO_BIT = 0x80000000;
const AUDIO_BIT = 0x40000000;
const LENGTH_MASK = 0x3fffffff;
const MAX_CONTROL = 262144;
const MAX_VIDEO = 8388608;
const encoder = new TextEncoder();
const decoder = new TextDecoder("utf-8", { fatal: true });

export function encodeControl(message) {
  const json = encoder.encode(JSON.stringify(message));
  if (json.length > MAX_CONTROL) throw new Error(`control message of ${json.length} bytes`);
  const out = new Uint8Array(4 + json.length);
  new DataView(out.buffer).setUint32(0, json.length);
  out.set(json, 4);
  return out;
}

// Every item in one message; throws on anything malformed, as the host's reader would.
export function decodeItems(buffer) {
  const view = new DataView(buffer);
  const items = [];
  let at = 0;
  while (at < buffer.byteLength) {
    if (buffer.byteLength - at < 4) throw new Error("truncated item header");
    const header = view.getUint32(at);
    const length = header & LENGTH_MASK;
    const start = at + 4;
    if (start + length > buffer.byteLength) throw new Error("truncated item");
    if (header & VIDEO_BIT) {
      if (length < 13 || length > MAX_VIDEO) throw new Error(`video item of ${length} bytes`);
      items.push({
        kind: "video",
        isKeyframe: (view.getUint8(start) & 1) === 1,
        frameID: view.getUint32(start + 1),
        captureTimeUs: Number(view.getBigUint64(start + 5)),
        data: new Uint8Array(buffer, start + 13, length - 13),
      });
    } else if (header & AUDIO_BIT) {
      if (length < 18) throw new Error(`audio item of ${length} bytes`);
      items.push({
        kind: "audio",
        format: view.getUint8(start),
        channels: view.getUint8(start + 1),
        sampleRate: view.getUint32(start + 2),
        sequence: view.getUint32(start + 6),
        captureTimeUs: Number(view.getBigUint64(start + 10)),
        pcm: buffer.slice(start + 18, start + length),
      });
    } else {
      if (length > MAX_CONTROL) throw new Error(`control item of ${length} bytes`);
      const message = JSON.parse(decoder.decode(new Uint8Array(buffer, start, length)));
      const keys = Object.keys(message ?? {});
      if (typeof message !== "object" || keys.length !== 1) throw new Error("Invalid number of keys found, expected one.");
      items.push({ kind: "control", name: keys[0], body: message[keys[0]] ?? {} });
    }
    at = start + length;
  }
  return items;
}

// Control messages this device sends.
export const message = {
  hello: (hello) => ({ hello: { _0: hello } }),
  ping: (t0) => ({ ping: { _0: { t0 } } }),
  requestIDR: (reason) => ({ requestIDR: { reason } }),
  orientation: (screen) => ({ orientation: { _0: screen } }),
  stats: (stats) => ({ stats: { _0: stats } }),
  input: (event) => ({ input: { _0: event } }),
  pause: () => ({ pause: {} }),
  resume: () => ({ resume: {} }),
  disconnect: (reason) => ({ disconnect: { reason } }),
};

// Length-prefixed NAL units into Annex B, in place on a copy: both use 4 bytes per unit.
// Returns the copy and the SPS when the frame carries one; null when a length runs past the end.
export function toAnnexB(data) {
  const out = new Uint8Array(data);
  const view = new DataView(out.buffer);
  let sps = null;
  let at = 0;
  while (at + 4 <= out.length) {
    const length = view.getUint32(at);
    if (length === 0 || at + 4 + length > out.length) return null;
    if ((out[at + 4] & 0x1f) === 7 && length >= 4) sps = out.subarray(at + 4, at + 4 + length);
    out[at] = 0; out[at + 1] = 0; out[at + 2] = 0; out[at + 3] = 1;
    at += 4 + length;
  }
  return at === out.length ? { annexB: out, sps } : null;
}

// "avc1.PPCCLL" from an SPS NAL unit (profile, constraint flags, level).
export function codecFromSps(sps) {
  const hex = (b) => b.toString(16).padStart(2, "0");
  return `avc1.${hex(sps[1])}${hex(sps[2])}${hex(sps[3])}`;
}

// Where a picture of `content` size sits in a view of `view` size when fitted whole (bars on the
// sides or above and below), and view points normalised against it.
export class TouchMapper {
  constructor(viewWidth, viewHeight, contentWidth, contentHeight) {
    if (viewWidth <= 0 || viewHeight <= 0 || contentWidth <= 0 || contentHeight <= 0) {
      this.rect = { x: 0, y: 0, width: Math.max(0, viewWidth), height: Math.max(0, viewHeight) };
      return;
    }
    const s = Math.min(viewWidth / contentWidth, viewHeight / contentHeight);
    const width = contentWidth * s;
    const height = contentHeight * s;
    this.rect = { x: (viewWidth - width) / 2, y: (viewHeight - height) / 2, width, height };
  }
  normalize(x, y, clamp) {
    const r = this.rect;
    if (r.width <= 0 || r.height <= 0) return null;
    const nx = (x - r.x) / r.width;
    const ny = (y - r.y) / r.height;
    if (!clamp && (nx < 0 || nx > 1 || ny < 0 || ny > 1)) return null;
    return { x: Math.min(1, Math.max(0, nx)), y: Math.min(1, Math.max(0, ny)) };
  }
  delta(dx, dy) {
    const r = this.rect;
    return r.width > 0 && r.height > 0 ? { dx: dx / r.width, dy: dy / r.height } : { dx: 0, dy: 0 };
  }
}
