#pragma once
// Time-to-sharp: a detailed block moves over a detailed picture for half a second and stops. How
// sharp is the first picture after it stopped (the main stream), and how long until the device
// shows the still screen at 45 dB or better (the refinement)?
#include <chrono>
#include <map>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "E2EMeasure.hpp"
#include "KivHostCore/Linux/X11ScreenGrabber.hpp"
#include "KivHostCore/Platform/PixelBuffer.hpp"
#include "KivHostCore/Testing/LumaPsnr.hpp"
#include "KivHostCore/Testing/XPainter.hpp"

namespace kiv::e2e {

struct Sharpness {
    double firstPsnr = 0;    // the first picture captured after the motion stopped
    double finalPsnr = 0;    // the last one, 2.5 s later
    double timeToSharp = -1; // ms from the last paint to a picture at >= 45 dB; -1: never
};

// Black strokes on white over the top half, a noisy gradient below: text and a photo.
inline std::vector<std::uint32_t> detailedPicture(int w, int h, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            std::uint32_t rgb = 0;
            if (y < h / 2) {
                const bool stroke =
                    (x / 2 + y / 7 + static_cast<int>(seed)) % 5 == 0 && y % 14 < 10 && (x / 60) % 4 != 3;
                rgb = stroke ? 0x101010u : 0xF0F0F0u;
            } else {
                const auto v = static_cast<std::uint32_t>((x + 2 * y) % 200) + static_cast<std::uint32_t>(rng() % 40);
                rgb = (v << 16) | ((255 - v) << 8) | (v / 2);
            }
            pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x)] = rgb;
        }
    }
    return pixels;
}

// `monitor` is the device's monitor on the host's X server. Each picture is compared with the
// monitor's picture converted to that picture's size (the stream's, or the refinement's).
inline Sharpness measureSharpness(test::Painter& painter, Measure& measure, std::array<int, 4> monitor) {
    using namespace std::chrono_literals;
    const auto [mx, my, mw, mh] = monitor;
    painter.image(detailedPicture(mw, mh, 1), mx, my, mw, mh);
    std::this_thread::sleep_for(1s); // the still picture is refined before the motion starts
    std::vector<std::pair<std::uint64_t, receiver::DecodedPicture>> shown;
    std::uint64_t lastPaint = 0; // under the measure's mutex, as `shown`
    {
        const std::lock_guard lock(measure.mutex);
        // A picture decoded after the last paint may have been captured before it (the block one
        // step short of where it stopped): only pictures captured after it count.
        measure.onPicture = [&](const receiver::DecodedPicture& picture, std::uint64_t decodedAt,
                                std::uint64_t capturedAt) {
            if (lastPaint != 0 && (capturedAt == 0 ? decodedAt : capturedAt) >= lastPaint)
                shown.emplace_back(decodedAt, picture);
        };
    }
    const int bw = std::min(mw / 3, 640), bh = std::min(mh / 3, 360);
    const auto block = detailedPicture(bw, bh, 2);
    for (int step = 0; step < 30; ++step) { // half a second at 60 Hz
        painter.image(block, mx + mw / 4 + 4 * step, my + mh / 4 + 2 * step, bw, bh);
        if (step < 29) std::this_thread::sleep_for(16ms);
    }
    {
        const std::lock_guard lock(measure.mutex); // the last moved picture is yet to be decoded
        lastPaint = HostClock::nowMicros();
    }
    std::this_thread::sleep_for(2500ms);
    {
        const std::lock_guard lock(measure.mutex);
        measure.onPicture = nullptr;
    }
    Sharpness result;
    const auto bgra = painter.grab(mx, my, mw, mh);
    if (bgra.empty() || shown.empty()) return result;
    std::map<std::pair<int, int>, PixelBuffer> references;
    const auto psnr = [&](const receiver::DecodedPicture& picture) {
        auto [at, added] = references.try_emplace({picture.width, picture.height}, picture.width, picture.height);
        if (added) X11ScreenGrabber::convert(bgra.data(), mw * 4, mw, mh, at->second);
        return test::lumaPsnr(picture.luma, picture.lumaStride, at->second.luma(), at->second.lumaStride(),
                              picture.width, picture.height);
    };
    result.firstPsnr = psnr(shown.front().second);
    result.finalPsnr = psnr(shown.back().second);
    for (const auto& [at, picture] : shown) {
        if (psnr(picture) >= 45.0) {
            result.timeToSharp = static_cast<double>(at - lastPaint) / 1000.0;
            break;
        }
    }
    return result;
}

} // namespace kiv::e2e
