#pragma once
// Brings a device's virtual display to a configuration: the wanted mode first, then each rung of
// the compatibility ladder, reusing, switching or recreating the display and checking what the
// server really shows before a rung counts. The blocking work runs on the display queue (its
// waits serialise display changes); results come back on the main executor.
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "KivBase/KivLog.hpp"
#include "KivHostCore/Runtime/Executor.hpp"
#include "KivProtocol/SessionSettings.hpp"
#include "VirtualDisplay/VirtualDisplayManager.hpp"

namespace kiv {

// Why a display could not be brought to a configuration.
struct DisplayModeError {
    enum class Kind { mismatch, offline };
    Kind kind = Kind::mismatch;
    std::string requested;
    std::string effective;       // mismatch
    std::uint32_t displayID = 0; // offline
    std::string text() const;
};

class DisplayController : public std::enable_shared_from_this<DisplayController> {
public:
    struct Ensured {
        std::optional<std::uint32_t> displayID;   // none when virtual displays are off
        DisplayConfiguration effective;           // the rung that held, with its compatibility note
        std::optional<std::pair<int, int>> drawn; // the pixels the desktop draws it with, when known
    };
    using Result = std::expected<Ensured, DisplayModeError>;
    // The display to ask the server for, for one rung. Runs on main.
    using Describe = std::function<VirtualDisplayConfiguration(const DisplayConfiguration&)>;

    static constexpr Duration kOfflineReuseWait = std::chrono::seconds(5);
    static constexpr Duration kOfflineReusePoll = std::chrono::milliseconds(100);
    static constexpr Duration kVerifyPoll = std::chrono::milliseconds(50);
    static constexpr Duration kReuseVerify = std::chrono::milliseconds(600);
    static constexpr Duration kModeWait = std::chrono::milliseconds(1500);
    static constexpr Duration kVerify = std::chrono::milliseconds(1000);
    static constexpr Duration kQuickVerify = std::chrono::milliseconds(500);

    static std::shared_ptr<DisplayController> create(Executor& main, Executor& displayQueue,
                                                     std::shared_ptr<VirtualDisplayManager> display,
                                                     std::shared_ptr<VirtualDisplayClock> clock,
                                                     bool useVirtualDisplay);

    // Tries `config`, then its ladder; an offline display gets one more try of the same rung.
    // `done` runs on main unless the controller is gone by then.
    void bring(const DisplayConfiguration& config, Describe describe, std::function<void(Result)> done);

    DisplayController(Executor& main, Executor& displayQueue, std::shared_ptr<VirtualDisplayManager> display,
                      std::shared_ptr<VirtualDisplayClock> clock, bool useVirtualDisplay); // use create()

private:
    struct Request {
        DisplayConfiguration config;
        VirtualDisplayConfiguration display;
        bool quick = false; // a ladder rung: shorter verification
    };
    using Ladder = std::shared_ptr<const std::vector<DisplayConfiguration>>;

    void tryRung(Ladder ladder, std::size_t index, bool retried, std::shared_ptr<Describe> describe,
                 std::function<void(Result)> done);
    // Display queue only.
    Result ensureBlocking(const Request& request);
    bool verifyBlocking(const ScreenModeInfo& wanted, const std::string& label, Duration limit);
    bool waitBlocking(Duration limit, Duration poll, const std::function<bool()>& done);

    Executor& main_;
    Executor& queue_;
    std::shared_ptr<VirtualDisplayManager> display_;
    std::shared_ptr<VirtualDisplayClock> clock_;
    const bool useVirtualDisplay_;
    KivLogger log_ = KivLog::logger("Session");
};

} // namespace kiv
