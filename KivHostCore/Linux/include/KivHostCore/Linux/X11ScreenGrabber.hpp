#pragma once
// Screen grabbing on X11: MIT-SHM grabs of a rectangle of the root window into a reused shared
// segment, XDamage (raw rectangles) to learn about changes, the XFixes cursor composited in, and
// BGRA -> NV12 (video range) with libyuv, scaled to fit and letterboxed when sizes differ.
// A display ID names a RandR monitor by its name atom; no ID means the whole screen. Layout changes
// come from RandR events and the root's ConfigureNotify; a lost server is reported once.
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "KivHostCore/Linux/RowBands.hpp"
#include "KivHostCore/Platform/ScreenGrabber.hpp"

namespace kiv {

class X11ScreenGrabber final : public ScreenGrabber {
public:
    explicit X11ScreenGrabber(std::string display = {}); // empty: $DISPLAY
    ~X11ScreenGrabber() override;

    std::expected<void, CaptureError> open(Executor& queue) override;
    std::optional<ScreenRect> displayRect(std::optional<std::uint32_t> displayID) override;
    void watch(ScreenRect rect, GrabberEvents events) override;
    bool grab(ScreenRect rect, PixelBuffer& out, bool showsCursor) override;
    std::uint64_t lastConvertMicros() const override;
    void close() override;

    // BGRA (libyuv's "ARGB") to NV12, scaled to fit `out` with black bars. With `changed`, only
    // the output pixels that part of the source reaches are converted: `out` holds the conversion
    // of the rest already. Exposed for benchmarks.
    static void convert(const std::uint8_t* bgra, int stride, int width, int height, PixelBuffer& out,
                        std::optional<RowBand> changed = std::nullopt);

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

} // namespace kiv
