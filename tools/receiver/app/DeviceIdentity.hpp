#pragma once
#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace kiv::receiver {

// Who this machine is to hosts: a stable device identifier and the token each host gave it.
// Kept as JSON in one file; a file that cannot be read starts a new identity (and says so).
class DeviceIdentity {
public:
    explicit DeviceIdentity(std::filesystem::path file);
    static std::filesystem::path defaultPath(); // $XDG_CONFIG_HOME/kivdisplay/receiver.json

    const std::string& deviceID() const { return deviceID_; }
    std::optional<std::string> token(const std::string& hostID) const;
    // The host last met at "address:port", so a direct connection can send its token too.
    std::optional<std::string> hostAt(const std::string& address) const;
    // Writes the file at once (a temporary file renamed over the old one).
    std::expected<void, std::string> remember(const std::string& hostID, const std::string& token,
                                              const std::string& address);
    const std::optional<std::string>& loadProblem() const { return loadProblem_; }
    // The decoder's throughput, measured once on this machine and kept with the identity.
    std::optional<std::int64_t> decoderMBPerSecond() const { return decoderMBPerSecond_; }
    std::expected<void, std::string> setDecoderMBPerSecond(std::int64_t rate);

private:
    std::expected<void, std::string> save() const;

    std::filesystem::path file_;
    std::string deviceID_;
    std::map<std::string, std::string> tokens_;
    std::map<std::string, std::string> hosts_; // "address:port" → host identifier
    std::optional<std::int64_t> decoderMBPerSecond_;
    std::optional<std::string> loadProblem_;
};

} // namespace kiv::receiver
