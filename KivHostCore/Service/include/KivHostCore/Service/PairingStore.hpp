#pragma once
// Which devices the user approved, with the token each was given. Thread-safe.
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kiv {

class KeyValueStore;

struct PairedDevice {
    std::string deviceID;
    std::string name;
    bool operator==(const PairedDevice&) const = default;
};

class PairingStore {
public:
    virtual ~PairingStore() = default;
    // True only when a token is given and equals the device's stored token.
    virtual bool isPaired(const std::string& deviceID, const std::optional<std::string>& token) = 0;
    // Records the device and returns its token; pairing again keeps the token and updates the name.
    virtual std::string pair(const std::string& deviceID, const std::string& name) = 0;
    virtual void unpair(const std::string& deviceID) = 0;
    virtual std::vector<PairedDevice> pairedDevices() = 0;
};

// Persists under "KivPairedDevices": device ID -> {"token": ..., "name": ...}.
class KeyValuePairingStore final : public PairingStore {
public:
    static constexpr const char* key = "KivPairedDevices";
    explicit KeyValuePairingStore(std::shared_ptr<KeyValueStore> defaults);

    bool isPaired(const std::string& deviceID, const std::optional<std::string>& token) override;
    std::string pair(const std::string& deviceID, const std::string& name) override;
    void unpair(const std::string& deviceID) override;
    std::vector<PairedDevice> pairedDevices() override;

private:
    using Records = std::map<std::string, std::map<std::string, std::string>>;
    Records read() const;
    void write(const Records& records);

    std::shared_ptr<KeyValueStore> defaults_;
    std::mutex mutex_;
};

class InMemoryPairingStore final : public PairingStore {
public:
    bool isPaired(const std::string& deviceID, const std::optional<std::string>& token) override;
    std::string pair(const std::string& deviceID, const std::string& name) override;
    void unpair(const std::string& deviceID) override;
    std::vector<PairedDevice> pairedDevices() override;

private:
    std::mutex mutex_;
    std::map<std::string, std::pair<std::string, std::string>> entries_; // id -> (token, name)
};

} // namespace kiv
