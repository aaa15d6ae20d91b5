#include "KivHostCore/Service/ConfigurationResolver.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fmt/format.h>

#include "KivProtocol/RemoteText.hpp"

namespace kiv::ConfigurationResolver {

namespace {

// Inputs the protocol can carry never get here; a non-finite value means a bug upstream.
std::int64_t toInt(double value) {
    if (!std::isfinite(value) || std::fabs(value) > 9.0e18) {
        std::fprintf(stderr, "ConfigurationResolver: value out of range: %f\n", value);
        std::abort();
    }
    return static_cast<std::int64_t>(value);
}

std::int64_t roundHalfAway(double value) {
    return toInt(std::round(value));
}
std::int64_t evenDown(std::int64_t value) {
    return value & ~std::int64_t{1};
}
std::int64_t evenUp(std::int64_t value) {
    return value % 2 != 0 ? value + 1 : value;
}

std::int64_t effectiveRefinementWidth(const DisplayConfiguration& c) {
    return c.refinementWidth.value_or(c.streamWidth);
}
std::int64_t effectiveRefinementHeight(const DisplayConfiguration& c) {
    return c.refinementHeight.value_or(c.streamHeight);
}

void applyCap(double& width, double& height, double capLong, double capShort) {
    const double widthLimit = height <= width ? capLong : capShort;
    const double heightLimit = height <= width ? capShort : capLong;
    const double s = std::min({1.0, widthLimit / width, heightLimit / height});
    width *= s;
    height *= s;
}

} // namespace

std::string_view toText(Level level) {
    switch (level) {
    case Level::none: return "none";
    case Level::encoder: return "encoder";
    case Level::stream: return "stream";
    case Level::display: return "display";
    }
    return "?";
}

namespace {

// Steps 6-8 and 10-12 of a stream from its base size: tier scale, caps, even sizes, the decoder's
// capacity at c.fps, bit rate and refinement.
void fitStream(DisplayConfiguration& c, double ws, double hs, QualityTier tier,
               const std::optional<StreamCap>& streamCap, TransportKind transport,
               std::optional<std::int64_t> decoderMBPerSecond, bool staticRefinement,
               const std::optional<StreamCap>& screenCap = std::nullopt) {
    ws *= streamScale(tier);
    hs *= streamScale(tier);
    if (screenCap)
        applyCap(ws, hs, static_cast<double>(screenCap->longSide), static_cast<double>(screenCap->shortSide));
    applyCap(ws, hs, static_cast<double>(maxStreamLong), static_cast<double>(maxStreamShort));
    if (streamCap)
        applyCap(ws, hs, static_cast<double>(streamCap->longSide), static_cast<double>(streamCap->shortSide));
    c.streamWidth = evenDown(std::max<std::int64_t>(roundHalfAway(ws), 2));
    c.streamHeight = evenDown(std::max<std::int64_t>(roundHalfAway(hs), 2));
    // Decoder capacity.
    const std::int64_t fullWidth = c.streamWidth;
    const std::int64_t fullHeight = c.streamHeight;
    if (decoderMBPerSecond && *decoderMBPerSecond >= 1) {
        const std::int64_t macroblocks = ((c.streamWidth + 15) / 16) * ((c.streamHeight + 15) / 16);
        const double budget = static_cast<double>(*decoderMBPerSecond) / static_cast<double>(c.fps);
        if (budget < static_cast<double>(macroblocks)) {
            const double k = std::sqrt(budget / static_cast<double>(macroblocks));
            c.streamWidth =
                std::max<std::int64_t>(16 * toInt(std::trunc(static_cast<double>(c.streamWidth) * k / 16.0)), 16);
            c.streamHeight =
                std::max<std::int64_t>(16 * toInt(std::trunc(static_cast<double>(c.streamHeight) * k / 16.0)), 16);
        }
    }
    // Bit rate scaled from the 2048x1536 reference.
    c.bitrate = std::max<std::int64_t>(
        toInt(std::trunc(static_cast<double>(baseBitrate(tier, transport)) * static_cast<double>(c.streamWidth) *
                         static_cast<double>(c.streamHeight) / static_cast<double>(kReferencePixels))),
        1'000'000);
    c.tier = tier;
    c.refinementQuality = staticRefinement ? refinementQuality(tier) : 0.0;
    c.refinementWidth.reset();
    c.refinementHeight.reset();
    if (c.streamWidth != fullWidth || c.streamHeight != fullHeight) {
        c.refinementWidth = fullWidth;
        c.refinementHeight = fullHeight;
    }
}

} // namespace

DisplayConfiguration resolve(const SessionSettings& settings, const std::optional<ScreenInfo>& screen, QualityTier tier,
                             const std::optional<StreamCap>& streamCap, std::int64_t recommendedFPS,
                             TransportKind transport, std::optional<std::int64_t> decoderMBPerSecond) {
    // 1. Device pixels, arranged by orientation.
    std::int64_t a = 2048;
    std::int64_t b = 1536;
    if (screen && screen->widthPixels >= 1 && screen->heightPixels >= 1) {
        a = screen->widthPixels;
        b = screen->heightPixels;
    }
    std::int64_t width = 2048;
    std::int64_t height = 1536;
    if (screen) {
        const bool portrait = screen->orientation == Orientation::portrait;
        width = portrait ? std::min(a, b) : std::max(a, b);
        height = portrait ? std::max(a, b) : std::min(a, b);
    }
    // 2-3. Factors in points.
    const double longPoints = static_cast<double>(std::max(width, height)) / 2.0;
    const double shortPoints = static_cast<double>(std::min(width, height)) / 2.0;
    const double wanted =
        std::min(static_cast<double>(maxLogicalLong) / longPoints, logicalFactor(settings.displaySize));
    const double minimum =
        std::max(static_cast<double>(minLogicalLong) / longPoints, static_cast<double>(minLogicalShort) / shortPoints);
    // 4. Logical size.
    DisplayConfiguration c;
    c.scaleFactor = 2;
    double factor = wanted;
    if (wanted < minimum) {
        factor = minimum;
        c.logicalWidth = evenUp(toInt(std::ceil(static_cast<double>(width) / 2.0 * minimum)));
        c.logicalHeight = evenUp(toInt(std::ceil(static_cast<double>(height) / 2.0 * minimum)));
        c.limitedByMinimumDesktop = true;
    } else {
        c.logicalWidth = evenDown(std::max<std::int64_t>(roundHalfAway(static_cast<double>(width) / 2.0 * wanted), 2));
        c.logicalHeight =
            evenDown(std::max<std::int64_t>(roundHalfAway(static_cast<double>(height) / 2.0 * wanted), 2));
    }
    // 5. Base stream size: the backing size when text is enlarged, else the device's pixels.
    const double ws = factor < 1.0 ? 2.0 * static_cast<double>(c.logicalWidth) : static_cast<double>(width);
    const double hs = factor < 1.0 ? 2.0 * static_cast<double>(c.logicalHeight) : static_cast<double>(height);
    // 9. Frame rate.
    if (settings.fps == 120 && recommendedFPS >= 120)
        c.fps = 120;
    else if (settings.fps == 60 || settings.fps == 120 ||
             (settings.fps == 0 && transport == TransportKind::usb && recommendedFPS >= 60))
        c.fps = 60;
    else
        c.fps = 30;
    fitStream(c, ws, hs, tier, streamCap, transport, decoderMBPerSecond, settings.staticRefinement);
    return c;
}

DisplayConfiguration resolveMirror(const DisplayConfiguration& wanted, std::int64_t desktopWidth,
                                   std::int64_t desktopHeight, const std::optional<StreamCap>& streamCap,
                                   TransportKind transport, std::optional<std::int64_t> decoderMBPerSecond) {
    DisplayConfiguration c = wanted;
    c.logicalWidth = std::max<std::int64_t>(desktopWidth, 2);
    c.logicalHeight = std::max<std::int64_t>(desktopHeight, 2);
    c.scaleFactor = 1;
    c.limitedByMinimumDesktop.reset();
    // No larger than the stream the device would get for a monitor of its own: more pixels than
    // its screen shows would only cost bandwidth and encoding.
    const std::int64_t ownWidth = effectiveRefinementWidth(wanted);
    const std::int64_t ownHeight = effectiveRefinementHeight(wanted);
    const StreamCap screenCap{std::max(ownWidth, ownHeight), std::min(ownWidth, ownHeight)};
    fitStream(c, static_cast<double>(c.logicalWidth), static_cast<double>(c.logicalHeight), wanted.tier, streamCap,
              transport, decoderMBPerSecond, wanted.refinementQuality > 0, screenCap);
    return c;
}

DisplayConfiguration fitToDrawn(const DisplayConfiguration& wanted, std::int64_t drawnWidth, std::int64_t drawnHeight,
                                const std::optional<StreamCap>& streamCap, TransportKind transport,
                                std::optional<std::int64_t> decoderMBPerSecond) {
    const std::int64_t ownWidth = effectiveRefinementWidth(wanted);
    const std::int64_t ownHeight = effectiveRefinementHeight(wanted);
    if (drawnWidth < 2 || drawnHeight < 2 || (drawnWidth >= ownWidth && drawnHeight >= ownHeight)) return wanted;
    DisplayConfiguration c = wanted;
    const StreamCap ownCap{std::max(ownWidth, ownHeight), std::min(ownWidth, ownHeight)};
    fitStream(c, static_cast<double>(drawnWidth), static_cast<double>(drawnHeight), wanted.tier, streamCap, transport,
              decoderMBPerSecond, wanted.refinementQuality > 0, ownCap);
    return c;
}

DisplayConfiguration fitToDrawnScale(const DisplayConfiguration& wanted, double pixelsPerPoint,
                                     const std::optional<StreamCap>& streamCap, TransportKind transport,
                                     std::optional<std::int64_t> decoderMBPerSecond) {
    if (isMirror(wanted)) return wanted;
    const auto side = [pixelsPerPoint](std::int64_t points) {
        return std::max<std::int64_t>(2, std::llround(static_cast<double>(points) * pixelsPerPoint / 2.0) * 2);
    };
    return fitToDrawn(wanted, side(wanted.logicalWidth), side(wanted.logicalHeight), streamCap, transport,
                      decoderMBPerSecond);
}

bool isMirror(const DisplayConfiguration& config) {
    return config.compatibilityNote == RemoteText::make(RemoteText::compatMirror);
}

Level classify(const DisplayConfiguration& from, const DisplayConfiguration& to) {
    if (from.logicalWidth != to.logicalWidth || from.logicalHeight != to.logicalHeight ||
        from.scaleFactor != to.scaleFactor) {
        return Level::display;
    }
    if (from.streamWidth != to.streamWidth || from.streamHeight != to.streamHeight || from.fps != to.fps)
        return Level::stream;
    if (effectiveRefinementWidth(from) != effectiveRefinementWidth(to) ||
        effectiveRefinementHeight(from) != effectiveRefinementHeight(to)) {
        return Level::stream;
    }
    if (from.bitrate != to.bitrate || from.tier != to.tier || from.refinementQuality != to.refinementQuality) {
        return Level::encoder;
    }
    return Level::none;
}

std::vector<DisplayConfiguration> compatibilityLadder(const DisplayConfiguration& config) {
    std::vector<DisplayConfiguration> ladder;
    const std::string refused = fmt::format("{}×{}", config.logicalWidth, config.logicalHeight);
    for (const double k : kLadderFactors) {
        const std::int64_t w = evenUp(toInt(std::ceil(static_cast<double>(config.logicalWidth) * k)));
        const std::int64_t h = evenUp(toInt(std::ceil(static_cast<double>(config.logicalHeight) * k)));
        if (std::max(w, h) > maxLogicalLong) break;
        DisplayConfiguration candidate = config;
        candidate.logicalWidth = w;
        candidate.logicalHeight = h;
        candidate.compatibilityNote = RemoteText::make(RemoteText::compatRetina, {refused, fmt::format("{}×{}", w, h)});
        ladder.push_back(std::move(candidate));
    }
    const auto rw = static_cast<double>(effectiveRefinementWidth(config));
    const auto rh = static_cast<double>(effectiveRefinementHeight(config));
    const double g = std::max({1.0, static_cast<double>(minLogicalLong) / std::max(rw, rh),
                               static_cast<double>(minLogicalShort) / std::min(rw, rh)});
    DisplayConfiguration nonRetina = config;
    nonRetina.logicalWidth = evenUp(toInt(std::ceil(g * rw)));
    nonRetina.logicalHeight = evenUp(toInt(std::ceil(g * rh)));
    nonRetina.scaleFactor = 1;
    nonRetina.compatibilityNote = RemoteText::make(
        RemoteText::compatNonRetina, {refused, fmt::format("{}×{}", nonRetina.logicalWidth, nonRetina.logicalHeight)});
    ladder.push_back(std::move(nonRetina));
    return ladder;
}

} // namespace kiv::ConfigurationResolver
