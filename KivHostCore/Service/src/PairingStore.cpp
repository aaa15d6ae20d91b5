#include "KivHostCore/Service/PairingStore.hpp"

#include "KivHostCore/Platform/KeyValueStore.hpp"
#include "KivHostCore/Platform/SecureRandom.hpp"

namespace kiv {

KeyValuePairingStore::KeyValuePairingStore(std::shared_ptr<KeyValueStore> defaults) : defaults_(std::move(defaults)) {}

KeyValuePairingStore::Records KeyValuePairingStore::read() const {
    Records records;
    const auto stored = defaults_->dictionary(key);
    if (!stored) return records; // absent or of another shape: empty
    for (const auto& [deviceID, value] : *stored) {
        const auto* fields = value.dictionary();
        if (fields == nullptr) return {}; // a stored value of another shape counts as empty
        auto& record = records[deviceID];
        for (const auto& [name, field] : *fields) {
            if (const auto* text = field.text()) record[name] = *text;
        }
    }
    return records;
}

void KeyValuePairingStore::write(const Records& records) {
    StoredDictionary dictionary;
    for (const auto& [deviceID, record] : records) {
        StoredDictionary fields;
        for (const auto& [name, text] : record)
            fields[name] = StoredValue{text};
        dictionary[deviceID] = StoredValue{std::move(fields)};
    }
    defaults_->setDictionary(key, std::move(dictionary));
}

bool KeyValuePairingStore::isPaired(const std::string& deviceID, const std::optional<std::string>& token) {
    if (!token) return false;
    const std::lock_guard lock(mutex_);
    const auto records = read();
    const auto it = records.find(deviceID);
    if (it == records.end()) return false;
    const auto stored = it->second.find("token");
    return stored != it->second.end() && secretsEqual(stored->second, *token);
}

std::string KeyValuePairingStore::pair(const std::string& deviceID, const std::string& name) {
    const std::lock_guard lock(mutex_);
    auto records = read();
    auto& record = records[deviceID];
    if (const auto token = record.find("token"); token != record.end()) {
        record["name"] = name;
        const std::string existing = token->second;
        write(records);
        return existing;
    }
    std::string token = newPairingToken();
    record = {{"token", token}, {"name", name}};
    write(records);
    return token;
}

void KeyValuePairingStore::unpair(const std::string& deviceID) {
    const std::lock_guard lock(mutex_);
    auto records = read();
    records.erase(deviceID);
    write(records);
}

std::vector<PairedDevice> KeyValuePairingStore::pairedDevices() {
    const std::lock_guard lock(mutex_);
    std::vector<PairedDevice> devices;
    for (const auto& [deviceID, record] : read()) {
        const auto name = record.find("name");
        devices.push_back({deviceID, name != record.end() ? name->second : deviceID});
    }
    return devices;
}

bool InMemoryPairingStore::isPaired(const std::string& deviceID, const std::optional<std::string>& token) {
    if (!token) return false;
    const std::lock_guard lock(mutex_);
    const auto it = entries_.find(deviceID);
    return it != entries_.end() && secretsEqual(it->second.first, *token);
}

std::string InMemoryPairingStore::pair(const std::string& deviceID, const std::string& name) {
    const std::lock_guard lock(mutex_);
    auto [it, inserted] = entries_.try_emplace(deviceID, std::string{}, name);
    if (inserted) it->second.first = newPairingToken();
    it->second.second = name;
    return it->second.first;
}

void InMemoryPairingStore::unpair(const std::string& deviceID) {
    const std::lock_guard lock(mutex_);
    entries_.erase(deviceID);
}

std::vector<PairedDevice> InMemoryPairingStore::pairedDevices() {
    const std::lock_guard lock(mutex_);
    std::vector<PairedDevice> devices;
    for (const auto& [deviceID, entry] : entries_)
        devices.push_back({deviceID, entry.second});
    return devices;
}

} // namespace kiv
