#pragma once
// Records every reconfiguration the manager asks for; the test decides when and how each
// asynchronous step completes.
#include <deque>
#include <expected>
#include <string>
#include <vector>

#include "KivHostCore/Service/SessionConfigurationManager.hpp"

namespace kiv {

class FakeReconfigurationTarget : public ReconfigurationTarget {
public:
    struct Call {
        std::string level; // "encoder", "stream" or "display"
        DisplayConfiguration configuration;
    };

    void reconfigureEncoder(const DisplayConfiguration& configuration) override {
        calls.push_back({"encoder", configuration});
    }
    void reconfigureStream(const DisplayConfiguration& configuration, StreamDone done) override {
        calls.push_back({"stream", configuration});
        pendingStream.push_back(std::move(done));
    }
    void reconfigureDisplay(const DisplayConfiguration& configuration, DisplayDone done) override {
        calls.push_back({"display", configuration});
        pendingDisplay.push_back({configuration, std::move(done)});
    }

    // Completes the oldest outstanding step.
    void completeStream(std::expected<void, std::string> result = {}) {
        auto done = std::move(pendingStream.front());
        pendingStream.pop_front();
        done(std::move(result));
    }
    void completeDisplay(std::optional<DisplayConfiguration> effective = std::nullopt) {
        auto [requested, done] = std::move(pendingDisplay.front());
        pendingDisplay.pop_front();
        done(effective.value_or(requested));
    }
    void failDisplay(std::string error) {
        auto [requested, done] = std::move(pendingDisplay.front());
        pendingDisplay.pop_front();
        done(std::unexpected(std::move(error)));
    }

    std::vector<Call> calls;
    std::deque<StreamDone> pendingStream;
    std::deque<std::pair<DisplayConfiguration, DisplayDone>> pendingDisplay;
};

} // namespace kiv
