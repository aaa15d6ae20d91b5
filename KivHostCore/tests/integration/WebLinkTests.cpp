// A browser as the device: headless Chromium opens the host's page over HTTPS (trusting the
// host's key by its hash), pairs, shows the device's monitor, clicks and scrolls on it.
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "EventWindow.hpp"
#include "HostFixture.hpp"
#include "KivHostCore/Testing/Chromium.hpp"
#include "KivHostCore/Testing/SkipPolicy.hpp"

namespace kiv {
namespace {

using test::Chromium;
using test::EventWindow;

class WebLink : public HostServiceTest {
protected:
    void SetUp() override {
        HostServiceTest::SetUp();
        if (!Chromium::available()) KIV_SKIP_OR_FAIL("chromium is not installed");
    }
    void startWebHost(const std::function<void(HostSettings&)>& tweak = {}) {
        webFolder_ = home_.path() / "config";
        webPort_ = test::freeLoopbackPort(SOCK_STREAM);
        startHost([&](HostSettings& s) {
            s.webPort = webPort_;
            if (tweak) tweak(s);
        });
        ASSERT_EQ(service_->webPort(), webPort_);
        ASSERT_TRUE(platform_->webIdentity()) << platform_->webIdentity().error();
        Chromium::Options options;
        options.profile = home_.path() / "profile";
        options.trustedSpki = platform_->webIdentity()->spkiSha256;
        auto browser = Chromium::launch(options);
        ASSERT_TRUE(browser) << browser.error();
        browser_ = std::move(*browser);
    }
    void TearDown() override {
        browser_.reset();
        HostServiceTest::TearDown();
    }

    std::string url() const { return fmt::format("https://127.0.0.1:{}/", webPort_); }
    std::string open(const std::string& before = {}) {
        auto tab = browser_->openTab(url(), before);
        EXPECT_TRUE(tab) << tab.error();
        return tab.value_or("");
    }
    nlohmann::json eval(const std::string& tab, const std::string& expression) {
        auto value = browser_->evaluate(tab, expression);
        EXPECT_TRUE(value) << expression << ": " << value.error();
        return value.value_or(nlohmann::json());
    }
    bool streaming(const std::string& tab) {
        return browser_->waitFor(tab, "window.kiv?.state.phase === 'streaming' && window.kiv.video.size !== null",
                                 kDeadline);
    }
    // The canvas pixel at the picture's normalised point, as [r, g, b].
    std::vector<int> pixel(const std::string& tab, double x, double y) {
        return eval(tab, fmt::format("window.kiv.video.pixel({}, {})", x, y)).template get<std::vector<int>>();
    }
    // The page point (CSS pixels) of the picture's normalised point.
    std::pair<double, double> pagePoint(const std::string& tab, double x, double y) {
        const auto p = eval(
            tab, fmt::format("(() => {{ const c = document.getElementById('screen');"
                             "const b = c.getBoundingClientRect(); const v = window.kiv.video.size;"
                             "const s = Math.min(b.width / v.width, b.height / v.height);"
                             "const w = v.width * s, h = v.height * s;"
                             "return [b.left + (b.width - w) / 2 + {} * w, b.top + (b.height - h) / 2 + {} * h]; }})()",
                             x, y));
        return {p[0].template get<double>(), p[1].template get<double>()};
    }
    std::string pageState(const std::string& tab) {
        return eval(tab, "JSON.stringify({phase: window.kiv?.state.phase, notice: "
                         "document.getElementById('notice').textContent, size: window.kiv?.video.size, "
                         "figures: window.kiv?.figures})")
            .dump();
    }
    // A finger's quick touch at the picture's normalised point.
    void tap(const std::string& tab, double x, double y) {
        ASSERT_TRUE(
            browser_->call("Emulation.setTouchEmulationEnabled", {{"enabled", true}, {"maxTouchPoints", 5}}, tab));
        const auto [px, py] = pagePoint(tab, x, y);
        const nlohmann::json point{{"x", px}, {"y", py}};
        ASSERT_TRUE(
            browser_->call("Input.dispatchTouchEvent", {{"type", "touchStart"}, {"touchPoints", {point}}}, tab));
        ASSERT_TRUE(browser_->call("Input.dispatchTouchEvent",
                                   {{"type", "touchEnd"}, {"touchPoints", nlohmann::json::array()}}, tab));
    }
    bool canvasShows(const std::string& tab, const Rect& monitor, std::uint32_t rgb) {
        auto lastPaint = std::chrono::steady_clock::time_point{};
        return waitUntil(
            [&] {
                if (std::chrono::steady_clock::now() - lastPaint > 1s) {
                    paint(monitor, rgb);
                    lastPaint = std::chrono::steady_clock::now();
                }
                const auto seen = pixel(tab, 0.5, 0.5);
                return std::abs(seen[0] - int(rgb >> 16 & 0xFF)) <= 12 &&
                       std::abs(seen[1] - int(rgb >> 8 & 0xFF)) <= 12 && std::abs(seen[2] - int(rgb & 0xFF)) <= 12;
            },
            kDeadline, 100ms);
    }
    std::string deviceID(const std::string& tab) {
        return eval(tab, "window.kiv.state.deviceID").template get<std::string>();
    }

    test::TempDir home_{"kiv-web"};
    std::uint16_t webPort_ = 0;
    std::unique_ptr<Chromium> browser_;
};

TEST_F(WebLink, PairsOnceShowsItsMonitorTapsScrollsAndKeepsItsDisplayAcrossAReload) {
    startWebHost();
    auto tab = open();
    ASSERT_TRUE(streaming(tab)) << browser_->consoleText();
    const auto id = deviceID(tab);
    ASSERT_TRUE(waitUntil([&] { return monitorOf(id).has_value(); }, kDeadline));
    EXPECT_EQ(requests_.size(), 1u) << "approval asked once";
    EXPECT_EQ(device(id)->transport, TransportKind::web);
    const auto r = *monitorOf(id);

    // The picture is the monitor's: a colour painted there reaches the canvas.
    EXPECT_TRUE(canvasShows(tab, r, 0x3060C0)) << pageState(tab);

    // A tap on the canvas clicks at the mapped point of the monitor; a wheel scrolls there.
    EventWindow window(xvfb_->display(), r);
    tap(tab, 0.25, 0.75);
    const auto expected = std::pair{static_cast<int>(r.x + 0.25 * r.width), static_cast<int>(r.y + 0.75 * r.height)};
    const auto near = [&](const EventWindow::Event& e) {
        return std::abs(e.rootX - expected.first) <= 3 && std::abs(e.rootY - expected.second) <= 3;
    };
    EXPECT_TRUE(waitUntil(
        [&] {
            return window.has([&](const auto& e) { return e.type == XCB_BUTTON_PRESS && e.button == 1 && near(e); });
        },
        kDeadline))
        << "a tap clicks at the mapped point";
    const auto [cx, cy] = pagePoint(tab, 0.5, 0.5);
    ASSERT_TRUE(browser_->call("Input.dispatchMouseEvent",
                               {{"type", "mouseWheel"}, {"x", cx}, {"y", cy}, {"deltaX", 0}, {"deltaY", 400}}, tab));
    EXPECT_TRUE(
        waitUntil([&] { return window.has([](const auto& e) { return e.type == XCB_BUTTON_PRESS && e.button == 5; }); },
                  kDeadline))
        << "a wheel turned towards the user scrolls down";

    // A reload comes back with the stored token: no second approval, the same monitor.
    const auto displayID = device(id)->displayID;
    ASSERT_TRUE(browser_->call("Page.reload", {}, tab));
    ASSERT_TRUE(streaming(tab)) << browser_->consoleText() << pageState(tab);
    EXPECT_EQ(deviceID(tab), id);
    EXPECT_EQ(requests_.size(), 1u);
    EXPECT_EQ(device(id)->displayID, displayID);

    // A closed tab keeps the monitor through the grace period; a new tab gets it back.
    ASSERT_TRUE(browser_->closeTab(tab));
    ASSERT_TRUE(waitUntil(
        [&] { return device(id) && device(id)->service.kind != HostStatus::Service::Kind::streaming; }, kDeadline));
    EXPECT_TRUE(monitorOf(id).has_value()) << "kept through grace";
    auto again = open();
    ASSERT_TRUE(streaming(again)) << browser_->consoleText() << pageState(again);
    EXPECT_EQ(device(id)->displayID, displayID);
    EXPECT_EQ(requests_.size(), 1u);
}

TEST_F(WebLink, ABrowserWithoutVideoDecodingSaysSoInOneSentence) {
    startWebHost();
    auto tab = open("delete window.VideoDecoder;");
    nlohmann::json text;
    EXPECT_TRUE(browser_->waitFor(tab, "document.getElementById('notice').textContent.includes('cannot decode video')",
                                  kDeadline, &text))
        << eval(tab, "document.getElementById('notice').textContent");
    EXPECT_TRUE(requests_.empty()) << "it never connects";
}

TEST_F(WebLink, TheSoundRouteDevicePlaysTheHostsSoundInThePage) {
    if (!test::findProgram("pacat")) KIV_SKIP_OR_FAIL("pacat is not installed (scripts/install-deps installs it)");
    auto pulse = test::PulseAudioServer::start("speakers");
    KIV_REQUIRE_STARTED(pulse);
    ASSERT_TRUE(pulse) << pulse.error().message;
    pulseServer_ = (*pulse)->serverAddress();
    auto player = test::ChildProcess::start(
        {{*test::findProgram("sh"), "-c",
          "while :; do pacat --playback --raw --format=s16le --rate=48000 --channels=2 /dev/urandom || exit 1; done"},
         (*pulse)->environment(),
         home_.path() / "pacat.log",
         {}});
    ASSERT_TRUE(player) << player.error();
    startWebHost([](HostSettings& s) { s.session.audio = AudioRoute::device; });
    auto tab = open();
    ASSERT_TRUE(streaming(tab)) << browser_->consoleText();
    tap(tab, 0.9, 0.9); // the first touch is what lets a page start sound
    EXPECT_TRUE(browser_->waitFor(tab, "window.kiv.audio.report().playing && window.kiv.audio.peak > 0.2", kDeadline))
        << pageState(tab);
    const auto id = deviceID(tab);
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto d = device(id);
            return d && d->client && d->client->audio && d->client->audio->packets > 50 && d->client->audio->playing;
        },
        kDeadline))
        << "the page's sound figures reach the host";
}

TEST_F(WebLink, ABrowserAndANativeReceiverEachSeeTheirOwnMonitor) {
    startWebHost();
    // The user is asked about the receiver first and takes a while to answer: the page waits its
    // turn and tries again by itself.
    DisplaySession::ApprovalReply held;
    main_.sync([&] {
        service_->approvalHandler = [&](const PeerRequest&, DisplaySession::ApprovalReply reply) {
            held = std::move(reply);
        };
    });
    WiFiDevice native(helloFor("native-0030", "Native Tablet"), controlPort_);
    const auto asked = [&] {
        bool yes = false;
        main_.sync([&] { yes = held != nullptr; });
        return yes;
    };
    ASSERT_TRUE(waitUntil(asked, kDeadline));
    auto tab = open();
    ASSERT_TRUE(browser_->waitFor(
        tab, "document.getElementById('notice').textContent.includes('asking about another device')", kDeadline))
        << pageState(tab);
    main_.sync([&] {
        service_->approvalHandler = [](const PeerRequest&, DisplaySession::ApprovalReply reply) { reply(true); };
        held(true);
    });
    ASSERT_TRUE(streaming(tab)) << browser_->consoleText() << pageState(tab);
    const auto webID = deviceID(tab);
    ASSERT_TRUE(
        waitUntil([&] { return monitorOf("native-0030").has_value() && native.seen.pictureSize(); }, kDeadline));
    ASSERT_TRUE(waitUntil([&] { return monitorOf(webID).has_value(); }, kDeadline));
    const auto webMonitor = *monitorOf(webID);
    const auto nativeMonitor = *monitorOf("native-0030");
    EXPECT_NE(device(webID)->displayID, device("native-0030")->displayID);
    EXPECT_TRUE(canvasShows(tab, webMonitor, 0xE0E0E0)) << "the page shows its own monitor";
    EXPECT_TRUE(showsLuma(native.seen, nativeMonitor, 0x101010, 0, 40)) << "the receiver shows its own";
    const auto stillWeb = pixel(tab, 0.5, 0.5);
    EXPECT_GT(stillWeb[0], 200) << "painting the receiver's monitor leaves the page's picture alone";
}

} // namespace
} // namespace kiv
