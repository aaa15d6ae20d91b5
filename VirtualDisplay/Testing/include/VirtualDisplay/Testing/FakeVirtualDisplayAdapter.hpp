#pragma once
// A display system that records every call ("create ...", "apply ...", "invalidate 1") and whose
// displays appear and disappear after a chosen number of polls, plus a clock whose sleeps advance
// virtual time at once.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "VirtualDisplay/VirtualDisplayAdapter.hpp"

namespace kiv {

class FakeVirtualDisplayAdapter : public VirtualDisplayAdapter,
                                  public std::enable_shared_from_this<FakeVirtualDisplayAdapter> {
public:
    struct Display {
        bool online = false;
        int pollsUntilOnline = 0;
        int pollsUntilOffline = 0;
        bool removed = false;
        std::vector<ScreenModeInfo> listedModes;
        std::optional<ScreenModeInfo> current; // the first applied mode, then the configured one
        std::function<void()> onTerminated;
    };

    bool supported = true;
    bool failCreate = false;
    bool createWithZeroID = false;
    bool failApply = false;
    bool failConfigure = false;
    // Sizes (points) the server cannot make: applying one as a display's main mode fails.
    std::set<std::pair<std::uint32_t, std::uint32_t>> refusedSizes;
    // configureMode answers true but the display keeps showing its previous mode.
    bool ignoreConfigure = false;
    // isOnline calls answered "not yet" / "still there" before a new / invalidated display flips.
    int onlineAfterPolls = 0;
    int offlineAfterPolls = 0;
    // Pixels per point the desktop draws a HiDPI mode with; unset: the mode's own pixels.
    std::optional<double> drawnScale;
    std::vector<std::string> calls;
    mutable std::map<std::uint32_t, Display> displays; // polling flips a display's state
    std::uint32_t nextID = 1;

    bool isSupported() const override { return supported; }
    std::unique_ptr<VirtualDisplayObject> create(const VirtualDisplayDescriptor& descriptor,
                                                 std::function<void()> onTerminated) override;
    bool isOnline(std::uint32_t displayID) const override;
    std::vector<ScreenModeInfo> modes(std::uint32_t displayID) const override;
    bool configureMode(std::uint32_t displayID, const ScreenModeInfo& mode) override;
    std::optional<ScreenModeInfo> currentMode(std::uint32_t displayID) const override;
    std::optional<std::pair<int, int>> drawnSize(std::uint32_t displayID) const override;

    // Someone else removed the display: runs the termination handler as the main queue would.
    void terminateBySystem(std::uint32_t displayID);
    std::vector<std::string> take() { return std::exchange(calls, {}); }

private:
    friend class FakeVirtualDisplayObject;
    mutable std::map<std::uint32_t, int> pollCounts_;
};

class FakeVirtualDisplayClock : public VirtualDisplayClock {
public:
    Duration now() const override { return now_; }
    // Advances virtual time and records the sleep.
    void sleepFor(Duration duration) override;
    void after(Duration delay, std::function<void()> task) override;
    // Runs every `after` task due within `duration`, in time order, advancing time to each.
    void advance(Duration duration);
    void runAllPending();
    std::vector<Duration> sleeps;
    // Called inside each blocking sleep, on the sleeping thread (to look at the manager meanwhile).
    std::function<void(Duration)> onSleep;

private:
    struct Pending {
        Duration due;
        std::uint64_t order;
        std::function<void()> task;
    };
    Duration now_{0};
    std::uint64_t order_ = 0;
    std::vector<Pending> pending_;
};

} // namespace kiv
