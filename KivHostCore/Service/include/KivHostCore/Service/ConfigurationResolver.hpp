#pragma once
// Turns the user's settings and the device's report into one concrete display and stream
// configuration; classifies changes; lists fallbacks for display modes the system refuses.
// Pure functions: the same inputs always give the same configuration.
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "KivProtocol/ControlMessage.hpp"
#include "KivProtocol/SessionSettings.hpp"

namespace kiv::ConfigurationResolver {

inline constexpr std::int64_t maxStreamLong = 2732;
inline constexpr std::int64_t maxStreamShort = 2048;
inline constexpr std::int64_t maxLogicalLong = 2560;
inline constexpr std::int64_t minLogicalLong = 800;
inline constexpr std::int64_t minLogicalShort = 540;
inline constexpr std::int64_t kReferencePixels = 2048 * 1536;
inline constexpr double kLadderFactors[] = {1.06, 1.15, 1.3, 1.5};

enum class Level { none, encoder, stream, display };
std::string_view toText(Level level);

struct StreamCap {
    std::int64_t longSide = 0;
    std::int64_t shortSide = 0;
    bool operator==(const StreamCap&) const = default;
};

DisplayConfiguration resolve(const SessionSettings& settings, const std::optional<ScreenInfo>& screen, QualityTier tier,
                             const std::optional<StreamCap>& streamCap, std::int64_t recommendedFPS,
                             TransportKind transport, std::optional<std::int64_t> decoderMBPerSecond);

// The mirroring fallback: the desktop itself at scale 1, its stream through the same tier scale,
// caps, decoder capacity, bit rate and refinement as a device's; rate and tier stay `wanted`'s.
DisplayConfiguration resolveMirror(const DisplayConfiguration& wanted, std::int64_t desktopWidth,
                                   std::int64_t desktopHeight, const std::optional<StreamCap>& streamCap,
                                   TransportKind transport, std::optional<std::int64_t> decoderMBPerSecond);

// `wanted` for a monitor the desktop draws with drawnWidth×drawnHeight pixels: a stream larger
// than that would carry only pixels the capture made up by scaling (a desktop that draws fewer
// pixels per point than the 2× backing), so it gets the drawn size through the same tier scale,
// caps, decoder capacity, bit rate and refinement. Unchanged when the drawing has enough pixels.
DisplayConfiguration fitToDrawn(const DisplayConfiguration& wanted, std::int64_t drawnWidth, std::int64_t drawnHeight,
                                const std::optional<StreamCap>& streamCap, TransportKind transport,
                                std::optional<std::int64_t> decoderMBPerSecond);

// fitToDrawn for a desktop that draws `pixelsPerPoint` pixels per logical point.
DisplayConfiguration fitToDrawnScale(const DisplayConfiguration& wanted, double pixelsPerPoint,
                                     const std::optional<StreamCap>& streamCap, TransportKind transport,
                                     std::optional<std::int64_t> decoderMBPerSecond);

// Whether `config` is the mirroring fallback's, which streams the desktop instead of a monitor.
bool isMirror(const DisplayConfiguration& config);

Level classify(const DisplayConfiguration& from, const DisplayConfiguration& to);

// Retina candidates at growing logical sizes (while they fit 2560 points), then one non-Retina.
std::vector<DisplayConfiguration> compatibilityLadder(const DisplayConfiguration& config);

} // namespace kiv::ConfigurationResolver
