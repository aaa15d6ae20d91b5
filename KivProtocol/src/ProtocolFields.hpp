#pragma once
// Field lists of every protocol payload, in the wire's key names. Internal.
#include "JsonCodec.hpp"
#include "KivProtocol/ControlMessage.hpp"

namespace kiv {

template <class V>
void fields(V& v, TransportMetrics& s) {
    v("kind", s.kind);
    v("device", s.device);
    v("throughputMbps", s.throughputMbps);
    v("sendQueueBytes", s.sendQueueBytes);
    v("sendQueueFrames", s.sendQueueFrames);
    v("receiveQueueBytes", s.receiveQueueBytes);
    v("reconnects", s.reconnects);
}

template <class V>
void fields(V& v, AudioStats& s) {
    v("packets", s.packets);
    v("lostPackets", s.lostPackets);
    v("underruns", s.underruns);
    v("trimmedMs", s.trimmedMs);
    v("bufferMs", s.bufferMs);
    v("latencyMs", s.latencyMs);
    v("playing", s.playing);
}

template <class V>
void fields(V& v, ClientStats& s) {
    v("receiveFPS", s.receiveFPS);
    v("decodeFPS", s.decodeFPS);
    v("renderFPS", s.renderFPS);
    v("decodeTimeMs", s.decodeTimeMs);
    v("bitrateKbps", s.bitrateKbps);
    v("packetLoss", s.packetLoss);
    v("droppedFrames", s.droppedFrames);
    v("skippedFrames", s.skippedFrames);
    v("link", s.link);
    v("jitterMs", s.jitterMs);
    v("latencyMs", s.latencyMs);
    v("latencyMaxMs", s.latencyMaxMs);
    v("decodedWidth", s.decodedWidth);
    v("decodedHeight", s.decodedHeight);
    v("rttMs", s.rttMs);
    v("audio", s.audio);
}

template <class V>
void fields(V& v, AudioStatus& s) {
    v("streaming", s.streaming);
    v("macMuted", s.hostMuted);
    v("sampleRate", s.sampleRate);
    v("channels", s.channels);
    v("note", s.note);
}

template <class V>
void fields(V& v, InputEvent& s) {
    v("kind", s.kind);
    v("x", s.x);
    v("y", s.y);
    v("dx", s.dx);
    v("dy", s.dy);
    v("seq", s.seq);
    v("clientTimeUs", s.clientTimeUs);
}

template <class V>
void fields(V& v, InputStatus& s) {
    v("enabled", s.enabled);
    v("reason", s.reason);
}

template <class V>
void fields(V& v, SessionSettings& s) {
    v("displaySize", s.displaySize);
    v("quality", s.quality);
    v("fps", s.fps);
    v("staticRefinement", s.staticRefinement);
    v.withDefault("audio", s.audio, AudioRoute::host);
}

template <class V>
void fields(V& v, DisplayConfiguration& s) {
    v("logicalWidth", s.logicalWidth);
    v("logicalHeight", s.logicalHeight);
    v("scaleFactor", s.scaleFactor);
    v("streamWidth", s.streamWidth);
    v("streamHeight", s.streamHeight);
    v("fps", s.fps);
    v("bitrate", s.bitrate);
    v("tier", s.tier);
    v("refinementQuality", s.refinementQuality);
    v("refinementWidth", s.refinementWidth);
    v("refinementHeight", s.refinementHeight);
    v("limitedByMacOSMinimum", s.limitedByMinimumDesktop);
    v("compatibilityNote", s.compatibilityNote);
}

template <class V>
void fields(V& v, ConfigChange& s) {
    v("requestID", s.requestID);
    v("displaySize", s.displaySize);
    v("quality", s.quality);
    v("fps", s.fps);
    v("staticRefinement", s.staticRefinement);
    v("audio", s.audio);
}

// ConfigResult is a one-key enumeration; it gets its own read/write (see ControlMessage.cpp).
void readConfigResult(const json::JsonNode& j, ConfigResult& out);
json::Json writeConfigResult(const ConfigResult& result);

template <class V>
void fields(V& v, ConfigApplied& s);

template <class V>
void fields(V& v, ScreenInfo& s) {
    v("widthPixels", s.widthPixels);
    v("heightPixels", s.heightPixels);
    v("scale", s.scale);
    v("orientation", s.orientation);
}

template <class V>
void fields(V& v, Hello& s) {
    v("protocolVersion", s.protocolVersion);
    v("deviceID", s.deviceID);
    v("deviceName", s.deviceName);
    v("model", s.model);
    v("systemVersion", s.systemVersion);
    v("screen", s.screen);
    v("token", s.token);
    v("codecs", s.codecs);
    v("recommendedFPS", s.recommendedFPS);
    v("decoderMBPerSecond", s.decoderMBPerSecond);
}

template <class V>
void fields(V& v, DisplayModeInfo& s) {
    v("width", s.width);
    v("height", s.height);
    v("fps", s.fps);
}

template <class V>
void fields(V& v, HostInfo& s) {
    v("hostID", s.hostID);
    v("hostName", s.hostName);
    v("addresses", s.addresses);
    v("controlPort", s.controlPort);
    v("protocolVersion", s.protocolVersion);
}

template <class V>
void fields(V& v, ConnectInfo& s) {
    v("sessionID", s.sessionID);
    v("videoKey", s.videoKey);
    v("videoPort", s.videoPort);
    v("token", s.token);
    v("mode", s.mode);
    v("bitrate", s.bitrate);
    v("codec", s.codec);
    v("hostName", s.hostName);
    v("settings", s.settings);
    v("configuration", s.configuration);
    v("transport", s.transport);
    v("host", s.host);
}

template <class V>
void fields(V& v, PingInfo& s) {
    v("t0", s.t0);
}

template <class V>
void fields(V& v, PongInfo& s) {
    v("t0", s.t0);
    v("t1", s.t1);
    v("t2", s.t2);
}

// Labelled and empty cases: their labels are the keys of the case object itself.
template <class V>
void fields(V&, PairingPending&) {}
template <class V>
void fields(V&, Pause&) {}
template <class V>
void fields(V&, Resume&) {}
template <class V>
void fields(V& v, Disconnect& s) {
    v("reason", s.reason);
}
template <class V>
void fields(V& v, ConfigApplying& s) {
    v("requestID", s.requestID);
}
template <class V>
void fields(V& v, RequestIDR& s) {
    v("reason", s.reason);
}
template <class V>
void fields(V& v, StreamLimit& s) {
    v("maxLong", s.maxLong);
    v("maxShort", s.maxShort);
}

} // namespace kiv

namespace kiv::json {
// ConfigResult inside ConfigApplied uses the generic visitors through these overloads.
template <>
inline void readValue<ConfigResult>(const JsonNode& j, ConfigResult& out, std::string_view) {
    readConfigResult(j, out);
}
template <>
inline Json writeValue<ConfigResult>(const ConfigResult& value) {
    return writeConfigResult(value);
}
} // namespace kiv::json

namespace kiv {
template <class V>
void fields(V& v, ConfigApplied& s) {
    v("requestID", s.requestID);
    v("settings", s.settings);
    v("configuration", s.configuration);
    v("result", s.result);
}
} // namespace kiv
