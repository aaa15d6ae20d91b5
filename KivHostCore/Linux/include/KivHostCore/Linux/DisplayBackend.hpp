#pragma once
// Which desktop system the host's displays, capture and input go through, chosen from the session
// (or asked for by name): X11 RandR/MIT-SHM/XTest, a wlroots compositor through sway's IPC and the
// wlr protocols, or GNOME's mutter. A session that cannot be served gets one sentence saying why.
#include <expected>
#include <functional>
#include <optional>
#include <string>

namespace kiv {

enum class DisplayBackend { x11, wlroots, gnome };

std::string toText(DisplayBackend backend);
std::optional<DisplayBackend> displayBackendFromText(const std::string& text);

// `asked`: --backend, when given (then the session is only checked for what that backend needs).
// `env` reads an environment variable (nothing when unset or empty).
std::expected<DisplayBackend, std::string>
chooseDisplayBackend(std::optional<DisplayBackend> asked,
                     const std::function<std::optional<std::string>(const char*)>& env);

// The process environment, for `chooseDisplayBackend`.
std::optional<std::string> processEnvironment(const char* name);

} // namespace kiv
