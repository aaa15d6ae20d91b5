// Capture and input on GNOME's compositor, over the monitors MutterDesktop makes.
#include <linux/input-event-codes.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "KivHostCore/Linux/RowBands.hpp"
#include "KivHostCore/Linux/WlrEventPoster.hpp"
#include "KivHostCore/Linux/X11ScreenGrabber.hpp"
#include "MutterDesktopImpl.hpp"

namespace kiv {

namespace {

// What the grabber's posted work reads; touched on the capture queue only.
struct GrabberState {
    GrabberEvents events;
    std::atomic<bool> changePosted{false};
    std::atomic<bool> freshPosted{false}; // some picture since the notice was posted was fresh
};

class MutterScreenGrabber final : public ScreenGrabber {
public:
    explicit MutterScreenGrabber(std::shared_ptr<MutterDesktop::Impl> desktop) : desktop_(std::move(desktop)) {}
    ~MutterScreenGrabber() override { close(); }

    std::expected<void, CaptureError> open(Executor& queue) override {
        if (!desktop_->supported) return std::unexpected(CaptureError::permissionDenied());
        queue_ = queue.handle();
        return {};
    }

    std::optional<ScreenRect> displayRect(std::optional<std::uint32_t> displayID) override {
        if (!displayID) return desktop_->primaryScreen();
        const auto monitor = desktop_->monitor(*displayID);
        return monitor ? monitor->layout() : std::nullopt;
    }

    void watch(ScreenRect rect, GrabberEvents events) override {
        unwatch();
        state_ = std::make_shared<GrabberState>();
        state_->events = std::move(events);
        MutterDesktop::Impl::Watcher watcher;
        watcher.displayID = desktop_->displayShowing(rect).value_or(0);
        const std::weak_ptr<GrabberState> weak = state_;
        watcher.picture = [queue = queue_, weak](bool fresh) {
            const auto state = weak.lock();
            if (!state) return;
            if (fresh) state->freshPosted = true;
            if (state->changePosted.exchange(true)) return; // one notice waits at a time
            queue.post([weak] {
                const auto s = weak.lock();
                if (!s) return;
                s->changePosted = false;
                if (auto handler = s->events.changed) handler(s->freshPosted.exchange(false));
            });
        };
        watcher.layoutChanged = [queue = queue_, weak] {
            queue.post([weak] {
                const auto s = weak.lock();
                if (!s) return;
                if (auto handler = s->events.layoutChanged) handler();
            });
        };
        const std::lock_guard lock(desktop_->watchMutex);
        token_ = ++desktop_->nextWatcher;
        desktop_->watchers[*token_] = std::move(watcher);
    }

    bool grab(ScreenRect rect, PixelBuffer& out, bool) override {
        const auto id = desktop_->displayShowing(rect);
        const auto monitor = id ? desktop_->monitor(*id) : nullptr;
        if (!monitor) return false;
        // The first picture of a monitor comes one compositor frame after it is made.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (monitor->pictures().pictures() == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const auto converting = std::chrono::steady_clock::now();
        auto numbering = pictureNumbers_.take();
        const bool read = monitor->pictures().take(
            [&](const std::uint8_t* pixels, int stride, int width, int height, const RowBands& changed, bool whole) {
                // Only what changed since the buffer's own picture is converted again.
                const auto [rows, tag] = conversions_.record(changed, whole, out.width(), out.height(), out.contentTag);
                if (!rows) {
                    X11ScreenGrabber::convert(pixels, stride, width, height, out);
                } else {
                    for (const auto& band : rows->bands())
                        X11ScreenGrabber::convert(pixels, stride, width, height, out, band);
                }
                out.contentTag = tag;
                out.changes = numbering.next(changed, whole, width, height, out);
                pictureNumbers_ = numbering;
            });
        convertMicros_ = static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - converting)
                .count());
        return read;
    }

    std::uint64_t lastConvertMicros() const override { return convertMicros_; }

    void close() override { unwatch(); }

private:
    void unwatch() {
        if (token_) {
            const std::lock_guard lock(desktop_->watchMutex);
            desktop_->watchers.erase(*token_);
        }
        token_.reset();
        state_.reset();
    }

    std::shared_ptr<MutterDesktop::Impl> desktop_;
    ExecutorHandle queue_;
    std::shared_ptr<GrabberState> state_;
    std::optional<std::uint64_t> token_;
    ConversionHistory conversions_;
    PictureNumbering pictureNumbers_; // forgotten by a grab that fails
    std::uint64_t convertMicros_ = 0;
};

// Input goes to the monitor holding the point, through that monitor's remote-desktop session.
class MutterEventPoster final : public EventPoster {
public:
    explicit MutterEventPoster(std::shared_ptr<MutterDesktop::Impl> desktop) : desktop_(std::move(desktop)) {}

    bool isTrusted() const override { return desktop_->supported; }

    void mouse(MouseEventType type, double x, double y, int) override {
        const auto monitor = moveTo(x, y);
        if (!monitor) return;
        switch (type) {
        case MouseEventType::leftDown: monitor->button(BTN_LEFT, true); break;
        case MouseEventType::leftUp: monitor->button(BTN_LEFT, false); break;
        case MouseEventType::rightDown: monitor->button(BTN_RIGHT, true); break;
        case MouseEventType::rightUp: monitor->button(BTN_RIGHT, false); break;
        case MouseEventType::moved:
        case MouseEventType::leftDragged: break;
        }
    }

    void scroll(std::int32_t verticalPixels, std::int32_t horizontalPixels, double x, double y) override {
        const auto monitor = moveTo(x, y);
        if (!monitor) return;
        // Smooth scrolling in pixels; the compositor's positive axes go down and right.
        monitor->scroll(-std::clamp(horizontalPixels, -10000, 10000), -std::clamp(verticalPixels, -10000, 10000));
    }

    void key(int keyCode, bool down, std::uint64_t) override {
        const auto key = WlrEventPoster::evdevKey(keyCode);
        const auto monitor = [&] {
            const std::lock_guard lock(lastMutex_);
            return last_.lock();
        }();
        if (key == 0 || !monitor) return;
        monitor->key(key, down);
    }

private:
    std::shared_ptr<MutterMonitor> moveTo(double x, double y) {
        ScreenRect where;
        auto monitor = desktop_->monitorAt(x, y, &where);
        if (!monitor) return nullptr;
        monitor->pointerTo(x - where.x, y - where.y);
        const std::lock_guard lock(lastMutex_);
        last_ = monitor;
        return monitor;
    }

    std::shared_ptr<MutterDesktop::Impl> desktop_;
    // Keys go through the session the pointer last used; a key may come from another thread than the pointer.
    std::mutex lastMutex_;
    std::weak_ptr<MutterMonitor> last_;
};

} // namespace

std::unique_ptr<ScreenGrabber> MutterDesktop::makeGrabber() {
    return std::make_unique<MutterScreenGrabber>(impl_);
}

std::shared_ptr<EventPoster> MutterDesktop::poster() {
    return std::make_shared<MutterEventPoster>(impl_);
}

} // namespace kiv
