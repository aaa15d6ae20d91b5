#pragma once
// Where pictures of one display come from: the screen, or a synthetic test pattern.
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "KivHostCore/Platform/PixelBuffer.hpp"
#include "KivProtocol/EnumText.hpp"

namespace kiv {

enum class FrameSourceKind { screenCapture, synthetic };
template <>
struct EnumTraits<FrameSourceKind> {
    static constexpr std::array<std::string_view, 2> names{"screenCapture", "synthetic"};
};

struct CaptureError {
    enum class Kind { displayNotFound, startFailed, permissionDenied };
    Kind kind = Kind::startFailed;
    std::uint32_t displayID = 0;
    std::string message;

    static CaptureError displayNotFound(std::uint32_t id) { return {Kind::displayNotFound, id, {}}; }
    static CaptureError startFailed(std::string why) { return {Kind::startFailed, 0, std::move(why)}; }
    static CaptureError permissionDenied() { return {Kind::permissionDenied, 0, {}}; }
    std::string text() const; // the user-facing sentence, localized
    bool operator==(const CaptureError&) const = default;
};

class FrameSource {
public:
    using FrameHandler = std::function<void(std::shared_ptr<PixelBuffer>, std::uint64_t captureTimeUs)>;
    using Started = std::function<void(std::expected<void, CaptureError>)>;

    virtual ~FrameSource() = default;
    // Set before start. onFrame runs on the source's queue and must return quickly.
    FrameHandler onFrame;
    std::function<void(std::optional<CaptureError> error)> onStop; // the source stopped by itself

    // displayID: nothing for the main display. `started` reports the outcome.
    virtual void start(std::optional<std::uint32_t> displayID, int width, int height, int fps, Started started) = 0;
    // No frame is delivered after stop returns.
    virtual void stop() = 0;
};

} // namespace kiv
