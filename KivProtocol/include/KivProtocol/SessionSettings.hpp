#pragma once
// The user's choices for a session and what the host resolved them into.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "KivProtocol/EnumText.hpp"
#include "KivProtocol/KivConstants.hpp"

namespace kiv {

enum class DisplaySize { huge, extraLarge, large, larger, standard, moreSpace, mostSpace };
template <>
struct EnumTraits<DisplaySize> {
    static constexpr std::array<std::string_view, 7> names{"huge",     "extraLarge", "large",    "larger",
                                                           "standard", "moreSpace",  "mostSpace"};
};
std::string title(DisplaySize size);
std::string detail(DisplaySize size);
double logicalFactor(DisplaySize size);
bool enlargesText(DisplaySize size);
std::optional<DisplaySize> biggerText(DisplaySize size);
std::optional<DisplaySize> moreSpaceStep(DisplaySize size);

enum class QualityMode { automatic, smooth, standard, clear, ultra };
template <>
struct EnumTraits<QualityMode> {
    // "auto" is a C++ keyword, hence the case name `automatic`; the text value stays "auto".
    static constexpr std::array<std::string_view, 5> names{"auto", "smooth", "standard", "clear", "ultra"};
};
std::string title(QualityMode mode);

// Ordered lowest to highest; scoped-enum comparison gives the tier order.
enum class QualityTier { emergency, smooth, standard, clear, ultra };
template <>
struct EnumTraits<QualityTier> {
    static constexpr std::array<std::string_view, 5> names{"emergency", "smooth", "standard", "clear", "ultra"};
};
std::string title(QualityTier tier);
std::int64_t baseBitrate(QualityTier tier);
std::int64_t baseBitrate(QualityTier tier, TransportKind kind);
double streamScale(QualityTier tier);
double refinementQuality(QualityTier tier);
QualityTier tierFor(QualityMode mode);

enum class AudioRoute { host, device, both }; // "mac" on the wire: the host plays it
template <>
struct EnumTraits<AudioRoute> {
    static constexpr std::array<std::string_view, 3> names{"mac", "device", "both"};
};
std::string title(AudioRoute route, std::string_view deviceName);
bool streamsToDevice(AudioRoute route);
bool mutesHost(AudioRoute route);

struct SessionSettings {
    DisplaySize displaySize = DisplaySize::standard;
    QualityMode quality = QualityMode::automatic;
    std::int64_t fps = 0; // 0 = automatic
    bool staticRefinement = false;
    AudioRoute audio = AudioRoute::host;
    bool operator==(const SessionSettings&) const = default;
};

// 120 is offered to a device whose screen shows it (its recommended rate); others get 60 for it.
inline constexpr std::array<std::int64_t, 4> supportedFPS{0, 30, 60, 120};
std::string fpsTitle(std::int64_t fps);
std::string fpsTitle(std::int64_t fps, bool reducesResolution);

struct DisplayConfiguration {
    std::int64_t logicalWidth = 0;
    std::int64_t logicalHeight = 0;
    std::int64_t scaleFactor = 1;
    std::int64_t streamWidth = 0;
    std::int64_t streamHeight = 0;
    std::int64_t fps = 0;
    std::int64_t bitrate = 0;
    QualityTier tier = QualityTier::clear;
    double refinementQuality = 0; // <= 0: refinement off
    std::optional<std::int64_t> refinementWidth;
    std::optional<std::int64_t> refinementHeight;
    std::optional<bool> limitedByMinimumDesktop;
    std::optional<std::string> compatibilityNote; // RemoteText form

    // One-line form used in logs.
    std::string text() const;
    bool operator==(const DisplayConfiguration&) const = default;
};

inline constexpr std::string_view minimumDesktopNote =
    "This is already the smallest desktop the host allows (about 800×530 points), so text can't get any "
    "bigger. Zoom inside the app instead (for example Ctrl+ in a browser, or Grafana's TV / Kiosk mode) for the "
    "sharpest result.";

struct ConfigChange {
    std::uint32_t requestID = 0;
    std::optional<DisplaySize> displaySize;
    std::optional<QualityMode> quality;
    std::optional<std::int64_t> fps;
    std::optional<bool> staticRefinement;
    std::optional<AudioRoute> audio;
    bool operator==(const ConfigChange&) const = default;
};

struct ConfigResult {
    struct Ok {
        bool operator==(const Ok&) const = default;
    };
    struct Failed {
        std::string message;
        bool operator==(const Failed&) const = default;
    };
    std::variant<Ok, Failed> value;

    static ConfigResult ok() { return {Ok{}}; }
    static ConfigResult failed(std::string message) { return {Failed{std::move(message)}}; }
    bool isOk() const { return std::holds_alternative<Ok>(value); }
    bool operator==(const ConfigResult&) const = default;
};

struct ConfigApplied {
    std::optional<std::uint32_t> requestID;
    SessionSettings settings;
    DisplayConfiguration configuration;
    ConfigResult result;
    bool operator==(const ConfigApplied&) const = default;
};

} // namespace kiv
