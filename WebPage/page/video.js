// Decoding with WebCodecs and drawing the newest picture. Frames are decoded in order; when the
// decoder falls behind or fails, it is reset and the host is asked for a keyframe instead of
// letting the picture lag.
import { codecFromSps, toAnnexB } from "./protocol.js";

const MAX_QUEUE = 4;
const IDR_INTERVAL_MS = 500;

export class Video {
  constructor(canvas, { requestKeyframe, onFrame }) {
    this.canvas = canvas;
    // Drawing runs in a worker where the browser allows it; else on this thread.
    this.worker = null;
    this.pixelReplies = new Map();
    this.workerCounts = { drawn: 0, drawMs: 0 };
    if (canvas.transferControlToOffscreen && window.Worker) {
      const offscreen = canvas.transferControlToOffscreen();
      this.worker = new Worker("draw-worker.js");
      this.worker.postMessage({ canvas: offscreen }, [offscreen]);
      this.worker.onmessage = ({ data }) => {
        if (data.counts) this.workerCounts = data.counts;
        if (data.pixel) this.pixelReplies.get(data.id)?.(data.pixel);
      };
    } else {
      this.context = canvas.getContext("2d", { alpha: false, desynchronized: true });
    }
    this.requestKeyframe = requestKeyframe;
    this.onFrame = onFrame; // (frame, info) before drawing, for the figures and the test hooks
    this.decoder = null;
    this.codec = null;
    this.waitingForKeyframe = true;
    this.lastRequest = -Infinity;
    this.lastFrameID = null;
    this.pending = new Map(); // timestamp -> { submitted, captureTimeUs }
    this.counts = { received: 0, decoded: 0, drawn: 0, dropped: 0, skipped: 0, decodeMs: 0, drawMs: 0, bytes: 0 };
    this.size = null;
    // Drawing waits for a task of its own, so that pictures decoded while the page was busy
    // collapse into one draw of the newest instead of a queue of stale ones.
    this.latest = null;
    this.drawQueued = false;
    this.channel = new MessageChannel();
    this.channel.port1.onmessage = () => this.draw();
  }

  ask(reason) {
    const now = performance.now();
    if (now - this.lastRequest < IDR_INTERVAL_MS) return;
    this.lastRequest = now;
    this.requestKeyframe(reason);
  }

  reset(reason) {
    if (this.decoder && this.decoder.state !== "closed") this.decoder.close();
    this.latest?.close();
    this.latest = null;
    this.decoder = null;
    this.codec = null;
    this.pending.clear();
    this.waitingForKeyframe = true;
    if (reason) this.ask(reason);
  }

  // A new link: the next frame numbers start over and the decoder needs a keyframe.
  restart() {
    this.lastFrameID = null;
    this.reset(null);
  }

  push(item) {
    this.counts.received += 1;
    this.counts.bytes += item.data.length;
    if (this.lastFrameID !== null && item.frameID !== ((this.lastFrameID + 1) >>> 0) && !item.isKeyframe) {
      this.lastFrameID = item.frameID;
      this.counts.dropped += 1;
      return this.reset("packetLoss");
    }
    this.lastFrameID = item.frameID;
    if (this.waitingForKeyframe && !item.isKeyframe) {
      this.counts.skipped += 1;
      return this.ask("awaitingKeyframe");
    }
    const converted = toAnnexB(item.data);
    if (!converted) {
      this.counts.dropped += 1;
      return this.reset("decodeError");
    }
    if (item.isKeyframe && converted.sps) {
      const codec = codecFromSps(converted.sps);
      if (codec !== this.codec || !this.decoder) this.configure(codec);
    }
    if (!this.decoder) {
      this.counts.skipped += 1;
      return this.ask("awaitingKeyframe");
    }
    if (this.decoder.decodeQueueSize > MAX_QUEUE) {
      this.counts.dropped += 1;
      return this.reset("decodeError");
    }
    this.waitingForKeyframe = false;
    const timestamp = item.captureTimeUs;
    this.pending.set(timestamp, {
      received: item.receivedAt, submitted: performance.now(), captureTimeUs: item.captureTimeUs,
      frameID: item.frameID, key: item.isKeyframe,
    });
    try {
      this.decoder.decode(new EncodedVideoChunk({ type: item.isKeyframe ? "key" : "delta", timestamp, data: converted.annexB }));
    } catch (error) {
      console.warn("decode:", error);
      this.reset("decodeError");
    }
  }

  configure(codec) {
    if (this.decoder && this.decoder.state !== "closed") this.decoder.close();
    this.pending.clear();
    this.codec = codec;
    this.decoder = new VideoDecoder({
      output: (frame) => this.output(frame),
      error: (error) => {
        console.warn("decoder:", error.message);
        this.decoder = null;
        this.reset("decodeError");
      },
    });
    this.decoder.configure({ codec, optimizeForLatency: true, hardwareAcceleration: "no-preference" });
  }

  output(frame) {
    const now = performance.now();
    const info = this.pending.get(frame.timestamp);
    this.pending.delete(frame.timestamp);
    this.counts.decoded += 1;
    if (info) this.counts.decodeMs += now - info.submitted;
    this.onFrame?.(frame, { ...info, decodedAt: now });
    this.size = { width: frame.displayWidth, height: frame.displayHeight };
    if (this.worker) {
      this.worker.postMessage({ frame }, [frame]);
      return;
    }
    if (this.latest) {
      this.latest.close();
      this.counts.skipped += 1;
    }
    this.latest = frame;
    if (!this.drawQueued) {
      this.drawQueued = true;
      this.channel.port2.postMessage(0);
    }
  }

  draw() {
    this.drawQueued = false;
    const frame = this.latest;
    this.latest = null;
    if (!frame) return;
    const started = performance.now();
    const width = frame.displayWidth;
    const height = frame.displayHeight;
    if (this.canvas.width !== width || this.canvas.height !== height) {
      this.canvas.width = width;
      this.canvas.height = height;
    }
    this.size = { width, height };
    this.context.drawImage(frame, 0, 0, width, height);
    frame.close();
    this.counts.drawn += 1;
    this.counts.drawMs += performance.now() - started;
  }

  // The drawn picture's colour at a normalised point, as [r, g, b].
  pixel(x, y) {
    if (!this.worker) {
      const d = this.context.getImageData(Math.floor(x * this.canvas.width), Math.floor(y * this.canvas.height), 1, 1).data;
      return Promise.resolve([d[0], d[1], d[2]]);
    }
    const id = Math.random();
    return new Promise((resolve) => {
      this.pixelReplies.set(id, (value) => {
        this.pixelReplies.delete(id);
        resolve(value);
      });
      this.worker.postMessage({ pixel: [x, y], id });
    });
  }

  takeCounts() {
    if (this.worker) {
      // The worker's figures of the last period (they arrive a moment after each request).
      this.counts.drawn = this.workerCounts.drawn;
      this.counts.drawMs = this.workerCounts.drawMs;
      this.worker.postMessage({ counts: true });
    }
    const taken = this.counts;
    this.counts = { received: 0, decoded: 0, drawn: 0, dropped: 0, skipped: 0, decodeMs: 0, drawMs: 0, bytes: 0 };
    return taken;
  }
}
