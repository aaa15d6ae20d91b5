#include "KivHostCore/Linux/X11ScreenGrabber.hpp"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <asio/post.hpp>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <libyuv.h>
#include <mutex>
#include <tuple>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include "KivHostCore/Linux/DamageRecency.hpp"
#include "KivHostCore/Linux/RowBands.hpp"
#include "KivHostCore/Runtime/WorkerPool.hpp"
#include "ReadableWatch.hpp"

namespace kiv {

namespace {
template <class T>
struct FreeDeleter {
    void operator()(T* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter<T>>;

bool intersects(const ScreenRect& r, int x, int y, int w, int h) {
    return x < r.x + r.width && x + w > r.x && y < r.y + r.height && y + h > r.y;
}
} // namespace

struct X11ScreenGrabber::Impl : std::enable_shared_from_this<Impl> {
    explicit Impl(std::string name) : displayName(std::move(name)) {}

    ~Impl() { shutdown(); }

    std::expected<void, CaptureError> open(Executor& executor) {
        if (connection) return {};
        int screenNumber = 0;
        connection = xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber);
        if (xcb_connection_has_error(connection) != 0) {
            shutdown();
            return std::unexpected(CaptureError::permissionDenied());
        }
        auto it = xcb_setup_roots_iterator(xcb_get_setup(connection));
        for (int i = 0; i < screenNumber; ++i)
            xcb_screen_next(&it);
        screen = it.data;
        Reply<xcb_shm_query_version_reply_t> shm(
            xcb_shm_query_version_reply(connection, xcb_shm_query_version(connection), nullptr));
        Reply<xcb_damage_query_version_reply_t> damageVersion(
            xcb_damage_query_version_reply(connection, xcb_damage_query_version(connection, 1, 1), nullptr));
        Reply<xcb_xfixes_query_version_reply_t> fixes(
            xcb_xfixes_query_version_reply(connection, xcb_xfixes_query_version(connection, 4, 0), nullptr));
        Reply<xcb_randr_query_version_reply_t> randr(
            xcb_randr_query_version_reply(connection, xcb_randr_query_version(connection, 1, 5), nullptr));
        if (!shm || !damageVersion) {
            shutdown();
            return std::unexpected(CaptureError::permissionDenied()); // the desktop cannot be read this way
        }
        hasCursor = static_cast<bool>(fixes);
        const auto* damageExtension = xcb_get_extension_data(connection, &xcb_damage_id);
        damageEventBase = damageExtension != nullptr ? damageExtension->first_event : 0;
        const auto* randrExtension = xcb_get_extension_data(connection, &xcb_randr_id);
        randrEventBase = randr && randrExtension != nullptr ? randrExtension->first_event : 0;
        // Layout changes: RandR screen and CRTC/output events, and the root's ConfigureNotify, which
        // is all a logical-monitor change produces.
        const std::uint32_t rootEvents = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        xcb_change_window_attributes(connection, screen->root, XCB_CW_EVENT_MASK, &rootEvents);
        if (randrEventBase != 0) {
            xcb_randr_select_input(connection, screen->root,
                                   XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                       XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
        }
        xcb_flush(connection);
        queue = executor.handle();
        fdWatch = ReadableWatch::start(xcb_get_file_descriptor(connection), queue, [weak = weak_from_this()] {
            const auto impl = weak.lock();
            return impl && impl->connection != nullptr && impl->drain(true);
        });
        return {};
    }

    // Handles every event xcb has, reading the socket too when `read` is set. False once the
    // connection is lost (reported through `lost`).
    bool drain(bool read) {
        bool changed = false;
        bool fresh = false;
        bool layout = false;
        const auto now = DamageRecency::Clock::now();
        while (xcb_generic_event_t* event =
                   read ? xcb_poll_for_event(connection) : xcb_poll_for_queued_event(connection)) {
            const std::uint8_t type = event->response_type & 0x7F;
            if (damageEventBase != 0 && type == damageEventBase + XCB_DAMAGE_NOTIFY) {
                const auto* notify = reinterpret_cast<xcb_damage_notify_event_t*>(event);
                if (intersects(rect, notify->area.x, notify->area.y, notify->area.width, notify->area.height)) {
                    changed = true;
                    fresh = recency.note(notify->area.x - rect.x, notify->area.y - rect.y, notify->area.width,
                                         notify->area.height, now) ||
                            fresh;
                    dirtyRows.add({notify->area.y, notify->area.y + notify->area.height, notify->area.x,
                                   notify->area.x + notify->area.width});
                }
            } else if (type == XCB_CONFIGURE_NOTIFY ||
                       (randrEventBase != 0 && (type == randrEventBase + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                                                type == randrEventBase + XCB_RANDR_NOTIFY))) {
                layout = true;
            }
            std::free(event);
        }
        if (const int error = xcb_connection_has_error(connection); error != 0) {
            reportLost(error);
            return false;
        }
        // Copies: a handler may end the capture, which closes this grabber and clears `events`.
        if (layout) {
            if (auto handler = events.layoutChanged) handler();
        }
        if (changed && connection) {
            if (auto handler = events.changed) handler(fresh);
        }
        return connection != nullptr;
    }

    void reportLost(int code) {
        if (lostReported) return;
        lostReported = true;
        if (auto handler = events.lost) handler("lost the connection to the X server", code);
    }

    std::optional<ScreenRect> displayRect(std::optional<std::uint32_t> displayID) {
        if (!connection) return std::nullopt;
        const ScreenRect whole{0, 0, screen->width_in_pixels, screen->height_in_pixels};
        Reply<xcb_randr_get_monitors_reply_t> monitors(
            xcb_randr_get_monitors_reply(connection, xcb_randr_get_monitors(connection, screen->root, 1), nullptr));
        if (!monitors) return displayID ? std::nullopt : std::optional(whole);
        std::optional<ScreenRect> primary;
        std::optional<ScreenRect> atOrigin;
        for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem > 0;
             xcb_randr_monitor_info_next(&it)) {
            const ScreenRect found{it.data->x, it.data->y, it.data->width, it.data->height};
            if (displayID && it.data->name == *displayID) return found;
            if (it.data->primary != 0) primary = found;
            if (found.x == 0 && found.y == 0 && !atOrigin) atOrigin = found;
        }
        if (displayID) return std::nullopt;
        // The main display is the user's primary monitor (else the one at the origin), not the
        // whole screen, which also holds the monitors made for other devices.
        if (primary && primary->width > 0 && primary->height > 0) return primary;
        if (atOrigin && atOrigin->width > 0 && atOrigin->height > 0) return atOrigin;
        return whole;
    }

    void watch(ScreenRect watched, GrabberEvents handlers) {
        if (!connection) return;
        rect = watched;
        recency.reset(rect.width, rect.height);
        events = std::move(handlers);
        if (damage == 0) {
            damage = xcb_generate_id(connection);
            xcb_damage_create(connection, damage, screen->root, XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES);
            xcb_flush(connection);
        }
    }

    bool ensureSegment(std::size_t bytes) {
        if (shmAddress != nullptr && shmBytes >= bytes) return true;
        releaseSegment();
        shmId = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (shmId < 0) return false;
        void* attachedHere = shmat(shmId, nullptr, 0);
        if (attachedHere == reinterpret_cast<void*>(-1)) {
            shmctl(shmId, IPC_RMID, nullptr);
            return false;
        }
        shmAddress = static_cast<std::uint8_t*>(attachedHere);
        segment = xcb_generate_id(connection);
        const auto attached = xcb_request_check(
            connection, xcb_shm_attach_checked(connection, segment, static_cast<std::uint32_t>(shmId), 0));
        shmctl(shmId, IPC_RMID, nullptr); // freed once both sides detach
        if (attached != nullptr) {
            std::free(attached);
            shmdt(shmAddress);
            shmAddress = nullptr;
            return false;
        }
        shmBytes = bytes;
        return true;
    }

    void releaseSegment() {
        canvasArea.reset();
        if (shmAddress == nullptr) return;
        xcb_shm_detach(connection, segment);
        shmdt(shmAddress);
        shmAddress = nullptr;
        shmBytes = 0;
    }

    // Draws the cursor into the grabbed pixels; returns the part of `area` it drew on.
    static std::optional<RowBand> compositeCursor(const ScreenRect& area, std::uint8_t* pixels,
                                                  const xcb_xfixes_get_cursor_image_reply_t* cursor) {
        const auto* image = xcb_xfixes_get_cursor_image_cursor_image(cursor);
        const int left = cursor->x - cursor->xhot - area.x;
        const int top = cursor->y - cursor->yhot - area.y;
        const int from = std::clamp(top, 0, area.height), to = std::clamp(top + cursor->height, 0, area.height);
        const int first = std::clamp(left, 0, area.width), last = std::clamp(left + cursor->width, 0, area.width);
        for (int cy = 0; cy < cursor->height; ++cy) {
            const int y = top + cy;
            if (y < 0 || y >= area.height) continue;
            for (int cx = 0; cx < cursor->width; ++cx) {
                const int x = left + cx;
                if (x < 0 || x >= area.width) continue;
                const std::uint32_t argb = image[cy * cursor->width + cx]; // premultiplied
                const std::uint32_t alpha = argb >> 24;
                if (alpha == 0) continue;
                auto* dst = pixels + (static_cast<std::size_t>(y) * static_cast<std::size_t>(area.width) +
                                      static_cast<std::size_t>(x)) *
                                         4;
                for (int c = 0; c < 3; ++c) {
                    const std::uint32_t src = (argb >> (8 * c)) & 0xFF;
                    dst[c] =
                        static_cast<std::uint8_t>(std::min<std::uint32_t>(255, src + dst[c] * (255 - alpha) / 255));
                }
            }
        }
        if (from >= to || first >= last) return std::nullopt;
        return RowBand{from, to, first, last};
    }

    bool grab(const ScreenRect& area, PixelBuffer& out, bool showsCursor) {
        if (!connection || area.width <= 0 || area.height <= 0) return false;
        const std::size_t bytes = static_cast<std::size_t>(area.width) * static_cast<std::size_t>(area.height) * 4;
        // After the picture, room for narrow changes fetched on their own (a quarter picture).
        const std::size_t staging = bytes / 4;
        if (!ensureSegment(bytes + staging)) return false;
        // The segment keeps the last picture of `area`: only what was damaged since (and where the
        // cursor was drawn) is fetched again. A wide band comes as full rows that land in place; a
        // narrow one (a bar moving, a key typed) as its own rectangle, copied in after, so a
        // change does not cost the whole width of a large monitor.
        RowBands rows(0, area.height, 0, area.width);
        const bool wholePicture = canvasArea != area;
        Reply<xcb_xfixes_get_cursor_image_reply_t> cursor;
        if (showsCursor && hasCursor)
            cursor.reset(
                xcb_xfixes_get_cursor_image_reply(connection, xcb_xfixes_get_cursor_image(connection), nullptr));
        // A cursor drawn last time stays while it is the same one at the same place and nothing was drawn
        // under it: a pointer resting on the monitor costs no fetch, and its rows join no change beside it.
        const auto cursorKey =
            cursor ? std::optional(std::tuple{cursor->cursor_serial, cursor->x, cursor->y}) : std::nullopt;
        bool cursorKept = false;
        if (!wholePicture) {
            rows = dirtyRows.within(area.x, area.y, area.width, area.height);
            cursorKept = cursorBand && cursorKey && cursorKey == drawnCursor && !rows.touches(*cursorBand);
            if (cursorBand && !cursorKept) rows.add(*cursorBand);
        }
        dirtyRows.clear();
        canvasArea.reset(); // until this grab succeeds
        auto numbering = pictureNumbers.take();
        if (!rows.empty()) {
            // Every band's request goes out before the first reply is waited for.
            std::vector<xcb_shm_get_image_cookie_t> requests;
            std::vector<std::pair<RowBand, std::size_t>> staged; // a rectangle and where it was put
            std::size_t stagingUsed = 0;
            for (auto band : rows.bands()) {
                const std::size_t rectBytes = static_cast<std::size_t>(band.right - band.left) *
                                              static_cast<std::size_t>(band.to - band.from) * 4;
                const bool narrow = (band.right - band.left) * 4 < area.width * 3;
                std::size_t offset = bytes + stagingUsed;
                if (narrow && stagingUsed + rectBytes <= staging) {
                    staged.emplace_back(band, offset);
                    stagingUsed += rectBytes;
                } else {
                    band.left = 0;
                    band.right = area.width;
                    offset = static_cast<std::size_t>(band.from) * static_cast<std::size_t>(area.width) * 4;
                }
                requests.push_back(xcb_shm_get_image(
                    connection, screen->root, static_cast<std::int16_t>(area.x + band.left),
                    static_cast<std::int16_t>(area.y + band.from), static_cast<std::uint16_t>(band.right - band.left),
                    static_cast<std::uint16_t>(band.to - band.from), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment,
                    static_cast<std::uint32_t>(offset)));
            }
            bool fetched = true;
            for (const auto request : requests)
                fetched =
                    Reply<xcb_shm_get_image_reply_t>(xcb_shm_get_image_reply(connection, request, nullptr)) && fetched;
            if (!drain(false)) return false; // events that came in with the reply; a lost server ends here
            if (!fetched) return false;
            for (const auto& [band, offset] : staged) {
                const std::size_t rowBytes = static_cast<std::size_t>(band.right - band.left) * 4;
                for (int y = band.from; y < band.to; ++y)
                    std::memcpy(shmAddress + (static_cast<std::size_t>(y) * static_cast<std::size_t>(area.width) +
                                              static_cast<std::size_t>(band.left)) *
                                                 4,
                                shmAddress + offset + static_cast<std::size_t>(y - band.from) * rowBytes, rowBytes);
            }
        }
        canvasArea = area;
        if (!cursorKept) {
            cursorBand.reset();
            drawnCursor.reset();
            if (cursor) {
                cursorBand = compositeCursor(area, shmAddress, cursor.get());
                if (cursorBand) drawnCursor = cursorKey;
            }
            if (cursorBand) rows.add(*cursorBand);
        }
        const auto converting = std::chrono::steady_clock::now();
        const auto [changed, tag] = conversions.record(rows, wholePicture, out.width(), out.height(), out.contentTag);
        if (!changed) {
            X11ScreenGrabber::convert(shmAddress, area.width * 4, area.width, area.height, out);
        } else {
            for (const auto& band : changed->bands())
                X11ScreenGrabber::convert(shmAddress, area.width * 4, area.width, area.height, out, band);
        }
        out.contentTag = tag;
        // The rows fetched are what changed since the last picture.
        out.changes = numbering.next(rows, wholePicture, area.width, area.height, out);
        pictureNumbers = numbering;
        convertMicros = static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - converting)
                .count());
        return true;
    }

    // On the capture queue (or when nothing else can run: before open, in the destructor).
    void shutdown() {
        if (!connection) return;
        if (damage != 0) xcb_damage_destroy(connection, damage);
        damage = 0;
        releaseSegment();
        events = {};
        lostReported = false;
        auto* closing = std::exchange(connection, nullptr);
        if (auto watch = std::exchange(fdWatch, nullptr))
            watch->stop([closing] { xcb_disconnect(closing); });
        else
            xcb_disconnect(closing);
    }

    std::string displayName;
    xcb_connection_t* connection = nullptr;
    xcb_screen_t* screen = nullptr;
    std::shared_ptr<ReadableWatch> fdWatch; // set and cleared on the capture queue
    ExecutorHandle queue;
    std::uint8_t damageEventBase = 0;
    std::uint8_t randrEventBase = 0;
    GrabberEvents events;
    bool lostReported = false;
    xcb_damage_damage_t damage = 0;
    bool hasCursor = false;
    std::uint64_t convertMicros = 0;      // of the last grab
    RowBands dirtyRows;                   // root rows damaged since the last grab
    DamageRecency recency;                // where in the watched rectangle it was redrawn lately
    std::optional<ScreenRect> canvasArea; // the area whose whole picture the segment holds
    std::optional<RowBand> cursorBand;    // where in it the cursor was drawn
    std::optional<std::tuple<std::uint32_t, std::int16_t, std::int16_t>> drawnCursor; // its serial and place
    ConversionHistory conversions;   // for bringing a recycled buffer up to date
    PictureNumbering pictureNumbers; // forgotten by a failed grab
    ScreenRect rect;
    int shmId = -1;
    std::uint8_t* shmAddress = nullptr;
    std::size_t shmBytes = 0;
    xcb_shm_seg_t segment = 0;
};

X11ScreenGrabber::X11ScreenGrabber(std::string display) : impl_(std::make_shared<Impl>(std::move(display))) {}

X11ScreenGrabber::~X11ScreenGrabber() {
    // A drain may be running on the capture queue: close there, after it. A queue that takes no
    // more work may still be running one, so nothing is closed here then: the Impl closes itself
    // when its last owner, this or that drain, lets go.
    auto impl = impl_;
    impl->queue.post([impl] { impl->shutdown(); });
}

std::expected<void, CaptureError> X11ScreenGrabber::open(Executor& queue) {
    return impl_->open(queue);
}

std::optional<ScreenRect> X11ScreenGrabber::displayRect(std::optional<std::uint32_t> displayID) {
    return impl_->displayRect(displayID);
}

void X11ScreenGrabber::watch(ScreenRect rect, GrabberEvents events) {
    impl_->watch(rect, std::move(events));
}

bool X11ScreenGrabber::grab(ScreenRect rect, PixelBuffer& out, bool showsCursor) {
    return impl_->grab(rect, out, showsCursor);
}

std::uint64_t X11ScreenGrabber::lastConvertMicros() const {
    return impl_->convertMicros;
}

void X11ScreenGrabber::close() {
    impl_->shutdown();
}

namespace {

// Runs `a` here and `b` on the shared pool at the same time. Whoever gets to `b` first runs it:
// when every pool thread is busy (another capture doing the same), it runs here after `a`, so
// two captures waiting on each other's halves can never deadlock.
void inParallel(const std::function<void()>& a, const std::function<void()>& b) {
    struct Shared {
        std::atomic<bool> claimed{false};
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
    };
    auto shared = std::make_shared<Shared>();
    asio::post(WorkerPool::shared().context(), [shared, &b] {
        if (shared->claimed.exchange(true)) return; // the caller ran it (and `b` may be gone)
        b();
        const std::lock_guard lock(shared->mutex);
        shared->done = true;
        shared->finished.notify_one();
    });
    a();
    if (!shared->claimed.exchange(true)) return b();
    std::unique_lock lock(shared->mutex);
    shared->finished.wait(lock, [&] { return shared->done; });
}

} // namespace

void X11ScreenGrabber::convert(const std::uint8_t* bgra, int stride, int width, int height, PixelBuffer& out,
                               std::optional<RowBand> changed) {
    const int outW = out.width();
    const int outH = out.height();
    if (changed && (changed->from >= changed->to || changed->left >= changed->right)) return; // nothing changed
    // Two bands of whole chroma rows, converted side by side: at 1080p one band is ~1.5 ms.
    const auto halves = [](int from, int to, const std::function<void(int from, int to)>& band) {
        const int middle = (from + (to - from) / 2) & ~1;
        if (middle <= from || to - from < 64) return band(from, to);
        inParallel([&] { band(from, middle); }, [&] { band(middle, to); });
    };
    // The output span that a change of source span [first, last) reaches, scaled by `num`/`den`,
    // on even bounds (whole chroma samples); a pixel more each side for the bilinear filter.
    const auto reach = [](int first, int last, int limit, int num, int den) -> std::pair<int, int> {
        const int from = static_cast<int>(static_cast<long long>(first) * num / den) - 2;
        const int to = static_cast<int>((static_cast<long long>(last) * num + den - 1) / den) + 2;
        return {std::clamp(from, 0, limit) & ~1, std::min(limit, (std::clamp(to, 0, limit) + 1) & ~1)};
    };
    // The whole picture reaches the whole output.
    const RowBand source = changed.value_or(RowBand{0, height, 0, width});
    if (width == outW && height == outH) {
        const auto [first, last] = reach(source.from, source.to, outH, 1, 1);
        const auto [left, right] = reach(source.left, source.right, outW, 1, 1);
        halves(first, last, [&](int from, int to) {
            libyuv::ARGBToNV12(bgra + static_cast<std::ptrdiff_t>(from) * stride + left * 4, stride,
                               out.luma() + from * out.lumaStride() + left, out.lumaStride(),
                               out.chroma() + (from / 2) * out.chromaStride() + left, out.chromaStride(), right - left,
                               to - from);
        });
        return;
    }
    // Fit inside the output with the aspect kept; even sizes and offsets keep the chroma aligned.
    const double scale = std::min(double(outW) / width, double(outH) / height);
    const int fitW = std::max(2, static_cast<int>(std::lround(width * scale)) & ~1);
    const int fitH = std::max(2, static_cast<int>(std::lround(height * scale)) & ~1);
    const int offsetX = ((outW - fitW) / 2) & ~1;
    const int offsetY = ((outH - fitH) / 2) & ~1;
    if (!changed && (fitW != outW || fitH != outH)) {
        std::memset(out.luma(), 16, static_cast<std::size_t>(outW) * static_cast<std::size_t>(outH));
        std::memset(out.chroma(), 128, static_cast<std::size_t>(outW) * static_cast<std::size_t>(outH / 2));
    }
    thread_local std::vector<std::uint8_t> scaled;
    scaled.resize(static_cast<std::size_t>(fitW) * static_cast<std::size_t>(fitH) * 4);
    std::uint8_t* const canvas = scaled.data();
    const auto [first, last] = reach(source.from, source.to, fitH, fitH, height);
    const auto [left, right] = reach(source.left, source.right, fitW, fitW, width);
    halves(first, last, [&](int from, int to) {
        libyuv::ARGBScaleClip(bgra, stride, width, height, canvas, fitW * 4, fitW, fitH, left, from, right - left,
                              to - from, libyuv::kFilterBilinear);
        const int y = offsetY + from;
        libyuv::ARGBToNV12(canvas + static_cast<std::ptrdiff_t>(from) * fitW * 4 + left * 4, fitW * 4,
                           out.luma() + y * out.lumaStride() + offsetX + left, out.lumaStride(),
                           out.chroma() + (y / 2) * out.chromaStride() + offsetX + left, out.chromaStride(),
                           right - left, to - from);
    });
}

} // namespace kiv
