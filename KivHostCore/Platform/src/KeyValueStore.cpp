#include "KivHostCore/Platform/KeyValueStore.hpp"

#include "KivBase/KivLog.hpp"

namespace kiv {

std::optional<std::string> KeyValueStore::string(const std::string& key) const {
    const auto stored = value(key);
    if (!stored || !stored->text()) return std::nullopt;
    return *stored->text();
}

std::optional<double> KeyValueStore::number(const std::string& key) const {
    const auto stored = value(key);
    if (!stored) return std::nullopt;
    if (const auto* real = std::get_if<double>(&stored->value)) return *real;
    if (const auto* integer = std::get_if<std::int64_t>(&stored->value)) return static_cast<double>(*integer);
    return std::nullopt;
}

std::optional<bool> KeyValueStore::boolean(const std::string& key) const {
    const auto stored = value(key);
    if (!stored) return std::nullopt;
    if (const auto* flag = std::get_if<bool>(&stored->value)) return *flag;
    return std::nullopt;
}

std::optional<Bytes> KeyValueStore::data(const std::string& key) const {
    const auto stored = value(key);
    if (!stored) return std::nullopt;
    if (const auto* bytes = std::get_if<Bytes>(&stored->value)) return *bytes;
    return std::nullopt;
}

std::optional<StoredDictionary> KeyValueStore::dictionary(const std::string& key) const {
    const auto stored = value(key);
    if (!stored || !stored->dictionary()) return std::nullopt;
    return *stored->dictionary();
}

std::optional<StoredValue> InMemoryKeyValueStore::value(const std::string& key) const {
    const std::lock_guard lock(mutex_);
    const auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

bool InMemoryKeyValueStore::setValue(const std::string& key, StoredValue value) {
    const std::lock_guard lock(mutex_);
    values_[key] = std::move(value);
    return true;
}

bool InMemoryKeyValueStore::remove(const std::string& key) {
    const std::lock_guard lock(mutex_);
    values_.erase(key);
    return true;
}

void useForStoredLogSwitches(std::shared_ptr<const KeyValueStore> store) {
    KivLog::setStoredBoolReader([store = std::move(store)](std::string_view key) -> std::optional<bool> {
        return store ? store->boolean(std::string(key)) : std::nullopt;
    });
    if (KivLog::frameLogEnabled())
        KivLog::logger("Log").info("Frame logging on: every frame's steps go to the system log (KivFrameLog in the "
                                   "settings, or KIV_FRAME_LOG=1)");
}

} // namespace kiv
