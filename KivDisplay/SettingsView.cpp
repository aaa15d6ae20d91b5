#include "SettingsView.hpp"

#include <QCheckBox>
#include <QClipboard>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <fmt/format.h>

#include "PermissionCoordinator.hpp"
#include "ViewHelpers.hpp"

namespace kiv::app {

namespace {

QCheckBox* toggle(QObject* owner, const char* title, const char* object, bool on, std::function<void(bool)> changed) {
    auto* box = new QCheckBox(title);
    box->setObjectName(object);
    box->setChecked(on);
    QObject::connect(box, &QCheckBox::toggled, owner, [changed = std::move(changed)](bool value) { changed(value); });
    return box;
}

QPushButton* button(QObject* owner, const std::string& title, std::function<void()> action) {
    auto* b = new QPushButton(q(title));
    QObject::connect(b, &QPushButton::clicked, owner, [action = std::move(action)] { action(); });
    return b;
}

QLabel* help(const std::string& text) {
    auto* l = label(text);
    l->setForegroundRole(QPalette::PlaceholderText);
    return l;
}

std::string usbStateText(USBDeviceStatus::State state) {
    switch (state) {
    case USBDeviceStatus::State::connected: return "Connected";
    case USBDeviceStatus::State::checking: return "Checking";
    case USBDeviceStatus::State::waitingForApp: return "Open KivDisplay on the device";
    case USBDeviceStatus::State::untrusted: return "Not trusted: tap “Trust” on the device";
    }
    return {};
}

} // namespace

SettingsView::SettingsView(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setWindowTitle("KivDisplay Settings");
    setObjectName("settings");
    resize(560, 720);
    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    auto* inner = new QWidget;
    layout_ = new QVBoxLayout(inner);
    scroll->setWidget(inner);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(scroll);
    refresh();
}

std::string SettingsView::signature() const {
    const auto settings = model_.currentSettings();
    std::string out = model_.selectedDeviceID().value_or("-") + "|" + encodeSessionSettings(settings).value_or("") +
                      "|" + model_.sizeDescription() + "|" + model_.frameRateNote().value_or("") + "|" +
                      model_.status().clientName.value_or("") + "|" + model_.accessibilityRepairNote().value_or("") +
                      "|" + model_.settingsProblem().value_or("");
    const auto& s = model_.settings();
    out += fmt::format("|{}{}{}{}|{}", s.touchControl, s.usbEnabled, model_.accessibilityGranted(),
                       static_cast<int>(model_.appearance()), s.graceSeconds);
    out += fmt::format("|{}", model_.startsAtLogin().value_or(false));
    for (const auto size : allCases<DisplaySize>())
        out += "|" + model_.sizeTitle(size);
    for (const auto fps : model_.frameRates())
        out += model_.reducesResolution(fps) ? "r" : "-";
    for (const auto& usb : model_.hostStatus().usbDevices)
        out += "|" + usb.device.udid + std::string(toText(usb.state));
    for (const auto& device : paired_)
        out += "|" + device.deviceID + "=" + device.name;
    return out;
}

void SettingsView::refresh() {
    if (deferWhilePopupOpen(this, refreshPending_, [this] { refresh(); })) return;
    paired_ = model_.pairing().pairedDevices(); // cheap: the store re-reads its file only when it changed
    auto now = signature();
    if (content_ && now == shown_) return;
    shown_ = std::move(now);
    if (content_) {
        layout_->removeWidget(content_);
        content_->hide();
        content_->deleteLater(); // the click that asked for this may still be running
    }
    content_ = new QWidget;
    rows_ = new QVBoxLayout(content_);
    layout_->addWidget(content_);
    if (model_.settingsProblem()) rows_->addWidget(label("⚠ " + *model_.settingsProblem()));
    display();
    sound();
    touch();
    connection();
    startup();
    appearance();
    advanced();
    pairedDevices();
    rows_->addStretch();
    content_->show();
}

QVBoxLayout* SettingsView::section(const char* title) {
    auto* group = new QGroupBox(title);
    group->setObjectName(q(std::string("section-") + title));
    auto* column = new QVBoxLayout(group);
    rows_->addWidget(group);
    return column;
}

void SettingsView::display() {
    auto* column = section("Display");
    const auto settings = model_.currentSettings();
    std::vector<std::string> sizes;
    for (const auto size : allCases<DisplaySize>())
        sizes.push_back(model_.sizeTitle(size));
    column->addLayout(picker(this, "Display Size", "settings-displaySize", sizes,
                             static_cast<int>(settings.displaySize),
                             [this](int i) { model_.setDisplaySize(static_cast<DisplaySize>(i)); }));
    column->addWidget(help(
        "Sets how big text and windows are on the device's monitor, in 7 steps (proportional to the device screen). "
        "Huge, Extra Large and Large Text suit dashboards always on display on a phone or tablet; this computer "
        "renders at HiDPI and scales up cleanly. Larger Text is 1:1 with the device pixels and the sharpest. Default, "
        "More Space and "
        "Most Space fit more content. Now: " +
        model_.sizeDescription()));
    std::vector<std::string> qualities;
    for (const auto mode : allCases<QualityMode>())
        qualities.push_back(title(mode));
    column->addLayout(picker(this, "Quality", "settings-quality", qualities, static_cast<int>(settings.quality),
                             [this](int i) { model_.setQuality(static_cast<QualityMode>(i)); }));
    column->addWidget(
        help("How sharp the picture sent to the device is. Auto adapts to the network; when the picture is still, "
             "it's refined to high definition automatically."));
    std::vector<std::string> rates;
    int currentRate = 0;
    const auto offered = model_.frameRates();
    for (std::size_t i = 0; i < offered.size(); ++i) {
        rates.push_back(fpsTitle(offered[i], model_.reducesResolution(offered[i])));
        if (offered[i] == settings.fps) currentRate = static_cast<int>(i);
    }
    column->addLayout(picker(this, "Frame Rate", "settings-fps", rates, currentRate,
                             [this, offered](int i) { model_.setFPS(offered[static_cast<std::size_t>(i)]); }));
    if (const auto note = model_.frameRateNote()) column->addWidget(help(*note));
    column->addWidget(toggle(this, "Still-Image Refinement", "settings-refinement", settings.staticRefinement,
                             [this](bool on) { model_.setStaticRefinement(on); }));
    column->addWidget(
        help("Changes apply instantly without disconnecting the device. You can also change them on the device; "
             "both sides always stay in sync."));
}

void SettingsView::sound() {
    auto* column = section("Sound");
    const auto settings = model_.currentSettings();
    const auto name = model_.status().clientName.value_or("the device");
    std::vector<std::string> routes;
    for (const auto route : allCases<AudioRoute>())
        routes.push_back(title(route, name));
    column->addLayout(picker(this, "Play Sound On", "settings-sound", routes, static_cast<int>(settings.audio),
                             [this](int i) { model_.setAudio(static_cast<AudioRoute>(i)); }));
    column->addWidget(
        help(title(AudioRoute::device, name) +
             ": this computer's sound plays only on the device, and this computer's "
             "output is silenced while connected (its programs play into a KivDisplay sink that is recorded), then "
             "given back when you disconnect or switch back (an output you had muted stays muted). " +
             title(AudioRoute::both, name) +
             ": both play. Sound latency is about 50 ms over USB or Wi-Fi; it needs a PulseAudio or PipeWire sound "
             "server."));
}

void SettingsView::touch() {
    auto* column = section("Touch");
    column->addWidget(toggle(this, "Allow the Device to Control This Computer by Touch", "settings-touch",
                             model_.settings().touchControl, [this](bool on) { model_.setTouchControl(on); }));
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel("Touch Injection (XTEST)"));
    row->addStretch();
    if (model_.accessibilityGranted()) {
        row->addWidget(new QLabel("✓ Available"));
    } else {
        row->addWidget(button(this, "How to Fix", [this] {
            if (showRemedy) showRemedy(PermissionCoordinator::touchRemedy());
        }));
        row->addWidget(button(this, "Check Again", [this] { model_.requestAccessibility(); }));
    }
    column->addLayout(row);
    if (model_.accessibilityRepairNote()) column->addWidget(help(*model_.accessibilityRepairNote()));
    column->addWidget(help(
        "One finger: click, drag, long-press to right-click. Two fingers: swipe to scroll, tap to open the KivDisplay "
        "menu on the device. Three fingers left or right: switch workspaces (sends Ctrl+Left / Ctrl+Right). "
        "Without XTEST, the device still works as a display."));
}

void SettingsView::connection() {
    auto* column = section("Connection");
    column->addWidget(toggle(this, "USB Connection", "settings-usb", model_.settings().usbEnabled,
                             [this](bool on) { model_.setUSBEnabled(on); }));
    column->addWidget(help(
        "USB first: plug in a cable to switch to USB automatically (steadier, higher bitrate, no Wi-Fi needed, and it "
        "charges). Unplug to return to Wi-Fi; the display and window positions stay put. The first USB connection "
        "needs “Trust” on the device."));
    auto* webRow = new QHBoxLayout;
    webRow->addWidget(new QLabel("Web link port "));
    auto* webPort = new QSpinBox;
    webPort->setObjectName("settings-web-port");
    webPort->setRange(0, 65535);
    webPort->setValue(model_.settings().webPort);
    QObject::connect(webPort, &QSpinBox::editingFinished, this,
                     [this, webPort] { model_.setWebPort(static_cast<std::uint16_t>(webPort->value())); });
    webRow->addWidget(webPort);
    webRow->addStretch();
    column->addLayout(webRow);
    column->addWidget(help("Any tablet or phone becomes a display in its web browser, with nothing to install: open "
                           "the address the panel shows (HTTPS on this port; 0 turns it off)."));
    const auto& devices = model_.hostStatus().usbDevices;
    if (devices.empty()) column->addWidget(help("No USB devices detected"));
    for (const auto& usb : devices) {
        auto* row = new QHBoxLayout;
        row->addWidget(new QLabel(q("Device " + usb.device.shortID())));
        row->addStretch();
        row->addWidget(new QLabel(q(usbStateText(usb.state))));
        column->addLayout(row);
    }
}

void SettingsView::startup() {
    const auto on = model_.startsAtLogin();
    if (!on) return;
    auto* column = section("Startup");
    column->addWidget(toggle(this, "Start at login", "settings-start-at-login", *on,
                             [this](bool value) { model_.setStartAtLogin(value); }));
    column->addWidget(help("Opens KivDisplay in the system tray when you log in to this desktop."));
}

void SettingsView::appearance() {
    auto* column = section("Appearance");
    std::vector<std::string> modes;
    for (const auto mode : {AppearanceMode::system, AppearanceMode::light, AppearanceMode::dark})
        modes.push_back(title(mode));
    column->addLayout(picker(this, "Appearance", "settings-appearance", modes, static_cast<int>(model_.appearance()),
                             [this](int i) { model_.setAppearance(static_cast<AppearanceMode>(i)); }));
}

void SettingsView::advanced() {
    auto* column = section("Advanced");
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel("Keep the display "));
    auto* grace = new QDoubleSpinBox;
    grace->setObjectName("settings-grace");
    grace->setRange(0, 3600);
    grace->setDecimals(0);
    grace->setSingleStep(10);
    grace->setValue(model_.settings().graceSeconds);
    // Committed when the user is done typing (or steps), not on every keystroke.
    grace->setKeyboardTracking(false);
    connect(grace, &QDoubleSpinBox::valueChanged, this, [this](double seconds) { model_.setGraceSeconds(seconds); });
    row->addWidget(grace);
    row->addWidget(new QLabel(" s after a device leaves"));
    row->addStretch();
    column->addLayout(row);
    auto* copyRow = new QHBoxLayout;
    auto* toast = new QLabel;
    copyRow->addWidget(button(this, "Copy Diagnostics", [this, toast] {
        QGuiApplication::clipboard()->setText(q(model_.diagnosticsReport()));
        toast->setText("✓ Diagnostics copied");
        QTimer::singleShot(2000, toast, [toast] { toast->clear(); });
    }));
    copyRow->addWidget(toast);
    copyRow->addStretch();
    column->addLayout(copyRow);
}

void SettingsView::pairedDevices() {
    auto* column = section("Paired Devices");
    if (paired_.empty()) column->addWidget(help("None"));
    for (const auto& device : paired_) {
        auto* row = new QHBoxLayout;
        row->addWidget(new QLabel(q(device.name)));
        row->addStretch();
        auto* unpair = button(this, "Unpair", [this, id = device.deviceID] {
            model_.unpair(id);
            refresh();
        });
        unpair->setObjectName(q("unpair-" + device.deviceID));
        row->addWidget(unpair);
        column->addLayout(row);
    }
}

} // namespace kiv::app
