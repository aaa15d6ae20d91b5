#pragma once
// H.264 through libavcodec: a hardware encoder that takes NV12 from memory (h264_nvenc, h264_qsv)
// when one opens and encodes a trial picture, else libx264 with tune=zerolatency, no B-frames,
// High profile, constant quality capped by a VBV of about one frame, and keyframes given a larger
// budget. Only libx264 changes its bit rate in place.
// Output is length-prefixed with SPS and PPS in front of every keyframe (x264's annexb=0 form).
#include <memory>
#include <string>

#include "KivHostCore/Platform/EncoderBackend.hpp"

namespace kiv {

class FfmpegEncoderFactory final : public EncoderFactory {
public:
    // vbvFrames: the rate-control buffer in frames' worth of bits (1: lowest latency).
    // keyframeBudgetSeconds: what libx264's keyframes may take, in seconds of the bit rate: the
    // first picture and every forced keyframe (0: a frame's buffer, like any other picture).
    explicit FfmpegEncoderFactory(std::string x264Preset = "ultrafast", bool tryHardware = true, double vbvFrames = 1.0,
                                  double keyframeBudgetSeconds = kKeyframeBudgetSeconds);
    static constexpr double kKeyframeBudgetSeconds = 0.4;
    // libx264's stream: the quality no picture goes beyond, whatever the bit rate would allow.
    static constexpr int kStreamCrf = 20;
    std::expected<std::unique_ptr<EncoderBackend>, std::string> open(const EncoderOptions& options) override;

    // x264's CRF for a still-image quality q in 0...1: round(51 x (1 - q)), clamped to 0...51.
    static int crfFor(double quality);

private:
    bool probe(const void* codec, const EncoderOptions& options) const; // an AVCodec*

    std::string preset_;
    bool tryHardware_;
    double vbvFrames_;
    double keyframeBudgetSeconds_;
};

} // namespace kiv
