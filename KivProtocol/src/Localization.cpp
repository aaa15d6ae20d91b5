#include "KivProtocol/Localization.hpp"

#include <memory>
#include <mutex>

namespace kiv {
namespace {
std::mutex& lookupMutex() {
    static std::mutex mutex;
    return mutex;
}
std::shared_ptr<const TranslationLookup>& currentLookup() {
    static std::shared_ptr<const TranslationLookup> lookup;
    return lookup;
}
} // namespace

void setTranslationLookup(TranslationLookup lookup) {
    auto next = lookup ? std::make_shared<const TranslationLookup>(std::move(lookup)) : nullptr;
    const std::lock_guard lock(lookupMutex());
    currentLookup() = std::move(next);
}

std::string localize(std::string_view english) {
    std::shared_ptr<const TranslationLookup> lookup;
    {
        const std::lock_guard lock(lookupMutex());
        lookup = currentLookup();
    }
    // The lookup runs outside the lock so it may itself log or localize.
    if (lookup) {
        if (auto translated = (*lookup)(english)) return std::move(*translated);
    }
    return std::string(english);
}

} // namespace kiv
