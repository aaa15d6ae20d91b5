// The figures shown on request over the picture, refreshed with each stats period.
export function showFigures(element, f) {
  element.textContent = [
    `${f.size ?? "-"}  ${f.link}`,
    `fps ${f.decodeFPS.toFixed(0)} shown ${f.renderFPS.toFixed(0)}  ${(f.bitrateKbps / 1000).toFixed(1)} Mbit/s`,
    `decode ${f.decodeTimeMs.toFixed(1)} ms  draw ${f.drawMs.toFixed(1)} ms`,
    `latency ${f.latencyMs.toFixed(1)} ms (max ${f.latencyMaxMs.toFixed(1)})  rtt ${f.rttMs.toFixed(1)} ms`,
    `dropped ${f.droppedFrames}  skipped ${f.skippedFrames}`,
    f.audio ? `sound ${f.audio.playing ? "playing" : "idle"} buffer ${f.audio.bufferMs.toFixed(0)} ms` : "sound off",
  ].join("\n");
}
