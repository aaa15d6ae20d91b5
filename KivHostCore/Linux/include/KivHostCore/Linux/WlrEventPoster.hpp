#pragma once
// Synthetic input on a wlroots compositor: a virtual pointer bound to each output (absolute
// motion within the output that holds the point, left and right buttons, smooth scrolling in
// pixels) and a virtual keyboard with a US keymap for the shortcut keys. "Trusted" means the
// compositor offers the virtual pointer. A compositor that went away is connected to again at the
// next event. Used from the input queue only.
#include <memory>
#include <string>

#include "KivHostCore/Platform/EventPoster.hpp"

namespace kiv {

class WlrEventPoster final : public EventPoster {
public:
    explicit WlrEventPoster(std::string display = {}); // "" = $WAYLAND_DISPLAY
    ~WlrEventPoster() override;

    bool isTrusted() const override;
    void mouse(MouseEventType type, double x, double y, int clickState) override;
    void scroll(std::int32_t verticalPixels, std::int32_t horizontalPixels, double x, double y) override;
    void key(int keyCode, bool down, std::uint64_t flags) override;

    // The evdev key code the platform's key code stands for (0: none).
    static std::uint32_t evdevKey(int keyCode);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kiv
