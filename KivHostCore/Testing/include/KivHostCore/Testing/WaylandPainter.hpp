#pragma once
// A painter on a headless sway: the Wayland test client's window fills one output and draws what
// it is told, one commit per batch. Coordinates are the layout's, as the X11 painter's.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <expected>
#include <filesystem>
#include <fmt/format.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "KivHostCore/Testing/HeadlessSway.hpp"
#include "KivHostCore/Testing/TestProcess.hpp"

extern char** environ;

namespace kiv::test {

class WaylandPainter {
public:
    static std::expected<std::unique_ptr<WaylandPainter>, std::string>
    open(const std::string& probe, const std::string& wayland, const std::string& output, std::array<int, 4> area,
         const std::filesystem::path& log) {
        std::unique_ptr<WaylandPainter> painter(new WaylandPainter());
        painter->area_ = area;
        painter->log_ = log;
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(std::string("pipe failed"));
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[0], STDIN_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        std::vector<std::string> env{"WAYLAND_DISPLAY=" + wayland};
        for (char** e = environ; *e != nullptr; ++e)
            if (!std::string_view(*e).starts_with("WAYLAND_DISPLAY=")) env.emplace_back(*e);
        std::vector<char*> envp;
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string color = "404040";
        std::vector<char*> argv{const_cast<char*>(probe.c_str()), const_cast<char*>(output.c_str()), color.data(),
                                nullptr};
        const int spawned = ::posix_spawn(&painter->pid_, probe.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[0]);
        painter->fd_ = fds[1];
        if (spawned != 0) return std::unexpected(std::string("cannot start ") + probe);
        if (!waitUntil([&] { return painter->output().find("ready") != std::string::npos; }, std::chrono::seconds(20)))
            return std::unexpected("the painter's window did not show: " + painter->output());
        return painter;
    }
    ~WaylandPainter() {
        if (fd_ >= 0) ::close(fd_);
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    // Drawn with the next flush; `settle` flushes at once.
    void fill(std::uint32_t rgb, int x, int y, int w, int h, bool settle = true) {
        batch_ += fmt::format("draw {} {} {} {} {:06x}\n", x - area_[0], y - area_[1], w, h, rgb & 0xFFFFFF);
        if (settle) flush();
    }
    void flush() {
        if (batch_.empty()) return;
        batch_ += "show\n";
        for (std::size_t sent = 0; sent < batch_.size();) {
            const auto n = ::write(fd_, batch_.data() + sent, batch_.size() - sent);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        batch_.clear();
    }
    std::string output() const {
        std::ifstream in(log_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

private:
    WaylandPainter() = default;
    std::array<int, 4> area_{};
    std::filesystem::path log_;
    std::string batch_;
    pid_t pid_ = -1;
    int fd_ = -1;
};

// The devices' outputs: every active one but the compositor's own first.
inline std::vector<std::array<int, 4>> deviceOutputs(const HeadlessSway& sway) {
    std::vector<std::array<int, 4>> out;
    for (const auto& o : sway.outputs())
        if (o.active && o.name != "HEADLESS-1") out.push_back({o.x, o.y, o.width, o.height});
    return out;
}

inline std::string outputNamed(const HeadlessSway& sway, const std::array<int, 4>& area) {
    for (const auto& o : sway.outputs())
        if (o.active && o.x == area[0] && o.y == area[1]) return o.name;
    return {};
}

} // namespace kiv::test
