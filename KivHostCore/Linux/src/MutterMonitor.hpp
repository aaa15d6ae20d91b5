#pragma once
// One virtual monitor of GNOME's compositor: a remote-desktop session, the screen-cast session
// linked to it recording a virtual monitor, and the PipeWire stream of its pictures. The monitor
// exists while the stream does; input for it goes through the remote-desktop session.
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "KivHostCore/Platform/ScreenGrabber.hpp"
#include "MutterBus.hpp"
#include "PipeWireVideo.hpp"

namespace kiv {

class MutterMonitor {
public:
    struct Events {
        std::function<void(bool fresh)> picture;       // on PipeWire's thread
        std::function<void(const std::string&)> ended; // the compositor ended it (any thread; once)
    };
    // Makes the monitor in `width`×`height` at `refresh` Hz and waits until its first picture
    // format is agreed (a few hundred milliseconds).
    static std::expected<std::unique_ptr<MutterMonitor>, std::string> start(std::shared_ptr<MutterBus> bus,
                                                                            std::shared_ptr<PipeWireVideo> video,
                                                                            int width, int height, double refresh,
                                                                            Events events);
    ~MutterMonitor(); // ends the sessions

    int width() const { return width_; }
    int height() const { return height_; }
    // Where the compositor placed it in the desktop, as it last said.
    std::optional<ScreenRect> layout() const;
    // The compositor's name of the monitor and its place, once known (from its display configuration).
    void place(const std::string& connector, std::optional<ScreenRect> rect);
    std::string connector() const;
    PipeWireStream& pictures() { return *pictures_; }

    // Input, in the monitor's own pixels; sent without waiting, in order.
    void pointerTo(double x, double y) const;
    void button(std::uint32_t evdevButton, bool down) const;
    void scroll(double dx, double dy) const; // in pixels, positive down and right
    void key(std::uint32_t evdevKey, bool down) const;

private:
    MutterMonitor() = default;
    void remote(const char* method, GVariant* args) const;

    std::shared_ptr<MutterBus> bus_;
    std::string remoteSession_, castSession_, stream_;
    unsigned closedSignal_ = 0;
    std::unique_ptr<PipeWireStream> pictures_;
    int width_ = 0, height_ = 0;
    mutable std::mutex layoutMutex_;
    std::string connector_;
    std::optional<ScreenRect> layout_;
};

} // namespace kiv
