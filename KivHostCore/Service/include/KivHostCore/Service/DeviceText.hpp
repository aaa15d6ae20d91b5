#pragma once
// What a device says about itself ends up in log lines, status lines, the panel and the names of
// X monitors: a device's own texts are cut to a sane length and rid of control characters (a line
// break in a name would forge a log or status line of its own).
#include <cstddef>
#include <string>
#include <string_view>

#include "KivProtocol/ControlMessage.hpp"

namespace kiv {

// `text` with C0/C1 control characters and DEL as spaces, trimmed, at most `maxCodePoints` long
// ("…" marks a cut); invalid UTF-8 bytes become U+FFFD.
std::string tidyDeviceText(std::string_view text, std::size_t maxCodePoints);

// The hello with its name, model, system version and identifier tidied. A well-behaved device's
// hello comes back unchanged, so its identifier (the pairing key) stays its own.
Hello tidyHello(Hello hello);

} // namespace kiv
