#pragma once
// Records every synthetic event in order, so tests can compare exact sequences.
#include <fmt/format.h>
#include <string>
#include <vector>

#include "KivHostCore/Platform/EventPoster.hpp"

namespace kiv {

class FakeEventPoster final : public EventPoster {
public:
    bool isTrusted() const override { return trusted; }
    void mouse(MouseEventType type, double x, double y, int clickState) override {
        events.push_back(fmt::format("mouse {} ({},{}) click {}", static_cast<int>(type), x, y, clickState));
    }
    void scroll(std::int32_t vertical, std::int32_t horizontal, double x, double y) override {
        events.push_back(fmt::format("scroll {} {} at ({},{})", vertical, horizontal, x, y));
    }
    void key(int keyCode, bool down, std::uint64_t flags) override {
        events.push_back(fmt::format("key {} {} flags {:#x}", keyCode, down ? "down" : "up", flags));
    }

    bool trusted = true;
    std::vector<std::string> events;
};

} // namespace kiv
