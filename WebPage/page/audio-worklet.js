// The playback end of the sound: a jitter buffer of interleaved float samples. It starts playing
// once TARGET_MS are buffered, trims back to the target when more than MAX_MS pile up (latency
// would only grow), and counts the times it ran dry.
const TARGET_MS = 40;
const MAX_MS = 150;

class KivPlayer extends AudioWorkletProcessor {
  constructor() {
    super();
    this.channels = 2;
    this.queue = [];
    this.queued = 0; // frames
    this.offset = 0; // frames consumed of queue[0]
    this.started = false;
    this.underruns = 0;
    this.trimmedFrames = 0;
    this.lastReport = 0;
    this.port.onmessage = (event) => {
      const { samples, channels } = event.data;
      this.channels = channels;
      this.queue.push(samples);
      this.queued += samples.length / channels;
      const max = (MAX_MS * sampleRate) / 1000;
      const target = (TARGET_MS * sampleRate) / 1000;
      if (this.queued > max) this.drop(this.queued - target);
    };
  }

  drop(frames) {
    let left = Math.floor(frames);
    while (left > 0 && this.queue.length) {
      const available = this.queue[0].length / this.channels - this.offset;
      const take = Math.min(available, left);
      this.offset += take;
      left -= take;
      this.queued -= take;
      this.trimmedFrames += take;
      if (this.offset * this.channels >= this.queue[0].length) {
        this.queue.shift();
        this.offset = 0;
      }
    }
  }

  process(_inputs, outputs) {
    const output = outputs[0];
    const frames = output[0].length;
    if (!this.started && this.queued >= (TARGET_MS * sampleRate) / 1000) this.started = true;
    let written = 0;
    if (this.started) {
      while (written < frames && this.queue.length) {
        const chunk = this.queue[0];
        const available = chunk.length / this.channels - this.offset;
        const take = Math.min(available, frames - written);
        for (let c = 0; c < output.length; c++) {
          const source = Math.min(c, this.channels - 1);
          const out = output[c];
          for (let i = 0; i < take; i++) out[written + i] = chunk[(this.offset + i) * this.channels + source];
        }
        written += take;
        this.offset += take;
        this.queued -= take;
        if (this.offset * this.channels >= chunk.length) {
          this.queue.shift();
          this.offset = 0;
        }
      }
      if (written < frames) {
        this.underruns += 1;
        this.started = false;
      }
    }
    for (const out of output) out.fill(0, written);
    if (currentTime - this.lastReport >= 0.25) {
      this.lastReport = currentTime;
      this.port.postMessage({
        bufferMs: (this.queued * 1000) / sampleRate,
        underruns: this.underruns,
        trimmedMs: (this.trimmedFrames * 1000) / sampleRate,
        playing: this.started,
      });
    }
    return true;
  }
}

registerProcessor("kiv-player", KivPlayer);
