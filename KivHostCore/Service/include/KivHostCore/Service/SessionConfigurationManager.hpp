#pragma once
// Holds a session's settings and running configuration, resolves what is wanted now whenever an
// input changes, and applies the smallest step needed (retune encoder, restart stream, change
// display) through the session. One apply at a time; requests arriving meanwhile merge into one
// follow-up apply. A failed step is rolled back. Main-executor confined.
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KivBase/KivLog.hpp"
#include "KivHostCore/Media/AutoQualityController.hpp"
#include "KivHostCore/Runtime/Executor.hpp"
#include "KivHostCore/Service/ApplyState.hpp"
#include "KivHostCore/Service/ConfigurationResolver.hpp"
#include "KivProtocol/ControlMessage.hpp"

namespace kiv {

// Implemented by the session. Completions must be called on the main executor, exactly once.
class ReconfigurationTarget {
public:
    using StreamDone = std::function<void(std::expected<void, std::string>)>;
    using DisplayDone = std::function<void(std::expected<DisplayConfiguration, std::string>)>;

    virtual ~ReconfigurationTarget() = default;
    // Retune the running encoder (bit rate, tier, refinement quality). Cannot fail.
    virtual void reconfigureEncoder(const DisplayConfiguration& configuration) = 0;
    // Restart capture and encoder for a new stream size, frame rate or refinement size.
    virtual void reconfigureStream(const DisplayConfiguration& configuration, StreamDone done) = 0;
    // Change the virtual display (inside the display operation gate); reports the configuration in
    // effect, which may be a compatibility fallback.
    virtual void reconfigureDisplay(const DisplayConfiguration& configuration, DisplayDone done) = 0;
};

class SessionConfigurationManager : public std::enable_shared_from_this<SessionConfigurationManager> {
public:
    struct Origin {
        enum class Kind { client, automatic, system, local };
        Kind kind = Kind::local;
        std::uint32_t requestID = 0;
        std::string reason;

        static Origin client(std::uint32_t id) { return {Kind::client, id, {}}; }
        static Origin automatic(std::string why) { return {Kind::automatic, 0, std::move(why)}; }
        static Origin system(std::string why) { return {Kind::system, 0, std::move(why)}; }
        static Origin local() { return {Kind::local, 0, {}}; }
        std::string text() const; // "device #7", "auto (...)", the reason, "mac"
        bool operator==(const Origin&) const = default;
    };

    static std::shared_ptr<SessionConfigurationManager> create(Executor& main, SessionSettings settings);

    // Callbacks, all on the main executor.
    std::function<void(const Origin&)> onApplying;
    std::function<void(const ConfigApplied&)> onApplied;
    std::function<void(const SessionSettings&)> onSettingsChanged;
    std::function<void(const ApplyState&)> onStateChange;

    void setTarget(std::weak_ptr<ReconfigurationTarget> target) { target_ = std::move(target); }
    void setScreen(std::optional<ScreenInfo> screen) { screen_ = std::move(screen); }
    void setRecommendedFPS(std::int64_t fps) { recommendedFPS_ = fps; }
    void setDecoderMBPerSecond(std::optional<std::int64_t> rate) { decoderMBPerSecond_ = rate; }

    void schedule(const SessionSettings& settings, const Origin& origin);
    void ingest(const ClientStats& stats, std::int64_t hostSendDroppedTotal);
    void setStreamCap(std::int64_t longSide, std::int64_t shortSide);
    void updateScreen(const ScreenInfo& screen);
    void setTransport(TransportKind kind);
    void markApplied(const DisplayConfiguration& configuration);
    void noteDisplayResult(const DisplayConfiguration& requested, const DisplayConfiguration& effective);
    // The desktop draws `effective`'s monitor with `drawn` pixels; later configurations keep
    // their streams within what it draws at that many pixels per point.
    void noteDrawnSize(const DisplayConfiguration& effective, std::pair<int, int> drawn);
    // `config` with its stream no larger than the desktop draws its monitor (as last noted).
    DisplayConfiguration fittedToDrawn(const DisplayConfiguration& config) const;
    std::optional<double> drawnScale() const { return drawnScale_; }
    // A new admission asks for a monitor again, even where the last one had to mirror the desktop.
    void retryMonitor();
    void end();

    const SessionSettings& settings() const { return settings_; }
    const std::optional<DisplayConfiguration>& applied() const { return applied_; }
    const ApplyState& state() const { return state_; }
    TransportKind transport() const { return transport_; }
    const std::optional<ConfigurationResolver::StreamCap>& streamCap() const { return streamCap_; }
    std::optional<std::int64_t> decoderMBPerSecond() const { return decoderMBPerSecond_; }
    QualityTier currentTier() const;
    DisplayConfiguration desiredConfiguration() const;
    bool isBusy() const { return busy_; }
    const AutoQualityController& autoQuality() const { return auto_; }

    SessionConfigurationManager(Executor& main, SessionSettings settings); // use create()

private:
    using Level = ConfigurationResolver::Level;
    using Performed = std::expected<DisplayConfiguration, std::string>;

    struct Pending {
        SessionSettings settings;
        std::vector<Origin> origins;
    };
    struct Compat {
        std::int64_t width = 0;
        std::int64_t height = 0;
        std::int64_t scale = 0;
        DisplayConfiguration effective;
    };

    void startApply(SessionSettings settings, std::vector<Origin> origins);
    void apply(const SessionSettings& settings, const std::vector<Origin>& origins);
    void perform(const DisplayConfiguration& configuration, Level level, std::function<void(Performed)> done);
    void finish();
    void broadcast(const std::vector<Origin>& origins, const ConfigResult& result);
    void setState(ApplyState state);
    double nowSeconds() const;
    std::optional<std::string> changeSummary(const SessionSettings& from, const SessionSettings& to) const;
    std::optional<std::string> autoSummary(const Origin& origin) const;
    static std::string settingsTitles(const SessionSettings& settings);

    Executor& main_;
    KivLogger log_ = KivLog::logger("Session");
    SessionSettings settings_;
    std::optional<DisplayConfiguration> applied_;
    ApplyState state_;
    std::weak_ptr<ReconfigurationTarget> target_;
    std::optional<ScreenInfo> screen_;
    std::int64_t recommendedFPS_ = 30;
    std::optional<std::int64_t> decoderMBPerSecond_;
    std::optional<ConfigurationResolver::StreamCap> streamCap_;
    TransportKind transport_ = TransportKind::wifi;
    AutoQualityController auto_{QualityTier::clear};
    std::optional<Compat> compat_;
    std::optional<double> drawnScale_; // pixels the desktop draws per logical point
    bool busy_ = false;
    std::optional<Pending> pending_;
    MonotonicTime clock_;
    std::uint64_t generation_ = 0; // bumped by end(): results of an older pipeline are dropped
};

} // namespace kiv
