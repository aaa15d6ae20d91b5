#include "KivHostCore/Audio/AudioConversion.hpp"

#include <cmath>
#include <cstring>
#include <fmt/format.h>

#include "KivProtocol/RemoteText.hpp"

namespace kiv {

std::string AudioCaptureError::description() const {
    switch (kind) {
    case Kind::permissionDenied: return RemoteText::make(RemoteText::audioPermission);
    case Kind::noDisplay: return RemoteText::make(RemoteText::audioNoDisplay);
    case Kind::startFailed: return RemoteText::make(RemoteText::audioStartFailed, {message});
    }
    return {};
}

namespace {

// Sample `index` of `buffer` as a float in [-1, 1]-ish; silence past the buffer's end.
template <bool Float>
float sampleAt(std::span<const std::uint8_t> buffer, std::size_t index) {
    constexpr std::size_t size = Float ? 4 : 2;
    if (index >= buffer.size() / size) return 0.0F;
    if constexpr (Float) {
        float value;
        std::memcpy(&value, buffer.data() + index * size, size);
        return value;
    } else {
        std::int16_t value;
        std::memcpy(&value, buffer.data() + index * size, size);
        return static_cast<float>(value) / 32768.0F;
    }
}

std::int16_t toS16(float v) {
    if (!(v < 1.0F)) return 32767; // also NaN
    return static_cast<std::int16_t>(std::max(v, -1.0F) * 32767.0F);
}

template <bool Float>
void convertInto(std::uint8_t* out, const AudioBufferFormat& format,
                 std::span<const std::span<const std::uint8_t>> buffers, std::size_t frames) {
    const auto inChannels = static_cast<std::size_t>(format.channelsPerFrame);
    const std::size_t source[2] = {0, std::min<std::size_t>(1, inChannels - 1)};
    for (std::size_t f = 0; f < frames; ++f) {
        for (std::size_t c = 0; c < 2; ++c) {
            float v = 0.0F;
            if (format.isNonInterleaved) {
                if (source[c] < buffers.size()) v = sampleAt<Float>(buffers[source[c]], f);
            } else if (!buffers.empty()) {
                v = sampleAt<Float>(buffers[0], f * inChannels + source[c]);
            }
            const std::int16_t s = toS16(v);
            std::memcpy(out + (f * 2 + c) * 2, &s, 2); // host order is little-endian here
        }
    }
}

} // namespace

std::optional<AudioChunk> convertAudioBuffer(const AudioBufferFormat& format,
                                             std::span<const std::span<const std::uint8_t>> buffers,
                                             std::int64_t frames, std::uint64_t captureTimeUs) {
    const bool f32 = format.isFloat && format.bitsPerChannel == 32;
    const bool s16 = !format.isFloat && format.bitsPerChannel == 16;
    if (frames <= 0 || frames > kMaxAudioFrames || format.channelsPerFrame < 1 || (!f32 && !s16)) return std::nullopt;
    // A rate that does not fit the chunk's integer is as unusable as a missing one.
    if (!(format.sampleRate >= 1.0 && format.sampleRate < 1e9)) return std::nullopt;
    AudioChunk chunk;
    chunk.pcm.resize(static_cast<std::size_t>(frames) * 4);
    chunk.channels = 2;
    chunk.sampleRate = static_cast<std::int64_t>(format.sampleRate);
    chunk.captureTimeUs = captureTimeUs;
    if (f32)
        convertInto<true>(chunk.pcm.data(), format, buffers, static_cast<std::size_t>(frames));
    else
        convertInto<false>(chunk.pcm.data(), format, buffers, static_cast<std::size_t>(frames));
    return chunk;
}

std::string describeAudioFormat(const AudioBufferFormat& format, std::int64_t frames) {
    return fmt::format("{}Hz {}ch {}bit{}{} → s16 interleaved, {} frames/buffer",
                       std::isfinite(format.sampleRate) ? static_cast<std::int64_t>(format.sampleRate) : 0,
                       format.channelsPerFrame, format.bitsPerChannel, format.isFloat ? " float" : "",
                       format.isNonInterleaved ? " planar" : "", frames);
}

} // namespace kiv
