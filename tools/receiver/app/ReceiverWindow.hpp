#pragma once
// The receiver's window (SDL2): shows the newest decoded picture, letterboxed to the window, and
// turns the pointer into the protocol's touches in picture coordinates (a held finger is a right
// click). Over the picture it can show a notice line and, toggled with F1 or Tab, the figures.
// Main thread only.
#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "KivProtocol/InputEvent.hpp"
#include "KivReceiver/VideoDecoder.hpp"

namespace kiv::receiver {

class ReceiverWindow {
public:
    struct Options {
        std::string title = "KivDisplay";
        int width = 1280; // first size of a window; ignored in fullscreen
        int height = 800;
        bool fullscreen = false;
        int monitor = 0; // SDL display index
    };

    static std::expected<std::unique_ptr<ReceiverWindow>, std::string> open(const Options& options);
    // The monitor the window is on: its size in pixels and refresh rate (0 when unknown).
    struct Monitor {
        int width = 0;
        int height = 0;
        int refreshHz = 0;
    };
    Monitor monitor() const;
    ~ReceiverWindow();
    ReceiverWindow(const ReceiverWindow&) = delete;
    ReceiverWindow& operator=(const ReceiverWindow&) = delete;

    // Shows `picture` (4:2:0) at once; others are ignored.
    void show(const DecodedPicture& picture);
    void setTitle(const std::string& title);
    // Lines of the figures overlay (shown while toggled on) and a notice (shown when not empty).
    void setOverlay(std::vector<std::string> lines);
    void setNotice(std::string notice);
    bool overlayShown() const;
    // Handles pending window events; false once the user closed the window.
    bool pump();

    std::function<void(const InputEvent&)> onInput;
    // Other keys, by SDL's name of the key ("U", "Escape", …).
    std::function<void(const std::string& key)> onKey;

private:
    ReceiverWindow() = default;
    void pointer(InputEvent::Kind kind, double x, double y, double dx = 0, double dy = 0);
    void present();

    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kiv::receiver
