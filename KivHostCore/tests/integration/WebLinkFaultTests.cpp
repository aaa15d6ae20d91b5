// The web link under hostile clients: each is refused or closed, nothing grows without bound, and
// a browser that behaves keeps its picture throughout.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <thread>

#include "HostFixture.hpp"
#include "KivHostCore/Linux/WebIdentity.hpp"
#include "KivHostCore/Linux/WebServer.hpp"
#include "KivHostCore/Runtime/SerialQueue.hpp"
#include "KivHostCore/Testing/Chromium.hpp"
#include "KivHostCore/Testing/SkipPolicy.hpp"
#include "KivProtocol/ControlFraming.hpp"
#include "RawWebClient.hpp"

namespace kiv {
namespace {

using test::Chromium;
using test::RawWebClient;

std::vector<std::uint8_t> helloItem(const std::string& id) {
    return *ControlFraming::encode({helloFor(id, "Raw " + id)});
}

TEST_F(HostServiceTest, WebLinkRefusesHostileClientsAndABrowserKeepsStreamingMeanwhile) {
    if (!Chromium::available()) KIV_SKIP_OR_FAIL("chromium is not installed");
    test::TempDir home("kiv-web-faults");
    webFolder_ = home.path() / "config";
    const auto port = test::freeLoopbackPort(SOCK_STREAM);
    startHost([&](HostSettings& s) { s.webPort = port; });
    // Connections that never start their TLS handshake, left open for the whole test.
    std::vector<std::unique_ptr<test::SilentConnection>> silent;
    const auto openedAt = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i)
        silent.push_back(std::make_unique<test::SilentConnection>(port));

    Chromium::Options options;
    options.profile = home.path() / "profile";
    options.trustedSpki = platform_->webIdentity()->spkiSha256;
    auto browser = Chromium::launch(options);
    ASSERT_TRUE(browser) << browser.error();
    auto tab = (*browser)->openTab(fmt::format("https://127.0.0.1:{}/", port));
    ASSERT_TRUE(tab) << tab.error();
    ASSERT_TRUE(
        (*browser)->waitFor(*tab, "window.kiv?.state.phase === 'streaming' && window.kiv.video.size", kDeadline))
        << "a browser connects while silent connections wait: " << (*browser)->consoleText();
    const auto browserID = (*browser)->evaluate(*tab, "window.kiv.state.deviceID")->get<std::string>();

    // A page of another site, open in a browser on this network, is no device; the host's own page,
    // and a program that names no page, are.
    {
        EXPECT_FALSE(RawWebClient::open(port, "https://evil.example"));
        EXPECT_FALSE(RawWebClient::open(port, fmt::format("https://127.0.0.1:{}.evil.example", port)));
        EXPECT_FALSE(RawWebClient::open(port, fmt::format("http://127.0.0.1:{}", port))) << "not over TLS";
        EXPECT_TRUE(test::waitUntil(
            [] { return test::logged("Refused a web link from 127.0.0.1: its page came from evil.example"); },
            kDeadline));
        EXPECT_TRUE(RawWebClient::open(port, fmt::format("https://127.0.0.1:{}", port)));
        EXPECT_TRUE(RawWebClient::open(port));
    }

    // Garbage where a control item belongs, a text message, a message over the size limit: each
    // link is closed.
    {
        auto garbage = RawWebClient::open(port);
        ASSERT_TRUE(garbage) << garbage.error();
        EXPECT_TRUE((*garbage)->sendBinary({0, 0, 0, 5, 'n', 'o', 't', '{', '}'}));
        EXPECT_TRUE((*garbage)->closedWithin(kDeadline)) << "a malformed item";
        auto text = RawWebClient::open(port);
        ASSERT_TRUE(text) << text.error();
        EXPECT_TRUE((*text)->sendText("{\"hello\":{}}"));
        EXPECT_TRUE((*text)->closedWithin(kDeadline)) << "a text message";
        auto oversize = RawWebClient::open(port);
        ASSERT_TRUE(oversize) << oversize.error();
        (*oversize)->sendBinary(std::vector<std::uint8_t>(600 * 1024, 0x20));
        EXPECT_TRUE((*oversize)->closedWithin(kDeadline)) << "a message of 600 KiB";
        auto video = RawWebClient::open(port);
        ASSERT_TRUE(video) << video.error();
        EXPECT_TRUE((*video)->sendBinary({0x80, 0, 0, 20, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7}));
        EXPECT_TRUE((*video)->closedWithin(kDeadline)) << "a device may not send video";
    }

    // A flood of pings is answered and harms nobody.
    {
        auto flood = RawWebClient::open(port);
        ASSERT_TRUE(flood) << flood.error();
        for (std::uint64_t i = 0; i < 3000; ++i)
            ASSERT_TRUE((*flood)->sendBinary(*ControlFraming::encode({PingInfo{i}})));
        int pongs = 0;
        while (pongs < 3000) {
            auto message = (*flood)->read(kDeadline);
            if (!message) break;
            ++pongs;
        }
        EXPECT_EQ(pongs, 3000);
    }

    // A device that is admitted and then never reads: its frames are dropped, not queued.
    auto stuck = RawWebClient::open(port);
    ASSERT_TRUE(stuck) << stuck.error();
    ASSERT_TRUE((*stuck)->sendBinary(helloItem("stuck-0031")));
    ASSERT_TRUE(waitUntil([&] { return monitorOf("stuck-0031").has_value(); }, kDeadline));
    const auto stuckMonitor = *monitorOf("stuck-0031");
    std::int64_t mostQueued = 0;
    for (int i = 0; i < 60; ++i) { // three seconds of a changing picture
        paint(stuckMonitor, i % 2 ? 0xFF2020 : 0x20FF20);
        if (const auto d = device("stuck-0031"); d && d->link)
            mostQueued = std::max(mostQueued, d->link->sendQueueBytes);
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_LT(mostQueued, 16 << 20) << "bytes waiting for a device that never reads stay bounded";

    // The browser still gets fresh pictures of its own monitor.
    const auto browserMonitor = *monitorOf(browserID);
    auto lastPaint = std::chrono::steady_clock::time_point{};
    EXPECT_TRUE(waitUntil(
        [&] {
            if (std::chrono::steady_clock::now() - lastPaint > 1s) {
                paint(browserMonitor, 0x2080F0);
                lastPaint = std::chrono::steady_clock::now();
            }
            const auto p =
                (*browser)->evaluate(*tab, "window.kiv.video.pixel(0.5, 0.5).then((d) => d[2] > 200 && d[0] < 80)");
            return p && *p == true;
        },
        kDeadline, 100ms));

    // Plain HTTP is served to loopback (a cable's reverse forward) and nothing outside the page is.
    const auto page = test::plainGet(port, "/");
    ASSERT_TRUE(page) << page.error();
    EXPECT_EQ(page->first, 200);
    EXPECT_NE(page->second.find("main.js"), std::string::npos);
    for (const auto* target : {"/../../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd", "/web-key.pem", "/index.html/.."}) {
        const auto outside = test::plainGet(port, target);
        ASSERT_TRUE(outside) << outside.error();
        EXPECT_EQ(outside->first, 404) << target;
        EXPECT_EQ(outside->second.find("PRIVATE KEY"), std::string::npos);
    }
    // Only under this computer's own names: a site's name re-pointed here (DNS rebinding) is not served.
    for (const auto& host : {fmt::format("localhost:{}", port), fmt::format("[::1]:{}", port)})
        EXPECT_EQ(test::plainGet(port, "/", host).value_or(std::pair{0, std::string()}).first, 200) << host;
    for (const auto& host : {fmt::format("rebound.example:{}", port), std::string("127.0.0.1.evil.example")})
        EXPECT_EQ(test::plainGet(port, "/", host).value_or(std::pair{0, std::string()}).first, 403) << host;

    // The silent connections were closed once their handshake time ran out.
    EXPECT_TRUE(waitUntil([&] { return std::ranges::all_of(silent, [](const auto& c) { return c->closedByHost(); }); },
                          kDeadline))
        << std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - openedAt).count()
        << " s after they opened";
}

// A peer on the local network (an address in a network namespace of the test's own, not loopback)
// gets the page over TLS only: plain HTTP, the link's path included, is sent to https:// and
// served nothing.
TEST(WebServer, ThePageReachesTheLocalNetworkOverTlsOnly) {
    if (!test::findProgram("curl")) KIV_SKIP_OR_FAIL("curl is not installed (scripts/install-deps installs it)");
    const std::string ns = "kiv-lan-" + std::to_string(::getpid());
    const auto ip = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "ip");
        return test::runProgram(args).exitCode == 0;
    };
    if (!ip({"netns", "add", ns})) KIV_SKIP_OR_FAIL("ip netns add failed (it needs root)");
    struct Removed {
        std::string ns;
        ~Removed() { test::runProgram({"ip", "netns", "delete", ns}); }
    } removed{ns};
    // Both ends of the pair stay inside; the address is the namespace's own, reached from within.
    ASSERT_TRUE(ip({"-n", ns, "link", "add", "kivlan0", "type", "veth", "peer", "name", "kivlan1"}));
    ASSERT_TRUE(ip({"-n", ns, "addr", "add", "10.213.0.1/24", "dev", "kivlan0"}));
    for (const auto* link : {"kivlan0", "kivlan1", "lo"})
        ASSERT_TRUE(ip({"-n", ns, "link", "set", link, "up"}));

    test::TempDir home("kiv-web-lan");
    const auto identity = loadOrCreateWebIdentity({home.path(), "lan-test", {"10.213.0.1"}});
    ASSERT_TRUE(identity) << identity.error();
    WebServerOptions options;
    options.certificatePem = identity->certificatePem;
    options.privateKeyPem = identity->privateKeyPem;
    options.assets = [](std::string_view path) -> std::optional<WebAsset> {
        if (path == "/index.html") return WebAsset{"text/html", "<p>the page</p>"};
        return std::nullopt;
    };
    // A listening socket belongs to the namespace of the thread that opens it.
    std::expected<std::shared_ptr<StreamListener>, std::string> listener = std::unexpected("not opened");
    std::thread([&] {
        const int fd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0) listener = openWebListener(options);
        if (fd >= 0) ::close(fd);
    }).join();
    ASSERT_TRUE(listener) << listener.error();
    SerialQueue queue("kiv.test");
    (*listener)->start(queue);
    const auto at = fmt::format("10.213.0.1:{}", (*listener)->port());
    const auto curl = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"ip", "netns", "exec", ns, "curl", "-s", "--max-time", "20"});
        return test::runProgram(args);
    };
    for (const auto* path : {"/", "/link"}) {
        const auto plain = curl({"-o", "/dev/null", "-w", "%{http_code} %{redirect_url}", "http://" + at + path});
        EXPECT_EQ(plain.output, fmt::format("301 https://{}/", at)) << path;
    }
    const auto secure = curl({"-k", "-w", " %{http_code}", "https://" + at + "/"});
    EXPECT_EQ(secure.output, "<p>the page</p> 200");
    (*listener)->cancel();
}

} // namespace
} // namespace kiv
