// Draws the pictures off the page's main thread, so that a slow draw (a software canvas) delays
// neither the decoder's output nor the link's messages. Only the newest picture is drawn: one that
// arrives while a draw is under way replaces the one waiting.
let context = null;
let canvas = null;
let waiting = null;
let scheduled = false;
let drawn = 0;
let drawMs = 0;

function draw() {
  scheduled = false;
  const frame = waiting;
  waiting = null;
  if (!frame) return;
  const started = performance.now();
  if (canvas.width !== frame.displayWidth || canvas.height !== frame.displayHeight) {
    canvas.width = frame.displayWidth;
    canvas.height = frame.displayHeight;
  }
  context.drawImage(frame, 0, 0, canvas.width, canvas.height);
  frame.close();
  drawn += 1;
  drawMs += performance.now() - started;
}

self.onmessage = ({ data }) => {
  if (data.canvas) {
    canvas = data.canvas;
    context = canvas.getContext("2d", { alpha: false, desynchronized: true });
  } else if (data.frame) {
    waiting?.close();
    waiting = data.frame;
    if (!scheduled) {
      scheduled = true;
      setTimeout(draw, 0);
    }
  } else if (data.counts) {
    self.postMessage({ counts: { drawn, drawMs } });
    drawn = 0;
    drawMs = 0;
  } else if (data.pixel) {
    const [x, y] = data.pixel;
    const d = context.getImageData(Math.floor(x * canvas.width), Math.floor(y * canvas.height), 1, 1).data;
    self.postMessage({ pixel: [d[0], d[1], d[2]], id: data.id });
  }
};
