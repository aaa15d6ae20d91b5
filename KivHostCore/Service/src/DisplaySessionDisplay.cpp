// The session's virtual display: bringing it to a configuration inside the shared gate, with the
// compatibility ladder, verification and recreation; the mirroring fallback; removal.
#include <fmt/format.h>

#include "KivHostCore/Service/ConfigurationResolver.hpp"
#include "KivHostCore/Service/DisplaySession.hpp"
#include "KivProtocol/RemoteText.hpp"

namespace kiv {
namespace {

constexpr Duration kOfflineReuseWait = std::chrono::seconds(5);
constexpr Duration kOfflineReusePoll = std::chrono::milliseconds(100);
constexpr Duration kVerifyPoll = std::chrono::milliseconds(50);
constexpr Duration kReuseVerify = std::chrono::milliseconds(600);
constexpr Duration kModeWait = std::chrono::milliseconds(1500);
constexpr Duration kVerify = std::chrono::milliseconds(1000);
constexpr Duration kQuickVerify = std::chrono::milliseconds(500);

std::string modeKey(const DisplayConfiguration& c) {
    return fmt::format("{}×{}@{}x", c.logicalWidth, c.logicalHeight, c.scaleFactor);
}

ScreenModeInfo wantedMode(const DisplayConfiguration& c) {
    const auto scale = static_cast<std::uint32_t>(std::max<std::int64_t>(c.scaleFactor, 1));
    const auto w = static_cast<std::uint32_t>(c.logicalWidth);
    const auto h = static_cast<std::uint32_t>(c.logicalHeight);
    return {w, h, w * scale, h * scale};
}

std::string describe(const std::optional<ScreenModeInfo>& mode, std::uint32_t id, bool online) {
    if (!mode) return fmt::format("no mode (display {}{})", id, online ? "" : " offline");
    return fmt::format("points {}×{} pixels {}×{} HiDPI={}", mode->pointWidth, mode->pointHeight, mode->pixelWidth,
                       mode->pixelHeight, mode->pixelWidth > mode->pointWidth ? "true" : "false");
}

} // namespace

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
            if (!session || !session->active_ || session->active_->paused || !session->pipeline_) return done(*result);
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
    auto candidates = std::make_shared<std::vector<DisplayConfiguration>>();
    candidates->push_back(config);
    for (auto& next : ConfigurationResolver::compatibilityLadder(config))
        candidates->push_back(std::move(next));
    tryCandidate(std::move(candidates), 0, false, std::move(done));
}

void DisplaySession::tryCandidate(std::shared_ptr<std::vector<DisplayConfiguration>> candidates, std::size_t index,
                                  bool retried,
                                  std::function<void(std::expected<DisplayConfiguration, DisplayModeError>)> done) {
    if (index >= candidates->size()) {
        done(std::unexpected(DisplayModeError{DisplayModeError::Kind::mismatch, candidates->front().text(), "-", 0}));
        return;
    }
    const auto& candidate = (*candidates)[index];
    if (index > 0 && !retried) {
        log_.notice(fmt::format("Trying compatible display mode {}×{}@{}x (step {})", candidate.logicalWidth,
                                candidate.logicalHeight, candidate.scaleFactor, index));
    }
    EnsureRequest request{candidate, displayConfigurationFor(candidate), index > 0, settings_.useVirtualDisplay,
                          simulateUnusableModes.contains(modeKey(candidate))};
    auto weak = weak_from_this();
    displayQueue_->post([weak, request, candidates, index, retried, done, main = main_.handle()]() mutable {
        auto self = weak.lock();
        if (!self) return;
        auto result = self->ensureDisplayBlocking(request);
        self.reset(); // stop() waits for this queue, so the owner still holds the session here
        main.post([weak, result = std::move(result), candidates, index, retried, done]() mutable {
            auto session = weak.lock();
            if (!session) return;
            if (result) {
                if (index > 0) {
                    session->log_.notice("Display compatibility fallback in use: " +
                                         result->effective.compatibilityNote.value_or("-"));
                }
                session->status_.displayID = result->displayID;
                session->input_->setDisplayID(result->displayID);
                done(result->effective);
                return;
            }
            if (result.error().kind == DisplayModeError::Kind::offline && !retried) {
                session->log_.warning("Virtual display went offline while applying " + (*candidates)[index].text() +
                                      ", retrying the same mode");
                session->tryCandidate(candidates, index, true, std::move(done));
                return;
            }
            session->tryCandidate(candidates, index + 1, false, std::move(done));
        });
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

bool DisplaySession::waitBlocking(Duration limit, Duration poll, const std::function<bool()>& done) {
    const auto start = displayClock_->now();
    while (!done()) {
        if (displayClock_->now() - start >= limit) return false;
        displayClock_->sleepFor(poll);
    }
    return true;
}

bool DisplaySession::verifyBlocking(const ScreenModeInfo& wanted, const std::string& label, Duration limit) {
    auto& display = *virtualDisplay_;
    bool corrected = false;
    const auto start = displayClock_->now();
    while (true) {
        const auto current = display.currentMode();
        const auto id = display.getDisplayID().value_or(0);
        const std::string actual =
            "Virtual display actual (" + label + ") " + describe(current, id, display.isOnline(id));
        if (current == wanted) {
            log_.info(actual);
            return true;
        }
        if (!corrected) {
            log_.info(actual + " ✗ not yet, correcting");
            display.selectMode(wanted.pointWidth, wanted.pointHeight, wanted.pixelWidth, wanted.pixelHeight);
            corrected = true;
        }
        if (displayClock_->now() - start >= limit) return false;
        displayClock_->sleepFor(kVerifyPoll);
    }
}

DisplaySession::EnsureResult DisplaySession::ensureDisplayBlocking(const EnsureRequest& request) {
    const auto& config = request.config;
    const auto mismatch = [&](std::string effective) {
        return std::unexpected(
            DisplayModeError{DisplayModeError::Kind::mismatch, config.text(), std::move(effective), 0});
    };
    if (request.unusable) return mismatch("simulated: not usable for desktop");
    if (!request.useVirtualDisplay) {
        log_.info("Virtual display disabled (test mode), skip display reconfigure");
        return Ensured{std::nullopt, config};
    }
    auto& display = *virtualDisplay_;
    const auto wanted = wantedMode(config);
    const auto limit = request.quick ? kQuickVerify : kVerify;
    const auto create = [&]() -> std::expected<std::uint32_t, VirtualDisplayError> {
        return display.createDisplay(request.display);
    };
    const auto selectAndVerify = [&](const std::string& label) {
        waitBlocking(kModeWait, kVerifyPoll, [&] { return display.listsMode(wanted); });
        display.selectMode(wanted.pointWidth, wanted.pointHeight, wanted.pixelWidth, wanted.pixelHeight);
        return verifyBlocking(wanted, label, limit);
    };

    const auto held = display.configuration();
    const auto heldID = display.getDisplayID();
    std::string label = "create";
    if (held && heldID && held->mode.width == request.display.mode.width &&
        held->mode.height == request.display.mode.height && held->hiDPI == request.display.hiDPI) {
        if (!display.isOnline(*heldID)) {
            log_.info(fmt::format("Virtual display {} offline, waiting for it to come back before reusing", *heldID));
            if (!waitBlocking(kOfflineReuseWait, kOfflineReusePoll, [&] { return display.isOnline(*heldID); }))
                return std::unexpected(DisplayModeError{DisplayModeError::Kind::offline, config.text(), {}, *heldID});
        }
        if (verifyBlocking(wanted, "reuse", kReuseVerify)) return Ensured{*heldID, config};
        label = "select";
    } else if (held && heldID) {
        const bool orientation = held->mode.isPortrait() != request.display.mode.isPortrait();
        if (orientation || held->hiDPI != request.display.hiDPI) {
            log_.info(std::string("Recreating virtual display (") +
                      (orientation ? "orientation change" : "mode mismatch / HiDPI change") + ")");
            display.destroyDisplay();
            if (auto created = create(); !created) return mismatch(created.error().text());
        } else if (!display.listsMode(wanted)) {
            if (auto changed = display.setResolution(request.display.mode); !changed) {
                log_.info("Recreating virtual display (mode mismatch / HiDPI change)");
                display.destroyDisplay();
                if (auto created = create(); !created) return mismatch(created.error().text());
            }
        }
        label = "select";
    } else if (auto created = create(); !created) {
        return mismatch(created.error().text());
    }

    if (!selectAndVerify(label)) {
        log_.warning("Display mode still wrong, recreating virtual display");
        display.destroyDisplay();
        if (auto created = create(); !created) return mismatch(created.error().text());
        if (!selectAndVerify("recreate + select")) {
            const auto id = display.getDisplayID().value_or(0);
            return mismatch(describe(display.currentMode(), id, display.isOnline(id)));
        }
    }
    const auto id = display.getDisplayID();
    if (!id) return mismatch("no display");
    return Ensured{*id, config};
}

DisplayConfiguration DisplaySession::mirrorFallback(const DisplayConfiguration& config) {
    log_.error("All virtual display modes failed, mirroring the main display so the device can still connect");
    auto mirrored = config;
    if (const auto size = platform_.mainDisplaySize ? platform_.mainDisplaySize() : std::nullopt) {
        mirrored.logicalWidth = size->first;
        mirrored.logicalHeight = size->second;
        mirrored.scaleFactor = 1;
        // Streams keep even sizes within what the encoder takes.
        mirrored.streamWidth = std::min<std::int64_t>(size->first, ConfigurationResolver::maxStreamLong) & ~1;
        mirrored.streamHeight = std::min<std::int64_t>(size->second, ConfigurationResolver::maxStreamLong) & ~1;
    }
    mirrored.compatibilityNote = RemoteText::make(RemoteText::compatMirror);
    status_.displayID.reset();
    input_->setDisplayID(std::nullopt);
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
