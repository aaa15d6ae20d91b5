// The desktop application's shell with the real host on a private Xvfb and real devices from the
// receiver library over loopback: approval dialogs, the panel's device states and pickers acting on
// the X server's monitors, the Settings and Diagnostics windows, unpairing, screenshots of each;
// and the real binary's tray icon under a tray host, or its window without one.
#include <sys/socket.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>

#include "AppModel.hpp"
#include "DesktopShell.hpp"
#include "KivHostCore/Linux/LinuxPlatform.hpp"
#include "KivHostCore/Testing/FakeHostPlatform.hpp"
#include "KivHostCore/Testing/FakeNetwork.hpp"
#include "KivHostCore/Testing/SkipPolicy.hpp"
#include "KivHostCore/Testing/TestProcess.hpp"
#include "KivHostCore/Testing/TestServers.hpp"
#include "KivProtocol/ControlFraming.hpp"
#include "KivReceiver/ReceiverClient.hpp"
#include "LogsView.hpp"
#include "MenuBarView.hpp"
#include "QtMainExecutor.hpp"
#include "SettingsView.hpp"

using namespace kiv;
using namespace kiv::app;
using namespace std::chrono_literals;

namespace {

bool pumpUntil(const std::function<bool()>& condition, std::chrono::seconds deadline = 60s) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        if (condition()) return true;
    }
    return condition();
}

// Every text the widget tree shows, one per line.
std::string texts(const QWidget& root) {
    std::string out;
    // A rebuilt view's old content is hidden at once and deleted later.
    const auto shown = [&root](const QWidget* w) { return w->isVisibleTo(&root); };
    for (const auto* g : root.findChildren<QGroupBox*>())
        if (shown(g)) out += "[" + g->title().toStdString() + "]\n";
    for (const auto* l : root.findChildren<QLabel*>())
        if (shown(l)) out += l->text().toStdString() + "\n";
    for (const auto* b : root.findChildren<QAbstractButton*>())
        if (shown(b)) out += b->text().toStdString() + "\n";
    for (const auto* c : root.findChildren<QComboBox*>())
        if (shown(c)) out += c->currentText().toStdString() + "\n";
    return out;
}

// Every text the panel shows is shown whole and clear of the others, whatever was added since the
// window opened: the first that is not (squeezed, or drawn over another row), else "".
std::string crampedText(const QWidget& panel) {
    std::vector<const QWidget*> rows;
    for (const auto* w : panel.findChildren<QWidget*>()) {
        if (!w->isVisibleTo(&panel)) continue;
        if (const auto* l = qobject_cast<const QLabel*>(w);
            l && l->wordWrap() && l->height() < l->heightForWidth(l->width()))
            return "squeezed: " + l->text().toStdString();
        if (w->parentWidget() && w->parentWidget()->parentWidget() == &panel) rows.push_back(w);
    }
    for (std::size_t i = 0; i < rows.size(); ++i)
        for (std::size_t j = i + 1; j < rows.size(); ++j)
            if (rows[i]->geometry().intersects(rows[j]->geometry()))
                return "overlapping: " + rows[i]->objectName().toStdString() + " | " +
                       rows[j]->objectName().toStdString();
    return {};
}

// Writes the widget as build/…/screenshots/<name>.png; false when it is blank (one or two colours).
bool screenshot(QWidget& widget, const std::string& name) {
    const auto shot = widget.grab().toImage();
    const auto path = std::filesystem::path(KIV_SCREENSHOT_DIR) / (name + ".png");
    std::filesystem::create_directories(path.parent_path());
    if (!shot.save(QString::fromStdString(path.string()))) return false;
    std::set<QRgb> colours;
    for (int y = 0; y < shot.height(); y += 7)
        for (int x = 0; x < shot.width(); x += 7)
            colours.insert(shot.pixel(x, y));
    return colours.size() > 3;
}

void click(QWidget& root, const QString& text) {
    for (auto* b : root.findChildren<QPushButton*>())
        if (b->text() == text && b->isVisible()) return b->click();
    ADD_FAILURE() << "no button " << text.toStdString() << " in\n" << texts(root);
}

void answer(QMessageBox& dialog, const QString& choice) {
    for (auto* button : dialog.buttons())
        if (button->text() == choice) return button->click();
    ADD_FAILURE() << "no " << choice.toStdString();
}

struct Device {
    std::unique_ptr<receiver::ReceiverClient> client;
    std::shared_ptr<std::atomic<bool>> connected = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<std::string> token = std::make_shared<std::string>();
};

Device device(std::uint16_t port, const std::string& id, const std::string& name, const std::string& model,
              std::optional<std::string> token = std::nullopt) {
    receiver::ReceiverConfig config;
    config.controlPort = port;
    config.hello.deviceID = id;
    config.hello.deviceName = name;
    config.hello.model = model;
    config.hello.systemVersion = "17";
    config.hello.screen = {1366, 1024, 2, Orientation::landscape};
    config.hello.token = std::move(token);
    Device d;
    d.client = std::make_unique<receiver::ReceiverClient>(config);
    d.client->onConnect = [connected = d.connected, token = d.token](const ConnectInfo& info) {
        *token = info.token;
        *connected = true;
    };
    d.client->start();
    return d;
}

TEST(DesktopShell, ApprovesDevicesDrivesTheirMonitorsAndUnpairsThroughTheWindows) {
    auto xvfb = test::XvfbServer::start();
    KIV_REQUIRE_STARTED(xvfb);
    test::shrinkXvfbDesktop((*xvfb)->display(), 1024, 768);
    static int argc = 1;
    static char name[] = "kiv_display_ui_tests";
    static char* argv[] = {name, nullptr};
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);     // the widgets need no screen; the host's X server is Xvfb
    static auto* app = new QApplication(argc, argv); // lives to the end of the process
    (void)app;
    QtMainExecutor main;
    LinuxPlatformOptions options;
    options.display = (*xvfb)->display();
    options.defaults = std::make_shared<InMemoryKeyValueStore>();
    options.pulseServer = "unix:/nonexistent/pulse";
    test::TempDir certificates("kiv-ui-web");
    options.webIdentityFolder = certificates.path();
    auto platform = LinuxPlatform::create(options, main);
    ASSERT_TRUE(platform->webIdentity()) << platform->webIdentity().error();

    DesktopShell shell;
    AppEnvironment env;
    env.main = &main;
    env.platform = &platform->ports();
    env.baseSettings.serviceName = "CI Desk";
    env.baseSettings.loopbackOnly = true;
    env.baseSettings.usbEnabled = false;
    env.baseSettings.controlPort = 0;
    env.baseSettings.videoPort = 0;
    env.webPortOverride = test::freeLoopbackPort(SOCK_STREAM);
    env.webFingerprint = platform->webIdentity()->fingerprint;
    env.accessibilityTrusted = [&] { return platform->canInject(); };
    env.autostart.emplace(certificates.path() / "autostart", "/usr/bin/kivdisplay");
    shell.prepare(env);
    AppModel model(std::move(env));
    shell.attach(model);
    ASSERT_FALSE(model.startError()) << *model.startError();
    ASSERT_FALSE(shell.usesTray()) << "Xvfb has no tray: the panel is a window";

    // Waiting for a device: the web page's address as a code, and the certificate to compare.
    ASSERT_TRUE(pumpUntil([&] { return shell.panel()->findChild<QLabel*>("web-qr") != nullptr; }));
    const auto* fingerprint = shell.panel()->findChild<QLabel*>("web-fingerprint");
    ASSERT_NE(fingerprint, nullptr);
    EXPECT_NE(fingerprint->text().toStdString().find(platform->webIdentity()->fingerprint), std::string::npos);
    EXPECT_EQ(crampedText(*shell.panel()), "");
    EXPECT_TRUE(screenshot(*shell.panel(), "panel-web-invite"));

    const auto port = model.host()->controlPort();
    auto ipad = device(port, "ui-device", "Test iPad", "iPad13,4");
    ASSERT_TRUE(pumpUntil([&] { return shell.approvals().contains("ui-device"); }));
    auto* dialog = shell.approvals().at("ui-device");
    EXPECT_EQ(dialog->text().toStdString(), "“Test iPad” wants to connect to KivDisplay");
    EXPECT_NE(
        dialog->informativeText().toStdString().find("Once allowed, this device can connect directly in the future."),
        std::string::npos);
    answer(*dialog, "Allow");
    ASSERT_TRUE(pumpUntil(
        [&] { return ipad.connected->load() && model.hostService().kind == HostStatus::Service::Kind::streaming; }));
    ASSERT_TRUE(pumpUntil([&] { return texts(*shell.panel()).find("Connected · Wi-Fi") != std::string::npos; }))
        << texts(*shell.panel());
    ASSERT_TRUE(pumpUntil([&] { return test::firstDeviceMonitor((*xvfb)->display()).has_value(); }));
    const auto before = *test::firstDeviceMonitor((*xvfb)->display());

    // The panel's "Display" picker, as a user would use it: a size with more space.
    auto* display = shell.panel()->findChild<QComboBox*>("display");
    ASSERT_NE(display, nullptr);
    const int moreSpace = static_cast<int>(DisplaySize::moreSpace);
    display->setCurrentIndex(moreSpace);
    Q_EMIT display->activated(moreSpace);
    EXPECT_TRUE(pumpUntil([&] {
        const auto now = test::firstDeviceMonitor((*xvfb)->display());
        return now && (*now)[2] > before[2];
    })) << "the monitor grows on the X server";
    EXPECT_TRUE(screenshot(*shell.panel(), "panel-one-device"));

    // A device that leaves while it is being asked about: its dialog closes unanswered.
    auto leaving = device(port, "leaving-device", "Leaving Phone", "iPhone15,2");
    ASSERT_TRUE(pumpUntil([&] { return shell.approvals().contains("leaving-device"); }));
    EXPECT_NE(shell.approvals().at("leaving-device")->informativeText().toStdString().find("iPhone15,2"),
              std::string::npos);
    leaving.client->stop();
    EXPECT_TRUE(pumpUntil([&] { return !shell.approvals().contains("leaving-device"); }))
        << "the dialog closes by itself";

    // A second device: the panel lists both and the selected one's pickers.
    auto iphone = device(port, "ui-phone", "Test iPhone", "iPhone15,2");
    ASSERT_TRUE(pumpUntil([&] { return shell.approvals().contains("ui-phone"); }));
    answer(*shell.approvals().at("ui-phone"), "Allow");
    ASSERT_TRUE(pumpUntil([&] {
        return texts(*shell.panel()).find("2 devices connected · Select one to adjust its display") !=
               std::string::npos;
    })) << texts(*shell.panel());
    ASSERT_TRUE(pumpUntil([&] {
        return texts(*shell.panel()).find("Test iPhone — Connected · Wi-Fi") != std::string::npos;
    })) << texts(*shell.panel());
    EXPECT_EQ(crampedText(*shell.panel()), "");
    EXPECT_TRUE(screenshot(*shell.panel(), "panel-two-devices"));

    // Settings, from the panel's button: the seven sections in order, both pairings listed.
    click(*shell.panel(), "Display Settings…");
    ASSERT_TRUE(pumpUntil([&] { return shell.settings() && shell.settings()->isVisible(); }));
    auto& settings = *shell.settings();
    ASSERT_TRUE(pumpUntil([&] { return texts(settings).find("Test iPhone") != std::string::npos; })) << texts(settings);
    const auto shown = texts(settings);
    std::size_t at = 0;
    for (const auto* section :
         {"[Display]", "[Sound]", "[Touch]", "[Connection]", "[Appearance]", "[Advanced]", "[Paired Devices]"}) {
        const auto found = shown.find(section, at);
        EXPECT_NE(found, std::string::npos) << section << " in order in\n" << shown;
        at = found == std::string::npos ? at : found;
    }
    for (const auto* text :
         {"Still-Image Refinement", "Allow the Device to Control This Computer by Touch", "No USB devices detected",
          "Keep the display ", " s after a device leaves", "Test iPad", "Unpair"})
        EXPECT_NE(shown.find(text), std::string::npos) << text << " in\n" << shown;
    settings.resize(600, settings.findChild<QScrollArea*>()->widget()->sizeHint().height() + 4);
    EXPECT_TRUE(screenshot(settings, "settings"));

    // Diagnostics, from the panel's button.
    click(*shell.panel(), "Diagnostics");
    ASSERT_TRUE(pumpUntil([&] { return shell.logs() && shell.logs()->isVisible(); }));
    auto* log = shell.logs()->findChild<QPlainTextEdit*>("logText");
    ASSERT_NE(log, nullptr);
    EXPECT_TRUE(pumpUntil([&] { return log->toPlainText().contains("Approval dialog for leaving-device closed"); }))
        << log->toPlainText().toStdString();
    for (const auto* text : {"Copy Log", "Clear Log", "Copy Diagnostics"})
        EXPECT_NE(texts(*shell.logs()).find(text), std::string::npos);
    EXPECT_TRUE(screenshot(*shell.logs(), "diagnostics"));

    // Appearance from Settings reaches the whole application, and back.
    const auto lightness = [] { return QApplication::palette().color(QPalette::Window).lightness(); };
    for (const auto& [mode, dark] : {std::pair{AppearanceMode::dark, true}, std::pair{AppearanceMode::light, false},
                                     std::pair{AppearanceMode::system, false}}) {
        auto* appearance = settings.findChild<QComboBox*>("settings-appearance");
        ASSERT_NE(appearance, nullptr);
        Q_EMIT appearance->activated(static_cast<int>(mode));
        EXPECT_EQ(lightness() < 128, dark) << title(mode);
        EXPECT_TRUE(pumpUntil([&] { return texts(settings).find(title(mode)) != std::string::npos; }));
    }

    // Start at login, switched in Settings, is the desktop's autostart entry.
    auto* atLogin = settings.findChild<QCheckBox*>("settings-start-at-login");
    ASSERT_NE(atLogin, nullptr) << texts(settings);
    EXPECT_FALSE(atLogin->isChecked());
    atLogin->click();
    EXPECT_TRUE(std::filesystem::exists(certificates.path() / "autostart" / "org.kivdisplay.KivDisplay.desktop"));
    EXPECT_TRUE(pumpUntil([&] {
        const auto* box = settings.findChild<QCheckBox*>("settings-start-at-login");
        return box && box->isChecked();
    }));

    // A short grace from Settings, so the display the iPad leaves behind goes soon.
    auto* grace = settings.findChild<QDoubleSpinBox*>("settings-grace");
    ASSERT_NE(grace, nullptr);
    grace->setValue(1);
    EXPECT_EQ(model.settings().graceSeconds, 1);

    // Unpair in Settings: the iPad's next hello, token and all, is a pairing request again.
    auto* unpair = settings.findChild<QPushButton*>("unpair-ui-device");
    ASSERT_NE(unpair, nullptr) << texts(settings);
    unpair->click();
    EXPECT_TRUE(pumpUntil([&] {
        const auto* button = settings.findChild<QPushButton*>("unpair-ui-device");
        return !button || !button->isVisibleTo(&settings);
    })) << texts(settings);
    const auto token = *ipad.token;
    ASSERT_FALSE(token.empty());
    ipad.client->stop();
    auto again = device(port, "ui-device", "Test iPad", "iPad13,4", token);
    EXPECT_TRUE(pumpUntil([&] { return shell.approvals().contains("ui-device"); })) << "asked again";
    if (shell.approvals().contains("ui-device")) answer(*shell.approvals().at("ui-device"), "Deny");

    click(*shell.panel(), "Disconnect All Devices");
    EXPECT_TRUE(pumpUntil([&] { return !test::firstDeviceMonitor((*xvfb)->display()).has_value(); }))
        << "every monitor is removed";
    again.client->stop();
    iphone.client->stop();

    // The X server goes while the panel shows elsewhere: it says so and waits.
    platform->setOnDesktopLost([&model](const std::string& why) { model.desktopLost(why); });
    ::kill((*xvfb)->process().pid(), SIGKILL);
    EXPECT_TRUE(pumpUntil([&] {
        return texts(*shell.panel()).find("The X server " + (*xvfb)->display() + " went away") != std::string::npos;
    })) << texts(*shell.panel());
    EXPECT_EQ(model.hostService().kind, HostStatus::Service::Kind::stopped);
    model.host()->stop();
    main.drain();
}

// The real binary on an X display of its own: without a tray the panel is a window and the app
// says why; under a tray host (trayer) the icon is embedded and a click on it opens the panel.
// A machine where nothing works as it should: no monitor can be made (the device gets the mirrored
// desktop: the X server has no room, which the panel says from the start), avahi-daemon does not
// answer and ufw is on. The panel says each, with its fix.
TEST(DesktopShell, ThePanelShowsTheDisplaysTheSoundsAndTheNetworksNotices) {
    static int argc = 1;
    static char name[] = "kiv_display_ui_tests";
    static char* argv[] = {name, nullptr};
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    if (QApplication::instance() == nullptr) new QApplication(argc, argv); // lives to the end of the process
    ManualExecutor main;
    FakeHostPlatform platform{main};
    FakeNetworkFactory network;
    platform.ports.network = &network;
    platform.ports.defaults = std::make_shared<InMemoryKeyValueStore>();
    platform.displays->failCreate = true;
    AppEnvironment env;
    env.main = &main;
    env.platform = &platform.ports;
    env.baseSettings.serviceName = "CI Desk";
    env.baseSettings.loopbackOnly = false;
    env.baseSettings.usbEnabled = false;
    env.accessibilityTrusted = [] { return true; };
    env.activeFirewall = [] { return std::optional<std::string>("ufw"); };
    env.askApproval = [](const PeerRequest&, std::function<void(bool)> answer) { answer(true); };
    env.displayNotice = "The X server's screen cannot grow past 1280x800, which leaves no room right of its 1280x800 "
                        "desktop for a device's monitor, so devices get a mirror of the desktop instead.";
    AppModel model(std::move(env));
    MenuBarView panel(model);
    auto panelAlive = std::make_shared<bool>(true); // the model outlives the panel and still reports
    model.observe([&panel, panelAlive] {
        if (*panelAlive) panel.refresh();
    });
    panel.show(); // as the window without a tray: sized to what it shows first, then the notices come
    auto link = std::make_shared<FakeConnection>(NetworkEndpoint::hostPort(IPv4Address{{127, 0, 0, 1}}, 50000));
    network.streamListener->connect(link);
    Hello hello;
    hello.deviceID = "ui-mirror";
    hello.deviceName = "Test Tablet";
    hello.model = "Tablet";
    hello.systemVersion = "1";
    hello.screen = {1366, 1024, 2, Orientation::landscape};
    main.runUntilIdle();
    link->deliver(*ControlFraming::encode({hello}));
    main.advance(30s);
    model.host()->onDnsSdResult(-65563);
    QApplication::processEvents();
    const auto shown = texts(panel);
    for (const auto* text :
         {"Auto quality: currently", "its main screen is mirrored instead", "cannot grow past 1280x800",
          "DNS-SD (avahi-daemon) does not answer", "The ufw firewall is on"})
        EXPECT_NE(shown.find(text), std::string::npos) << text << "\n" << shown;
    EXPECT_EQ(crampedText(panel), "");
    EXPECT_TRUE(screenshot(panel, "panel-notices"));
    *panelAlive = false;
}

TEST(DesktopShell, TheAppEmbedsItsIconInATrayAndOpensThePanelFromItElseShowsAWindow) {
    auto xvfb = test::XvfbServer::start(1280, 800);
    KIV_REQUIRE_STARTED(xvfb);
    const auto display = (*xvfb)->display();
    test::TempDir home("kiv-tray");
    const std::vector<std::pair<std::string, std::string>> env{{"DISPLAY", display},
                                                               {"QT_QPA_PLATFORM", "xcb"},
                                                               {"XDG_CONFIG_HOME", (home.path() / "config").string()},
                                                               {"XDG_STATE_HOME", (home.path() / "state").string()},
                                                               {"PULSE_SERVER", "unix:/nonexistent/pulse"}};
    const auto appLog = [&] {
        std::ifstream file(home.path() / "state/kivdisplay/logs/current.log");
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    };
    // Geometries ("W H") of the mapped windows called KivDisplay.
    const auto windows = [&] {
        const auto found = test::runProgram(
            {"xdotool", "search", "--onlyvisible", "--name", "^KivDisplay$", "getwindowgeometry", "%@"},
            {{"DISPLAY", display}});
        return found.output;
    };
    // The panel, not the tray icon: its width follows what it says (a notice can widen it).
    const auto panelShown = [&] {
        const auto listed = windows();
        static const std::regex geometry(R"(Geometry: (\d+)x\d+)");
        for (auto it = std::sregex_iterator(listed.begin(), listed.end(), geometry); it != std::sregex_iterator(); ++it)
            if (std::stoi((*it)[1]) >= 300) return true;
        return false;
    };
    const auto startApp = [&](const char* log) {
        return test::ChildProcess::start({.argv = {KIV_DISPLAY_BINARY, "--loopback-only", "--control-port",
                                                   std::to_string(test::freeLoopbackPort(SOCK_STREAM)), "--video-port",
                                                   std::to_string(test::freeLoopbackPort(SOCK_DGRAM))},
                                          .environment = env,
                                          .logFile = home.path() / log,
                                          .keepFds = {}});
    };

    // A settings file that is not JSON: set aside, said, and the app runs on.
    std::filesystem::create_directories(home.path() / "config/kivdisplay");
    std::ofstream(home.path() / "config/kivdisplay/kivdisplay.json") << "{\"appearance\": \"dark\",";
    {
        auto app = startApp("no-tray.log");
        ASSERT_TRUE(app) << app.error();
        EXPECT_TRUE(test::waitUntil(
            [&] {
                return appLog().find("No system tray on this desktop; the KivDisplay panel opens as a window") !=
                       std::string::npos;
            },
            60s, 200ms))
            << appLog();
        EXPECT_TRUE(test::waitUntil(panelShown, 60s, 200ms)) << windows();
        const auto aside = std::ranges::count_if(
            std::filesystem::directory_iterator(home.path() / "config/kivdisplay"),
            [](const auto& entry) { return entry.path().filename().string().starts_with("kivdisplay.json.corrupt-"); });
        EXPECT_EQ(aside, 1) << "the unreadable file is kept for the user";
        app->stop(10s);
    }

    const auto trayerPath = test::findProgram("trayer");
    if (!trayerPath) KIV_SKIP_OR_FAIL("trayer is not installed");
    auto trayer = test::ChildProcess::start({.argv = {*trayerPath, "--edge", "top", "--align", "right", "--widthtype",
                                                      "pixel", "--width", "100", "--height", "24"},
                                             .environment = {{"DISPLAY", display}},
                                             .logFile = home.path() / "trayer.log",
                                             .keepFds = {}});
    ASSERT_TRUE(trayer) << trayer.error();
    ASSERT_TRUE(test::waitUntil(
        [&] {
            return test::runProgram({"xdotool", "search", "--class", "trayer"}, {{"DISPLAY", display}}).exitCode == 0;
        },
        60s, 200ms))
        << trayer->log();
    auto app = startApp("tray.log");
    ASSERT_TRUE(app) << app.error();
    std::string icon; // the 22-pixel window trayer embedded
    ASSERT_TRUE(test::waitUntil(
        [&] {
            const auto tree = test::runProgram({"xwininfo", "-root", "-tree"}, {{"DISPLAY", display}}).output;
            std::smatch found;
            if (!std::regex_search(tree, found,
                                   std::regex(R"((0x[0-9a-f]+) "KivDisplay": \("kivdisplay" "KivDisplay"\)  22x22)")))
                return false;
            icon = found[1];
            return true;
        },
        60s, 200ms))
        << test::runProgram({"xwininfo", "-root", "-tree"}, {{"DISPLAY", display}}).output;
    EXPECT_FALSE(panelShown()) << "with a tray the panel waits for a click";
    EXPECT_EQ(appLog().find("No system tray"), std::string::npos) << appLog();
    ASSERT_EQ(
        test::runProgram({"xdotool", "mousemove", "--window", icon, "5", "5", "click", "1"}, {{"DISPLAY", display}})
            .exitCode,
        0);
    EXPECT_TRUE(test::waitUntil(panelShown, 60s, 200ms)) << "a click on the icon opens the panel: " << windows();

    // One application per desktop: a second one (from the menu while the one from login runs)
    // says where the first is and ends, leaving it be.
    auto secondEnv = env;
    for (auto& [name, value] : secondEnv)
        if (name == "QT_QPA_PLATFORM") value = "offscreen"; // its message box would wait for a click
    const auto second = test::runProgram({KIV_DISPLAY_BINARY, "--loopback-only"}, secondEnv, 60s);
    EXPECT_EQ(second.exitCode, 0) << second.output;
    EXPECT_NE(second.output.find("KivDisplay is already running on this desktop"), std::string::npos) << second.output;
    EXPECT_FALSE(app->wait(0ms)) << "the first one runs on";
    app->stop(10s);
}

} // namespace
