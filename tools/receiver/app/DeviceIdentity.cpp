#include "DeviceIdentity.hpp"

#include <cstdlib>
#include <fmt/format.h>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>

namespace kiv::receiver {

namespace {

std::string newUUID() {
    std::random_device device;
    std::mt19937_64 random((static_cast<std::uint64_t>(device()) << 32) ^ device());
    const auto a = random();
    const auto b = random();
    return fmt::format("{:08X}-{:04X}-4{:03X}-{:04X}-{:012X}", a >> 32, (a >> 16) & 0xFFFF, a & 0xFFF,
                       ((b >> 48) & 0x3FFF) | 0x8000, b & 0xFFFFFFFFFFFFull);
}

} // namespace

DeviceIdentity::DeviceIdentity(std::filesystem::path file) : file_(std::move(file)) {
    std::ifstream in(file_);
    if (in) {
        try {
            const auto json = nlohmann::json::parse(in);
            deviceID_ = json.value("deviceID", std::string());
            const auto readMap = [&](const char* key, std::map<std::string, std::string>& into) {
                if (const auto found = json.find(key); found != json.end() && found->is_object())
                    for (const auto& [name, value] : found->items())
                        if (value.is_string()) into[name] = value.get<std::string>();
            };
            readMap("tokens", tokens_);
            readMap("hosts", hosts_);
            if (const auto rate = json.find("decoderMBPerSecond");
                rate != json.end() && rate->is_number_integer() && *rate > 0)
                decoderMBPerSecond_ = rate->get<std::int64_t>();
        } catch (const nlohmann::json::exception& error) {
            loadProblem_ =
                fmt::format("{} could not be read ({}); starting a new device identity", file_.string(), error.what());
        }
    }
    if (deviceID_.empty()) {
        deviceID_ = newUUID();
        if (auto saved = save(); !saved && !loadProblem_) loadProblem_ = saved.error();
    }
}

std::filesystem::path DeviceIdentity::defaultPath() {
    std::filesystem::path base;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/')
        base = config;
    else if (const char* home = std::getenv("HOME"); home && home[0] != '\0')
        base = std::filesystem::path(home) / ".config";
    else
        base = std::filesystem::temp_directory_path();
    return base / "kivdisplay" / "receiver.json";
}

std::optional<std::string> DeviceIdentity::token(const std::string& hostID) const {
    const auto found = tokens_.find(hostID);
    if (found == tokens_.end()) return std::nullopt;
    return found->second;
}

std::expected<void, std::string> DeviceIdentity::setDecoderMBPerSecond(std::int64_t rate) {
    decoderMBPerSecond_ = rate;
    return save();
}

std::optional<std::string> DeviceIdentity::hostAt(const std::string& address) const {
    const auto found = hosts_.find(address);
    if (found == hosts_.end()) return std::nullopt;
    return found->second;
}

std::expected<void, std::string> DeviceIdentity::remember(const std::string& hostID, const std::string& token,
                                                          const std::string& address) {
    tokens_[hostID] = token;
    hosts_[address] = hostID;
    return save();
}

std::expected<void, std::string> DeviceIdentity::save() const {
    nlohmann::json json{{"deviceID", deviceID_}, {"tokens", tokens_}, {"hosts", hosts_}};
    if (decoderMBPerSecond_) json["decoderMBPerSecond"] = *decoderMBPerSecond_;
    std::error_code error;
    std::filesystem::create_directories(file_.parent_path(), error);
    const auto temporary = file_.string() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << json.dump(2) << '\n';
        if (!out) return std::unexpected("cannot write " + temporary);
    }
    std::filesystem::rename(temporary, file_, error);
    if (error) return std::unexpected("cannot replace " + file_.string() + ": " + error.message());
    return {};
}

} // namespace kiv::receiver
