#pragma once
// Notices for the device travel as a code plus arguments joined by "|"; the receiving side
// turns them into sentences in its own language.
#include <span>
#include <string>
#include <string_view>

namespace kiv::RemoteText {

inline constexpr std::string_view compatRetina = "compat.retina";
inline constexpr std::string_view compatNonRetina = "compat.nonRetina";
inline constexpr std::string_view compatMirror = "compat.mirror";
inline constexpr std::string_view audioPermission = "audio.permission";
inline constexpr std::string_view audioNoDisplay = "audio.noDisplay";
inline constexpr std::string_view audioStartFailed = "audio.startFailed";
inline constexpr std::string_view audioGaveUp = "audio.gaveUp";
inline constexpr std::string_view audioNoOutput = "audio.noOutputDevice";
inline constexpr std::string_view audioCannotMute = "audio.cannotMute";
inline constexpr std::string_view touchDisabledOnHost = "touch.disabledOnMac";
inline constexpr std::string_view touchNoAccessibility = "touch.noAccessibility";

std::string make(std::string_view code, std::span<const std::string> args = {});
std::string make(std::string_view code, std::initializer_list<std::string_view> args);

// The sentence for a remote text; unknown codes (plain sentences) pass through unchanged.
std::string localized(std::string_view text);

} // namespace kiv::RemoteText
