// The desktop application's shell with the real host on a private Xvfb and a real device from the
// receiver library over loopback: the approval dialog, the panel's device state, the panel's
// display picker changing the monitor on the X server, and a screenshot of the panel.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include "AppModel.hpp"
#include "DesktopShell.hpp"
#include "KivHostCore/Linux/LinuxPlatform.hpp"
#include "KivHostCore/Testing/TestServers.hpp"
#include "KivReceiver/ReceiverClient.hpp"
#include "MenuBarView.hpp"
#include "QtMainExecutor.hpp"

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
    for (const auto* l : root.findChildren<QLabel*>()) out += l->text().toStdString() + "\n";
    for (const auto* b : root.findChildren<QPushButton*>()) out += b->text().toStdString() + "\n";
    for (const auto* c : root.findChildren<QComboBox*>()) out += c->currentText().toStdString() + "\n";
    return out;
}

TEST(DesktopShell, ApprovesADeviceShowsItConnectedAndItsPickerResizesTheMonitor) {
    auto xvfb = test::XvfbServer::start();
    if (!xvfb) GTEST_SKIP() << xvfb.error().message;
    test::shrinkXvfbDesktop((*xvfb)->display(), 1024, 768);
    static int argc = 1;
    static char name[] = "kiv_display_ui_tests";
    static char* argv[] = {name, nullptr};
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0); // the widgets need no screen; the host's X server is Xvfb
    static auto* app = new QApplication(argc, argv); // lives to the end of the process
    (void)app;
    QtMainExecutor main;
    LinuxPlatformOptions options;
    options.display = (*xvfb)->display();
    options.defaults = std::make_shared<InMemoryKeyValueStore>();
    options.pulseServer = "unix:/nonexistent/pulse";
    auto platform = LinuxPlatform::create(options, main);

    DesktopShell shell;
    AppEnvironment env;
    env.main = &main;
    env.platform = &platform->ports();
    env.baseSettings.serviceName = "CI Desk";
    env.baseSettings.loopbackOnly = true;
    env.baseSettings.usbEnabled = false;
    env.baseSettings.controlPort = 0;
    env.baseSettings.videoPort = 0;
    env.accessibilityTrusted = [&] { return platform->canInject(); };
    shell.prepare(env);
    AppModel model(std::move(env));
    shell.attach(model);
    ASSERT_FALSE(model.startError()) << *model.startError();
    ASSERT_FALSE(shell.usesTray()) << "Xvfb has no tray: the panel is a window";

    receiver::ReceiverConfig config;
    config.controlPort = model.host()->controlPort();
    config.hello.deviceID = "ui-device";
    config.hello.deviceName = "Test iPad";
    config.hello.model = "iPad13,4";
    config.hello.systemVersion = "17";
    config.hello.screen = {1366, 1024, 2, Orientation::landscape};
    receiver::ReceiverClient device(config);
    std::atomic<bool> connected{false};
    device.onConnect = [&](const ConnectInfo&) { connected = true; };
    device.start();

    ASSERT_TRUE(pumpUntil([&] { return shell.approvals().contains("ui-device"); }));
    auto* dialog = shell.approvals().at("ui-device");
    EXPECT_EQ(dialog->text().toStdString(), "“Test iPad” wants to connect to KivDisplay");
    EXPECT_NE(dialog->informativeText().toStdString().find("Once allowed, this iPad can connect directly in the future."), std::string::npos);
    for (auto* button : dialog->buttons())
        if (button->text() == "Allow") button->click();
    ASSERT_TRUE(pumpUntil([&] { return connected.load() && model.hostService().kind == HostStatus::Service::Kind::streaming; }));
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

    // The panel as a picture, for the README and for a look when something is off.
    const auto shot = shell.panel()->grab().toImage();
    const auto path = std::filesystem::path(KIV_SCREENSHOT_DIR) / "panel-one-device.png";
    std::filesystem::create_directories(path.parent_path());
    ASSERT_TRUE(shot.save(QString::fromStdString(path.string())));
    std::set<QRgb> colours;
    for (int y = 0; y < shot.height(); y += 7)
        for (int x = 0; x < shot.width(); x += 7) colours.insert(shot.pixel(x, y));
    EXPECT_GT(colours.size(), 3u) << "not blank";

    model.disconnectAll();
    EXPECT_TRUE(pumpUntil([&] { return !test::firstDeviceMonitor((*xvfb)->display()).has_value(); })) << "the monitor is removed";
    device.stop();
    model.host()->stop();
    main.drain();
}

} // namespace
