// Sound items (16-bit PCM) played through Web Audio. Browsers start sound only after a user
// gesture, so the context is made on the first touch; items before that are counted, not played.
export class Audio {
  constructor() {
    this.context = null;
    this.node = null;
    this.starting = null;
    this.figures = { packets: 0, lostPackets: 0, underruns: 0, trimmedMs: 0, bufferMs: 0, latencyMs: 0, playing: false };
    this.nextSequence = null;
    this.peak = 0; // loudest sample since the last report, 0..1
  }

  // Call from a user gesture (or where the browser allows sound without one).
  start() {
    if (this.starting) return this.starting;
    this.starting = (async () => {
      const context = new AudioContext({ sampleRate: 48000, latencyHint: "interactive" });
      await context.audioWorklet.addModule("audio-worklet.js");
      const node = new AudioWorkletNode(context, "kiv-player", { outputChannelCount: [2] });
      node.port.onmessage = (event) => Object.assign(this.figures, event.data);
      node.connect(context.destination);
      await context.resume();
      this.context = context;
      this.node = node;
    })().catch((error) => {
      console.warn("sound:", error.message);
      this.starting = null;
    });
    return this.starting;
  }

  get running() {
    return this.context?.state === "running";
  }

  push(item) {
    this.figures.packets += 1;
    if (this.nextSequence !== null && item.sequence !== this.nextSequence) {
      const gap = (item.sequence - this.nextSequence) >>> 0;
      if (gap < 1000) this.figures.lostPackets += gap;
    }
    this.nextSequence = (item.sequence + 1) >>> 0;
    if (item.format !== 1 || item.channels < 1) return;
    const pcm = new Int16Array(item.pcm, 0, Math.floor(item.pcm.byteLength / 2));
    const samples = new Float32Array(pcm.length);
    let peak = 0;
    for (let i = 0; i < pcm.length; i++) {
      const v = pcm[i] / 32768;
      samples[i] = v;
      const a = Math.abs(v);
      if (a > peak) peak = a;
    }
    this.peak = Math.max(this.peak, peak);
    if (!this.node || item.sampleRate !== this.context.sampleRate) return;
    this.node.port.postMessage({ samples, channels: item.channels }, [samples.buffer]);
  }

  // The figures for the stats message; latency is the buffer plus what the output adds.
  report() {
    const f = this.figures;
    const outputMs = this.context ? ((this.context.outputLatency || 0) + (this.context.baseLatency || 0)) * 1000 : 0;
    f.latencyMs = f.bufferMs + outputMs;
    return {
      packets: f.packets, lostPackets: f.lostPackets, underruns: f.underruns, trimmedMs: f.trimmedMs,
      bufferMs: f.bufferMs, latencyMs: f.latencyMs, playing: Boolean(f.playing && this.running),
    };
  }
}
