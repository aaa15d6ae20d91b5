#pragma once
// An X server of the host's own, for a machine without a desktop (and for tests): Xorg with the
// dummy driver, whose spare outputs become the devices' monitors, or Xvfb, whose one screen is
// split into logical monitors. It runs until this object goes (stopped by PID).
#include <expected>
#include <memory>
#include <string>

#include "KivHostCore/Linux/ChildProcess.hpp"

namespace kiv {

struct ServerStartError {
    bool notInstalled = false; // the program is missing (a test skips); otherwise it failed
    std::string message;
    bool needsPrivilege = false; // it cannot run as this user (a test skips, also in CI)
};

class PrivateXServer {
public:
    // Xvfb on a display number it picks itself (-displayfd), with RandR and no reset when the
    // last client leaves (a reset would wipe RandR state). The framebuffer is width×height.
    static std::expected<std::unique_ptr<PrivateXServer>, ServerStartError> startXvfb(int width = 8192,
                                                                                      int height = 8192);
    // Xorg with the dummy driver: DUMMY0 drives the desktop and DUMMY1..15 are spare outputs with
    // a CRTC each, as on a machine with unused video outputs. Needs root (it is a real X server).
    static std::expected<std::unique_ptr<PrivateXServer>, ServerStartError> startXorgDummy();

    const std::string& display() const { return display_; } // ":N"
    int displayNumber() const { return number_; }
    ChildProcess& process() { return process_; }

private:
    explicit PrivateXServer(const std::string& prefix) : dir_(prefix) {}
    static std::expected<std::unique_ptr<PrivateXServer>, ServerStartError>
    launch(std::unique_ptr<PrivateXServer> server, std::vector<std::string> argv, const std::string& logName);

    TempDir dir_;
    ChildProcess process_;
    std::string display_;
    int number_ = -1;
};

// Shrinks an Xvfb's one CRTC to width×height so the screen has room to grow, the way a desktop
// of that size with a larger framebuffer limit looks.
bool shrinkXvfbDesktop(const std::string& display, int width, int height);

} // namespace kiv
