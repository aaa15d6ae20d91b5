#include "VirtualDisplay/Linux/SwayIpc.hpp"

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace kiv {

namespace {
constexpr std::string_view kMagic = "i3-ipc";

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}
} // namespace

SwayIpc::~SwayIpc() {
    close();
}

void SwayIpc::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool SwayIpc::tryPath(const std::string& path) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return false;
    }
    close();
    fd_ = fd;
    path_ = path;
    return true;
}

std::expected<void, std::string> SwayIpc::connect(const std::string& preferred, const std::string& runtimeDir) {
    if (tryPath(preferred)) return {};
    if (const char* env = std::getenv("SWAYSOCK"); env && preferred != env && tryPath(env)) return {};
    std::string dir = runtimeDir;
    if (dir.empty()) {
        const char* xdg = std::getenv("XDG_RUNTIME_DIR");
        dir = xdg ? xdg : "";
    }
    std::vector<std::pair<long long, std::string>> candidates;
    if (DIR* d = dir.empty() ? nullptr : ::opendir(dir.c_str())) {
        while (const dirent* entry = ::readdir(d)) {
            const std::string_view name = entry->d_name;
            if (!name.starts_with("sway-ipc.") || !name.ends_with(".sock")) continue;
            const std::string path = dir + "/" + std::string(name);
            struct stat info {};
            if (::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode))
                candidates.emplace_back(static_cast<long long>(info.st_mtim.tv_sec), path);
        }
        ::closedir(d);
    }
    std::sort(candidates.rbegin(), candidates.rend());
    for (const auto& candidate : candidates)
        if (tryPath(candidate.second)) return {};
    return std::unexpected(dir.empty()
                               ? std::string("no sway IPC socket (SWAYSOCK is not set)")
                               : fmt::format("no sway IPC socket answers (SWAYSOCK, or sway-ipc.*.sock in {})", dir));
}

std::string SwayIpc::encode(Type type, std::string_view payload) {
    std::string bytes(kMagic);
    const auto length = static_cast<std::uint32_t>(payload.size());
    const auto code = static_cast<std::uint32_t>(type);
    bytes.append(reinterpret_cast<const char*>(&length), 4);
    bytes.append(reinterpret_cast<const char*>(&code), 4);
    bytes.append(payload);
    return bytes;
}

std::expected<SwayIpc::Header, std::string> SwayIpc::decodeHeader(std::string_view bytes) {
    if (bytes.size() < kHeaderSize) return std::unexpected(std::string("short IPC header"));
    if (bytes.substr(0, kMagic.size()) != kMagic) return std::unexpected(std::string("not an i3-ipc message"));
    Header header;
    std::memcpy(&header.length, bytes.data() + 6, 4);
    std::memcpy(&header.type, bytes.data() + 10, 4);
    if (header.length > kMaxPayload) return std::unexpected(fmt::format("IPC reply of {} bytes", header.length));
    return header;
}

std::expected<std::pair<SwayIpc::Header, std::string>, std::string>
SwayIpc::readMessage(std::chrono::milliseconds wait) {
    const auto deadline = Clock::now() + wait;
    const auto readExactly = [&](char* into, std::size_t size) -> std::expected<void, std::string> {
        std::size_t got = 0;
        while (got < size) {
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, remainingMs(deadline));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return std::unexpected(std::string("the compositor did not answer in time"));
            const auto n = ::recv(fd_, into + got, size - got, 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) return std::unexpected(std::string("the compositor closed its IPC connection"));
            got += static_cast<std::size_t>(n);
        }
        return {};
    };
    char head[kHeaderSize];
    if (auto r = readExactly(head, sizeof head); !r) return std::unexpected(r.error());
    const auto header = decodeHeader(std::string_view(head, sizeof head));
    if (!header) return std::unexpected(header.error());
    std::string payload(header->length, '\0');
    if (auto r = readExactly(payload.data(), payload.size()); !r) return std::unexpected(r.error());
    return std::pair{*header, std::move(payload)};
}

std::expected<std::string, std::string> SwayIpc::request(Type type, std::string_view payload) {
    if (fd_ < 0) return std::unexpected(std::string("not connected to the compositor"));
    const auto bytes = encode(type, payload);
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const auto n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close();
            return std::unexpected(std::string("the compositor closed its IPC connection"));
        }
        sent += static_cast<std::size_t>(n);
    }
    // Events of a subscription may come first; the reply carries the request's type.
    for (;;) {
        auto message = readMessage(timeout);
        if (!message) {
            close(); // a late reply would be read as the answer to the next request
            return std::unexpected(message.error());
        }
        if ((message->first.type & kEventBit) != 0) continue;
        if (message->first.type != static_cast<std::uint32_t>(type)) {
            close();
            return std::unexpected(fmt::format("IPC reply of type {} to a request of type {}", message->first.type,
                                               static_cast<std::uint32_t>(type)));
        }
        return std::move(message->second);
    }
}

std::expected<std::optional<std::pair<std::uint32_t, std::string>>, std::string>
SwayIpc::readEvent(std::chrono::milliseconds wait) {
    if (fd_ < 0) return std::unexpected(std::string("not connected to the compositor"));
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(wait.count()));
    if (ready == 0 || (ready < 0 && errno == EINTR)) return std::nullopt;
    auto message = readMessage(timeout);
    if (!message) {
        close();
        return std::unexpected(message.error());
    }
    return std::pair{message->first.type & ~kEventBit, std::move(message->second)};
}

std::expected<void, std::string> SwayIpc::parseCommandReply(std::string_view text) {
    const auto json = nlohmann::json::parse(text, nullptr, false);
    if (!json.is_array() || json.empty()) return std::unexpected(std::string("unexpected reply to a command"));
    for (const auto& result : json) {
        if (!result.is_object()) return std::unexpected(std::string("unexpected reply to a command"));
        const auto success = result.find("success");
        if (success != result.end() && success->is_boolean() && success->get<bool>()) continue;
        const auto error = result.find("error");
        return std::unexpected(error != result.end() && error->is_string() ? error->get<std::string>()
                                                                           : std::string("the command failed"));
    }
    return {};
}

std::expected<std::vector<SwayOutput>, std::string> SwayIpc::parseOutputs(std::string_view text) {
    const auto json = nlohmann::json::parse(text, nullptr, false);
    if (!json.is_array()) return std::unexpected(std::string("unexpected reply listing the outputs"));
    const auto integer = [](const nlohmann::json& object, const char* key) {
        const auto it = object.find(key);
        return it != object.end() && it->is_number_integer() ? it->get<long long>() : 0LL;
    };
    const auto clamp = [](long long v) { return static_cast<int>(std::clamp<long long>(v, -1'000'000, 1'000'000)); };
    std::vector<SwayOutput> outputs;
    for (const auto& o : json) {
        if (!o.is_object()) continue;
        const auto name = o.find("name");
        if (name == o.end() || !name->is_string()) continue;
        SwayOutput out;
        out.name = name->get<std::string>();
        if (const auto it = o.find("active"); it != o.end() && it->is_boolean()) out.active = it->get<bool>();
        if (const auto it = o.find("dpms"); it != o.end() && it->is_boolean()) out.dpms = it->get<bool>();
        if (const auto it = o.find("scale"); it != o.end() && it->is_number()) out.scale = it->get<double>();
        if (!(out.scale > 0 && out.scale < 16)) out.scale = 1.0;
        if (const auto rect = o.find("rect"); rect != o.end() && rect->is_object()) {
            out.x = clamp(integer(*rect, "x"));
            out.y = clamp(integer(*rect, "y"));
            out.width = clamp(integer(*rect, "width"));
            out.height = clamp(integer(*rect, "height"));
        }
        if (const auto mode = o.find("current_mode"); mode != o.end() && mode->is_object()) {
            out.modeWidth = clamp(integer(*mode, "width"));
            out.modeHeight = clamp(integer(*mode, "height"));
            out.refreshMilliHz = clamp(integer(*mode, "refresh"));
        }
        outputs.push_back(std::move(out));
    }
    return outputs;
}

std::expected<void, std::string> SwayIpc::command(std::string_view text) {
    auto reply = request(Type::command, text);
    if (!reply) return std::unexpected(reply.error());
    return parseCommandReply(*reply);
}

std::expected<std::vector<SwayOutput>, std::string> SwayIpc::outputs() {
    auto reply = request(Type::outputs, {});
    if (!reply) return std::unexpected(reply.error());
    return parseOutputs(*reply);
}

std::expected<SwayVersion, std::string> SwayIpc::version() {
    auto reply = request(Type::version, {});
    if (!reply) return std::unexpected(reply.error());
    const auto json = nlohmann::json::parse(*reply, nullptr, false);
    if (!json.is_object()) return std::unexpected(std::string("unexpected reply to the version request"));
    SwayVersion v;
    if (const auto it = json.find("major"); it != json.end() && it->is_number_integer()) v.major = it->get<int>();
    if (const auto it = json.find("minor"); it != json.end() && it->is_number_integer()) v.minor = it->get<int>();
    return v;
}

} // namespace kiv
