#include "KivHostCore/Service/DeviceText.hpp"

#include <optional>
#include <vector>

namespace kiv {
namespace {

constexpr std::size_t kNameLength = 64;
constexpr std::size_t kVersionLength = 32;
constexpr std::size_t kIdentifierLength = 128;

// The code point at `text[at]` and its length in bytes; nothing for a malformed sequence.
std::optional<std::pair<char32_t, std::size_t>> decode(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return std::pair{char32_t{lead}, std::size_t{1}};
    std::size_t length = 0;
    char32_t value = 0;
    char32_t least = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, least = 0x10000;
    } else {
        return std::nullopt;
    }
    if (at + length > text.size()) return std::nullopt;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return std::nullopt;
        value = (value << 6) | (byte(at + i) & 0x3F);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return std::nullopt;
    return std::pair{value, length};
}

// Characters that move or hide text rather than show it: controls, line separators, and the
// direction overrides that can make a name read as another.
bool hides(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

} // namespace

std::string tidyDeviceText(std::string_view text, std::size_t maxCodePoints) {
    static constexpr std::string_view space = " ";
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::vector<std::string_view> characters; // a message is at most 256 KiB: decoding it all is cheap
    for (std::size_t at = 0; at < text.size();) {
        const auto decoded = decode(text, at);
        if (!decoded) {
            characters.push_back(replacement);
            ++at;
            continue;
        }
        const auto [c, length] = *decoded;
        characters.push_back(hides(c) ? space : text.substr(at, length));
        at += length;
    }
    std::size_t first = 0;
    while (first < characters.size() && characters[first] == space)
        ++first;
    std::size_t last = characters.size();
    while (last > first && characters[last - 1] == space)
        --last;
    const bool cut = last - first > maxCodePoints;
    if (cut) last = first + (maxCodePoints > 0 ? maxCodePoints - 1 : 0);
    std::string out;
    for (std::size_t i = first; i < last; ++i)
        out += characters[i];
    if (cut && maxCodePoints > 0) out += "\xE2\x80\xA6";
    return out;
}

Hello tidyHello(Hello hello) {
    hello.deviceName = tidyDeviceText(hello.deviceName, kNameLength);
    hello.model = tidyDeviceText(hello.model, kNameLength);
    hello.systemVersion = tidyDeviceText(hello.systemVersion, kVersionLength);
    hello.deviceID = tidyDeviceText(hello.deviceID, kIdentifierLength);
    return hello;
}

} // namespace kiv
