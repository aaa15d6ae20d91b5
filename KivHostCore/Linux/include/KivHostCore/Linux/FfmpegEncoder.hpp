#pragma once
// H.264 through libavcodec: a hardware encoder that takes NV12 from memory (h264_nvenc, h264_qsv)
// when one opens and encodes a trial picture, else libx264 with tune=zerolatency, no B-frames,
// High profile and a VBV of about one frame. Only libx264 changes its bit rate in place.
// Output is length-prefixed with SPS and PPS in front of every keyframe (x264's annexb=0 form).
#include <memory>
#include <string>

#include "KivHostCore/Platform/EncoderBackend.hpp"

namespace kiv {

class FfmpegEncoderFactory final : public EncoderFactory {
public:
    // vbvFrames: the rate-control buffer in frames' worth of bits (1: lowest latency, blurrier keyframes).
    explicit FfmpegEncoderFactory(std::string x264Preset = "ultrafast", bool tryHardware = true, double vbvFrames = 1.0);
    std::expected<std::unique_ptr<EncoderBackend>, std::string> open(const EncoderOptions& options) override;

    // x264's CRF for a still-image quality q in 0...1: round(51 x (1 - q)), clamped to 0...51.
    static int crfFor(double quality);

private:
    bool probe(const void* codec, const EncoderOptions& options) const; // an AVCodec*

    std::string preset_;
    bool tryHardware_;
    double vbvFrames_;
};

} // namespace kiv
