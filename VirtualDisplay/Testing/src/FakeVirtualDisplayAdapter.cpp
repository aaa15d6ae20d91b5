#include "VirtualDisplay/Testing/FakeVirtualDisplayAdapter.hpp"

#include <algorithm>
#include <fmt/format.h>

namespace kiv {

class FakeVirtualDisplayObject : public VirtualDisplayObject {
public:
    FakeVirtualDisplayObject(std::weak_ptr<FakeVirtualDisplayAdapter> adapter, std::uint32_t id)
        : adapter_(std::move(adapter)), id_(id) {}
    std::uint32_t displayID() const override { return id_; }

    bool applyModes(const std::vector<VirtualDisplayMode>& modes, bool hiDPI) override {
        auto adapter = adapter_.lock();
        if (!adapter || id_ == 0 || modes.empty()) return false;
        std::string text = fmt::format("apply {} hiDPI={}", id_, hiDPI);
        for (const auto& mode : modes)
            text += " " + mode.text();
        adapter->calls.push_back(text);
        if (adapter->failApply || adapter->refusedSizes.contains({modes.front().width, modes.front().height}))
            return false;
        auto& listed = adapter->displays[id_].listedModes;
        listed.clear();
        const std::uint32_t scale = hiDPI ? 2 : 1;
        for (const auto& mode : modes)
            listed.push_back({mode.width, mode.height, mode.width * scale, mode.height * scale});
        adapter->displays[id_].current = listed.front();
        return true;
    }

    void invalidate() override {
        auto adapter = adapter_.lock();
        if (!adapter || invalidated_) return;
        invalidated_ = true;
        adapter->calls.push_back(fmt::format("invalidate {}", id_));
        auto& display = adapter->displays[id_];
        display.removed = true;
        display.pollsUntilOffline = adapter->offlineAfterPolls;
        if (display.pollsUntilOffline == 0) display.online = false;
    }

private:
    std::weak_ptr<FakeVirtualDisplayAdapter> adapter_;
    std::uint32_t id_;
    bool invalidated_ = false;
};

std::unique_ptr<VirtualDisplayObject> FakeVirtualDisplayAdapter::create(const VirtualDisplayDescriptor& d,
                                                                        std::function<void()> onTerminated) {
    calls.push_back(fmt::format("create '{}' max={}×{} size={:.1f}×{:.1f}mm ids={}/{}/{}", d.name, d.maxPixelsWide,
                                d.maxPixelsHigh, d.widthMillimeters, d.heightMillimeters, d.vendorID, d.productID,
                                d.serialNumber));
    if (!supported || failCreate) return nullptr;
    const std::uint32_t id = createWithZeroID ? 0 : nextID++;
    if (id != 0) {
        auto& display = displays[id];
        display.pollsUntilOnline = onlineAfterPolls;
        display.online = onlineAfterPolls == 0;
        display.onTerminated = std::move(onTerminated);
    }
    return std::make_unique<FakeVirtualDisplayObject>(weak_from_this(), id);
}

bool FakeVirtualDisplayAdapter::isOnline(std::uint32_t displayID) const {
    auto it = displays.find(displayID);
    if (it == displays.end()) return false;
    auto& display = it->second;
    ++pollCounts_[displayID];
    if (!display.removed && !display.online && --display.pollsUntilOnline <= 0)
        display.online = true;
    else if (display.removed && display.online && --display.pollsUntilOffline <= 0)
        display.online = false;
    return display.online;
}

std::vector<ScreenModeInfo> FakeVirtualDisplayAdapter::modes(std::uint32_t displayID) const {
    auto it = displays.find(displayID);
    return it == displays.end() || it->second.removed ? std::vector<ScreenModeInfo>{} : it->second.listedModes;
}

bool FakeVirtualDisplayAdapter::configureMode(std::uint32_t displayID, const ScreenModeInfo& mode) {
    calls.push_back(fmt::format("configure {} {}×{}/{}×{}", displayID, mode.pointWidth, mode.pointHeight,
                                mode.pixelWidth, mode.pixelHeight));
    if (failConfigure) return false;
    auto it = displays.find(displayID);
    if (it == displays.end() || it->second.removed) return false;
    const auto& listed = it->second.listedModes;
    if (std::find(listed.begin(), listed.end(), mode) == listed.end()) return false;
    if (!ignoreConfigure) it->second.current = mode;
    return true;
}

std::optional<ScreenModeInfo> FakeVirtualDisplayAdapter::currentMode(std::uint32_t displayID) const {
    auto it = displays.find(displayID);
    if (it == displays.end() || it->second.removed || !it->second.online) return std::nullopt;
    return it->second.current;
}

std::optional<std::pair<int, int>> FakeVirtualDisplayAdapter::drawnSize(std::uint32_t displayID) const {
    if (!drawnScale) return VirtualDisplayAdapter::drawnSize(displayID);
    const auto mode = currentMode(displayID);
    return mode ? std::optional(mode->drawnAt(*drawnScale)) : std::nullopt;
}

void FakeVirtualDisplayAdapter::terminateBySystem(std::uint32_t displayID) {
    auto& display = displays[displayID];
    display.removed = true;
    display.online = false;
    if (display.onTerminated) display.onTerminated();
}

void FakeVirtualDisplayClock::sleepFor(Duration duration) {
    sleeps.push_back(duration);
    now_ += duration;
    if (onSleep) onSleep(duration);
}

void FakeVirtualDisplayClock::after(Duration delay, std::function<void()> task) {
    pending_.push_back({now_ + delay, order_++, std::move(task)});
}

void FakeVirtualDisplayClock::advance(Duration duration) {
    const auto end = now_ + duration;
    for (;;) {
        auto next = std::min_element(pending_.begin(), pending_.end(), [](const Pending& a, const Pending& b) {
            return a.due != b.due ? a.due < b.due : a.order < b.order;
        });
        if (next == pending_.end() || next->due > end) break;
        now_ = std::max(now_, next->due);
        auto task = std::move(next->task);
        pending_.erase(next);
        task();
    }
    now_ = end;
}

void FakeVirtualDisplayClock::runAllPending() {
    while (!pending_.empty()) {
        auto latest = std::max_element(pending_.begin(), pending_.end(),
                                       [](const Pending& a, const Pending& b) { return a.due < b.due; });
        advance(std::max(Duration{0}, latest->due - now_));
    }
}

} // namespace kiv
