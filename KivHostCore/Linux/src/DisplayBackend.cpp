#include "KivHostCore/Linux/DisplayBackend.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace kiv {

namespace {
bool mentions(const std::optional<std::string>& value, std::string_view word) {
    if (!value) return false;
    std::string lower = *value;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower.find(word) != std::string::npos;
}
} // namespace

std::string toText(DisplayBackend backend) {
    switch (backend) {
    case DisplayBackend::x11: return "x11";
    case DisplayBackend::wlroots: return "wlroots";
    case DisplayBackend::gnome: return "gnome";
    }
    return "x11";
}

std::optional<DisplayBackend> displayBackendFromText(const std::string& text) {
    if (text == "x11") return DisplayBackend::x11;
    if (text == "wlroots") return DisplayBackend::wlroots;
    if (text == "gnome") return DisplayBackend::gnome;
    return std::nullopt;
}

std::optional<std::string> processEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

std::expected<DisplayBackend, std::string>
chooseDisplayBackend(std::optional<DisplayBackend> asked,
                     const std::function<std::optional<std::string>(const char*)>& env) {
    const auto wayland = env("WAYLAND_DISPLAY");
    const auto desktop = env("XDG_CURRENT_DESKTOP");
    const auto sway = env("SWAYSOCK");
    const auto bus = env("DBUS_SESSION_BUS_ADDRESS");
    const auto runtime = env("XDG_RUNTIME_DIR");
    if (asked) {
        switch (*asked) {
        case DisplayBackend::x11: return DisplayBackend::x11; // the caller finds or starts the X server
        case DisplayBackend::wlroots:
            if (!wayland && !sway)
                return std::unexpected(
                    std::string("the wlroots backend needs a running sway: set WAYLAND_DISPLAY and SWAYSOCK."));
            return DisplayBackend::wlroots;
        case DisplayBackend::gnome:
            // GNOME's services are reached over the session bus (its address, or the runtime folder's bus).
            if (!bus && !runtime)
                return std::unexpected(std::string(
                    "the gnome backend needs GNOME's session bus: set DBUS_SESSION_BUS_ADDRESS or XDG_RUNTIME_DIR."));
            return DisplayBackend::gnome;
        }
    }
    if (wayland) {
        if (sway || mentions(desktop, "sway")) return DisplayBackend::wlroots;
        if (mentions(desktop, "gnome") || mentions(desktop, "unity") || mentions(desktop, "budgie"))
            return DisplayBackend::gnome;
        if (mentions(desktop, "kde"))
            return std::unexpected(std::string(
                "KDE Plasma on Wayland is not supported yet: KWin's virtual outputs are not used by this version; "
                "choose \"Plasma (X11)\" on the login screen."));
        return std::unexpected(
            "this Wayland desktop (" + desktop.value_or("unknown") +
            ") is not supported: the host makes its monitors through sway's IPC or GNOME's screen-cast "
            "service, so it needs sway (SWAYSOCK set), GNOME, or an X11 session.");
    }
    return DisplayBackend::x11; // DISPLAY, or an X server the caller starts
}

} // namespace kiv
