// The wlroots backend's logic without a compositor: which backend a session gets, the IPC framing
// and replies as hostile input, and the display adapter against a scripted IPC server that
// refuses, goes away and comes back.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "KivHostCore/Linux/DisplayBackend.hpp"
#include "KivHostCore/Testing/TestProcess.hpp"
#include "VirtualDisplay/Linux/SwayIpc.hpp"
#include "VirtualDisplay/Linux/SwayVirtualDisplayAdapter.hpp"

using namespace kiv;
using namespace std::chrono_literals;

namespace {

std::expected<DisplayBackend, std::string> choose(std::map<std::string, std::string> env,
                                                  std::optional<DisplayBackend> asked = {}) {
    return chooseDisplayBackend(asked, [&](const char* name) -> std::optional<std::string> {
        const auto it = env.find(name);
        if (it == env.end()) return std::nullopt;
        return it->second;
    });
}

TEST(DisplayBackendChoice, FollowsTheSessionAndSaysWhyWhenItCannotServeIt) {
    EXPECT_EQ(choose({{"DISPLAY", ":0"}}), DisplayBackend::x11);
    EXPECT_EQ(choose({}), DisplayBackend::x11) << "the caller starts an X server of its own";
    EXPECT_EQ(choose({{"WAYLAND_DISPLAY", "wayland-1"}, {"SWAYSOCK", "/run/s.sock"}}), DisplayBackend::wlroots);
    EXPECT_EQ(choose({{"WAYLAND_DISPLAY", "wayland-1"}, {"XDG_CURRENT_DESKTOP", "sway"}, {"DISPLAY", ":0"}}),
              DisplayBackend::wlroots)
        << "XWayland's DISPLAY does not make it an X11 session";
    EXPECT_EQ(choose({{"WAYLAND_DISPLAY", "wayland-0"}, {"XDG_CURRENT_DESKTOP", "ubuntu:GNOME"}}),
              DisplayBackend::gnome);
    const auto kde = choose({{"WAYLAND_DISPLAY", "wayland-0"}, {"XDG_CURRENT_DESKTOP", "KDE"}});
    ASSERT_FALSE(kde);
    EXPECT_NE(kde.error().find("Plasma (X11)"), std::string::npos) << kde.error();
    const auto other = choose({{"WAYLAND_DISPLAY", "wayland-0"}, {"XDG_CURRENT_DESKTOP", "Hyprland"}});
    ASSERT_FALSE(other);
    EXPECT_NE(other.error().find("Hyprland"), std::string::npos) << other.error();

    // Asked by name: the session is only checked for what that backend needs.
    EXPECT_EQ(choose({{"WAYLAND_DISPLAY", "wayland-0"}}, DisplayBackend::x11), DisplayBackend::x11);
    EXPECT_FALSE(choose({{"DISPLAY", ":0"}}, DisplayBackend::wlroots));
    EXPECT_FALSE(choose({{"WAYLAND_DISPLAY", "wayland-0"}}, DisplayBackend::gnome)) << "no session bus";
    EXPECT_EQ(choose({{"XDG_RUNTIME_DIR", "/run/user/1000"}}, DisplayBackend::gnome), DisplayBackend::gnome);
    EXPECT_EQ(displayBackendFromText("wlroots"), DisplayBackend::wlroots);
    EXPECT_EQ(displayBackendFromText("weston"), std::nullopt);
}

TEST(SwayIpcFraming, RejectsWhatIsNotAReplyWithoutCrashing) {
    const auto bytes = SwayIpc::encode(SwayIpc::Type::outputs, "[]");
    const auto header = SwayIpc::decodeHeader(bytes);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->length, 2u);
    EXPECT_EQ(header->type, 3u);
    EXPECT_FALSE(SwayIpc::decodeHeader(bytes.substr(0, 10))) << "short";
    EXPECT_FALSE(SwayIpc::decodeHeader("xx-ipc" + bytes.substr(6))) << "not the magic";
    std::string huge = bytes;
    const std::uint32_t length = SwayIpc::kMaxPayload + 1;
    std::memcpy(huge.data() + 6, &length, 4);
    EXPECT_FALSE(SwayIpc::decodeHeader(huge)) << "a length past the cap is refused before anything is allocated";

    EXPECT_TRUE(SwayIpc::parseCommandReply(R"([{"success":true},{"success":true}])"));
    const auto refused = SwayIpc::parseCommandReply(R"([{"success":true},{"success":false,"error":"Unknown output"}])");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "Unknown output");
    for (const char* bad : {"", "{", "[]", "[1]", R"({"success":true})", R"([{"success":"yes"}])"})
        EXPECT_FALSE(SwayIpc::parseCommandReply(bad)) << bad;

    EXPECT_FALSE(SwayIpc::parseOutputs("{}"));
    const auto outputs = SwayIpc::parseOutputs(
        R"([{"name":"HEADLESS-2","active":true,"scale":-3,"rect":{"x":1e300,"y":"0","width":99999999999,"height":768},
            "current_mode":{"width":1024,"height":768,"refresh":120000}}, {"active":true}, 7, {"name":"DP-1"}])");
    ASSERT_TRUE(outputs);
    ASSERT_EQ(outputs->size(), 2u) << "entries without a name are skipped";
    EXPECT_EQ((*outputs)[0].scale, 1.0);
    EXPECT_EQ((*outputs)[0].x, 0) << "not an integer";
    EXPECT_EQ((*outputs)[0].width, 1'000'000) << "clamped";
    EXPECT_EQ((*outputs)[0].refreshMilliHz, 120000);
    EXPECT_FALSE((*outputs)[1].active);
}

// A compositor's IPC socket, scripted: outputs made by create_output, commands that may be
// refused, output events to subscribers, and a way to go away.
class FakeSway {
public:
    explicit FakeSway(std::string folder) : folder_(std::move(folder)) { open(); }
    ~FakeSway() { close(); }

    void open() {
        path_ = folder_ + "/sway-ipc.0." + std::to_string(++generation_) + ".sock";
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 8);
        stopping_ = false;
        acceptor_ = std::thread([this] { acceptLoop(); });
    }
    // Goes away as a crashed compositor: every connection ends, the socket is gone.
    void close() {
        stopping_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        if (acceptor_.joinable()) acceptor_.join();
        {
            const std::lock_guard lock(mutex_);
            for (const int fd : clients_)
                ::shutdown(fd, SHUT_RDWR);
        }
        for (auto& t : workers_)
            if (t.joinable()) t.join();
        workers_.clear();
        clients_.clear();
        ::unlink(path_.c_str());
        const std::lock_guard lock(mutex_);
        outputs_ = {{"HEADLESS-1", true, 1280, 720}};
    }
    // An output vanishes behind the program's back, and subscribers hear of it.
    void dropOutput(const std::string& name) {
        std::vector<int> subscribers;
        {
            const std::lock_guard lock(mutex_);
            std::erase_if(outputs_, [&](const Output& o) { return o.name == name; });
            subscribers = subscribers_;
        }
        for (const int fd : subscribers)
            send(fd, 0x80000001u, R"({"change":"unspecified"})");
    }
    void refuseCreation(bool refuse) { refuseCreate_ = refuse; }
    const std::string& path() const { return path_; }

private:
    struct Output {
        std::string name;
        bool active;
        int width, height;
        int x = 0;
    };

    static void send(int fd, std::uint32_t type, const std::string& payload) {
        std::string bytes = SwayIpc::encode(SwayIpc::Type::command, payload);
        std::memcpy(bytes.data() + 10, &type, 4);
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }

    void acceptLoop() {
        while (!stopping_) {
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            const std::lock_guard lock(mutex_);
            clients_.push_back(fd);
            workers_.emplace_back([this, fd] { serve(fd); });
        }
    }

    void serve(int fd) {
        for (;;) {
            char head[SwayIpc::kHeaderSize];
            if (::recv(fd, head, sizeof head, MSG_WAITALL) != static_cast<ssize_t>(sizeof head)) break;
            const auto header = SwayIpc::decodeHeader(std::string_view(head, sizeof head));
            if (!header) break;
            std::string payload(header->length, '\0');
            if (header->length > 0 &&
                ::recv(fd, payload.data(), payload.size(), MSG_WAITALL) != static_cast<ssize_t>(payload.size()))
                break;
            send(fd, header->type, answer(fd, header->type, payload));
        }
        const std::lock_guard lock(mutex_);
        std::erase(subscribers_, fd);
        ::close(fd);
    }

    std::string answer(int fd, std::uint32_t type, const std::string& payload) {
        const std::lock_guard lock(mutex_);
        if (type == 7) return R"({"major":1,"minor":7})";
        if (type == 2) {
            subscribers_.push_back(fd);
            return R"({"success":true})";
        }
        if (type == 3) {
            auto list = nlohmann::json::array();
            for (const auto& o : outputs_)
                list.push_back({{"name", o.name},
                                {"active", o.active},
                                {"rect", {{"x", o.x}, {"y", 0}, {"width", o.width}, {"height", o.height}}},
                                {"current_mode", {{"width", o.width}, {"height", o.height}, {"refresh", 120000}}}});
            return list.dump();
        }
        if (payload == "create_output") {
            if (refuseCreate_) return R"([{"success":false,"error":"Cannot create output"}])";
            outputs_.push_back({"HEADLESS-" + std::to_string(++made_ + 1), true, 1920, 1080});
            return R"([{"success":true}])";
        }
        char name[64] = {};
        int w = 0, h = 0, x = 0;
        if (std::sscanf(payload.c_str(), "output %63s enable mode %dx%d@%*fHz pos %d", name, &w, &h, &x) == 4) {
            for (auto& o : outputs_)
                if (o.name == name) {
                    o = {o.name, true, w, h, x};
                    return R"([{"success":true}])";
                }
            return R"([{"success":false,"error":"Unknown output"}])";
        }
        return R"([{"success":true}])";
    }

    std::string folder_;
    std::string path_;
    int generation_ = 0;
    int listener_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> refuseCreate_{false};
    std::thread acceptor_;
    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::vector<int> clients_;
    std::vector<int> subscribers_;
    std::vector<Output> outputs_{{"HEADLESS-1", true, 1280, 720}};
    int made_ = 0;
};

struct Terminations {
    std::mutex mutex;
    int count = 0;
    std::function<void(std::function<void()>)> post() {
        return [this](std::function<void()> task) {
            task(); // the handlers only count here
        };
    }
    std::function<void()> handler() {
        return [this] {
            const std::lock_guard lock(mutex);
            ++count;
        };
    }
    int seen() {
        const std::lock_guard lock(mutex);
        return count;
    }
};

TEST(SwayDisplays, RefusalVanishingOutputsAndACompositorThatComesBack) {
    test::TempDir folder("kiv-fake-sway");
    FakeSway sway(folder.path().string());
    Terminations ended;
    SwayVirtualDisplayAdapter::Options options;
    options.ipcSocket = sway.path();
    options.runtimeDir = folder.path().string();
    options.postToMain = ended.post();
    SwayVirtualDisplayAdapter adapter(options);
    ASSERT_TRUE(adapter.isSupported()) << adapter.problem();
    const VirtualDisplayMode mode{1024, 768, 60};

    // A refused output: no display, nothing thrown, the reason kept.
    sway.refuseCreation(true);
    EXPECT_EQ(adapter.create({"Refused"}, ended.handler()), nullptr);
    sway.refuseCreation(false);

    auto display = adapter.create({"Tablet"}, ended.handler());
    ASSERT_NE(display, nullptr);
    ASSERT_TRUE(display->applyModes({mode}, false));
    const auto id = display->displayID();
    EXPECT_EQ(adapter.outputName(id), "HEADLESS-2");
    EXPECT_EQ(adapter.bounds(id), (SwayVirtualDisplayAdapter::Bounds{1280, 0, 1024, 768})) << "right of the screen";
    EXPECT_EQ(adapter.currentMode(id), (ScreenModeInfo{1024, 768, 1024, 768}));

    // The output vanishes behind our back: the display ends once.
    sway.dropOutput("HEADLESS-2");
    EXPECT_TRUE(test::waitUntil([&] { return ended.seen() == 1; }, 10s));
    EXPECT_FALSE(adapter.isOnline(id));
    display.reset();

    // The compositor goes away mid-session: the live display ends; when it is back (a socket of
    // a new name), the next display is made on it.
    auto second = adapter.create({"Second"}, ended.handler());
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(second->applyModes({mode}, false));
    sway.close();
    EXPECT_TRUE(test::waitUntil([&] { return ended.seen() == 2; }, 10s));
    EXPECT_EQ(adapter.create({"While gone"}, ended.handler()), nullptr);
    second.reset();
    sway.open();
    std::unique_ptr<VirtualDisplayObject> third;
    EXPECT_TRUE(test::waitUntil(
        [&] {
            third = adapter.create({"Back"}, ended.handler());
            return third != nullptr;
        },
        10s));
    ASSERT_NE(third, nullptr);
    EXPECT_TRUE(third->applyModes({mode}, false));
    EXPECT_TRUE(adapter.isOnline(third->displayID()));
}

} // namespace
