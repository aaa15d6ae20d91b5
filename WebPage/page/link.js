// The WebSocket to the host, and getting back on after a drop: the same identity and token, so
// the host treats the new link as this device returning within its grace period.
import { decodeItems, encodeControl, message } from "./protocol.js";

const RETRY_MS = [500, 1000, 2000, 4000, 5000];

export class Link {
  constructor(helloSource, handlers) {
    this.helloSource = helloSource; // () => the hello to send on each new socket
    this.handlers = handlers; // { control(name, body), video(item), audio(item), state(text, kind) }
    this.socket = null;
    this.attempt = 0;
    this.turnedAway = 0; // times in a row the host said it cannot take this device yet
    this.laterMs = null; // set when the host asked for another try later
    this.stopped = false;
    this.connectedOnce = false;
    this.bytesIn = 0;
  }

  open() {
    if (this.stopped) return;
    const url = new URL("/link", location.href);
    url.protocol = location.protocol === "https:" ? "wss:" : "ws:";
    const socket = new WebSocket(url);
    socket.binaryType = "arraybuffer";
    this.socket = socket;
    socket.onopen = () => {
      this.attempt = 0;
      this.send(message.hello(this.helloSource()));
    };
    socket.onmessage = (event) => {
      if (!(event.data instanceof ArrayBuffer)) return this.fail(socket, "the host sent text");
      this.bytesIn += event.data.byteLength;
      const receivedAt = performance.now();
      let items;
      try {
        items = decodeItems(event.data);
      } catch (error) {
        return this.fail(socket, `the host sent what this page cannot read (${error.message})`);
      }
      for (const item of items) {
        if (item.kind === "control") {
          if (item.name === "connect") this.turnedAway = 0;
          this.handlers.control(item.name, item.body);
        } else if (item.kind === "video") this.handlers.video({ ...item, receivedAt });
        else this.handlers.audio(item);
      }
    };
    socket.onclose = () => {
      if (this.socket !== socket) return;
      this.socket = null;
      this.handlers.closed?.();
      if (this.stopped) return;
      let wait = this.laterMs;
      this.laterMs = null;
      if (wait === null) {
        wait = RETRY_MS[Math.min(this.attempt, RETRY_MS.length - 1)];
        this.attempt += 1;
        this.handlers.state(this.connectedOnce ? "Connection lost: reconnecting…" : "Cannot reach the computer: trying again…");
      }
      setTimeout(() => this.open(), wait);
    };
  }

  fail(socket, why) {
    console.warn(why);
    socket.close(4000, why.slice(0, 100));
  }

  send(value) {
    if (this.socket?.readyState === WebSocket.OPEN) this.socket.send(encodeControl(value));
  }

  // The host cannot take this device yet (it is asking its user about another): try again after
  // 1, 2, 4, then every 8 s, saying why meanwhile.
  later(text) {
    this.laterMs = 1000 * 2 ** Math.min(this.turnedAway, 3);
    this.turnedAway += 1;
    this.handlers.state(text);
    this.socket?.close();
  }

  // The host refused this device for good: no more attempts until the page is reloaded.
  stop(text) {
    this.stopped = true;
    this.socket?.close();
    this.handlers.state(text);
  }

  get open_() {
    return this.socket?.readyState === WebSocket.OPEN;
  }
}
