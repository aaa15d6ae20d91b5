#include "KivHostCore/Service/SessionConfigurationManager.hpp"

#include <fmt/format.h>

#include "KivProtocol/Localization.hpp"

namespace kiv {

namespace {
// The platform's standard list format in English: "A", "A and B", "A, B, and C".
std::string joinWithAnd(const std::vector<std::string>& items) {
    if (items.size() == 1) return items[0];
    if (items.size() == 2) return items[0] + localize(" and ") + items[1];
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += i + 1 == items.size() ? localize(", and ") : ", ";
        out += items[i];
    }
    return out;
}
} // namespace

std::string SessionConfigurationManager::Origin::text() const {
    switch (kind) {
    case Kind::client: return fmt::format("device #{}", requestID);
    case Kind::automatic: return "auto (" + reason + ")";
    case Kind::system: return reason;
    case Kind::local: return "mac"; // the log's name for a change made on this computer
    }
    return {};
}

std::shared_ptr<SessionConfigurationManager> SessionConfigurationManager::create(Executor& main,
                                                                                 SessionSettings settings) {
    return std::make_shared<SessionConfigurationManager>(main, std::move(settings));
}

SessionConfigurationManager::SessionConfigurationManager(Executor& main, SessionSettings settings)
    : main_(main), settings_(std::move(settings)), clock_(main.now()) {}

double SessionConfigurationManager::nowSeconds() const {
    return static_cast<double>((main_.now() - clock_).count()) / 1'000'000.0;
}

QualityTier SessionConfigurationManager::currentTier() const {
    return settings_.quality == QualityMode::automatic ? auto_.tier : tierFor(settings_.quality);
}

DisplayConfiguration SessionConfigurationManager::desiredConfiguration() const {
    auto desired = ConfigurationResolver::resolve(settings_, screen_, currentTier(), streamCap_, recommendedFPS_,
                                                  transport_, decoderMBPerSecond_);
    // A mirroring session stays one until its device connects again: a rotation or a new setting
    // re-fits the stream to the desktop instead of asking again for a monitor that was refused.
    if (compat_ && ConfigurationResolver::isMirror(compat_->effective)) {
        auto mirrored = ConfigurationResolver::resolveMirror(desired, compat_->effective.logicalWidth,
                                                             compat_->effective.logicalHeight, streamCap_, transport_,
                                                             decoderMBPerSecond_);
        mirrored.compatibilityNote = compat_->effective.compatibilityNote;
        return mirrored;
    }
    // A display mode the system refused is not asked for again: use what worked instead.
    if (compat_ && desired.logicalWidth == compat_->width && desired.logicalHeight == compat_->height &&
        desired.scaleFactor == compat_->scale) {
        desired.logicalWidth = compat_->effective.logicalWidth;
        desired.logicalHeight = compat_->effective.logicalHeight;
        desired.scaleFactor = compat_->effective.scaleFactor;
        desired.compatibilityNote = compat_->effective.compatibilityNote;
    }
    return fittedToDrawn(desired);
}

void SessionConfigurationManager::noteDrawnSize(const DisplayConfiguration& effective, std::pair<int, int> drawn) {
    if (ConfigurationResolver::isMirror(effective) || effective.logicalWidth < 1 || drawn.first < 2) return;
    const double scale = static_cast<double>(drawn.first) / static_cast<double>(effective.logicalWidth);
    if (drawnScale_ != scale)
        log_.info(fmt::format("The desktop draws the display with {}×{} pixels ({:.2f} per point)", drawn.first,
                              drawn.second, scale));
    drawnScale_ = scale;
}

DisplayConfiguration SessionConfigurationManager::fittedToDrawn(const DisplayConfiguration& config) const {
    if (!drawnScale_) return config;
    return ConfigurationResolver::fitToDrawnScale(config, *drawnScale_, streamCap_, transport_, decoderMBPerSecond_);
}

std::string SessionConfigurationManager::settingsTitles(const SessionSettings& settings) {
    return title(settings.displaySize) + " · " + title(settings.quality) + " · " + fpsTitle(settings.fps);
}

std::optional<std::string> SessionConfigurationManager::changeSummary(const SessionSettings& from,
                                                                      const SessionSettings& to) const {
    std::vector<std::string> items;
    if (from.displaySize != to.displaySize) items.push_back(localize("Display size: ") + title(to.displaySize));
    if (from.quality != to.quality) items.push_back(localize("Quality: ") + title(to.quality));
    if (from.fps != to.fps) items.push_back(localize("Frame rate: ") + fpsTitle(to.fps));
    if (from.staticRefinement != to.staticRefinement) {
        items.push_back(localize(to.staticRefinement ? "Still-image refinement on" : "Still-image refinement off"));
    }
    if (from.audio != to.audio) items.push_back(localize("Sound: ") + title(to.audio, localize("Device")));
    if (items.empty()) return std::nullopt;
    return localize("Changed: ") + joinWithAnd(items);
}

std::optional<std::string> SessionConfigurationManager::autoSummary(const Origin& origin) const {
    if (origin.kind == Origin::Kind::automatic) return localize("Auto quality: ") + title(currentTier());
    if (origin.kind == Origin::Kind::system) {
        if (origin.reason.starts_with("orientation")) return localize("Adapted to the screen orientation");
        if (origin.reason.starts_with("transport")) return localize("Quality adjusted for ") + title(transport_);
    }
    return std::nullopt;
}

void SessionConfigurationManager::setState(ApplyState state) {
    state_ = std::move(state);
    if (onStateChange) onStateChange(state_);
}

void SessionConfigurationManager::schedule(const SessionSettings& settings, const Origin& origin) {
    if (!busy_) {
        startApply(settings, {origin});
        return;
    }
    if (!pending_) pending_ = Pending{settings, {}};
    pending_->settings = settings;
    pending_->origins.push_back(origin);
}

void SessionConfigurationManager::startApply(SessionSettings settings, std::vector<Origin> origins) {
    busy_ = true;
    main_.post([weak = weak_from_this(), settings = std::move(settings), origins = std::move(origins)] {
        if (auto self = weak.lock()) self->apply(settings, origins);
    });
}

void SessionConfigurationManager::apply(const SessionSettings& requested, const std::vector<Origin>& origins) {
    const Origin primary = origins.empty() ? Origin::system("unknown") : origins.back();
    const SessionSettings old = settings_;
    if (requested.quality == QualityMode::automatic && old.quality != QualityMode::automatic) {
        auto_.reset(AutoQualityController::startTier(transport_), nowSeconds());
    }
    settings_ = requested;
    if (settings_ != old && onSettingsChanged) onSettingsChanged(settings_);
    const auto summary = changeSummary(old, requested);

    if (!applied_) {
        log_.info("Settings saved (no active session, " + primary.text() + "): " + settingsTitles(settings_));
        setState(ApplyState::succeeded(summary.value_or(localize("Settings saved"))));
        finish();
        return;
    }
    const DisplayConfiguration previous = *applied_;
    const DisplayConfiguration desired = desiredConfiguration();
    const Level level = ConfigurationResolver::classify(previous, desired);
    log_.info(fmt::format("Reconfigure [{}] from {}: {} → {}", ConfigurationResolver::toText(level), primary.text(),
                          previous.text(), desired.text()));
    if (level == Level::none) {
        broadcast(origins, ConfigResult::ok());
        setState(ApplyState::succeeded(summary.value_or(localize("Already using these settings"))));
        finish();
        return;
    }
    const std::string message = summary ? *summary : autoSummary(primary).value_or(localize("Applying…"));
    if (level >= Level::stream) {
        setState(ApplyState::applying(localize("Applying…")));
        if (onApplying) {
            for (const auto& origin : origins)
                onApplying(origin);
        }
    }
    const MonotonicTime started = main_.now();
    const std::uint64_t generation = generation_;
    perform(desired, level,
            [this, weak = weak_from_this(), origins, old, requested, previous, desired, level, message, started,
             generation](Performed result) {
                const auto self = weak.lock();
                if (!self) return;
                if (generation != generation_) { // the pipeline ended meanwhile
                    finish();
                    return;
                }
                if (result) {
                    applied_ = *result;
                    const auto ms =
                        std::chrono::duration_cast<std::chrono::milliseconds>(main_.now() - started).count();
                    log_.info(fmt::format("Reconfigure [{}] done in {}ms", ConfigurationResolver::toText(level), ms));
                    setState(ApplyState::succeeded(message));
                    broadcast(origins, ConfigResult::ok());
                    finish();
                    return;
                }
                log_.error(fmt::format("Reconfigure [{}] failed: {} — rolling back",
                                       ConfigurationResolver::toText(level), result.error()));
                settings_ = old;
                if (old != requested && onSettingsChanged) onSettingsChanged(settings_);
                const Level rollbackLevel = std::max(ConfigurationResolver::classify(desired, previous), level);
                perform(previous, rollbackLevel, [this, weak, origins, generation](Performed rollback) {
                    const auto alive = weak.lock();
                    if (!alive) return;
                    if (generation != generation_) {
                        finish();
                        return;
                    }
                    if (rollback) {
                        applied_ = *rollback;
                        log_.info("Rollback succeeded: " + rollback->text());
                    } else {
                        log_.error("Rollback failed: " + rollback.error());
                    }
                    const std::string failure =
                        localize("That setting couldn't be applied. Restored: ") + settingsTitles(settings_);
                    setState(ApplyState::failed(failure));
                    broadcast(origins, ConfigResult::failed(failure));
                    finish();
                });
            });
}

void SessionConfigurationManager::perform(const DisplayConfiguration& configuration, Level level,
                                          std::function<void(Performed)> done) {
    // Completions always arrive as separate main-executor tasks, never inside this call.
    auto deliver = [this, weak = weak_from_this(), done = std::move(done)](Performed result) mutable {
        main_.post([weak, done, result = std::move(result)]() mutable {
            if (weak.lock()) done(std::move(result));
        });
    };
    const auto target = target_.lock();
    if (!target || level == Level::none) {
        deliver(configuration);
        return;
    }
    switch (level) {
    case Level::none: break;
    case Level::encoder:
        target->reconfigureEncoder(configuration);
        deliver(configuration);
        break;
    case Level::stream:
        target->reconfigureStream(configuration,
                                  [deliver, configuration](std::expected<void, std::string> result) mutable {
                                      if (result) {
                                          deliver(configuration);
                                      } else {
                                          deliver(std::unexpected(result.error()));
                                      }
                                  });
        break;
    case Level::display: target->reconfigureDisplay(configuration, deliver); break;
    }
}

void SessionConfigurationManager::finish() {
    busy_ = false;
    if (!pending_) return;
    auto next = std::move(*pending_);
    pending_.reset();
    startApply(std::move(next.settings), std::move(next.origins));
}

void SessionConfigurationManager::broadcast(const std::vector<Origin>& origins, const ConfigResult& result) {
    if (!applied_ || !onApplied) return;
    bool anyClient = false;
    for (const auto& origin : origins) {
        if (origin.kind != Origin::Kind::client) continue;
        anyClient = true;
        onApplied(ConfigApplied{origin.requestID, settings_, *applied_, result});
    }
    if (!anyClient) onApplied(ConfigApplied{std::nullopt, settings_, *applied_, result});
}

void SessionConfigurationManager::ingest(const ClientStats& stats, std::int64_t hostSendDroppedTotal) {
    if (settings_.quality != QualityMode::automatic || !applied_ || busy_) return;
    const AutoQualityController::Sample sample{stats.packetLoss, stats.rttMs, stats.droppedFrames, hostSendDroppedTotal,
                                               nowSeconds()};
    if (const auto tier = auto_.ingest(sample)) {
        schedule(settings_, Origin::automatic(title(*tier) + ": " + auto_.lastReason));
    }
}

void SessionConfigurationManager::setStreamCap(std::int64_t longSide, std::int64_t shortSide) {
    streamCap_ = ConfigurationResolver::StreamCap{longSide, shortSide};
    schedule(settings_, Origin::system(fmt::format("decoder limit {}x{}", longSide, shortSide)));
}

void SessionConfigurationManager::updateScreen(const ScreenInfo& screen) {
    if (screen_ == screen) return;
    screen_ = screen;
    schedule(settings_, Origin::system(std::string("orientation ") + std::string(toText(screen.orientation))));
}

void SessionConfigurationManager::setTransport(TransportKind kind) {
    if (kind == transport_) return;
    transport_ = kind;
    auto_.maxTier = auto_.tier = AutoQualityController::maxTierFor(kind);
    auto_.lastChange = nowSeconds();
    auto_.recentBad.clear();
    auto_.goodStreak = 0;
    if (applied_) schedule(settings_, Origin::system("transport " + std::string(name(kind))));
}

void SessionConfigurationManager::markApplied(const DisplayConfiguration& configuration) {
    applied_ = configuration;
    log_.info("Session configuration: " + settingsTitles(settings_) + " → " + configuration.text());
}

void SessionConfigurationManager::noteDisplayResult(const DisplayConfiguration& requested,
                                                    const DisplayConfiguration& effective) {
    if (!effective.compatibilityNote || requested.compatibilityNote) return;
    if (requested.logicalWidth == effective.logicalWidth && requested.logicalHeight == effective.logicalHeight &&
        requested.scaleFactor == effective.scaleFactor) {
        return;
    }
    compat_ = Compat{requested.logicalWidth, requested.logicalHeight, requested.scaleFactor, effective};
    log_.notice(fmt::format("Display compatibility: {}×{}@{}x → {}×{}@{}x", requested.logicalWidth,
                            requested.logicalHeight, requested.scaleFactor, effective.logicalWidth,
                            effective.logicalHeight, effective.scaleFactor));
}

void SessionConfigurationManager::retryMonitor() {
    if (compat_ && ConfigurationResolver::isMirror(compat_->effective)) compat_.reset();
}

void SessionConfigurationManager::end() {
    applied_.reset();
    pending_.reset();
    ++generation_;
    setState(ApplyState::idle());
}

} // namespace kiv
