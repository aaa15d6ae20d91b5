#pragma once
// H.264 encoders: a hardware encoder through libavcodec that takes NV12 from memory (h264_nvenc,
// h264_qsv) when one opens and encodes a trial picture, else libx264 driven directly
// (openX264Stream); still images through libavcodec's libx264 at constant quality. Only libx264
// changes its bit rate in place.
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
    // libx264's stream: the quantizer of pictures that fit the bit rate (the finest it sends).
    static constexpr int kStreamQp = 21;
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
