#pragma once
// The application's place in the desktop session. "Start at login": an XDG autostart entry in the
// user's autostart folder, read from that folder each time, so a desktop's own startup settings
// that removed or hid the entry are believed. And one application per desktop.
#include <expected>
#include <filesystem>
#include <string>

namespace kiv::app {

// The application's identifier: its menu entry, icon, metainfo and Wayland app_id.
inline constexpr const char* kAppID = "org.kivdisplay.KivDisplay";

class AutostartEntry {
public:
    // `program` is what the entry runs: the absolute path of this executable.
    AutostartEntry(std::filesystem::path folder, std::filesystem::path program);
    // $XDG_CONFIG_HOME/autostart, else ~/.config/autostart.
    static std::filesystem::path defaultFolder();

    std::filesystem::path path() const;
    bool enabled() const;
    // Writes (whole, by rename) or removes the entry; the error says what the user can do.
    std::expected<void, std::string> setEnabled(bool on);

private:
    std::filesystem::path folder_;
    std::filesystem::path program_;
};

// A path as one argument of a desktop entry's Exec key (quoted and escaped when it needs it).
std::string desktopExecArgument(const std::string& path);

// One application per desktop session: an advisory lock, held until the process ends, on a file in
// the user's runtime folder named for the display. False when another process holds it.
bool holdDesktopInstanceLock(const std::string& display);

} // namespace kiv::app
