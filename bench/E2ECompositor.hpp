#pragma once
// The Wayland compositor a latency run may put the host on instead of Xvfb: a headless sway or a
// headless GNOME (mutter), with what the host needs to find it and a window that draws on the
// device's monitor.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "KivHostCore/Testing/HeadlessMutter.hpp"
#include "KivHostCore/Testing/HeadlessSway.hpp"
#include "KivHostCore/Testing/WaylandPainter.hpp"

namespace kiv::bench {

class E2ECompositor {
public:
    // `backend`: "wlroots" or "gnome".
    static std::expected<std::unique_ptr<E2ECompositor>, std::string> start(const std::string& backend) {
        auto c = std::make_unique<E2ECompositor>();
        c->backend_ = backend;
        if (backend == "wlroots") {
            auto sway = test::HeadlessSway::start();
            if (!sway) return std::unexpected("sway: " + sway.error().message);
            c->sway_ = std::move(*sway);
        } else {
            auto mutter = test::HeadlessMutter::start();
            if (!mutter) return std::unexpected("mutter: " + mutter.error().message);
            c->mutter_ = std::move(*mutter);
        }
        return c;
    }

    const std::string& backend() const { return backend_; }
    std::string wayland() const { return sway_ ? sway_->wayland() : mutter_->wayland(); }

    // What the host is started with to use it.
    std::vector<std::string> hostArgs() const { return {"--backend", backend_}; }
    std::vector<std::pair<std::string, std::string>> hostEnvironment() const {
        if (sway_) return {{"WAYLAND_DISPLAY", sway_->wayland()}, {"SWAYSOCK", sway_->ipc()}};
        return {{"WAYLAND_DISPLAY", mutter_->wayland()},
                {"DBUS_SESSION_BUS_ADDRESS", mutter_->busAddress()},
                {"PIPEWIRE_REMOTE", mutter_->pipewireRemote()},
                {"XDG_RUNTIME_DIR", mutter_->folder()}};
    }

    // The devices' monitors: every one but the compositor's own.
    std::vector<std::array<int, 4>> deviceMonitors() const {
        if (sway_) return test::deviceOutputs(*sway_);
        std::vector<std::array<int, 4>> out;
        for (const auto& s : MutterDesktop::screens(mutter_->busAddress()))
            if (!s.primary) out.push_back({s.rect.x, s.rect.y, s.rect.width, s.rect.height});
        return out;
    }

    std::expected<std::unique_ptr<test::WaylandPainter>, std::string>
    painter(const std::string& probe, const std::array<int, 4>& monitor, const std::filesystem::path& log) const {
        const auto output = sway_ ? test::outputNamed(*sway_, monitor) : fmt::format("@{},{}", monitor[0], monitor[1]);
        return test::WaylandPainter::open(probe, wayland(), output, monitor, log);
    }

private:
    std::string backend_;
    std::unique_ptr<test::HeadlessSway> sway_;
    std::unique_ptr<test::HeadlessMutter> mutter_;
};

} // namespace kiv::bench
