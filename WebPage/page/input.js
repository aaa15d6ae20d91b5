// Pointer events into the protocol's touch events, in the picture's normalised coordinates.
// A finger: a quick lift is a tap, a move is a drag, holding still is a right click. Two fingers
// scroll. A mouse clicks, drags, moves and scrolls directly. Nothing starts outside the picture.
import { TouchMapper } from "./protocol.js";

const HOLD_MS = 600;
const SLOP_PX = 8;

export class Input {
  constructor(canvas, send, contentSize) {
    this.canvas = canvas;
    this.contentSize = contentSize; // () => the picture's size in pixels, or null before the first
    this.send = send; // (kind, x, y, dx, dy)
    this.touches = new Map(); // pointerId -> {x, y}
    this.single = null; // { id, x, y, state: "pending" | "dragging" | "fired", timer }
    this.scroll = null; // last centroid of a two-finger scroll
    this.mouseDown = false;
    const options = { passive: false };
    canvas.addEventListener("pointerdown", (e) => this.down(e), options);
    canvas.addEventListener("pointermove", (e) => this.move(e), options);
    canvas.addEventListener("pointerup", (e) => this.up(e), options);
    canvas.addEventListener("pointercancel", (e) => this.cancel(e), options);
    canvas.addEventListener("wheel", (e) => this.wheel(e), options);
    canvas.addEventListener("contextmenu", (e) => e.preventDefault());
  }

  mapper() {
    const box = this.canvas.getBoundingClientRect();
    const size = this.contentSize() ?? { width: 0, height: 0 };
    return { box, map: new TouchMapper(box.width, box.height, size.width, size.height) };
  }

  point(e, clamp) {
    const { box, map } = this.mapper();
    return map.normalize(e.clientX - box.left, e.clientY - box.top, clamp);
  }

  emit(kind, p, dx = 0, dy = 0) {
    if (p) this.send(kind, p.x, p.y, dx, dy);
  }

  down(e) {
    e.preventDefault();
    const p = this.point(e, false);
    if (e.pointerType === "mouse") {
      if (!p) return;
      this.canvas.setPointerCapture(e.pointerId);
      if (e.button === 2) return this.emit("rightClick", p);
      if (e.button !== 0) return;
      this.mouseDown = true;
      return this.emit("down", p);
    }
    this.touches.set(e.pointerId, { x: e.clientX, y: e.clientY });
    this.canvas.setPointerCapture(e.pointerId);
    if (this.touches.size === 2) {
      this.abandonSingle();
      this.scroll = this.centroid();
      return;
    }
    if (this.touches.size > 2 || !p) return;
    const single = { id: e.pointerId, x: e.clientX, y: e.clientY, p, state: "pending" };
    single.timer = setTimeout(() => {
      if (this.single !== single || single.state !== "pending") return;
      single.state = "fired";
      this.emit("rightClick", single.p);
    }, HOLD_MS);
    this.single = single;
  }

  move(e) {
    if (e.pointerType === "mouse") {
      const p = this.point(e, this.mouseDown);
      return this.emit(this.mouseDown ? "drag" : "move", p);
    }
    if (!this.touches.has(e.pointerId)) return;
    e.preventDefault();
    this.touches.set(e.pointerId, { x: e.clientX, y: e.clientY });
    if (this.scroll && this.touches.size === 2) {
      const c = this.centroid();
      const { box, map } = this.mapper();
      const d = map.delta(c.x - this.scroll.x, c.y - this.scroll.y);
      const at = map.normalize(c.x - box.left, c.y - box.top, true);
      this.scroll = c;
      if (d.dx !== 0 || d.dy !== 0) this.emit("scroll", at, d.dx, d.dy);
      return;
    }
    const single = this.single;
    if (!single || single.id !== e.pointerId) return;
    if (single.state === "pending") {
      if (Math.hypot(e.clientX - single.x, e.clientY - single.y) <= SLOP_PX) return;
      clearTimeout(single.timer);
      single.state = "dragging";
      this.emit("down", single.p);
    }
    if (single.state === "dragging") this.emit("drag", this.point(e, true));
  }

  up(e) {
    if (e.pointerType === "mouse") {
      if (!this.mouseDown || e.button !== 0) return;
      this.mouseDown = false;
      return this.emit("up", this.point(e, true));
    }
    this.touches.delete(e.pointerId);
    if (this.touches.size < 2) this.scroll = null;
    const single = this.single;
    if (!single || single.id !== e.pointerId) return;
    this.single = null;
    clearTimeout(single.timer);
    if (single.state === "pending") this.emit("tap", single.p);
    else if (single.state === "dragging") this.emit("up", this.point(e, true));
  }

  cancel(e) {
    this.touches.delete(e.pointerId);
    if (this.touches.size < 2) this.scroll = null;
    if (this.single?.id === e.pointerId) this.abandonSingle();
    if (e.pointerType === "mouse" && this.mouseDown) {
      this.mouseDown = false;
      this.emit("up", this.point(e, true));
    }
  }

  // A second finger came: a pending press is no tap; a drag in progress is let go where it is.
  abandonSingle() {
    const single = this.single;
    this.single = null;
    if (!single) return;
    clearTimeout(single.timer);
    if (single.state === "dragging") this.emit("up", single.p);
  }

  wheel(e) {
    e.preventDefault();
    const p = this.point(e, false);
    if (!p) return;
    const { map } = this.mapper();
    const scale = e.deltaMode === 1 ? 40 : e.deltaMode === 2 ? 800 : 1; // lines and pages into pixels
    const d = map.delta(-e.deltaX * scale, -e.deltaY * scale);
    this.emit("scroll", p, d.dx, d.dy);
  }

  centroid() {
    let x = 0;
    let y = 0;
    for (const t of this.touches.values()) {
      x += t.x;
      y += t.y;
    }
    return { x: x / this.touches.size, y: y / this.touches.size };
  }
}
