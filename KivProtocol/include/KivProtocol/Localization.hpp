#pragma once
// User-facing texts are looked up by their English text. The default lookup returns the
// key itself; an application installs a translation table for other languages.
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kiv {

// Returns the translation of an English text, or nothing to keep the English one.
using TranslationLookup = std::function<std::optional<std::string>(std::string_view english)>;

// Installs the lookup used by localize(); an empty function restores English. Thread-safe.
void setTranslationLookup(TranslationLookup lookup);

// The current locale's text for an English key.
std::string localize(std::string_view english);

} // namespace kiv
