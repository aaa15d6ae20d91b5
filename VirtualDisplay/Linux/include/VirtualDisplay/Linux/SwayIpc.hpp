#pragma once
// A client of sway's IPC socket (the i3 message format: "i3-ipc", a 32-bit length and a 32-bit
// type in the machine's byte order, then JSON). Blocking, with a deadline on every exchange; not
// thread-safe (one connection per thread). What the compositor sends is treated as hostile: a
// reply larger than kMaxPayload or not the JSON expected is an error, never a crash.
#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kiv {

struct SwayOutput {
    std::string name;
    bool active = false;
    bool dpms = true;
    // Where the output is in the layout and its size there (logical pixels).
    int x = 0, y = 0, width = 0, height = 0;
    // The mode it is driven in (physical pixels, millihertz) and its scale.
    int modeWidth = 0, modeHeight = 0, refreshMilliHz = 0;
    double scale = 1.0;
    bool operator==(const SwayOutput&) const = default;
};

struct SwayVersion {
    int major = 0, minor = 0;
};

class SwayIpc {
public:
    enum class Type : std::uint32_t { command = 0, workspaces = 1, subscribe = 2, outputs = 3, version = 7 };
    static constexpr std::size_t kHeaderSize = 14;
    static constexpr std::uint32_t kMaxPayload = 4u << 20;
    static constexpr std::uint32_t kEventBit = 0x80000000u;

    SwayIpc() = default;
    ~SwayIpc();
    SwayIpc(const SwayIpc&) = delete;
    SwayIpc& operator=(const SwayIpc&) = delete;

    // The compositor's socket: `preferred` when it answers, else $SWAYSOCK, else the newest
    // sway-ipc.*.sock in `runtimeDir` ($XDG_RUNTIME_DIR when empty) that accepts a connection (a
    // compositor restarted since the session began has a socket of a new name).
    std::expected<void, std::string> connect(const std::string& preferred, const std::string& runtimeDir = {});
    bool connected() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }
    void close();

    // One request and its reply's payload.
    std::expected<std::string, std::string> request(Type type, std::string_view payload);
    // Runs a command; the compositor's own error text when it refuses.
    std::expected<void, std::string> command(std::string_view text);
    std::expected<std::vector<SwayOutput>, std::string> outputs();
    std::expected<SwayVersion, std::string> version();
    // After a subscription: waits up to `timeout` for one event (its type without the event bit,
    // and payload); nothing on timeout; an error when the connection ends.
    std::expected<std::optional<std::pair<std::uint32_t, std::string>>, std::string>
    readEvent(std::chrono::milliseconds timeout);

    // The pieces, exposed for tests.
    struct Header {
        std::uint32_t length = 0;
        std::uint32_t type = 0;
    };
    static std::expected<Header, std::string> decodeHeader(std::string_view bytes);
    static std::string encode(Type type, std::string_view payload);
    static std::expected<void, std::string> parseCommandReply(std::string_view json);
    static std::expected<std::vector<SwayOutput>, std::string> parseOutputs(std::string_view json);

    std::chrono::milliseconds timeout{2000};

private:
    std::expected<std::pair<Header, std::string>, std::string> readMessage(std::chrono::milliseconds timeout);
    bool tryPath(const std::string& path);
    int fd_ = -1;
    std::string path_;
};

} // namespace kiv
