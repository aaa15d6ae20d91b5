#include "PipeWireVideo.hpp"

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#include "KivBase/KivLog.hpp"

namespace kiv {

namespace {

const KivLogger& log() {
    static const KivLogger logger = KivLog::logger("Capture");
    return logger;
}

constexpr int kMaxSide = 16384;

// Columns [left, right) of a row that differ; left == right when none.
std::pair<int, int> differing(const std::uint8_t* a, const std::uint8_t* b, int width) {
    const std::size_t bytes = static_cast<std::size_t>(width) * 4;
    if (std::memcmp(a, b, bytes) == 0) return {0, 0};
    constexpr int kBlock = 16; // pixels
    int left = 0;
    while (left + kBlock < width && std::memcmp(a + left * 4, b + left * 4, kBlock * 4) == 0)
        left += kBlock;
    int right = width;
    while (right - kBlock > left && std::memcmp(a + (right - kBlock) * 4, b + (right - kBlock) * 4, kBlock * 4) == 0)
        right -= kBlock;
    return {left, right};
}

} // namespace

struct PipeWireVideo::Loop {
    pw_thread_loop* thread = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    spa_hook coreListener{};
    std::atomic<bool> broken{false};

    ~Loop() {
        if (thread != nullptr) pw_thread_loop_stop(thread);
        if (core != nullptr) pw_core_disconnect(core);
        if (context != nullptr) pw_context_destroy(context);
        if (thread != nullptr) pw_thread_loop_destroy(thread);
    }
    struct Lock {
        explicit Lock(pw_thread_loop* t) : thread(t) { pw_thread_loop_lock(thread); }
        ~Lock() { pw_thread_loop_unlock(thread); }
        pw_thread_loop* thread;
    };
};

struct PipeWireStream::Impl {
    std::shared_ptr<PipeWireVideo::Loop> loop;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    PipeWireVideo::Events events;
    std::uint32_t format = SPA_VIDEO_FORMAT_UNKNOWN;
    int width = 0, height = 0;
    bool endedReported = false;

    mutable std::mutex mutex; // guards what follows, between the loop thread and take()
    std::vector<std::uint8_t> picture;
    int pictureWidth = 0, pictureHeight = 0;
    RowBands changed;
    DamageRecency recency; // where the pictures changed lately
    bool whole = true;
    bool any = false;
    std::uint64_t count = 0;

    void ended(const std::string& why) {
        if (std::exchange(endedReported, true)) return;
        if (events.ended) events.ended(why);
    }

    void onParamChanged(std::uint32_t id, const spa_pod* param) {
        if (param == nullptr || id != SPA_PARAM_Format) return;
        spa_video_info_raw info{};
        if (spa_format_video_raw_parse(param, &info) < 0) return;
        format = info.format;
        width = static_cast<int>(std::min<std::uint32_t>(info.size.width, kMaxSide));
        height = static_cast<int>(std::min<std::uint32_t>(info.size.height, kMaxSide));
        std::uint8_t buffer[256];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_pod* params[1];
        params[0] = static_cast<const spa_pod*>(
            spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
                                       SPA_POD_CHOICE_RANGE_Int(3, 2, 8), SPA_PARAM_BUFFERS_dataType,
                                       SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
        pw_stream_update_params(stream, params, 1);
    }

    void onState(pw_stream_state, pw_stream_state state, const char* error) {
        if (state == PW_STREAM_STATE_ERROR) ended(error != nullptr ? error : "the stream failed");
        if (state == PW_STREAM_STATE_UNCONNECTED) ended("the compositor ended the stream");
    }

    void onProcess() {
        pw_buffer* newest = nullptr;
        while (pw_buffer* next = pw_stream_dequeue_buffer(stream)) {
            if (newest != nullptr) pw_stream_queue_buffer(stream, newest);
            newest = next;
        }
        if (newest == nullptr) return;
        bool fresh = false;
        const bool kept = keep(*newest->buffer, fresh);
        pw_stream_queue_buffer(stream, newest);
        if (kept && events.picture) events.picture(fresh);
    }

    // Copies the rows of the picture that differ from the one kept.
    bool keep(const spa_buffer& buffer, bool& fresh) {
        if (buffer.n_datas < 1 || width <= 0 || height <= 0) return false;
        if (format != SPA_VIDEO_FORMAT_BGRx && format != SPA_VIDEO_FORMAT_BGRA) return false;
        const spa_data& data = buffer.datas[0];
        if (data.data == nullptr || data.chunk == nullptr || data.chunk->size == 0 ||
            (static_cast<std::uint32_t>(data.chunk->flags) & SPA_CHUNK_FLAG_CORRUPTED) != 0)
            return false;
        if (const auto* header = static_cast<const spa_meta_header*>(
                spa_buffer_find_meta_data(&buffer, SPA_META_Header, sizeof(spa_meta_header)));
            header != nullptr && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED) != 0)
            return false;
        const std::int64_t stride = data.chunk->stride;
        const std::uint64_t offset = data.chunk->offset;
        // Everything the compositor says about the layout is checked against the mapped size.
        if (stride < static_cast<std::int64_t>(width) * 4 ||
            offset + static_cast<std::uint64_t>(stride) * static_cast<std::uint64_t>(height) > data.maxsize)
            return false;
        const auto* source = static_cast<const std::uint8_t*>(data.data) + offset;
        const std::size_t row = static_cast<std::size_t>(width) * 4;

        const std::lock_guard lock(mutex);
        if (pictureWidth != width || pictureHeight != height) {
            picture.assign(row * static_cast<std::size_t>(height), 0);
            pictureWidth = width;
            pictureHeight = height;
            whole = true;
            any = false;
        }
        const bool first = !any; // a new picture whole
        RowBands found;
        for (int y = 0; y < height; ++y) {
            const auto* from = source + static_cast<std::ptrdiff_t>(y) * stride;
            auto* to = picture.data() + row * static_cast<std::size_t>(y);
            if (!any) {
                std::memcpy(to, from, row);
                continue;
            }
            const auto [left, right] = differing(from, to, width);
            if (left == right) continue;
            std::memcpy(to + left * 4, from + left * 4, static_cast<std::size_t>(right - left) * 4);
            found.add({y, y + 1, left, right});
        }
        if (!any) whole = true;
        any = true;
        if (found.empty() && !whole) return false; // the same picture again
        fresh = recency.note(found, width, height, DamageRecency::Clock::now()) || first;
        changed.addAll(found);
        ++count;
        return true;
    }
};

std::expected<std::shared_ptr<PipeWireVideo>, std::string> PipeWireVideo::connect(const std::string& remote) {
    static const bool initialised = [] {
        pw_init(nullptr, nullptr);
        return true;
    }();
    static_cast<void>(initialised);
    std::shared_ptr<PipeWireVideo> video(new PipeWireVideo());
    auto loop = std::make_shared<Loop>();
    loop->thread = pw_thread_loop_new("kiv.pipewire", nullptr);
    if (loop->thread == nullptr) return std::unexpected(std::string("no PipeWire loop"));
    loop->context = pw_context_new(pw_thread_loop_get_loop(loop->thread), nullptr, 0);
    if (loop->context == nullptr) return std::unexpected(std::string("no PipeWire context"));
    if (pw_thread_loop_start(loop->thread) < 0) return std::unexpected(std::string("no PipeWire thread"));
    {
        const Loop::Lock lock(loop->thread);
        pw_properties* props =
            remote.empty() ? nullptr : pw_properties_new(PW_KEY_REMOTE_NAME, remote.c_str(), nullptr);
        loop->core = pw_context_connect(loop->context, props, 0);
        if (loop->core == nullptr)
            return std::unexpected("PipeWire does not answer" + (remote.empty() ? std::string() : " at " + remote));
        static const pw_core_events kCore = [] {
            pw_core_events e{};
            e.version = PW_VERSION_CORE_EVENTS;
            e.error = [](void* data, std::uint32_t id, int, int, const char*) {
                if (id == PW_ID_CORE) static_cast<Loop*>(data)->broken = true;
            };
            return e;
        }();
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast" // the listener macro is C
        pw_core_add_listener(loop->core, &loop->coreListener, &kCore, loop.get());
#pragma GCC diagnostic pop
    }
    video->loop_ = std::move(loop);
    return video;
}

PipeWireVideo::~PipeWireVideo() = default;

bool PipeWireVideo::broken() const {
    return loop_->broken;
}

std::unique_ptr<PipeWireStream> PipeWireVideo::open(std::uint32_t node, int width, int height, double rate,
                                                    Events events) {
    auto impl = std::make_unique<PipeWireStream::Impl>();
    impl->loop = loop_;
    impl->events = std::move(events);
    const Loop::Lock lock(loop_->thread);
    impl->stream = pw_stream_new(loop_->core, "kivdisplay",
                                 pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                   PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (impl->stream == nullptr) return nullptr;
    static const pw_stream_events kStream = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = [](void* data, pw_stream_state old, pw_stream_state state, const char* error) {
            static_cast<PipeWireStream::Impl*>(data)->onState(old, state, error);
        };
        e.param_changed = [](void* data, std::uint32_t id, const spa_pod* param) {
            static_cast<PipeWireStream::Impl*>(data)->onParamChanged(id, param);
        };
        e.process = [](void* data) { static_cast<PipeWireStream::Impl*>(data)->onProcess(); };
        return e;
    }();
    pw_stream_add_listener(impl->stream, &impl->listener, &kStream, impl.get());

    std::uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const auto size = SPA_RECTANGLE(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
    const auto fps = static_cast<std::uint32_t>(std::clamp(std::lround(rate), 1L, 1000L));
    const auto none = SPA_FRACTION(0, 1);
    const auto most = SPA_FRACTION(fps, 1);
    const spa_pod* params[1];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA),
        SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&none),
        // A range would be settled at the compositor's default (60): the rate is asked exactly.
        SPA_FORMAT_VIDEO_maxFramerate, SPA_POD_Fraction(&most)));
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                                    PW_STREAM_FLAG_DONT_RECONNECT);
    if (pw_stream_connect(impl->stream, PW_DIRECTION_INPUT, node, flags, params, 1) < 0) {
        log().warning("PipeWire refused a stream of node " + std::to_string(node));
        pw_stream_destroy(impl->stream);
        return nullptr;
    }
    return std::make_unique<PipeWireStream>(std::move(impl));
}

PipeWireStream::PipeWireStream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

PipeWireStream::~PipeWireStream() {
    const PipeWireVideo::Loop::Lock lock(impl_->loop->thread);
    spa_hook_remove(&impl_->listener);
    pw_stream_destroy(impl_->stream);
}

bool PipeWireStream::take(const Reader& read) {
    const std::lock_guard lock(impl_->mutex);
    if (!impl_->any) return false;
    read(impl_->picture.data(), impl_->pictureWidth * 4, impl_->pictureWidth, impl_->pictureHeight, impl_->changed,
         impl_->whole);
    impl_->changed.clear();
    impl_->whole = false;
    return true;
}

std::pair<int, int> PipeWireStream::size() const {
    const PipeWireVideo::Loop::Lock lock(impl_->loop->thread);
    return {impl_->width, impl_->height};
}

std::uint64_t PipeWireStream::pictures() const {
    const std::lock_guard lock(impl_->mutex);
    return impl_->count;
}

} // namespace kiv
