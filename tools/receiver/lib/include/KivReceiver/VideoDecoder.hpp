#pragma once
// H.264 decoding on the device side: libavcodec's decoder fed one length-prefixed access unit at a
// time (as the host sends them), giving the picture's planes, in low-delay mode (one picture out
// per access unit in). Hardware decoding through VAAPI is used when the machine offers it, with
// software as the fallback, also when the hardware fails mid-stream. Corrupt input yields nothing,
// never a crash; the decoder recovers at the next keyframe.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "KivProtocol/ByteOrder.hpp"

namespace kiv::receiver {

// The decoder's own planes, not copies (copying out cost a millisecond a picture at 2732x2048):
// `owner` keeps them alive, and the decoder never writes a picture it has handed out.
struct DecodedPicture {
    int width = 0;
    int height = 0;
    const std::uint8_t* luma = nullptr; // width x height, video range, rows lumaStride apart
    int lumaStride = 0;
    // 4:2:0 chroma planes, (width+1)/2 x (height+1)/2 each, rows chromaStride apart; null for
    // other layouts.
    const std::uint8_t* chromaU = nullptr;
    const std::uint8_t* chromaV = nullptr;
    int chromaStride = 0;
    std::shared_ptr<const void> owner;
    // Mean luma of a rectangle clipped to the picture (0 when empty).
    double meanLuma(int x, int y, int w, int h) const;
};

class VideoDecoder {
public:
    struct Options {
        bool hardware = true; // try VAAPI first
        // The largest stream this decoder takes (long side, short side); hardware limits are
        // added to it. Nothing: no limit of its own.
        std::optional<std::pair<int, int>> maxSize;
    };
    VideoDecoder() : VideoDecoder(Options{}) {}
    explicit VideoDecoder(Options options);
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    // One access unit, NAL units each behind a 4-byte big-endian length.
    std::optional<DecodedPicture> decode(const Bytes& avcc);

    // "VAAPI hardware (/dev/dri/renderD128)" or "software (libavcodec)".
    std::string backend() const;
    bool isHardware() const;
    // (long side, short side) of the largest picture it takes, when there is a limit.
    std::optional<std::pair<int, int>> maxSize() const;
    // Whether a stream of width x height is beyond maxSize().
    bool tooLarge(int width, int height) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// How many 16x16 macroblocks a second this machine's decoder gets through: a second of 1080p
// made with libx264 here, decoded and timed. Nothing when no encoder is available to make it.
std::optional<std::int64_t> measureDecoderMBPerSecond();

} // namespace kiv::receiver
