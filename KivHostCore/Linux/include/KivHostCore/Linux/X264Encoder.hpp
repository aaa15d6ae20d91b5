#pragma once
// The stream's encoder: libx264 driven directly rather than through libavcodec, at a constant
// quantizer chosen per picture by X264RateControl, and told which macroblocks did not change
// since the last picture so that it passes over them. tune=zerolatency, no B-frames, High
// profile, BT.601 limited range, the periodic refresh as a sweeping intra column, forced
// keyframes as IDR pictures with their own budget. Output is length-prefixed with SPS and PPS
// in front of every keyframe.
#include <expected>
#include <memory>
#include <string>

#include "KivHostCore/Platform/EncoderBackend.hpp"

namespace kiv {

struct X264StreamSettings {
    std::string preset = "ultrafast";
    double vbvFrames = 1.0;
    double keyframeBudgetSeconds = 0.4;
    int streamQp = 21;
    bool skipUnchanged = true; // pass the unchanged macroblocks to x264
};

// An encoder's access unit (length-prefixed) as a device gets it: a keyframe is an IDR picture,
// SEI units go, and parameter sets stay only in front of a keyframe. (With the intra refresh x264
// also flags the picture where each sweep starts and repeats the sets there; a device must not
// take that for a picture it can start decoding from.) Malformed input gives an empty packet.
EncodedPacket decodablePacket(ByteView avcc, std::uint64_t ptsUs);

std::expected<std::unique_ptr<EncoderBackend>, std::string> openX264Stream(const EncoderOptions& options,
                                                                           const X264StreamSettings& settings);

} // namespace kiv
