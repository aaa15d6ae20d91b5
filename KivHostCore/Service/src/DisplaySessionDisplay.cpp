// The session's virtual display: bringing it to a configuration inside the shared gate, with the
// compatibility ladder, verification and recreation; the mirroring fallback; removal.
#include <fmt/format.h>

#include "KivHostCore/Service/ConfigurationResolver.hpp"
#include "KivHostCore/Service/DisplaySession.hpp"
#include "KivProtocol/RemoteText.hpp"

namespace kiv {

void DisplaySession::reconfigureDisplay(const DisplayConfiguration& configuration, DisplayDone done) {
    gate_->run([weak = weak_from_this(), configuration, done = std::move(done)](DisplayOperationGate::Release release) {
        auto self = weak.lock();
        if (!self) {
            release();
            return done(std::unexpected(std::string("session ended")));
        }
        self->reconfigureDisplayLocked(configuration, [weak, release, done](auto result) {
            release();
            if (!result) return done(std::unexpected(result.error().text()));
            // The capture was made for the old mode (or a display that is gone): the stream
            // follows the display, so the device gets pictures of the size it was told.
            auto session = weak.lock();
            if (!session || !session->active_ || session->active_->paused || !session->stream_->isRunning())
                return done(*result);
            session->startStream(*result, [effective = *result, done](StreamResult started) {
                if (!started) return done(std::unexpected(started.error().text));
                done(effective);
            });
        });
    });
}

void DisplaySession::reconfigureDisplayLocked(
    const DisplayConfiguration& config,
    std::function<void(std::expected<DisplayConfiguration, DisplayModeError>)> done) {
    if (ConfigurationResolver::isMirror(config)) {
        // The desktop itself is streamed: there is no monitor to make for it, and trying one of
        // the desktop's size would only fail (a resume, a rollback or a rotation while mirroring).
        status_.displayID.reset();
        input_->setDisplayID(std::nullopt);
        main_.post([weak = weak_from_this(), config, done = std::move(done)] {
            if (weak.lock()) done(config);
        });
        return;
    }
    display_->bring(
        config, [this](const DisplayConfiguration& rung) { return displayConfigurationFor(rung); },
        [weak = weak_from_this(), done = std::move(done)](DisplayController::Result result) {
            auto self = weak.lock();
            if (!self) return;
            if (!result) return done(std::unexpected(std::move(result.error())));
            self->status_.displayID = result->displayID;
            self->input_->setDisplayID(result->displayID);
            auto effective = std::move(result->effective);
            if (result->drawn) {
                self->configuration_->noteDrawnSize(effective, *result->drawn);
                self->status_.drawnScale = self->configuration_->drawnScale();
                const auto fitted = self->configuration_->fittedToDrawn(effective);
                if (fitted.streamWidth != effective.streamWidth || fitted.streamHeight != effective.streamHeight)
                    self->log_.info(fmt::format("Stream {}×{} instead of {}×{}: the desktop draws no more pixels",
                                                fitted.streamWidth, fitted.streamHeight, effective.streamWidth,
                                                effective.streamHeight));
                effective = fitted;
            }
            done(std::move(effective));
        });
}

VirtualDisplayConfiguration DisplaySession::displayConfigurationFor(const DisplayConfiguration& config) const {
    VirtualDisplayConfiguration display;
    const std::string client = displayHello_ ? displayHello_->deviceName : std::string();
    display.name = client.empty() ? settings_.displayName : "KivDisplay · " + client;
    display.mode = {static_cast<std::uint32_t>(std::max<std::int64_t>(config.logicalWidth, 0)),
                    static_cast<std::uint32_t>(std::max<std::int64_t>(config.logicalHeight, 0)), 60};
    display.hiDPI = config.scaleFactor >= 2;
    display.pixelsPerInch = 110;
    display.serialNumber = displaySerial(deviceID_, !display.mode.isPortrait());
    // The sizes the user may switch to, so a later change can select a listed mode in place.
    const std::optional<ScreenInfo> screen = displayHello_ ? std::optional(displayHello_->screen) : std::nullopt;
    const auto fps = displayHello_ ? displayHello_->recommendedFPS.value_or(30) : 30;
    for (const auto size : {DisplaySize::huge, DisplaySize::extraLarge, DisplaySize::large, DisplaySize::larger,
                            DisplaySize::standard, DisplaySize::moreSpace, DisplaySize::mostSpace}) {
        auto settings = configuration_->settings();
        settings.displaySize = size;
        const auto other = ConfigurationResolver::resolve(
            settings, screen, configuration_->currentTier(), std::nullopt, fps, configuration_->transport(),
            displayHello_ ? displayHello_->decoderMBPerSecond : std::nullopt);
        const VirtualDisplayMode mode{static_cast<std::uint32_t>(other.logicalWidth),
                                      static_cast<std::uint32_t>(other.logicalHeight), 60};
        if (other.scaleFactor == config.scaleFactor && mode.isValid() && mode.isPortrait() == display.mode.isPortrait())
            display.additionalModes.push_back(mode);
    }
    return display;
}

DisplayConfiguration DisplaySession::mirrorFallback(const DisplayConfiguration& config) {
    log_.error("All virtual display modes failed, mirroring the main display so the device can still connect");
    auto mirrored = config;
    status_.displayID.reset();
    input_->setDisplayID(std::nullopt);
    if (const auto main = platform_.mainDisplayBounds ? platform_.mainDisplayBounds() : std::nullopt) {
        mirrored =
            ConfigurationResolver::resolveMirror(config, main->width, main->height, configuration_->streamCap(),
                                                 configuration_->transport(), configuration_->decoderMBPerSecond());
        // The device sees the main display, so its touches land there.
        input_->setMirroredScreen(Rect{static_cast<double>(main->x), static_cast<double>(main->y),
                                       static_cast<double>(main->width), static_cast<double>(main->height)});
    }
    mirrored.compatibilityNote = RemoteText::make(RemoteText::compatMirror);
    return mirrored;
}

void DisplaySession::destroyDisplay() {
    if (!virtualDisplay_->isActive()) return;
    status_.displayID.reset();
    input_->setDisplayID(std::nullopt);
    // The service releases an idle session only once the display is really gone.
    displayQueue_->post([display = virtualDisplay_, weak = weak_from_this(), main = main_.handle()] {
        display->destroyDisplay();
        main.post([weak] {
            if (auto self = weak.lock(); self && !self->isStopped_) self->publishStatus();
        });
    });
}

void DisplaySession::onTerminated() {
    log_.error("Virtual display terminated by system");
    status_.displayID.reset();
    input_->setDisplayID(std::nullopt);
    if (!active_) return;
    if (active_->link) active_->link->close(ControlMessage{Disconnect{"virtual display removed by the system"}});
    teardownClient(true);
}

} // namespace kiv
