#pragma once
// H.264 decoding on the device side: libavcodec's decoder fed one length-prefixed access unit at a
// time (as the host sends them), giving the picture's planes. Corrupt input yields nothing, never a
// crash; the decoder recovers at the next keyframe.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "KivProtocol/ByteOrder.hpp"

namespace kiv::receiver {

struct DecodedPicture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> luma; // width x height, video range
    // 4:2:0 chroma planes, (width+1)/2 x (height+1)/2 each; empty for other layouts.
    std::vector<std::uint8_t> chromaU;
    std::vector<std::uint8_t> chromaV;
    // Mean luma of a rectangle clipped to the picture (0 when empty).
    double meanLuma(int x, int y, int w, int h) const;
};

class VideoDecoder {
public:
    VideoDecoder();
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    // One access unit, NAL units each behind a 4-byte big-endian length.
    std::optional<DecodedPicture> decode(const Bytes& avcc);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// How many 16x16 macroblocks a second this machine's decoder gets through: a second of 1080p
// made with libx264 here, decoded and timed. Nothing when no encoder is available to make it.
std::optional<std::int64_t> measureDecoderMBPerSecond();

} // namespace kiv::receiver
