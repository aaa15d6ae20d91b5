#pragma once
// One H.264 encoding session of the platform (libavcodec on Linux). Threading: used from the
// encoder's queue only. Output is length-prefixed (AVCC) with SPS then PPS in front of keyframes.
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KivHostCore/Platform/PixelBuffer.hpp"
#include "KivProtocol/ByteOrder.hpp"

namespace kiv {

struct EncoderOptions {
    int width = 0;
    int height = 0;
    int fps = 30;
    std::int64_t bitrate = 8'000'000;
    int keyframeIntervalFrames = 60;
    std::optional<double> quality; // still-image mode: every frame a keyframe at constant quality
    bool operator==(const EncoderOptions&) const = default;
};

struct EncodedPacket {
    Bytes data; // AVCC
    bool isKeyframe = false;
    std::uint64_t ptsUs = 0;
};

class EncoderBackend {
public:
    virtual ~EncoderBackend() = default;
    virtual bool isHardware() const = 0;
    virtual std::string name() const = 0;
    // Zero or more finished packets; a negative platform status on failure.
    virtual std::expected<std::vector<EncodedPacket>, int> encode(const PixelBuffer& buffer, std::uint64_t ptsUs,
                                                                  bool forceKeyframe) = 0;
    virtual bool setBitrate(std::int64_t bitrate) = 0;
};

// Opens encoders; the composition root supplies the platform's.
class EncoderFactory {
public:
    virtual ~EncoderFactory() = default;
    virtual std::expected<std::unique_ptr<EncoderBackend>, std::string> open(const EncoderOptions& options) = 0;
};

} // namespace kiv
