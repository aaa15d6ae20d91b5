#include "KivHostCore/Linux/WlrScreenGrabber.hpp"

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <libyuv.h>
#include <utility>

#include "KivHostCore/Linux/DamageRecency.hpp"
#include "KivHostCore/Linux/RowBands.hpp"
#include "KivHostCore/Linux/X11ScreenGrabber.hpp"
#include "ReadableWatch.hpp"
#include "WaylandClient.hpp"
#include "wlr-screencopy-unstable-v1-client.h"

namespace kiv {

namespace {

constexpr std::uint32_t kFourccXBGR = 0x34324258; // 'XB24'
constexpr std::uint32_t kFourccABGR = 0x34324241; // 'AB24'
constexpr int kMaxSide = 16384;

bool acceptable(std::uint32_t format) {
    return format == WL_SHM_FORMAT_ARGB8888 || format == WL_SHM_FORMAT_XRGB8888 || format == kFourccXBGR ||
           format == kFourccABGR;
}

// A picture in shared memory the compositor can copy into.
struct ShmBuffer {
    wl_buffer* buffer = nullptr;
    std::uint8_t* data = nullptr;
    std::size_t size = 0;
    int width = 0, height = 0, stride = 0;
    std::uint32_t format = 0;
    std::uint32_t flags = 0; // of the copy it holds (y_invert)

    static std::unique_ptr<ShmBuffer> make(wl_shm* shm, std::uint32_t format, int width, int height, int stride) {
        if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide || stride < width * 4 ||
            stride > width * 4 + 4096)
            return nullptr;
        auto b = std::make_unique<ShmBuffer>();
        b->size = static_cast<std::size_t>(stride) * static_cast<std::size_t>(height);
        const int fd = ::memfd_create("kiv-capture", MFD_CLOEXEC);
        if (fd < 0) return nullptr;
        if (::ftruncate(fd, static_cast<off_t>(b->size)) != 0) {
            ::close(fd);
            return nullptr;
        }
        void* mapped = ::mmap(nullptr, b->size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (mapped == MAP_FAILED) {
            ::close(fd);
            return nullptr;
        }
        b->data = static_cast<std::uint8_t*>(mapped);
        wl_shm_pool* pool = wl_shm_create_pool(shm, fd, static_cast<std::int32_t>(b->size));
        b->buffer = wl_shm_pool_create_buffer(pool, 0, width, height, stride, format);
        wl_shm_pool_destroy(pool);
        ::close(fd);
        b->width = width;
        b->height = height;
        b->stride = stride;
        b->format = format;
        return b;
    }
    bool fits(std::uint32_t f, int w, int h, int s) const {
        return format == f && width == w && height == h && stride == s;
    }
    ~ShmBuffer() {
        if (buffer != nullptr) wl_buffer_destroy(buffer);
        if (data != nullptr) ::munmap(data, size);
    }
};

} // namespace

struct WlrScreenGrabber::Impl : std::enable_shared_from_this<Impl> {
    Impl(std::string name, OutputNames lookup) : displayName(std::move(name)), names(std::move(lookup)) {}
    ~Impl() { shutdown(); }

    std::expected<void, CaptureError> open(Executor& executor) {
        if (client) return {};
        std::string why;
        client = WaylandClient::connect(displayName, why);
        if (!client || client->screencopy == nullptr || client->shm == nullptr) {
            client.reset();
            return std::unexpected(CaptureError::permissionDenied());
        }
        client->onOutputsChanged = [this] { layoutDirty = true; };
        queue = executor.handle();
        fdWatch = ReadableWatch::start(client->fd(), queue, [weak = weak_from_this()] {
            const auto impl = weak.lock();
            return impl && impl->client && impl->drain();
        });
        return {};
    }

    // Reads and handles what arrived, then tells the watcher. False once the compositor is gone.
    bool drain() {
        if (!client->pump()) {
            reportLost();
            return false;
        }
        deliver();
        return client != nullptr;
    }

    // Handlers run here only, never from inside a grab; copies, since a handler may close us.
    void deliver() {
        if (std::exchange(layoutDirty, false)) {
            if (auto handler = events.layoutChanged) handler();
        }
        if (client && std::exchange(changedPending, false)) {
            if (auto handler = events.changed) handler(std::exchange(freshPending, false));
        }
    }

    void reportLost() {
        if (lostReported || !client) return;
        lostReported = true;
        if (auto handler = events.lost) handler(client->error(), 0);
    }

    WaylandOutput* outputFor(const ScreenRect& area) const {
        if (!client) return nullptr;
        for (const auto& o : client->outputs())
            if (o->x == area.x && o->y == area.y && o->width == area.width && o->height == area.height) return o.get();
        return client->outputAt(area.x, area.y);
    }

    std::optional<ScreenRect> displayRect(std::optional<std::uint32_t> displayID) {
        if (!client) return std::nullopt;
        client->pump();
        const WaylandOutput* output = nullptr;
        if (displayID) {
            const auto name = names ? names(*displayID) : std::nullopt;
            if (name) output = client->outputNamed(*name);
        } else if (!client->outputs().empty()) {
            output = client->outputs().front().get();
        }
        if (output == nullptr || output->width <= 0 || output->height <= 0) return std::nullopt;
        return ScreenRect{output->x, output->y, output->width, output->height};
    }

    void watch(ScreenRect watched, GrabberEvents handlers) {
        if (!client) return;
        events = std::move(handlers);
        follow(outputFor(watched));
    }

    // Captures `output` from now on (nothing: stops).
    void follow(WaylandOutput* output) {
        const std::string name = output != nullptr ? output->name : std::string();
        if (name == followed && (frame != nullptr || name.empty())) return;
        stopFrame();
        front.reset();
        wholeSinceGrab = true;
        followed = name;
        firstCopy = true;
        if (output != nullptr) request();
    }

    // Ends the copy in flight; what it reported goes with it (it may be of another output's size).
    void stopFrame() {
        if (frame != nullptr) zwlr_screencopy_frame_v1_destroy(frame);
        frame = nullptr;
        frameDamage.clear();
    }

    // Asks for the next copy of the followed output: the first at once, the rest when it changes.
    void request() {
        auto* output = client ? client->outputNamed(followed) : nullptr;
        if (output == nullptr || frame != nullptr) return;
        frame = zwlr_screencopy_manager_v1_capture_output(client->screencopy, cursor ? 1 : 0, output->output);
        frameCursor = cursor;
        offered.reset();
        zwlr_screencopy_frame_v1_add_listener(frame, &kFrame, this);
        wl_display_flush(client->display());
    }

    struct Offer {
        std::uint32_t format;
        int width, height, stride;
    };

    void onBuffer(std::uint32_t format, std::uint32_t width, std::uint32_t height, std::uint32_t stride) {
        if (offered || !acceptable(format) || width > kMaxSide || height > kMaxSide || stride > 4 * kMaxSide + 4096)
            return;
        offered = Offer{format, static_cast<int>(width), static_cast<int>(height), static_cast<int>(stride)};
        if (client->screencopyVersion < 3) onBufferDone();
    }

    void onBufferDone() {
        if (frame == nullptr) return;
        if (!offered) {
            return failFrame(); // nothing we can read (a DMA-BUF only output)
        }
        if (!back || !back->fits(offered->format, offered->width, offered->height, offered->stride))
            back = ShmBuffer::make(client->shm, offered->format, offered->width, offered->height, offered->stride);
        if (!back) return failFrame();
        // The first copy comes at the next frame; later ones wait for something to change.
        if (firstCopy || client->screencopyVersion < 2)
            zwlr_screencopy_frame_v1_copy(frame, back->buffer);
        else
            zwlr_screencopy_frame_v1_copy_with_damage(frame, back->buffer);
        firstCopy = false;
        wl_display_flush(client->display());
    }

    void onFlags(std::uint32_t flags) {
        if (back) back->flags = flags;
    }

    // In buffer pixels; a copy that is upside down reports its damage upside down too.
    void onDamage(std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h) {
        damaged = true;
        if (!back) return;
        const int left = static_cast<int>(std::min<std::uint32_t>(x, kMaxSide));
        const int top = static_cast<int>(std::min<std::uint32_t>(y, kMaxSide));
        const int right = std::min(back->width, left + static_cast<int>(std::min<std::uint32_t>(w, kMaxSide)));
        const int bottom = std::min(back->height, top + static_cast<int>(std::min<std::uint32_t>(h, kMaxSide)));
        if (left >= right || top >= bottom) return;
        if ((back->flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0)
            frameDamage.add({back->height - bottom, back->height - top, left, right});
        else
            frameDamage.add({top, bottom, left, right});
    }

    void onReady() {
        if (frame != nullptr) zwlr_screencopy_frame_v1_destroy(frame);
        frame = nullptr;
        // A copy without damage events (the first, or one of a protocol before them) is new whole.
        if (frameDamage.empty() || !front || !front->fits(back->format, back->width, back->height, back->stride) ||
            front->flags != back->flags) {
            wholeSinceGrab = true;
            freshPending = true;
        } else {
            // Freshness from the rows that really changed: the damage is one rectangle around
            // everything, a key typed and a bar moving far from it alike.
            const auto rows = unchangedRowsLeftOut(frameDamage);
            freshPending = recency.note(rows, back->width, back->height, DamageRecency::Clock::now()) || freshPending;
            sinceGrab.addAll(rows);
        }
        frameDamage.clear();
        std::swap(front, back);
        if (damaged || !everReady) changedPending = true;
        damaged = false;
        everReady = true;
        failures = 0;
        if (frameCursor != cursor) firstCopy = true; // the cursor choice changed: copy at once
        request();
    }

    // wlroots reports one rectangle around everything that changed since the previous copy (the
    // front buffer): rows inside it that hold the same pixels in both copies are left out, so a key
    // typed far from a moving bar is not converted with every row between them. Both buffers have
    // the same size, stride and orientation here.
    RowBands unchangedRowsLeftOut(const RowBands& damage) const {
        RowBands out;
        const int width = back->width;
        const int height = back->height;
        const bool inverted = (back->flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
        for (const auto& band : damage.bands()) {
            const int from = std::clamp(band.from, 0, height);
            const int to = std::clamp(band.to, 0, height);
            const int left = std::clamp(band.left, 0, width);
            const int right = std::clamp(band.right, 0, width);
            if (left >= right) continue;
            const auto bytes = static_cast<std::size_t>(right - left) * 4;
            int run = -1; // first row of the differing rows being gathered
            for (int y = from; y < to; ++y) {
                const int row = inverted ? height - 1 - y : y; // damage is in picture rows
                const auto at = static_cast<std::size_t>(row) * static_cast<std::size_t>(back->stride) +
                                static_cast<std::size_t>(left) * 4;
                const bool differs = std::memcmp(front->data + at, back->data + at, bytes) != 0;
                if (differs && run < 0) run = y;
                if (!differs && run >= 0) {
                    out.add({run, y, left, right});
                    run = -1;
                }
            }
            if (run >= 0) out.add({run, to, left, right});
        }
        return out;
    }

    void failFrame() {
        stopFrame();
        damaged = false;
        frameDamage.clear();
        // An output being changed fails its copies for a moment; a few retries, then wait for
        // the next layout change or grab to ask again.
        if (++failures <= 3) {
            firstCopy = true;
            request();
        }
    }

    static const zwlr_screencopy_frame_v1_listener kFrame;

    bool grab(const ScreenRect& area, PixelBuffer& out, bool showsCursor) {
        if (!client || client->broken() || area.width <= 0 || area.height <= 0) return false;
        cursor = showsCursor;
        auto* output = outputFor(area);
        if (output == nullptr) return false;
        if (output->name != followed) follow(output);
        if (frame == nullptr && !front) {
            failures = 0;
            firstCopy = true;
            request();
        }
        // The first picture of an output: wait for it (one output frame, a few milliseconds).
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (!front && client && !client->broken() && std::chrono::steady_clock::now() < deadline) {
            if (frame == nullptr) return false;
            client->pumpWaiting(50);
        }
        if (changedPending || layoutDirty) {
            queue.post([weak = weak_from_this()] {
                if (const auto impl = weak.lock(); impl && impl->client) impl->deliver();
            });
        }
        if (!front) return false;
        const auto converting = std::chrono::steady_clock::now();
        ShmBuffer& picture = *front;
        if (picture.format == kFourccXBGR || picture.format == kFourccABGR) {
            libyuv::ABGRToARGB(picture.data, picture.stride, picture.data, picture.stride, picture.width,
                               picture.height);
            picture.format = WL_SHM_FORMAT_XRGB8888; // converted in place, once
        }
        const bool inverted = (picture.flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
        const std::uint8_t* first =
            inverted ? picture.data + static_cast<std::ptrdiff_t>(picture.height - 1) * picture.stride : picture.data;
        const int stride = inverted ? -picture.stride : picture.stride;
        // Only what changed since the buffer's own picture is converted again.
        const auto [changed, tag] =
            conversions.record(sinceGrab, wholeSinceGrab, out.width(), out.height(), out.contentTag);
        if (!changed) {
            X11ScreenGrabber::convert(first, stride, picture.width, picture.height, out);
        } else {
            for (const auto& band : changed->bands())
                X11ScreenGrabber::convert(first, stride, picture.width, picture.height, out, band);
        }
        out.contentTag = tag;
        out.changes = pictureNumbers.next(sinceGrab, wholeSinceGrab, picture.width, picture.height, out);
        sinceGrab.clear();
        wholeSinceGrab = false;
        convertMicros = static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - converting)
                .count());
        return true;
    }

    void shutdown() {
        if (!client) return;
        stopFrame();
        front.reset();
        back.reset();
        events = {};
        followed.clear();
        auto closing = std::shared_ptr<WaylandClient>(std::move(client));
        // The watch lets go of the descriptor before the connection closes it.
        if (auto watch = std::exchange(fdWatch, nullptr)) watch->stop([closing] {});
    }

    std::string displayName;
    OutputNames names;
    std::unique_ptr<WaylandClient> client;
    ExecutorHandle queue;
    std::shared_ptr<ReadableWatch> fdWatch;
    GrabberEvents events;
    bool lostReported = false;
    bool layoutDirty = false;
    bool changedPending = false;
    bool freshPending = false; // some damage since the last notice was fresh
    DamageRecency recency;     // in picture rows and columns

    std::string followed; // the output being captured
    zwlr_screencopy_frame_v1* frame = nullptr;
    std::optional<Offer> offered;
    bool firstCopy = true;
    bool damaged = false;
    bool everReady = false;
    bool cursor = true;      // whether copies show the pointer (as the last grab asked)
    bool frameCursor = true; // what the copy in flight was asked for
    int failures = 0;
    std::unique_ptr<ShmBuffer> front; // the newest complete picture
    std::unique_ptr<ShmBuffer> back;  // what the copy in flight writes into
    std::uint64_t convertMicros = 0;
    RowBands frameDamage; // of the copy in flight
    RowBands sinceGrab;   // of the copies completed since the last grab
    PictureNumbering pictureNumbers;
    bool wholeSinceGrab = true; // one of them was new whole
    ConversionHistory conversions;
};

const zwlr_screencopy_frame_v1_listener WlrScreenGrabber::Impl::kFrame{
    [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t format, std::uint32_t width, std::uint32_t height,
       std::uint32_t stride) { static_cast<Impl*>(data)->onBuffer(format, width, height, stride); },
    [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags) { static_cast<Impl*>(data)->onFlags(flags); },
    [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {
        static_cast<Impl*>(data)->onReady();
    },
    [](void* data, zwlr_screencopy_frame_v1*) { static_cast<Impl*>(data)->failFrame(); },
    [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h) {
        static_cast<Impl*>(data)->onDamage(x, y, w, h);
    },
    [](void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {},
    [](void* data, zwlr_screencopy_frame_v1*) { static_cast<Impl*>(data)->onBufferDone(); },
};

WlrScreenGrabber::WlrScreenGrabber(std::string display, OutputNames names)
    : impl_(std::make_shared<Impl>(std::move(display), std::move(names))) {}

WlrScreenGrabber::~WlrScreenGrabber() {
    // A drain may be running on the capture queue: close there, after it. A queue that takes no
    // more work may still be running one, so nothing is closed here then: the Impl closes itself
    // when its last owner, this or that drain, lets go.
    auto impl = impl_;
    impl->queue.post([impl] { impl->shutdown(); });
}

std::expected<void, CaptureError> WlrScreenGrabber::open(Executor& queue) {
    return impl_->open(queue);
}
std::optional<ScreenRect> WlrScreenGrabber::displayRect(std::optional<std::uint32_t> displayID) {
    return impl_->displayRect(displayID);
}
void WlrScreenGrabber::watch(ScreenRect rect, GrabberEvents events) {
    impl_->watch(rect, std::move(events));
}
bool WlrScreenGrabber::grab(ScreenRect rect, PixelBuffer& out, bool showsCursor) {
    return impl_->grab(rect, out, showsCursor);
}
std::uint64_t WlrScreenGrabber::lastConvertMicros() const {
    return impl_->convertMicros;
}
void WlrScreenGrabber::close() {
    impl_->shutdown();
}

} // namespace kiv
