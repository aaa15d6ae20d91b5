// Draws the pictures off the page's main thread, so that a slow draw (a software canvas) delays
// neither the decoder's output nor the link's messages. Only the newest picture is drawn: one that
// arrives while a draw is under way replaces the one waiting.
// Where the browser can, the picture is converted to RGBA by the frame itself and put on the
// canvas as is: in a software-drawn canvas that is 5 ms at 1080p where drawImage takes 30-45.
let context = null;
let canvas = null;
let waiting = null;
let scheduled = false;
let drawn = 0;
let drawMs = 0;
let copies = true; // until the browser turns copyTo in RGBA down
let pixels = null; // ImageData reused while the picture's size stays

async function put(frame, width, height) {
  const visible = frame.visibleRect;
  if (copies && visible && visible.width === width && visible.height === height) {
    try {
      if (!pixels || pixels.width !== width || pixels.height !== height) pixels = new ImageData(width, height);
      await frame.copyTo(pixels.data, { format: "RGBA", colorSpace: "srgb" });
      context.putImageData(pixels, 0, 0);
      return;
    } catch {
      copies = false;
    }
  }
  context.drawImage(frame, 0, 0, width, height);
}

async function draw() {
  const frame = waiting;
  waiting = null;
  if (frame) {
    const started = performance.now();
    const width = frame.displayWidth;
    const height = frame.displayHeight;
    if (canvas.width !== width || canvas.height !== height) {
      canvas.width = width;
      canvas.height = height;
    }
    try {
      await put(frame, width, height);
      drawn += 1;
      drawMs += performance.now() - started;
    } catch {
      // a picture that cannot be drawn is skipped; the next one is tried
    } finally {
      frame.close();
    }
  }
  scheduled = waiting !== null;
  if (scheduled) setTimeout(draw, 0);
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
