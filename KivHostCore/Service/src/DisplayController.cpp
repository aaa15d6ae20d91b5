#include "KivHostCore/Service/DisplayController.hpp"

#include <fmt/format.h>

#include "KivHostCore/Service/ConfigurationResolver.hpp"

namespace kiv {
namespace {

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

std::string DisplayModeError::text() const {
    if (kind == Kind::offline) return fmt::format("offline (requested {}, display {})", requested, displayID);
    return fmt::format("virtual display mode mismatch: requested {}, effective {}", requested, effective);
}

std::shared_ptr<DisplayController> DisplayController::create(Executor& main, Executor& displayQueue,
                                                             std::shared_ptr<VirtualDisplayManager> display,
                                                             std::shared_ptr<VirtualDisplayClock> clock,
                                                             bool useVirtualDisplay) {
    return std::make_shared<DisplayController>(main, displayQueue, std::move(display), std::move(clock),
                                               useVirtualDisplay);
}

DisplayController::DisplayController(Executor& main, Executor& displayQueue,
                                     std::shared_ptr<VirtualDisplayManager> display,
                                     std::shared_ptr<VirtualDisplayClock> clock, bool useVirtualDisplay)
    : main_(main), queue_(displayQueue), display_(std::move(display)), clock_(std::move(clock)),
      useVirtualDisplay_(useVirtualDisplay) {}

void DisplayController::bring(const DisplayConfiguration& config, Describe describe, std::function<void(Result)> done) {
    auto ladder = std::make_shared<std::vector<DisplayConfiguration>>();
    ladder->push_back(config);
    for (auto& next : ConfigurationResolver::compatibilityLadder(config))
        ladder->push_back(std::move(next));
    tryRung(std::move(ladder), 0, false, std::make_shared<Describe>(std::move(describe)), std::move(done));
}

void DisplayController::tryRung(Ladder ladder, std::size_t index, bool retried, std::shared_ptr<Describe> describe,
                                std::function<void(Result)> done) {
    if (index >= ladder->size()) {
        done(std::unexpected(DisplayModeError{DisplayModeError::Kind::mismatch, ladder->front().text(), "-", 0}));
        return;
    }
    const auto& rung = (*ladder)[index];
    if (index > 0 && !retried) {
        log_.notice(fmt::format("Trying compatible display mode {}×{}@{}x (step {})", rung.logicalWidth,
                                rung.logicalHeight, rung.scaleFactor, index));
    }
    Request request{rung, (*describe)(rung), index > 0};
    queue_.post([weak = weak_from_this(), request = std::move(request), ladder, index, retried, describe, done,
                 main = main_.handle()]() mutable {
        auto self = weak.lock();
        if (!self) return;
        auto result = self->ensureBlocking(request);
        self.reset(); // the owner still holds it; it must not end here, off main
        main.post([weak, result = std::move(result), ladder, index, retried, describe, done]() mutable {
            auto controller = weak.lock();
            if (!controller) return;
            if (result) {
                if (index > 0) {
                    controller->log_.notice("Display compatibility fallback in use: " +
                                            result->effective.compatibilityNote.value_or("-"));
                }
                done(std::move(*result));
                return;
            }
            if (result.error().kind == DisplayModeError::Kind::offline && !retried) {
                controller->log_.warning("Virtual display went offline while applying " + (*ladder)[index].text() +
                                         ", retrying the same mode");
                controller->tryRung(ladder, index, true, describe, std::move(done));
                return;
            }
            controller->tryRung(ladder, index + 1, false, describe, std::move(done));
        });
    });
}

bool DisplayController::waitBlocking(Duration limit, Duration poll, const std::function<bool()>& done) {
    const auto start = clock_->now();
    while (!done()) {
        if (clock_->now() - start >= limit) return false;
        clock_->sleepFor(poll);
    }
    return true;
}

bool DisplayController::verifyBlocking(const ScreenModeInfo& wanted, const std::string& label, Duration limit) {
    auto& display = *display_;
    bool corrected = false;
    const auto start = clock_->now();
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
        if (clock_->now() - start >= limit) return false;
        clock_->sleepFor(kVerifyPoll);
    }
}

DisplayController::Result DisplayController::ensureBlocking(const Request& request) {
    const auto& config = request.config;
    const auto mismatch = [&](std::string effective) {
        return std::unexpected(
            DisplayModeError{DisplayModeError::Kind::mismatch, config.text(), std::move(effective), 0});
    };
    if (!useVirtualDisplay_) {
        log_.info("Virtual display disabled (test mode), skip display reconfigure");
        return Ensured{std::nullopt, config, std::nullopt};
    }
    auto& display = *display_;
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
        if (verifyBlocking(wanted, "reuse", kReuseVerify)) return Ensured{*heldID, config, display.drawnSize()};
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
    return Ensured{*id, config, display.drawnSize()};
}

} // namespace kiv
