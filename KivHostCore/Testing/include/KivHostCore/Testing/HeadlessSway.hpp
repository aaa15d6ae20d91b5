#pragma once
// A headless sway of the test's own: its runtime folder, Wayland and IPC sockets. sway refuses to
// run as root, so under root it runs as the unprivileged uid 65534 (its folder handed over to
// it); root clients can still reach its sockets. Sockets are named afresh at each start, so a
// restart within the same folder is a compositor that went away and came back.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "KivHostCore/Testing/TestProcess.hpp"
#include "KivHostCore/Testing/TestServers.hpp"
#include "VirtualDisplay/Linux/SwayIpc.hpp"

namespace kiv::test {

class HeadlessSway {
public:
    static std::expected<std::unique_ptr<HeadlessSway>, StartError> start() {
        if (!findProgram("sway")) return std::unexpected(StartError{true, "sway is not installed", false});
        std::unique_ptr<HeadlessSway> sway(new HeadlessSway());
        if (auto started = sway->launch(); !started) return std::unexpected(StartError{false, started.error(), false});
        return sway;
    }
    ~HeadlessSway() { stop(); }

    // Stops it as a crash would (SIGKILL), leaving its folder.
    void kill() {
        if (process_.pid() > 0) ::kill(process_.pid(), SIGKILL);
        process_.stop(std::chrono::milliseconds(100));
        std::filesystem::remove(ipc_);
    }
    void stop() { process_.stop(); }
    std::expected<void, std::string> restart() {
        kill();
        return launch();
    }

    const std::string& wayland() const { return wayland_; } // the Wayland socket's absolute path
    const std::string& ipc() const { return ipc_; }
    std::string folder() const { return dir_.path().string(); }
    std::string log() const { return process_.log(); }
    std::vector<SwayOutput> outputs() const {
        SwayIpc client;
        if (!client.connect(ipc_)) return {};
        return client.outputs().value_or(std::vector<SwayOutput>{});
    }
    // The windows it shows: each client's app id and the output it is on, from its tree.
    struct Window {
        std::string appID, output;
    };
    std::vector<Window> windows() const {
        SwayIpc client;
        if (!client.connect(ipc_)) return {};
        const auto tree = nlohmann::json::parse(client.request(SwayIpc::Type{4}, {}).value_or("{}"), nullptr, false);
        std::vector<Window> found;
        std::function<void(const nlohmann::json&, const std::string&)> walk = [&](const nlohmann::json& node,
                                                                                  const std::string& output) {
            if (!node.is_object()) return;
            const auto here = node.value("type", "") == "output" ? node.value("name", "") : output;
            if (node.contains("app_id") && node["app_id"].is_string()) found.push_back({node["app_id"], here});
            for (const auto* key : {"nodes", "floating_nodes"})
                for (const auto& child : node.value(key, nlohmann::json::array()))
                    walk(child, here);
        };
        walk(tree, "");
        return found;
    }
    std::string inputs() const {
        SwayIpc client;
        if (!client.connect(ipc_)) return {};
        return client.request(SwayIpc::Type{100}, {}).value_or("");
    }

private:
    HeadlessSway() = default;

    std::expected<void, std::string> launch() {
        const auto folder = dir_.path();
        const bool root = ::geteuid() == 0;
        std::filesystem::remove(folder / "config");
        { std::ofstream(folder / "config") << "default_border none\n"; }
        if (root && (::chown(folder.c_str(), 65534, 65534) != 0 || ::chmod(folder.c_str(), 0700) != 0))
            return std::unexpected(std::string("cannot hand the runtime folder to uid 65534"));
        ProcessOptions options;
        // A sway of the caller's own session must not be taken for this one (sway uses a set SWAYSOCK).
        options.argv = {
            findProgram("env").value_or("/usr/bin/env"), "-u", "SWAYSOCK", "-u", "WAYLAND_DISPLAY", "-u", "DISPLAY"};
        if (root)
            options.argv.insert(options.argv.end(), {findProgram("setpriv").value_or("setpriv"), "--reuid=65534",
                                                     "--regid=65534", "--clear-groups"});
        options.argv.push_back(*findProgram("sway"));
        options.argv.insert(options.argv.end(), {"-c", (folder / "config").string()});
        options.environment = {{"XDG_RUNTIME_DIR", folder.string()},
                               {"HOME", folder.string()},
                               {"WLR_BACKENDS", "headless"},
                               {"WLR_LIBINPUT_NO_DEVICES", "1"},
                               {"WLR_RENDERER", "pixman"}};
        options.logFile = folder.parent_path() / (folder.filename().string() + ".log");
        auto started = ChildProcess::start(options);
        if (!started) return std::unexpected(started.error());
        process_ = std::move(*started);
        wayland_.clear();
        ipc_.clear();
        const bool ready = waitUntil(
            [&] {
                for (const auto& entry : std::filesystem::directory_iterator(folder)) {
                    const auto name = entry.path().filename().string();
                    if (!entry.is_socket()) continue;
                    if (name.starts_with("wayland-")) wayland_ = entry.path().string();
                    if (name.starts_with("sway-ipc.")) ipc_ = entry.path().string();
                }
                SwayIpc probe;
                return !wayland_.empty() && !ipc_.empty() && probe.connect(ipc_) && probe.outputs().has_value() &&
                       !probe.outputs()->empty();
            },
            std::chrono::seconds(20), std::chrono::milliseconds(50));
        if (!ready) return std::unexpected("sway did not start: " + process_.log());
        return {};
    }

    TempDir dir_{"kiv-sway"};
    ChildProcess process_;
    std::string wayland_;
    std::string ipc_;
};

} // namespace kiv::test
