#pragma once
// One captured buffer, whatever its layout, into a 16-bit interleaved stereo chunk: one pass into
// one preallocated output, no intermediate float buffer.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "KivHostCore/Platform/AudioRecorder.hpp"
#include "KivHostCore/Platform/AudioSource.hpp"

namespace kiv {

// Largest buffer converted (about 11 minutes at 48 kHz); larger claims yield nothing.
inline constexpr std::int64_t kMaxAudioFrames = 1 << 25;

// `buffers`: the single interleaved buffer, or one per channel. Samples a buffer is too short to
// hold, and channels without a buffer, are silence. Only f32 and s16 input with at least one
// channel and one frame yields a chunk. Mono feeds both outputs; channels past the second are ignored.
std::optional<AudioChunk> convertAudioBuffer(const AudioBufferFormat& format,
                                             std::span<const std::span<const std::uint8_t>> buffers,
                                             std::int64_t frames, std::uint64_t captureTimeUs);

// "<rate>Hz <channels>ch <bits>bit[ float][ planar] → s16 interleaved, <frames> frames/buffer"
std::string describeAudioFormat(const AudioBufferFormat& format, std::int64_t frames);

} // namespace kiv
