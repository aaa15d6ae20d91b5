#pragma once
// Owns at most one virtual display for one device session: creates it, changes its resolution in
// place or by recreating it, selects a listed mode, destroys it, and notices when someone else
// removes it. Every create, destroy and resolution change in the process is serialised, settle
// waits included, so one display's reconfiguration finishes before the next begins.
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "VirtualDisplay/VirtualDisplayAdapter.hpp"
#include "VirtualDisplay/VirtualDisplayTypes.hpp"

namespace kiv {

class VirtualDisplayManager : public std::enable_shared_from_this<VirtualDisplayManager> {
public:
    // The settle waits around display changes.
    static constexpr VirtualDisplayClock::Duration kPollInterval = std::chrono::milliseconds(50);
    static constexpr VirtualDisplayClock::Duration kOnlineWait = std::chrono::milliseconds(1500);
    static constexpr VirtualDisplayClock::Duration kOfflineWait = std::chrono::milliseconds(2000);
    static constexpr VirtualDisplayClock::Duration kSettle = std::chrono::milliseconds(300);

    static std::shared_ptr<VirtualDisplayManager> create(std::shared_ptr<VirtualDisplayAdapter> adapter,
                                                         std::shared_ptr<VirtualDisplayClock> clock);
    ~VirtualDisplayManager(); // releases the display, which removes it
    VirtualDisplayManager(const VirtualDisplayManager&) = delete;
    VirtualDisplayManager& operator=(const VirtualDisplayManager&) = delete;

    bool isSupported() const;
    bool isActive() const;
    std::optional<std::uint32_t> getDisplayID() const;
    std::optional<VirtualDisplayConfiguration> configuration() const;
    // Runs on the adapter's main queue, after the display has been forgotten. Set before use.
    void setOnTerminated(std::function<void()> handler);

    // The calls below block the caller's queue for the settle waits: run them on a queue with a
    // thread of its own. The manager's own lock is never held while waiting, so the readers
    // above answer at once from any thread.
    std::expected<std::uint32_t, VirtualDisplayError> createDisplay(const VirtualDisplayConfiguration& configuration);
    std::expected<std::uint32_t, VirtualDisplayError> setResolution(const VirtualDisplayMode& mode);
    void destroyDisplay();

    bool selectMode(std::uint32_t pointWidth, std::uint32_t pointHeight, std::uint32_t pixelWidth,
                    std::uint32_t pixelHeight);
    // Calls `completion(true)` once the mode is listed, `completion(false)` at the deadline or when
    // there is no display. Holds no lock while waiting; `completion` always runs on the clock's
    // queue, never inside this call.
    void waitForMode(std::uint32_t pointWidth, std::uint32_t pointHeight, std::uint32_t pixelWidth,
                     std::uint32_t pixelHeight, double timeoutSeconds, std::function<void(bool)> completion);

    bool isOnline(std::uint32_t displayID) const;
    // The mode the held display shows now, as the system reports it; nothing without a display.
    std::optional<ScreenModeInfo> currentMode() const;
    // The pixels the held display is drawn with now; nothing without a display.
    std::optional<std::pair<int, int>> drawnSize() const;
    // Whether the held display lists `mode`.
    bool listsMode(const ScreenModeInfo& mode) const;

private:
    struct MaxPixels {
        std::uint32_t wide = 0;
        std::uint32_t high = 0;
    };

    VirtualDisplayManager(std::shared_ptr<VirtualDisplayAdapter> adapter, std::shared_ptr<VirtualDisplayClock> clock);
    static std::recursive_mutex& globalLock();
    std::uint32_t displayIDLocked() const;
    std::expected<std::uint32_t, VirtualDisplayError> createLocked(const VirtualDisplayConfiguration& configuration);
    bool isModeListed(std::uint32_t displayID, const ScreenModeInfo& wanted) const;
    void pollMode(std::uint32_t displayID, ScreenModeInfo wanted, VirtualDisplayClock::Duration deadline,
                  std::function<void(bool)> completion);
    void handleSystemTermination();

    const std::shared_ptr<VirtualDisplayAdapter> adapter_;
    const std::shared_ptr<VirtualDisplayClock> clock_;
    mutable std::recursive_mutex lock_;
    std::unique_ptr<VirtualDisplayObject> display_;
    MaxPixels maxPixels_;
    std::optional<VirtualDisplayConfiguration> configuration_;
    std::function<void()> onTerminated_;
};

} // namespace kiv
