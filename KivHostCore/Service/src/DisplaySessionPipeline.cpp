// The media pipeline of a session: start and stop with generations, capture recovery, sleep and
// wake.
#include <algorithm>
#include <fmt/format.h>
#include <numeric>

#include "KivHostCore/Service/DisplaySession.hpp"

namespace kiv {

void DisplaySession::reconfigureStream(const DisplayConfiguration& configuration, StreamDone done) {
    startStream(configuration, [done = std::move(done)](StreamResult result) {
        if (result) return done({});
        done(std::unexpected(result.error().text));
    });
}

void DisplaySession::startStream(const DisplayConfiguration& config, std::function<void(StreamResult)> done) {
    stream_->start(status_.displayID, config, std::move(done));
}

void DisplaySession::reconfigureEncoder(const DisplayConfiguration& configuration) {
    stream_->retune(configuration);
}

void DisplaySession::stopPipeline() {
    stream_->stop();
}

void DisplaySession::sourceStopped(std::optional<CaptureError> error) {
    if (!active_ || active_->paused || configuration_->isBusy()) return;
    stopPipeline();
    if (displaysAsleep_) {
        log_.info("Capture stopped while displays are asleep, will resume on wake");
        return;
    }
    ++captureRetries_;
    const std::string why = error ? error->text() : std::string();
    if (captureRetries_ > kMaxCaptureRetries) {
        log_.error("Capture failed repeatedly (" + (error ? why : "-") + "), giving up");
        if (active_->link) active_->link->close(ControlMessage{Disconnect{"capture failed"}});
        teardownClient(false);
        return;
    }
    const auto id = status_.displayID;
    const bool offline = id && !virtualDisplay_->isOnline(*id);
    std::string line = "Capture interrupted (" + (error ? why : "no error") + ")";
    if (offline) line += fmt::format(", virtual display {} is offline", *id);
    log_.warning(line + fmt::format(", recovering (attempt {})", captureRetries_));
    recover(offline);
}

void DisplaySession::recover(bool offline) {
    const auto started = main_.now();
    if (offline) {
        pollOffline(started, started + kOfflineDeadline);
        return;
    }
    recoveryTask_ = onMainAfter(kRecoveryDelay, [started](DisplaySession& self) {
        self.resumeStreaming([weak = self.weak_from_this(), started] {
            auto session = weak.lock();
            if (session && session->stream_->isRunning()) {
                session->log_.info(fmt::format(
                    "Capture recovered in {}ms",
                    std::chrono::duration_cast<std::chrono::milliseconds>(session->main_.now() - started).count()));
            }
        });
    });
}

void DisplaySession::pollOffline(MonotonicTime started, MonotonicTime deadline) {
    const auto id = status_.displayID;
    const bool online = id && virtualDisplay_->isOnline(*id);
    if (!online && main_.now() < deadline && !displaysAsleep_) {
        recoveryTask_ = onMainAfter(kOfflinePoll,
                                    [started, deadline](DisplaySession& self) { self.pollOffline(started, deadline); });
        return;
    }
    if (!online) {
        resumeStreaming();
        return;
    }
    if (!active_ || !configuration_->applied()) return;
    startStream(*configuration_->applied(), [weak = weak_from_this(), started, id](StreamResult result) {
        auto self = weak.lock();
        if (!self) return;
        if (result) {
            self->log_.info(fmt::format(
                "Capture recovered in {}ms (virtual display {} back online, not recreated)",
                std::chrono::duration_cast<std::chrono::milliseconds>(self->main_.now() - started).count(), *id));
            self->setService(HostStatus::Service::streaming());
            return;
        }
        self->log_.warning("Capture restart failed: " + result.error().text);
        self->resumeStreaming();
    });
}

void DisplaySession::resumeStreaming(std::function<void()> done) {
    if (!active_ || active_->paused || displaysAsleep_) {
        if (done) done();
        return;
    }
    const auto config = configuration_->applied().value_or(configuration_->desiredConfiguration());
    stopPipeline();
    gate_->run([weak = weak_from_this(), config, done](DisplayOperationGate::Release release) {
        auto self = weak.lock();
        if (!self) return release();
        self->reconfigureDisplayLocked(config, [weak, release, done](auto result) {
            release();
            auto session = weak.lock();
            if (!session) return;
            if (!result) return session->resumeFailed(result.error().text(), done);
            if (!session->active_ || session->active_->paused) {
                if (done) done();
                return;
            }
            session->sender_->setPaused(false);
            session->startStream(*result, [weak, done](StreamResult started) {
                auto again = weak.lock();
                if (!again) return;
                if (!started) return again->resumeFailed(started.error().text, done);
                again->setService(HostStatus::Service::streaming());
                if (done) done();
            });
        });
    });
}

void DisplaySession::resumeFailed(const std::string& text, const std::function<void()>& done) {
    log_.error("Resume failed: " + text);
    setService(HostStatus::Service::error("Resuming the stream failed: " + text));
    if (done) done();
}

void DisplaySession::observePower() {
    if (!platform_.power) return;
    std::weak_ptr<DisplaySession> weak = weak_from_this();
    const auto with = [weak](auto fn) {
        return [weak, fn] {
            if (auto self = weak.lock(); self && !self->isStopped_) fn(*self);
        };
    };
    powerToken_ = platform_.power->observe({
        .displaysDidSleep = with([](DisplaySession& self) {
            self.log_.info("Displays did sleep: capture paused (virtual display kept)");
            self.displaysAsleep_ = true;
            self.stopPipeline();
        }),
        .displaysDidWake = with([](DisplaySession& self) {
            self.log_.info("Displays did wake: resuming capture");
            self.displaysAsleep_ = false;
            self.captureRetries_ = 0;
            self.audio_->retryAfresh();
            self.updateAudio(false);
            self.onMain([](DisplaySession& s) { s.resumeStreaming(); });
        }),
        .systemWillSleep = with([](DisplaySession& self) {
            self.log_.info("Mac will sleep");
            self.stopPipeline();
        }),
        .systemDidWake = with([](DisplaySession& self) {
            self.log_.info("Mac did wake");
            self.displaysAsleep_ = false;
            self.onMain([](DisplaySession& s) { s.resumeStreaming(); });
        }),
    });
}

} // namespace kiv
