#pragma once
// Turns the device's touches into pointer, wheel and keyboard events on the display it shows:
// moves (drags while pressed), clicks with click counting, right clicks, scrolls and desktop
// switches. Everything runs on its queue ("kiv.input"); statistics feed the periodic report.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "KivBase/KivLog.hpp"
#include "KivHostCore/Platform/EventPoster.hpp"
#include "KivHostCore/Platform/KeyValueStore.hpp"
#include "KivHostCore/Runtime/Executor.hpp"
#include "KivProtocol/InputEvent.hpp"

namespace kiv {

class InputEventManager : public std::enable_shared_from_this<InputEventManager> {
public:
    using BoundsProvider = DisplayBoundsProvider;
    // Wall-clock seconds for click counting (the double-click threshold is a wall-clock interval).
    using SecondsClock = std::function<double()>;

    static constexpr double kClickDistance = 8.0;
    static constexpr std::uint64_t kControlFlag = 0x40000;
    static constexpr std::uint64_t kArrowFlags = 0xA40000;

    static std::shared_ptr<InputEventManager> create(Executor& queue, std::shared_ptr<EventPoster> poster,
                                                     BoundsProvider bounds, std::shared_ptr<KeyValueStore> defaults,
                                                     SecondsClock clock);

    void handle(const InputEvent& event); // any thread
    std::optional<std::string> takeStats();

    // Touches go to this display's bounds; setting one ends any mirroring.
    void setDisplayID(std::optional<std::uint32_t> displayID);
    // Without a display of the device's own the stream mirrors the desktop: touches go to this
    // rectangle of it (the X screen) while no display is set.
    void setMirroredScreen(std::optional<Rect> bounds);
    void setEnabled(bool enabled);
    // Test mode: events are mapped and counted but nothing is posted, and no permission is needed.
    void setDryRun(bool dryRun, Rect bounds = Rect{1512, 0, 1280, 960});
    bool isDryRun() const;
    std::function<void()> onUnauthorizedInput;

    InputEventManager(Executor& queue, std::shared_ptr<EventPoster> poster, BoundsProvider bounds,
                      std::shared_ptr<KeyValueStore> defaults, SecondsClock clock); // use create()

private:
    void process(const InputEvent& event);
    int nextClickCount(Point point);
    void post(MouseEventType type, Point point, int clickState);

    Executor& queue_;             // its own; used from its tasks
    const ExecutorHandle handle_; // for events arriving from the links' queues
    std::shared_ptr<EventPoster> poster_;
    BoundsProvider bounds_;
    std::shared_ptr<KeyValueStore> defaults_;
    SecondsClock clock_;
    KivLogger log_ = KivLog::logger("Input");

    mutable std::mutex mutex_; // guards displayID_, mirrored_, enabled_, dryRun_, dryRunBounds_
    std::optional<std::uint32_t> displayID_;
    std::optional<Rect> mirrored_;
    bool enabled_ = true;
    bool dryRun_ = false;
    Rect dryRunBounds_{1512, 0, 1280, 960};

    // Queue-confined.
    bool leftDown_ = false;
    double lastClickTime_ = 0;
    Point lastClickPoint_;
    std::int64_t clickCount_ = 0;
    bool reportedUnauthorized_ = false;

    // Written on the queue, taken from the main thread without waiting for the queue.
    std::mutex statsMutex_;
    std::map<std::string, std::int64_t> stats_;
    std::uint64_t processingUs_ = 0;
    std::uint64_t maxProcessingUs_ = 0;
    std::int64_t droppedUnauthorized_ = 0;
    std::int64_t droppedNoDisplay_ = 0;
    std::optional<std::pair<InputEvent::Kind, Point>> lastMapped_;
};

} // namespace kiv
