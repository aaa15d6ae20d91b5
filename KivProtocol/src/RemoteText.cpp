#include "KivProtocol/RemoteText.hpp"

#include <vector>

#include "KivProtocol/Localization.hpp"
#include "TextSplit.hpp"

namespace kiv::RemoteText {
namespace {

// Fills "%1", "%2" in a localized template with the arguments; a missing argument shows as "?".
std::string fill(std::string_view english, const std::vector<std::string_view>& args) {
    const std::string localizedTemplate = localize(english);
    std::string out;
    out.reserve(localizedTemplate.size() + 32);
    for (std::size_t i = 0; i < localizedTemplate.size(); ++i) {
        const char c = localizedTemplate[i];
        if (c == '%' && i + 1 < localizedTemplate.size() &&
            (localizedTemplate[i + 1] == '1' || localizedTemplate[i + 1] == '2')) {
            const std::size_t index = localizedTemplate[i + 1] == '1' ? 0 : 1;
            // args[0] is the code itself.
            out += index + 1 < args.size() ? std::string(args[index + 1]) : std::string("?");
            ++i;
            continue;
        }
        out += c;
    }
    return out;
}

struct Entry {
    std::string_view code;
    std::string_view english; // %1 = a/detail, %2 = b
};

constexpr Entry kEntries[] = {
    {compatRetina, "The host doesn't accept %1, so %2 (HiDPI) is used instead."},
    {compatNonRetina, "The host doesn't accept %1 at HiDPI, so %2 (not HiDPI, smaller text) is used instead."},
    {compatMirror,
     "An extended display couldn't be created on the host, so its main screen is mirrored instead. Disconnect "
     "other devices or restart KivDisplay on the host to try again."},
    {audioPermission,
     "Sending the host's sound needs its sound server (PulseAudio or PipeWire), which does not answer."},
    {audioNoDisplay, "No display is available for capturing sound."},
    {audioStartFailed, "Sound capture couldn't start: %1"},
    {audioGaveUp,
     "Sound capture was interrupted repeatedly and has stopped. Choose a sound output again or reconnect to retry."},
    {audioNoOutput, "The host's output device couldn't be found."},
    {audioCannotMute,
     "The host's current output device can't be silenced, so the host will also play sound (you can turn its "
     "volume down)."},
    {touchDisabledOnHost, "Touch control is turned off on the host"},
    {touchNoAccessibility, "The host's X server has no XTEST extension, so touch is unavailable"},
};

} // namespace

std::string make(std::string_view code, std::span<const std::string> args) {
    std::string out(code);
    for (const auto& arg : args) {
        out += '|';
        out += arg;
    }
    return out;
}

std::string make(std::string_view code, std::initializer_list<std::string_view> args) {
    std::string out(code);
    for (const auto arg : args) {
        out += '|';
        out += arg;
    }
    return out;
}

std::string localized(std::string_view text) {
    const auto parts = splitKeepingEmpty(text, '|');
    for (const auto& entry : kEntries) {
        if (entry.code == parts.front()) return fill(entry.english, parts);
    }
    return std::string(text);
}

} // namespace kiv::RemoteText
