#include "MenuBarView.hpp"

#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>
#include <fmt/format.h>

#include "KivHostCore/Linux/WebIdentity.hpp"
#include "KivProtocol/RemoteText.hpp"
#include "PermissionCoordinator.hpp"
#include "ViewHelpers.hpp"

namespace kiv::app {

namespace {

std::string linkText(const HostStatus& s) {
    if (!s.transport) return {};
    switch (*s.transport) {
    case TransportKind::usb: return "USB ready";
    case TransportKind::web: return "Web";
    case TransportKind::wifi: break;
    }
    return "Wi-Fi";
}

std::string stateLine(const HostStatus& s) {
    using Kind = HostStatus::Service::Kind;
    if (s.service.kind == Kind::streaming || s.service.kind == Kind::paused)
        return "Connected" + (s.transport ? " · " + linkText(s) : "");
    if (s.displayID && !s.clientAddress) return "Display kept for reconnect";
    return "Connecting";
}

} // namespace

std::pair<std::string, std::string> headerText(const AppModel& model) {
    using Kind = HostStatus::Service::Kind;
    const auto& service = model.hostService();
    const auto& s = model.status();
    std::string addresses;
    for (const auto& a : model.hostStatus().hostAddresses)
        addresses += (addresses.empty() ? "" : ", ") + a;
    switch (service.kind) {
    case Kind::waitingForApproval: return {"Waiting to approve", service.text};
    case Kind::paused: return {s.clientName.value_or("The device") + " is in the background; paused", {}};
    case Kind::streaming: {
        std::string sub = "Connected";
        if (s.transport) sub += " · " + linkText(s);
        if (s.input.enabled) sub += " · Touch on";
        if (s.client) sub += fmt::format(" · {:.0f} ms", s.client->latencyMs);
        return {s.clientName.value_or("Connected"), sub};
    }
    case Kind::error: return {"Waiting for a device", service.text};
    case Kind::stopped:
    case Kind::listening: break;
    }
    return {"Waiting for a device", addresses.empty() ? std::string() : "This computer’s IP: " + addresses};
}

MenuBarView::MenuBarView(AppModel& model, QWidget* parent)
    : QWidget(parent), model_(model), layout_(new QVBoxLayout(this)) {
    setObjectName("KivDisplayPanel");
    setMinimumWidth(360);
    refresh();
}

void MenuBarView::refresh() {
    if (deferWhilePopupOpen(this, refreshPending_, [this] { refresh(); })) return;
    if (content_) {
        layout_->removeWidget(content_);
        content_->hide(); // deleted once the event that asked for the refresh is done with it
        content_->deleteLater();
    }
    content_ = new QWidget(this);
    rows_ = new QVBoxLayout(content_);
    layout_->addWidget(content_);
    header();
    notices();
    feedback();
    webInvite();
    deviceList();
    pickers();
    buttons();
    rows_->addStretch();
    content_->show(); // a child added to a shown window starts hidden
    fitContent();
}

// A shown window keeps its size when its content is rebuilt: what grew (a notice, a longer list)
// would be drawn over what follows. Its wrapped texts need the height for its width.
void MenuBarView::fitContent() {
    if (!isWindow() || !isVisible()) return; // a window being shown is sized to its content
    layout_->activate();
    const int needed =
        layout_->hasHeightForWidth() ? layout_->totalHeightForWidth(width()) : layout_->totalSizeHint().height();
    if (needed > height()) resize(width(), needed);
}

void MenuBarView::header() {
    const auto [title, subtitle] = headerText(model_);
    rows_->addWidget(label(title, true));
    if (!subtitle.empty()) rows_->addWidget(label(subtitle));
    if (model_.startError()) rows_->addWidget(label("⚠ " + *model_.startError()));
    if (model_.settingsProblem()) rows_->addWidget(label("⚠ " + *model_.settingsProblem()));
}

void MenuBarView::notices() {
    const auto banner = [this](const std::string& text,
                               std::vector<std::pair<std::string, std::function<void()>>> actions) {
        auto* box = new QWidget;
        auto* column = new QVBoxLayout(box);
        column->setContentsMargins(0, 4, 0, 4);
        column->addWidget(label("⚠ " + text));
        auto* row = new QHBoxLayout;
        for (auto& [title, action] : actions) {
            auto* button = new QPushButton(q(title));
            QObject::connect(button, &QPushButton::clicked, box, [action] { action(); });
            row->addWidget(button);
        }
        row->addStretch();
        column->addLayout(row);
        rows_->addWidget(box);
    };
    const auto remedy = [this](const char* text) {
        return [this, text] {
            if (showRemedy) showRemedy(text);
        };
    };
    if (!model_.screenCaptureGranted())
        banner(PermissionCoordinator::onCompositor()
                   ? "KivDisplay cannot copy the compositor's outputs, so it cannot send the extended display to your "
                     "device."
                   : "KivDisplay cannot read the screen of the X display, so it cannot send the extended display to "
                     "your device.",
               {{"How to Fix", remedy(PermissionCoordinator::screenRemedy())}});
    if (model_.settings().useVirtualDisplay && !model_.displayNotice().empty()) banner(model_.displayNotice(), {});
    if (model_.settings().touchControl && !model_.accessibilityGranted()) {
        banner("Touch control needs the X server's XTEST extension, which this X server does not offer. Without it, "
               "the device still works as a display.",
               {{"Check Again", [this] { model_.requestAccessibility(); }},
                {"How to Fix", [this] { model_.repairAccessibility(); }}});
        if (model_.accessibilityRepairNote()) rows_->addWidget(label(*model_.accessibilityRepairNote()));
    }
    for (auto& problem : model_.localNetworkProblems())
        banner(problem.text, {{"How to Fix", [this, fix = problem.fix] {
                                   if (showRemedy) showRemedy(fix);
                               }}});
    if (model_.hostStatus().webUnavailable)
        banner(*model_.hostStatus().webUnavailable + ". Choose another port in Settings › Connection.",
               {{"Settings…", [this] {
                     if (openSettings) openSettings();
                 }}});
    for (const auto& usb : model_.hostStatus().usbDevices) {
        if (usb.state == USBDeviceStatus::State::untrusted)
            banner("A device is connected by USB but doesn't trust this computer yet. On the device, tap “Trust This "
                   "Computer” and enter the passcode. If nothing appears, unplug the cable and plug it in again.",
                   {});
        else if (usb.state == USBDeviceStatus::State::waitingForApp)
            rows_->addWidget(label("USB device detected: open KivDisplay on the device to connect over USB"));
    }
}

// While no device is connected: the page's address as a QR code for a tablet's camera, the
// address itself, and the certificate fingerprint the browser will show.
void MenuBarView::webInvite() {
    const auto web = model_.webLink();
    if (!web) return;
    for (const auto& android : model_.androidDevices()) {
        auto* row = new QHBoxLayout;
        row->addWidget(label(android.model + " on a USB cable"), 1);
        auto* show = new QPushButton("Show Display on It");
        show->setObjectName(q("android-" + android.serial));
        QObject::connect(show, &QPushButton::clicked, this,
                         [this, serial = android.serial] { model_.showOnAndroid(serial); });
        row->addWidget(show);
        rows_->addLayout(row);
    }
    if (model_.androidNote()) rows_->addWidget(label(*model_.androidNote()));
    if (!model_.devices().empty() || web->urls.empty()) return;
    rows_->addWidget(
        label("Or use a tablet's or phone's web browser as the display: scan the code or open " + web->urls.front()));
    auto* row = new QHBoxLayout;
    if (const auto code = makeQrCode(web->urls.front())) {
        constexpr int module = 3;
        constexpr int quiet = 4;
        QImage image((code->size + 2 * quiet) * module, (code->size + 2 * quiet) * module, QImage::Format_RGB32);
        image.fill(Qt::white);
        for (int y = 0; y < code->size; ++y)
            for (int x = 0; x < code->size; ++x)
                if (code->at(x, y))
                    for (int dy = 0; dy < module; ++dy)
                        for (int dx = 0; dx < module; ++dx)
                            image.setPixel((x + quiet) * module + dx, (y + quiet) * module + dy, 0xFF000000u);
        auto* picture = new QLabel;
        picture->setObjectName("web-qr");
        picture->setPixmap(QPixmap::fromImage(image));
        picture->setFixedSize(image.size());
        row->addWidget(picture, 0, Qt::AlignTop);
    }
    auto* fingerprint = label("The browser warns once about this computer's own certificate. Its SHA-256 "
                              "fingerprint should read " +
                              web->fingerprint);
    fingerprint->setObjectName("web-fingerprint");
    fingerprint->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto font = fingerprint->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    fingerprint->setFont(font);
    row->addWidget(fingerprint, 1, Qt::AlignTop);
    rows_->addLayout(row);
}

void MenuBarView::feedback() {
    const auto& s = model_.status();
    if (!s.deviceID) return;
    const auto route = s.settings.audio;
    if (streamsToDevice(route)) {
        std::string text = "Sound plays on the device";
        if (route == AudioRoute::both) text += " and this computer";
        if (s.audio && s.audio->hostMuted) text += " · this computer is muted";
        rows_->addWidget(label("🔊 " + text));
    }
    if (s.configuration && s.settings.quality == QualityMode::automatic)
        rows_->addWidget(label("Auto quality: currently " + title(s.configuration->tier)));
    // What the device is told about its display and its sound, the person at the computer reads too.
    if (s.configuration && s.configuration->compatibilityNote)
        rows_->addWidget(label("Display: " + RemoteText::localized(*s.configuration->compatibilityNote)));
    if (s.audio && s.audio->note) rows_->addWidget(label("Sound: " + RemoteText::localized(*s.audio->note)));
    if (s.transportNote) rows_->addWidget(label(s.transportNote->text));
}

void MenuBarView::deviceList() {
    const auto& devices = model_.devices();
    if (devices.size() < 2) return;
    rows_->addWidget(label(fmt::format("{} devices connected · Select one to adjust its display", devices.size())));
    for (const auto& d : devices) {
        const bool selected = d.deviceID == model_.selectedDeviceID();
        auto* row = new QPushButton(q((selected ? "✓ " : "") + d.clientName.value_or("Device") + " — " + stateLine(d)));
        row->setFlat(true);
        row->setObjectName(q("device-" + d.deviceID.value_or("")));
        QObject::connect(row, &QPushButton::clicked, this, [this, id = d.deviceID.value_or("")] { model_.select(id); });
        rows_->addWidget(row);
    }
}

void MenuBarView::pickers() {
    const auto settings = model_.currentSettings();
    const auto name = model_.status().clientName.value_or("Device");
    const auto picker = [this](const char* title, const char* object, const std::vector<std::string>& items,
                               int current, std::function<void(int)> chosen) {
        rows_->addLayout(kiv::app::picker(this, title, object, items, current, std::move(chosen)));
    };
    std::vector<std::string> sizes;
    for (const auto size : allCases<DisplaySize>())
        sizes.push_back(model_.sizeTitle(size));
    picker("Display", "display", sizes, static_cast<int>(settings.displaySize),
           [this](int i) { model_.setDisplaySize(static_cast<DisplaySize>(i)); });
    std::vector<std::string> qualities;
    for (const auto mode : allCases<QualityMode>())
        qualities.push_back(title(mode));
    picker("Quality", "quality", qualities, static_cast<int>(settings.quality),
           [this](int i) { model_.setQuality(static_cast<QualityMode>(i)); });
    std::vector<std::string> routes;
    for (const auto route : allCases<AudioRoute>())
        routes.push_back(title(route, name));
    picker("Sound", "sound", routes, static_cast<int>(settings.audio),
           [this](int i) { model_.setAudio(static_cast<AudioRoute>(i)); });
    std::vector<std::string> rates;
    int currentRate = 0;
    const auto offered = model_.frameRates();
    for (std::size_t i = 0; i < offered.size(); ++i) {
        rates.push_back(fpsTitle(offered[i], model_.reducesResolution(offered[i])));
        if (offered[i] == settings.fps) currentRate = static_cast<int>(i);
    }
    picker("Frame Rate", "fps", rates, currentRate,
           [this, offered](int i) { model_.setFPS(offered[static_cast<std::size_t>(i)]); });
}

void MenuBarView::buttons() {
    const auto button = [this](const char* text, std::function<void()> action, bool enabled = true) {
        auto* b = new QPushButton(text);
        b->setEnabled(enabled);
        QObject::connect(b, &QPushButton::clicked, this, [action = std::move(action)] { action(); });
        rows_->addWidget(b);
    };
    button("Display Settings…", [this] {
        if (openSettings) openSettings();
    });
    button("Diagnostics", [this] {
        if (openDiagnostics) openDiagnostics();
    });
    const auto selected = model_.selectedDeviceID();
    button(
        "Disconnect",
        [this, selected] {
            if (selected) model_.disconnect(*selected);
        },
        selected.has_value());
    button(
        "Disconnect All Devices", [this] { model_.disconnectAll(); }, !model_.devices().empty());
    button("Quit KivDisplay", [this] { model_.quit(); });
}

} // namespace kiv::app
