// The application model over the real HostService on a fake network and platform, in virtual
// time, with an in-memory settings store: what it persists, how it starts the service, what it
// asks the user, and what it puts in the diagnostics.
#include <gio/gdesktopappinfo.h>

#include <fstream>
#include <gtest/gtest.h>
#include <regex>

#include "AppModel.hpp"
#include "KivHostCore/Testing/FakeHostPlatform.hpp"
#include "KivHostCore/Testing/FakeNetwork.hpp"
#include "KivHostCore/Testing/ManualExecutor.hpp"
#include "KivHostCore/Testing/TestProcess.hpp"
#include "KivProtocol/ControlFraming.hpp"

using namespace kiv;
using namespace kiv::app;
using namespace std::chrono_literals;

namespace {

bool logged(const std::string& text) {
    return KivLogStore::shared().text(LogLevel::debug).find(text) != std::string::npos;
}

// A store that refuses writes when told to (a full disk, a read-only home).
class FlakyStore final : public KeyValueStore {
public:
    bool refuse = false;
    std::optional<StoredValue> value(const std::string& key) const override { return inner.value(key); }
    bool setValue(const std::string& key, StoredValue value) override {
        return !refuse && inner.setValue(key, std::move(value));
    }
    bool remove(const std::string& key) override { return inner.remove(key); }
    std::optional<std::string> takeProblem() override { return std::exchange(problem, std::nullopt); }
    std::optional<std::string> problem; // as a file store says it set an unreadable file aside
    InMemoryKeyValueStore inner;
};

struct ModelHarness {
    ManualExecutor main;
    FakeHostPlatform platform{main};
    FakeNetworkFactory network;
    std::shared_ptr<FlakyStore> store = std::make_shared<FlakyStore>();
    std::vector<std::pair<PeerRequest, std::function<void(bool)>>> asked;
    bool xtest = true;
    std::unique_ptr<AppModel> model;

    ModelHarness() {
        KivLogStore::shared().clear();
        platform.ports.network = &network;
        platform.ports.defaults = store;
    }
    ~ModelHarness() {
        model.reset();
        main.runUntilIdle();
    }
    AppModel& launch(const std::function<void(AppEnvironment&)>& tweak = {}) {
        model.reset();
        AppEnvironment env;
        env.main = &main;
        env.platform = &platform.ports;
        env.baseSettings.serviceName = "Desk";
        env.baseSettings.loopbackOnly = true;
        env.baseSettings.usbEnabled = false;
        env.version = "0.1.0 (1)";
        env.systemName = "Debian GNU/Linux 12";
        env.model = "Test Machine";
        env.accessibilityTrusted = [this] { return xtest; };
        env.askApproval = [this](const PeerRequest& request, std::function<void(bool)> answer) {
            asked.emplace_back(request, std::move(answer));
        };
        if (tweak) tweak(env);
        model = std::make_unique<AppModel>(std::move(env));
        main.runUntilIdle();
        return *model;
    }
    std::shared_ptr<FakeConnection> connect(const std::string& deviceID,
                                            std::optional<std::int64_t> recommendedFPS = std::nullopt,
                                            const std::function<void(Hello&)>& tweak = {}) {
        auto link = std::make_shared<FakeConnection>(NetworkEndpoint::hostPort(IPv4Address{{127, 0, 0, 1}}, 50000));
        network.streamListener->connect(link);
        main.runUntilIdle();
        Hello hello;
        hello.deviceID = deviceID;
        hello.deviceName = "Desk iPad";
        hello.model = "iPad13,4";
        hello.systemVersion = "17.4";
        hello.screen = {1366, 1024, 2, Orientation::landscape};
        hello.recommendedFPS = recommendedFPS;
        if (tweak) tweak(hello);
        link->deliver(*ControlFraming::encode({hello}));
        main.runUntilIdle();
        return link;
    }
    std::optional<SessionSettings> stored(const std::string& key,
                                          const std::optional<std::string>& device = std::nullopt) const {
        std::optional<Bytes> data;
        if (device) {
            if (const auto all = store->dictionary(key); all && all->contains(*device))
                if (const auto* bytes = std::get_if<Bytes>(&all->at(*device).value)) data = *bytes;
        } else {
            data = store->data(key);
        }
        if (!data) return std::nullopt;
        auto decoded = decodeSessionSettings(std::string(data->begin(), data->end()));
        return decoded ? std::optional(*decoded) : std::nullopt;
    }
};

TEST(AppModel, KeepsItsHostIDAndReadsStoredChoicesWithSafeFallbacks) {
    ModelHarness h;
    const auto first = h.launch().settings().hostID;
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(h.launch().settings().hostID, first) << "generated once, the same at the next launch";
    EXPECT_TRUE(logged("App launch 0.1.0 (1) Debian GNU/Linux 12 model=Test Machine"));

    struct Case {
        const char* appearance;
        AppearanceMode expected;
    };
    for (const auto& [stored, expected] : {Case{"dark", AppearanceMode::dark}, Case{"light", AppearanceMode::light},
                                           Case{"purple", AppearanceMode::system}, Case{"", AppearanceMode::system}}) {
        h.store->setString(AppModel::kAppearance, stored);
        EXPECT_EQ(h.launch().appearance(), expected) << stored;
    }
    // An undecodable default is ignored; the other stored choices still apply.
    h.store->setData(AppModel::kSessionSettings, Bytes{'{', 'x'});
    h.store->setNumber(AppModel::kGraceSeconds, 15);
    h.store->setBoolean(AppModel::kTouchControl, false);
    const auto& model = h.launch();
    EXPECT_EQ(model.settings().session, SessionSettings{});
    EXPECT_EQ(model.settings().graceSeconds, 15);
    EXPECT_FALSE(model.settings().touchControl);
    EXPECT_EQ(model.settings().hostID, first);
    EXPECT_FALSE(model.settingsProblem());

    // What the store had to set aside is put to the user.
    h.store->problem = "Settings file x could not be read";
    EXPECT_EQ(h.launch().settingsProblem(), "Settings file x could not be read");
}

TEST(AppModel, WithNoDeviceEachChangeBecomesTheDefaultWithoutForgettingTheLast) {
    ModelHarness h;
    auto& model = h.launch();
    model.setQuality(QualityMode::ultra);
    model.setFPS(60);
    model.setAudio(AudioRoute::both);
    const auto stored = h.stored(AppModel::kSessionSettings);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->quality, QualityMode::ultra);
    EXPECT_EQ(stored->fps, 60);
    EXPECT_EQ(stored->audio, AudioRoute::both);
    EXPECT_EQ(h.launch().settings().session, *stored) << "and the next launch starts from it";

    // A store that cannot be written: the change still applies, the log says what was not kept.
    h.store->refuse = true;
    h.model->setGraceSeconds(5);
    EXPECT_EQ(h.model->settings().graceSeconds, 5);
    EXPECT_TRUE(logged("Could not save the grace period"));
    EXPECT_NE(h.model->settingsProblem().value_or("").find("Could not save the grace period"), std::string::npos)
        << "in the UI too";
    EXPECT_EQ(h.store->number(AppModel::kGraceSeconds), std::nullopt);
    EXPECT_EQ(h.stored(AppModel::kSessionSettings), stored) << "nothing else is lost";
}

TEST(AppModel, ApprovalTextNamesTheDeviceItsModelAndAddress) {
    for (const std::string model : {"iPhone15,2", "Linux receiver"}) {
        const auto text = AppModel::approvalText({"id", "Desk", model, "192.168.1.20"});
        EXPECT_EQ(text.message, "“Desk” wants to connect to KivDisplay");
        EXPECT_EQ(text.informative,
                  model + " · 192.168.1.20\nOnce allowed, this device can connect directly in the future.");
    }
}

TEST(AppModel, AServiceThatCannotStartSaysWhyAndUsbToggleRestartsIt) {
    ModelHarness h;
    h.network.failListeners = true;
    auto& model = h.launch();
    ASSERT_TRUE(model.startError());
    EXPECT_EQ(*model.startError(), "The service couldn't start: UDP video port 52011: address in use");

    h.network.failListeners = false;
    KivLogStore::shared().clear();
    model.setUSBEnabled(false);
    EXPECT_FALSE(model.startError());
    EXPECT_TRUE(logged("Starting service: ")) << "started again";
    EXPECT_EQ(model.hostService().kind, HostStatus::Service::Kind::listening);
    EXPECT_EQ(h.store->boolean(AppModel::kUSBEnabled), false);
    EXPECT_TRUE(logged("USB mode disabled, restarting service"));

    model.desktopLost("The X server :5 went away");
    EXPECT_EQ(*model.startError(), "The X server :5 went away: every device's session was stopped.");
    EXPECT_EQ(model.hostService().kind, HostStatus::Service::Kind::stopped);
}

TEST(AppModel, AnApprovedDeviceIsSelectedItsChangesGoToItsSessionAndToBothKeys) {
    ModelHarness h;
    auto& model = h.launch();
    auto link = h.connect("device-1");
    ASSERT_EQ(h.asked.size(), 1u);
    EXPECT_EQ(h.asked[0].first.deviceName, "Desk iPad");
    h.asked[0].second(true);
    h.main.advance(2s);
    ASSERT_EQ(model.selectedDeviceID(), "device-1");
    EXPECT_EQ(model.hostService().kind, HostStatus::Service::Kind::streaming);
    EXPECT_EQ(model.status().clientName, "Desk iPad");
    EXPECT_EQ(model.frameRates(), (std::vector<std::int64_t>{0, 30, 60})) << "120 only for a screen that shows it";

    model.setQuality(QualityMode::smooth);
    h.main.advance(2s);
    EXPECT_EQ(model.status().settings.quality, QualityMode::smooth);
    EXPECT_EQ(h.stored(AppModel::kDeviceSettings, "device-1").value_or(SessionSettings{}).quality, QualityMode::smooth);
    EXPECT_EQ(h.stored(AppModel::kSessionSettings).value_or(SessionSettings{}).quality, QualityMode::smooth);

    const auto summary = model.diagnosticsSummary();
    for (const auto* line : {"[Host] KivDisplay 0.1.0 (1) | Debian GNU/Linux 12 Test Machine", "service: streaming",
                             "device: Desk iPad @ ", "transport=Wi-Fi", "host perf: capture ", "link: transport=Wi-Fi",
                             "device report: recv "})
        EXPECT_NE(summary.find(line), std::string::npos) << line << "\n" << summary;
    const auto report = model.diagnosticsReport();
    EXPECT_TRUE(std::regex_search(
        report,
        std::regex(R"(^===== KivDisplay diagnostics \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ =====\n\[Host\] KivDisplay )")))
        << report.substr(0, 200);
    EXPECT_NE(report.find(summary + "\n===== Log (this run) =====\n"), std::string::npos);
    EXPECT_NE(report.find("App launch 0.1.0"), std::string::npos);

    model.disconnectAll();
    h.main.advance(2s);
    EXPECT_NE(model.hostService().kind, HostStatus::Service::Kind::streaming);
}

TEST(AppModel, A120HzDeviceIsOffered120FpsAndStreamsAtIt) {
    ModelHarness h;
    auto& model = h.launch();
    h.connect("device-120", 120);
    ASSERT_EQ(h.asked.size(), 1u);
    h.asked[0].second(true);
    h.main.advance(2s);
    ASSERT_EQ(model.selectedDeviceID(), "device-120");
    EXPECT_EQ(model.frameRates(), (std::vector<std::int64_t>{0, 30, 60, 120}));
    model.setFPS(120);
    h.main.advance(2s);
    ASSERT_TRUE(model.status().configuration.has_value());
    EXPECT_EQ(model.status().configuration->fps, 120);
}

// A 2732×2048 tablet whose decoder reaches 50 fps at its full size. The note about 60 FPS names
// what the host would stream: on a desktop that draws the monitor with one pixel per point its
// stream is already small enough for 60, so there is nothing to warn about.
TEST(AppModel, TheFrameRateNoteSaysWhatTheDecoderReachesAndOnlyWhenTheStreamWouldShrink) {
    const auto tablet = [](Hello& hello) {
        hello.screen = {2732, 2048, 2, Orientation::landscape};
        hello.decoderMBPerSecond = 171 * 128 * 50;
    };
    for (const std::optional<double> drawn : {std::optional<double>{}, std::optional(1.0)}) {
        ModelHarness h;
        h.platform.displays->drawnScale = drawn;
        auto& model = h.launch();
        h.connect("device-1", 60, tablet);
        ASSERT_EQ(h.asked.size(), 1u);
        h.asked[0].second(true);
        h.main.advance(2s);
        ASSERT_TRUE(model.status().configuration.has_value());
        EXPECT_EQ(model.status().drawnScale, drawn.value_or(2.0));
        const auto note = model.frameRateNote();
        if (!drawn) {
            ASSERT_TRUE(note.has_value());
            EXPECT_NE(note->find("reaches about 50 fps at native resolution. At 60 FPS, motion drops to about "),
                      std::string::npos)
                << *note;
            EXPECT_NE(note->find("still images are still refined at the native 2732×2048."), std::string::npos)
                << *note;
            EXPECT_TRUE(model.reducesResolution(60));
        } else {
            EXPECT_EQ(model.status().configuration->streamWidth, 1708) << "the monitor as the desktop draws it";
            EXPECT_EQ(note, std::nullopt) << "1708×1280 decodes at 60 fps: " << note.value_or("");
            EXPECT_FALSE(model.reducesResolution(60));
        }
    }
}

TEST(AppModel, TheLocalNetworkWarningsNameWhatIsWrongWithThePortsInUse) {
    ModelHarness h;
    std::optional<std::string> firewall;
    FakeNetworkFactory web;
    h.platform.ports.makeWebListener = [&](const ListenerOptions& options) { return web.makeStreamListener(options); };
    auto& model = h.launch([&](AppEnvironment& env) {
        env.baseSettings.loopbackOnly = false;
        env.baseSettings.controlPort = 6010;
        env.baseSettings.videoPort = 6011;
        env.activeFirewall = [&] { return firewall; };
        env.webFingerprint = "AB:CD";
    });
    const auto texts = [&] {
        std::string all;
        for (const auto& p : model.localNetworkProblems())
            all += p.text + " | " + p.fix + "\n";
        return all;
    };
    EXPECT_EQ(texts().find("avahi-daemon"), std::string::npos) << texts();
    // No address on a local network: no address for a tablet's browser either (127.0.0.1 would be its own),
    // while the web link still serves a tablet on a USB cable.
    EXPECT_NE(texts().find("no local network address"), std::string::npos) << texts();
    ASSERT_TRUE(model.webLink());
    EXPECT_EQ(model.webLink()->urls, std::vector<std::string>{});
    model.host()->onDnsSdResult(-65563); // the daemon is not running: not only a "denied" code counts
    EXPECT_NE(texts().find("DNS-SD (avahi-daemon) does not answer"), std::string::npos) << texts();
    firewall = "ufw";
    h.main.advance(2s); // the model looks at the firewall every 2 s
    EXPECT_NE(texts().find("sudo ufw allow 6010/tcp && sudo ufw allow 6011/udp"), std::string::npos) << texts();
    EXPECT_EQ(texts().find("52010"), std::string::npos) << "the ports in use, not the defaults";
    model.host()->onDnsSdResult(std::nullopt);
    EXPECT_EQ(texts().find("avahi-daemon) does not answer"), std::string::npos) << texts();

    // On loopback nothing on the network matters: no warnings, and no DNS-SD probe to fail.
    ModelHarness loopback;
    auto& quiet = loopback.launch([&](AppEnvironment& env) { env.activeFirewall = [] { return "ufw"; }; });
    EXPECT_TRUE(quiet.localNetworkProblems().empty());
    EXPECT_FALSE(logged("Local network browse failed"));
}

} // namespace

TEST(AppModel, OffersTheWebPageOnAndroidDevicesOnACableWhileTheWebLinkListens) {
    ModelHarness h;
    FakeNetworkFactory web;
    h.platform.ports.makeWebListener = [&](const ListenerOptions& options) { return web.makeStreamListener(options); };
    std::vector<std::pair<std::string, std::uint16_t>> shown;
    bool failing = false;
    auto& model = h.launch([&](AppEnvironment& env) {
        env.webFingerprint = "AB:CD";
        env.androidDevices = [] { return std::vector<AndroidDeviceInfo>{{"R52W", "Pixel Tablet"}}; };
        env.showPageOnAndroid = [&](const std::string& serial, std::uint16_t port) -> std::expected<void, std::string> {
            shown.emplace_back(serial, port);
            if (failing) return std::unexpected(std::string("adb could not forward"));
            return {};
        };
    });
    ASSERT_TRUE(model.webLink());
    const auto port = model.host()->webPort();
    EXPECT_EQ(model.webLink()->urls, std::vector<std::string>{"https://127.0.0.1:" + std::to_string(port) + "/"});
    EXPECT_EQ(model.webLink()->fingerprint, "AB:CD");
    h.main.advance(std::chrono::seconds(2));
    h.main.runUntilIdle();
    ASSERT_EQ(model.androidDevices(), (std::vector<AndroidDeviceInfo>{{"R52W", "Pixel Tablet"}}));

    model.showOnAndroid("R52W");
    h.main.runUntilIdle();
    EXPECT_EQ(shown, (std::vector<std::pair<std::string, std::uint16_t>>{{"R52W", port}}));
    ASSERT_TRUE(model.androidNote());
    EXPECT_NE(model.androidNote()->find("Pixel Tablet shows http://localhost:"), std::string::npos);
    failing = true;
    model.showOnAndroid("R52W");
    h.main.runUntilIdle();
    EXPECT_EQ(model.androidNote(), "adb could not forward") << "a failure is said, not swallowed";

    // The web link turned off: no page to offer, no devices listed.
    model.setWebPort(0);
    h.main.advance(std::chrono::seconds(2));
    h.main.runUntilIdle();
    EXPECT_FALSE(model.webLink());
    EXPECT_TRUE(model.androidDevices().empty());
    EXPECT_EQ(h.store->number(AppModel::kWebPort), 0) << "kept for the next launch";
}

// "Start at login": the entry in a real folder, read back through GLib's own desktop-entry parser
// (what GNOME's session starts from), and what the user sees when it cannot be written.
TEST(AppModel, StartAtLoginWritesAnEntryTheDesktopRunsAndSaysWhyWhenItCannot) {
    test::TempDir home("kiv-autostart");
    const auto folder = home.path() / "config" / "autostart";
    // A program path with the characters an Exec key has to quote and escape.
    const std::filesystem::path program = home.path() / "my \"apps\" $HOME `x` \\ dir" / "kivdisplay";
    std::filesystem::create_directories(program.parent_path());
    std::ofstream(program) << "#!/bin/sh\n";
    std::filesystem::permissions(program, std::filesystem::perms::owner_all); // GLib wants a program it can run
    ModelHarness h;
    auto& model = h.launch([&](AppEnvironment& env) { env.autostart.emplace(folder, program); });
    EXPECT_EQ(model.startsAtLogin(), false);

    model.setStartAtLogin(true);
    EXPECT_EQ(model.startsAtLogin(), true);
    const auto entry = folder / (std::string(kAppID) + ".desktop");
    GDesktopAppInfo* info = g_desktop_app_info_new_from_filename(entry.c_str());
    ASSERT_NE(info, nullptr) << "GLib refuses the entry";
    gchar** argv = nullptr;
    gint argc = 0;
    ASSERT_TRUE(g_shell_parse_argv(g_app_info_get_commandline(G_APP_INFO(info)), &argc, &argv, nullptr));
    EXPECT_EQ(argc, 1);
    EXPECT_EQ(std::string(argv[0]), program.string()) << g_app_info_get_commandline(G_APP_INFO(info));
    g_strfreev(argv);
    g_object_unref(info);
    EXPECT_TRUE(logged("Start at login: on (" + entry.string() + ")"));

    // The desktop's startup settings may turn it off without removing it.
    { std::ofstream(entry, std::ios::app) << "Hidden=true\n"; }
    EXPECT_EQ(h.launch([&](AppEnvironment& env) { env.autostart.emplace(folder, program); }).startsAtLogin(), false);
    auto& again = h.launch([&](AppEnvironment& env) { env.autostart.emplace(folder, program); });
    again.setStartAtLogin(true);
    EXPECT_EQ(again.startsAtLogin(), true) << "turning it on again writes a fresh entry";
    again.setStartAtLogin(false);
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_EQ(again.startsAtLogin(), false);

    // A folder that cannot be made: the switch stays off and the settings say why.
    const auto blocked = home.path() / "a-file";
    std::ofstream(blocked) << "not a folder";
    auto& stuck = h.launch([&](AppEnvironment& env) { env.autostart.emplace(blocked / "autostart", program); });
    stuck.setStartAtLogin(true);
    EXPECT_EQ(stuck.startsAtLogin(), false);
    ASSERT_TRUE(stuck.settingsProblem());
    EXPECT_NE(stuck.settingsProblem()->find("Could not turn on start at login: cannot make the folder"),
              std::string::npos)
        << *stuck.settingsProblem();

    EXPECT_FALSE(h.launch().startsAtLogin()) << "not offered without an entry to manage";
}
