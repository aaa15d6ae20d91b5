#pragma once
// Headless Chromium driven over the DevTools protocol on a pipe (fd 3 into the browser, fd 4 out,
// each message JSON ended by a NUL), for tests and benchmarks that use a browser as the device.
// Lookups stay on loopback; the host's certificate is trusted by its key's hash, not ignored.
#include <chrono>
#include <expected>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace kiv::test {

class Chromium {
public:
    struct Options {
        std::filesystem::path profile; // a private user-data folder
        std::string trustedSpki;       // base64 SHA-256 of the host's public key
        int width = 1280;
        int height = 800;
        std::vector<std::string> extraArguments;
    };

    static bool available();
    static std::expected<std::unique_ptr<Chromium>, std::string> launch(const Options& options);
    ~Chromium();
    Chromium(const Chromium&) = delete;
    Chromium& operator=(const Chromium&) = delete;

    // One command; its result, or the protocol's error text. Events met meanwhile are kept.
    std::expected<nlohmann::json, std::string> call(const std::string& method, nlohmann::json params = {},
                                                    const std::string& session = {},
                                                    std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // A new tab attached in flat mode; its session id. `beforeScripts` run before the page's own.
    std::expected<std::string, std::string> openTab(const std::string& url, const std::string& beforeScripts = {});
    std::expected<void, std::string> closeTab(const std::string& session);
    // The value of an expression in the tab (promises awaited), or the exception's text.
    std::expected<nlohmann::json, std::string> evaluate(const std::string& session, const std::string& expression);
    // Polls an expression until it is truthy; its last value either way.
    bool waitFor(const std::string& session, const std::string& expression, std::chrono::milliseconds timeout,
                 nlohmann::json* last = nullptr);
    // Console messages and exceptions of every tab so far, for failure messages.
    const std::vector<std::string>& console() const { return console_; }
    std::string consoleText() const;

private:
    Chromium() = default;
    std::optional<nlohmann::json> readMessage(std::chrono::steady_clock::time_point deadline);
    void note(const nlohmann::json& event);

    int pid_ = -1;
    int toBrowser_ = -1;
    int fromBrowser_ = -1;
    std::string buffer_;
    int nextId_ = 1;
    std::map<std::string, std::string> targetOfSession_;
    std::vector<std::string> console_;
};

} // namespace kiv::test
