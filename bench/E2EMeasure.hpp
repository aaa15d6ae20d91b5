#pragma once
// The end-to-end harness's yardstick: a counter-coded strip that a picture is read back from, and
// the crediting of each decoded picture to the newest flip it shows (never a stale one).
#include <sys/types.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "KivProtocol/H264Bitstream.hpp"
#include "KivProtocol/HostClock.hpp"
#include "KivReceiver/VideoDecoder.hpp"
#include "Percentile.hpp"

namespace kiv::e2e {

constexpr int kBits = 10; // counter cells in the strip
constexpr std::uint32_t kCodes = 1u << kBits;

using bench::percentile;

inline long long cpuTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long long total = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i == 14 || i == 15) total += std::stoll(field);
    return total;
}

// Where the strip's cells are, as fractions of the picture: a row across the upper middle.
inline double cellX(int bit) {
    return 0.1 + 0.8 * (bit + 0.5) / kBits;
}
constexpr double kCellY = 0.3;
constexpr double kCellW = 0.8 / kBits;
constexpr double kCellH = 0.12;

// The counter a picture shows, read from the centres of the strip's cells.
inline std::uint32_t readCode(const std::uint8_t* luma, int stride, int width, int height) {
    std::uint32_t code = 0;
    for (int bit = 0; bit < kBits; ++bit) {
        const int x = static_cast<int>(cellX(bit) * width);
        const int y = static_cast<int>((kCellY + kCellH / 2) * height);
        int sum = 0;
        for (int dy = -2; dy <= 2; ++dy)
            for (int dx = -2; dx <= 2; ++dx)
                sum += luma[(y + dy) * stride + x + dx];
        if (sum / 25 > 128) code |= 1u << bit;
    }
    return code;
}

struct Measure {
    std::mutex mutex;
    receiver::VideoDecoder decoder;
    std::map<std::uint64_t, std::uint64_t> painted; // flip sequence → paint time (µs, CLOCK_MONOTONIC)
    std::uint64_t newestShown = 0;                  // highest flip credited so far
    bool counting = false;
    std::vector<double> latencyMs;
    std::vector<double> keyframeLatencyMs; // the flips keyframes carried
    // Per credited flip: paint, the host's capture stamp, frame complete here, decoded (µs; one clock:
    // the host's stamps are CLOCK_MONOTONIC like ours).
    std::vector<std::array<std::uint64_t, 4>> credited;
    std::int64_t detected = 0;
    std::int64_t pictures = 0;
    std::pair<int, int> pictureSize; // of the last picture decoded
    std::uint64_t bytes = 0;
    // Called under mutex; `capturedAt`: the host's capture stamp (0 where the link carries none).
    std::function<void(const receiver::DecodedPicture&, std::uint64_t decodedAt, std::uint64_t capturedAt)> onPicture;

    void frame(const Bytes& data, std::uint64_t capturedAt, std::uint64_t receivedAt) {
        const std::lock_guard lock(mutex);
        bytes += data.size();
        const auto picture = decoder.decode(data);
        if (!picture) return;
        const auto decodedAt = HostClock::nowMicros();
        ++pictures;
        pictureSize = {picture->width, picture->height};
        if (onPicture) onPicture(*picture, decodedAt, capturedAt);
        bool keyframe = false;
        if (const auto units = H264Bitstream::splitAVCC(data))
            keyframe =
                std::any_of(units->begin(), units->end(), [](ByteView unit) { return H264Bitstream::type(unit) == 5; });
        credit(readCode(picture->luma, picture->lumaStride, picture->width, picture->height), decodedAt, capturedAt,
               receivedAt, keyframe);
    }

    // Under mutex.
    void credit(std::uint32_t code, std::uint64_t decodedAt, std::uint64_t capturedAt, std::uint64_t receivedAt,
                bool keyframe = false) {
        // The newest painted flip with this code; older codes (a stale picture) never match a newer flip.
        for (auto it = painted.rbegin(); it != painted.rend(); ++it) {
            if ((it->first % kCodes) != code) continue;
            if (it->first <= newestShown) break;
            newestShown = it->first;
            if (counting) {
                ++detected;
                latencyMs.push_back(static_cast<double>(decodedAt - it->second) / 1000.0);
                if (keyframe) keyframeLatencyMs.push_back(latencyMs.back());
                if (capturedAt != 0) credited.push_back({it->second, capturedAt, receivedAt, decodedAt});
            }
            break;
        }
    }
};

} // namespace kiv::e2e
