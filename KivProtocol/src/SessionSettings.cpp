#include "KivProtocol/SessionSettings.hpp"

#include <fmt/format.h>

#include "KivProtocol/Localization.hpp"

namespace kiv {
namespace {

struct DisplaySizeRow {
    std::string_view title;
    double factor;
    bool enlarges;
};

constexpr std::array<DisplaySizeRow, 7> kDisplaySizes{{
    {"Huge Text", 0.5, true},
    {"Extra Large Text", 2.0 / 3.0, true},
    {"Large Text", 0.8, true},
    {"Larger Text", 1.0, false},
    {"Default", 1.25, false},
    {"More Space", 1.40625, false},
    {"Most Space", 1.5, false},
}};

const DisplaySizeRow& row(DisplaySize size) {
    return kDisplaySizes[static_cast<std::size_t>(size)];
}

std::string percent(double fraction) {
    return fmt::format("{:.0f}%", fraction * 100.0);
}

std::string replacePlaceholder(std::string text, std::string_view value) {
    if (const auto at = text.find("%@"); at != std::string::npos) text.replace(at, 2, value);
    return text;
}

struct TierRow {
    std::string_view title;
    std::int64_t wifiBitrate;
    std::int64_t usbBitrate;
    double streamScale;
    double refinementQuality;
};

constexpr std::array<TierRow, 5> kTiers{{
    {"Smooth (low bandwidth)", 3'000'000, 8'000'000, 0.75, 0.80},
    {"Smooth", 4'000'000, 12'000'000, 1.0, 0.80},
    {"Standard", 8'000'000, 20'000'000, 1.0, 0.85},
    {"Clear", 12'000'000, 30'000'000, 1.0, 0.85},
    {"Ultra", 20'000'000, 50'000'000, 1.0, 0.90},
}};

const TierRow& row(QualityTier tier) {
    return kTiers[static_cast<std::size_t>(tier)];
}

} // namespace

std::string title(DisplaySize size) {
    return localize(row(size).title);
}

std::string detail(DisplaySize size) {
    switch (size) {
    case DisplaySize::huge:
        return localize(
            "Text ×2: great for dashboards viewed from a distance. The host renders at HiDPI and scales by an "
            "exact 2×, so edges stay clean.");
    case DisplaySize::extraLarge:
        return localize("Text ×1.5: the host renders at HiDPI and scales up proportionally; slightly softer.");
    case DisplaySize::large:
        return localize("Text ×1.25: the host renders at HiDPI and scales up proportionally; slightly softer.");
    case DisplaySize::larger: return localize("1:1 with the screen's pixels; the sharpest.");
    case DisplaySize::standard:
        return replacePlaceholder(localize("About %@ more desktop space than 1:1."), percent(0.56));
    case DisplaySize::moreSpace:
        return replacePlaceholder(localize("About %@ more desktop space than 1:1; smaller text."), percent(0.98));
    case DisplaySize::mostSpace:
        return replacePlaceholder(localize("%@ more desktop space than 1:1; the smallest text."), percent(1.25));
    }
    return {};
}

double logicalFactor(DisplaySize size) {
    return row(size).factor;
}
bool enlargesText(DisplaySize size) {
    return row(size).enlarges;
}

std::optional<DisplaySize> biggerText(DisplaySize size) {
    if (size == DisplaySize::huge) return std::nullopt;
    return static_cast<DisplaySize>(static_cast<int>(size) - 1);
}

std::optional<DisplaySize> moreSpaceStep(DisplaySize size) {
    if (size == DisplaySize::mostSpace) return std::nullopt;
    return static_cast<DisplaySize>(static_cast<int>(size) + 1);
}

std::string title(QualityMode mode) {
    switch (mode) {
    case QualityMode::automatic: return localize("Auto");
    case QualityMode::smooth: return localize("Smooth");
    case QualityMode::standard: return localize("Standard");
    case QualityMode::clear: return localize("Clear");
    case QualityMode::ultra: return localize("Ultra");
    }
    return {};
}

std::string title(QualityTier tier) {
    return localize(row(tier).title);
}
std::int64_t baseBitrate(QualityTier tier) {
    return row(tier).wifiBitrate;
}
std::int64_t baseBitrate(QualityTier tier, TransportKind kind) {
    return kind == TransportKind::usb ? row(tier).usbBitrate : row(tier).wifiBitrate;
}
double streamScale(QualityTier tier) {
    return row(tier).streamScale;
}
double refinementQuality(QualityTier tier) {
    return row(tier).refinementQuality;
}

QualityTier tierFor(QualityMode mode) {
    switch (mode) {
    case QualityMode::automatic: return QualityTier::clear;
    case QualityMode::smooth: return QualityTier::smooth;
    case QualityMode::standard: return QualityTier::standard;
    case QualityMode::clear: return QualityTier::clear;
    case QualityMode::ultra: return QualityTier::ultra;
    }
    return QualityTier::clear;
}

std::string title(AudioRoute route, std::string_view deviceName) {
    switch (route) {
    case AudioRoute::host: return localize("This Computer");
    case AudioRoute::device: return std::string(deviceName);
    case AudioRoute::both: return std::string(deviceName) + localize(" + This Computer");
    }
    return {};
}

bool streamsToDevice(AudioRoute route) {
    return route == AudioRoute::device || route == AudioRoute::both;
}
bool mutesHost(AudioRoute route) {
    return route == AudioRoute::device;
}

std::string fpsTitle(std::int64_t fps) {
    if (fps == 0) return localize("Auto");
    return fmt::format("{}{}", fps, localize(" FPS"));
}

std::string fpsTitle(std::int64_t fps, bool reducesResolution) {
    if (!reducesResolution) return fpsTitle(fps);
    return fmt::format("{}{}", fps, localize(" FPS · Lower Resolution"));
}

std::string DisplayConfiguration::text() const {
    std::string suffix;
    const auto refineWidth = refinementWidth.value_or(streamWidth);
    const auto refineHeight = refinementHeight.value_or(streamHeight);
    if (refineWidth != streamWidth || refineHeight != streamHeight) {
        suffix += fmt::format(" (reduced for decoder; refine {}×{})", refineWidth, refineHeight);
    }
    if (limitedByMinimumDesktop.value_or(false)) suffix += " (minimum desktop)";
    if (compatibilityNote) suffix += fmt::format(" (compat: {})", *compatibilityNote);
    const std::string refine = refinementQuality > 0 ? fmt::format("{:.2f}", refinementQuality) : "off";
    return fmt::format("logical {}×{}@{}x (backing {}×{}) → stream {}×{}@{}{} {:.1f}Mbps tier={} refine={}",
                       logicalWidth, logicalHeight, scaleFactor, logicalWidth * scaleFactor,
                       logicalHeight * scaleFactor, streamWidth, streamHeight, fps, suffix,
                       static_cast<double>(bitrate) / 1'000'000.0, toText(tier), refine);
}

} // namespace kiv
