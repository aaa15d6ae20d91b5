#pragma once
// Synthetic input on X11 through XTEST: absolute pointer motion on the root window, buttons 1 and
// 3, wheel buttons 4/5 (vertical) and 6/7 (horizontal) with pixel deltas accumulated into steps of
// 40 pixels (the remainder carried, so slow scrolls are not lost), and keys by keysym lookup.
// "Trusted" means the XTEST extension is there. Used from the input queue only.
#include <memory>
#include <string>

#include "KivHostCore/Platform/EventPoster.hpp"

namespace kiv {

class XTestEventPoster final : public EventPoster {
public:
    static constexpr int kPixelsPerWheelStep = 40;

    explicit XTestEventPoster(std::string display = {}); // empty: $DISPLAY
    ~XTestEventPoster() override;

    bool isTrusted() const override;
    void mouse(MouseEventType type, double x, double y, int clickState) override;
    void scroll(std::int32_t verticalPixels, std::int32_t horizontalPixels, double x, double y) override;
    void key(int keyCode, bool down, std::uint64_t flags) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kiv
