// The browser as a display: says hello with this screen, waits for the computer's approval,
// then shows its monitor, sends touches back and plays its sound.
import { PROTOCOL_VERSION, message } from "./protocol.js";
import { Link } from "./link.js";
import { Video } from "./video.js";
import { Input } from "./input.js";
import { Audio } from "./audio.js";
import { showFigures } from "./overlay.js";

const $ = (id) => document.getElementById(id);
const notice = (text) => { $("notice").textContent = text; };

function unsupported() {
  if (!window.isSecureContext)
    return `This page needs a secure connection to show the picture: open https://${location.host}/ instead (or http://localhost:${location.port || 80}/ over a USB cable).`;
  if (!("VideoDecoder" in window) || !("EncodedVideoChunk" in window))
    return "This browser cannot decode video here (it has no WebCodecs VideoDecoder): open this address in a current Chrome, Edge, Safari or Firefox.";
  return null;
}

function identity() {
  let id = localStorage.getItem("kiv.deviceID");
  if (!id) {
    id = crypto.randomUUID();
    localStorage.setItem("kiv.deviceID", id);
  }
  return id;
}

function deviceName() {
  const ua = navigator.userAgent;
  const browser = /Edg\//.test(ua) ? "Edge" : /Firefox\//.test(ua) ? "Firefox" : /Chrome\//.test(ua) ? "Chrome" : /Safari\//.test(ua) ? "Safari" : "Browser";
  const system = /Android/.test(ua) ? "Android" : /iPad|iPhone|Macintosh/.test(ua) ? "Apple device" : /Windows/.test(ua) ? "Windows" : /CrOS/.test(ua) ? "ChromeOS" : /Linux/.test(ua) ? "Linux" : "device";
  return `${browser} on ${system}`;
}

function screenInfo() {
  const scale = window.devicePixelRatio || 1;
  const width = Math.round(window.innerWidth * scale);
  const height = Math.round(window.innerHeight * scale);
  return { widthPixels: width, heightPixels: height, scale, orientation: width >= height ? "landscape" : "portrait" };
}

// The display's refresh rate from a second of animation frames: 30, 60, 90, 120 or 144.
function measureRefresh() {
  return new Promise((resolve) => {
    const stamps = [];
    const step = (t) => {
      stamps.push(t);
      if (stamps.length < 31) return requestAnimationFrame(step);
      const interval = (stamps[30] - stamps[0]) / 30;
      const fps = 1000 / interval;
      resolve([30, 60, 90, 120, 144].reduce((best, v) => (Math.abs(v - fps) < Math.abs(best - fps) ? v : best), 60));
    };
    requestAnimationFrame(step);
    setTimeout(() => resolve(60), 1500); // a hidden tab draws no frames
  });
}

async function run() {
  const problem = unsupported();
  if (problem) {
    notice(problem);
    return;
  }
  fetch("host.json").then((r) => r.json()).then((info) => {
    if (info.fingerprint)
      $("fingerprint").textContent = `${info.hostName}: certificate SHA-256 ${info.fingerprint} (compare with the one the computer shows)`;
  }).catch(() => {});

  // Measuring takes half a second before the first hello: a reloaded page uses what it measured
  // last time and measures again for the next.
  const measuredBefore = Number(localStorage.getItem("kiv.refresh"));
  const measuring = measureRefresh().then((fps) => { localStorage.setItem("kiv.refresh", String(fps)); return fps; });
  const state = {
    deviceID: identity(), token: localStorage.getItem("kiv.token"), connect: null,
    recommendedFPS: measuredBefore > 0 ? measuredBefore : await measuring,
    screen: screenInfo(), clockOffsetUs: null, rttMs: 0, latencies: [], seq: 0, phase: "hello", inputEnabled: true,
  };
  const canvas = $("screen");
  const audio = new Audio();
  const nowUs = () => Math.round((performance.timeOrigin + performance.now()) * 1000);
  let link;
  const video = new Video(canvas, {
    requestKeyframe: (reason) => link.send(message.requestIDR(reason)),
    onFrame: (frame, info) => {
      if (state.clockOffsetUs !== null && info.captureTimeUs)
        state.latencies.push((nowUs() + state.clockOffsetUs - info.captureTimeUs) / 1000);
      window.kiv.onFrame?.(frame, info);
    },
  });
  new Input(canvas, (kind, x, y, dx, dy) => {
    if (state.phase !== "streaming") return;
    state.seq = (state.seq + 1) >>> 0;
    link.send(message.input({ kind, x, y, dx, dy, seq: state.seq, clientTimeUs: nowUs() }));
  }, () => video.size);

  const hello = () => ({
    protocolVersion: PROTOCOL_VERSION, deviceID: state.deviceID, deviceName: deviceName(), model: "Web browser",
    systemVersion: (navigator.userAgent.match(/(Edg|Firefox|Chrome|Version)\/[\d.]+/) ?? ["web"])[0], screen: state.screen, ...(state.token ? { token: state.token } : {}),
    codecs: ["h264"], recommendedFPS: state.recommendedFPS,
  });

  const controls = {
    pairingPending: () => { state.phase = "pairing"; notice("Waiting for approval on the computer…"); },
    connect: (body) => {
      const info = body._0;
      state.connect = info;
      state.phase = "streaming";
      state.token = info.token;
      localStorage.setItem("kiv.token", info.token);
      const again = link.connectedOnce;
      link.connectedOnce = true;
      video.restart();
      // A still screen sends nothing new by itself: ask for the picture at once.
      video.ask(again ? "reconnect" : "initial");
      notice("");
      $("fingerprint").textContent = "";
    },
    reject: (body) => {
      const reason = body._0;
      if (reason === "busy") return link.later("The computer cannot take this device yet (it is asking about another device, or already serves as many as it may); trying again shortly…");
      const texts = {
        denied: "The computer did not allow this device. Reload the page to ask again.",
        versionMismatch: "This page and the computer's program differ in version: reload the page.",
        permissionMissing: "The computer cannot capture its screen right now: see its KivDisplay window.",
      };
      link.stop(texts[reason] ?? `The computer refused the connection (${reason}).`);
    },
    disconnect: (body) => {
      state.phase = "hello";
      notice(`Disconnected by the computer: ${body.reason ?? ""}`);
    },
    configApplied: (body) => {
      // What is in force now (the host or the computer's user may have changed it).
      const applied = body._0;
      if (!applied || !state.connect) return;
      state.connect.settings = applied.settings;
      state.connect.configuration = applied.configuration;
    },
    pong: (body) => {
      const { t0, t1, t2 } = body._0;
      const t3 = nowUs();
      state.rttMs = Math.max(0, (t3 - t0 - (t2 - t1)) / 1000);
      const offset = ((t1 - t0) + (t2 - t3)) / 2;
      state.clockOffsetUs = state.clockOffsetUs === null ? offset : state.clockOffsetUs * 0.8 + offset * 0.2;
    },
    inputStatus: (body) => { state.inputEnabled = Boolean(body._0?.enabled); },
  };

  link = new Link(hello, {
    control: (name, body) => controls[name]?.(body),
    video: (item) => video.push(item),
    audio: (item) => audio.push(item),
    state: (text) => notice(text),
    closed: () => { if (state.phase === "streaming") state.phase = "hello"; },
  });
  window.kiv = { state, video, audio, link, figures: null, onFrame: null };
  notice("Connecting to the computer…");
  link.open();

  // Without sound allowed yet, the first touch anywhere starts it.
  window.addEventListener("pointerdown", () => { if (!audio.context) audio.start(); }, { once: false, capture: true });

  setInterval(() => link.send(message.ping(nowUs())), 1000);
  // Still waiting for a keyframe (a lost request, a decoder reset on a still screen): ask again.
  setInterval(() => {
    if (state.phase === "streaming" && video.waitingForKeyframe && performance.now() - video.lastRequest > 1000)
      video.ask("awaitingKeyframe");
  }, 250);
  let lastBytes = 0;
  setInterval(() => {
    const counts = video.takeCounts();
    const latencies = state.latencies.splice(0);
    const mean = latencies.length ? latencies.reduce((a, b) => a + b, 0) / latencies.length : 0;
    const figures = {
      receiveFPS: counts.received, decodeFPS: counts.decoded, renderFPS: counts.drawn,
      decodeTimeMs: counts.decoded ? counts.decodeMs / counts.decoded : 0,
      bitrateKbps: ((link.bytesIn - lastBytes) * 8) / 1000, packetLoss: 0,
      droppedFrames: counts.dropped, skippedFrames: counts.skipped,
      latencyMs: mean, latencyMaxMs: latencies.length ? Math.max(...latencies) : 0, rttMs: state.rttMs,
      ...(video.size ? { decodedWidth: video.size.width, decodedHeight: video.size.height } : {}),
      audio: audio.report(),
    };
    lastBytes = link.bytesIn;
    window.kiv.figures = { ...figures, drawMs: counts.drawn ? counts.drawMs / counts.drawn : 0 };
    if (state.phase === "streaming") link.send(message.stats(figures));
    if (!$("overlay").hidden)
      showFigures($("overlay"), { ...window.kiv.figures, size: video.size && `${video.size.width}×${video.size.height}`, link: "Web" });
  }, 1000);

  // A rotation or a resized window is a new screen for the host to fit.
  let resizeTimer = null;
  window.addEventListener("resize", () => {
    clearTimeout(resizeTimer);
    resizeTimer = setTimeout(() => {
      const screen = screenInfo();
      if (JSON.stringify(screen) === JSON.stringify(state.screen)) return;
      state.screen = screen;
      if (state.phase === "streaming") link.send(message.orientation(screen));
    }, 300);
  });
  // Hidden for a moment (a reload or a closed tab hides the page on its way out) is no pause:
  // only a page still hidden a little later tells the host to stop sending.
  let paused = false;
  document.addEventListener("visibilitychange", () => {
    if (state.phase !== "streaming") return;
    if (!document.hidden) {
      if (paused) link.send(message.resume());
      paused = false;
      return video.reset("foreground");
    }
    setTimeout(() => {
      if (!document.hidden || paused || state.phase !== "streaming") return;
      paused = true;
      link.send(message.pause());
    }, 500);
  });

  let wakeLock = null;
  $("menu-toggle").addEventListener("click", () => { $("menu-items").hidden = !$("menu-items").hidden; });
  $("fullscreen").addEventListener("click", async () => {
    try {
      if (document.fullscreenElement) await document.exitFullscreen();
      else await document.documentElement.requestFullscreen({ navigationUI: "hide" });
      wakeLock = wakeLock ?? (await navigator.wakeLock?.request("screen"));
    } catch (error) {
      notice(`Full screen is not available here: ${error.message}`);
      setTimeout(() => notice(""), 3000);
    }
  });
  $("figures").addEventListener("click", () => { $("overlay").hidden = !$("overlay").hidden; });
  $("sound").addEventListener("click", () => audio.start());
  document.addEventListener("visibilitychange", async () => {
    if (!document.hidden && wakeLock?.released) wakeLock = await navigator.wakeLock.request("screen").catch(() => null);
  });
}

run();
