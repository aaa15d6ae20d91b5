#include "KivReceiver/VideoDecoder.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <chrono>
#include <cstring>

#include "KivProtocol/H264Bitstream.hpp"

namespace kiv::receiver {

double DecodedPicture::meanLuma(int x, int y, int w, int h) const {
    const int x0 = std::clamp(x, 0, width), y0 = std::clamp(y, 0, height);
    const int x1 = std::clamp(x + w, 0, width), y1 = std::clamp(y + h, 0, height);
    if (x1 <= x0 || y1 <= y0) return 0;
    double sum = 0;
    for (int row = y0; row < y1; ++row)
        for (int col = x0; col < x1; ++col)
            sum += luma[static_cast<std::ptrdiff_t>(row) * lumaStride + col];
    return sum / (static_cast<double>(x1 - x0) * (y1 - y0));
}

namespace {

// The hardware device's surfaces when the decoder offers them, else software.
AVPixelFormat pickFormat(AVCodecContext* context, const AVPixelFormat* formats) {
    for (const AVPixelFormat* format = formats; *format != AV_PIX_FMT_NONE; ++format)
        if (*format == AV_PIX_FMT_VAAPI && context->hw_device_ctx) return *format;
    for (const AVPixelFormat* format = formats; *format != AV_PIX_FMT_NONE; ++format)
        if (*format == AV_PIX_FMT_YUV420P || *format == AV_PIX_FMT_YUVJ420P) return *format;
    return formats[0];
}

// A reference to a decoded frame, and the planes made from it where its layout is not planar.
struct HeldFrame {
    AVFrame* frame = nullptr;
    std::vector<std::uint8_t> chroma;
    HeldFrame() = default;
    HeldFrame(const HeldFrame&) = delete;
    HeldFrame& operator=(const HeldFrame&) = delete;
    ~HeldFrame() { av_frame_free(&frame); }
};

} // namespace

struct VideoDecoder::Impl {
    Options options;
    AVBufferRef* device = nullptr; // VAAPI, when opened
    std::string deviceName;
    std::optional<std::pair<int, int>> hardwareMax;
    AVCodecContext* context = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    AVFrame* transferred = nullptr;
    Bytes annexB;

    void openHardware() {
        if (!options.hardware) return;
        const int logLevel = av_log_get_level();
        av_log_set_level(AV_LOG_QUIET); // a machine without VAAPI is not an error
        for (const char* node : {"/dev/dri/renderD128", "/dev/dri/renderD129"}) {
            if (av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, node, nullptr, 0) == 0) {
                deviceName = node;
                break;
            }
        }
        av_log_set_level(logLevel);
        if (!device) return;
        if (AVHWFramesConstraints* limits = av_hwdevice_get_hwframe_constraints(device, nullptr)) {
            if (limits->max_width > 0 && limits->max_height > 0)
                hardwareMax = std::pair{std::max(limits->max_width, limits->max_height),
                                        std::min(limits->max_width, limits->max_height)};
            av_hwframe_constraints_free(&limits);
        }
    }

    void openCodec() {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        context = avcodec_alloc_context3(codec);
        context->flags |= AV_CODEC_FLAG_LOW_DELAY;
        // Slices decode side by side without holding a picture back; frame threads would.
        context->thread_type = FF_THREAD_SLICE;
        context->thread_count = 2;
        context->get_format = pickFormat;
        if (device) context->hw_device_ctx = av_buffer_ref(device);
        avcodec_open2(context, codec, nullptr);
    }

    void closeCodec() { avcodec_free_context(&context); }

    // The hardware failed on a stream software can take: carry on in software from the next keyframe.
    void dropHardware() {
        closeCodec();
        av_buffer_unref(&device);
        deviceName.clear();
        hardwareMax.reset();
        openCodec();
    }
};

VideoDecoder::VideoDecoder(Options options) : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    impl_->openHardware();
    impl_->openCodec();
    impl_->packet = av_packet_alloc();
    impl_->frame = av_frame_alloc();
    impl_->transferred = av_frame_alloc();
}

VideoDecoder::~VideoDecoder() {
    av_frame_free(&impl_->transferred);
    av_frame_free(&impl_->frame);
    av_packet_free(&impl_->packet);
    impl_->closeCodec();
    av_buffer_unref(&impl_->device);
}

std::string VideoDecoder::backend() const {
    return impl_->device ? "VAAPI hardware (" + impl_->deviceName + ")" : "software (libavcodec)";
}

bool VideoDecoder::isHardware() const {
    return impl_->device != nullptr;
}

std::optional<std::pair<int, int>> VideoDecoder::maxSize() const {
    auto limit = impl_->options.maxSize;
    if (const auto& hw = impl_->hardwareMax) {
        limit = limit ? std::pair{std::min(limit->first, hw->first), std::min(limit->second, hw->second)} : *hw;
    }
    return limit;
}

bool VideoDecoder::tooLarge(int width, int height) const {
    const auto limit = maxSize();
    return limit && (std::max(width, height) > limit->first || std::min(width, height) > limit->second);
}

std::optional<DecodedPicture> VideoDecoder::decode(const Bytes& avcc) {
    const auto units = H264Bitstream::splitAVCC(avcc);
    if (!units || units->empty()) return std::nullopt;
    auto& out = impl_->annexB;
    out.clear();
    for (const auto unit : *units) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), unit.begin(), unit.end());
    }
    impl_->packet->data = out.data();
    impl_->packet->size = static_cast<int>(out.size());
    const int sent = avcodec_send_packet(impl_->context, impl_->packet);
    if (sent < 0) {
        if (impl_->device && sent != AVERROR_INVALIDDATA) impl_->dropHardware();
        return std::nullopt;
    }
    if (avcodec_receive_frame(impl_->context, impl_->frame) < 0) return std::nullopt;
    const AVFrame* f = impl_->frame;
    if (f->format == AV_PIX_FMT_VAAPI) {
        av_frame_unref(impl_->transferred);
        if (av_hwframe_transfer_data(impl_->transferred, f, 0) < 0) {
            impl_->dropHardware();
            return std::nullopt;
        }
        f = impl_->transferred;
    }
    if (f->width <= 0 || f->height <= 0) return std::nullopt;
    auto held = std::make_shared<HeldFrame>();
    held->frame = av_frame_clone(f);
    if (!held->frame) return std::nullopt;
    f = held->frame;
    DecodedPicture picture;
    picture.width = f->width;
    picture.height = f->height;
    picture.luma = f->data[0];
    picture.lumaStride = f->linesize[0];
    const int cw = (f->width + 1) / 2;
    const int ch = (f->height + 1) / 2;
    if (f->format == AV_PIX_FMT_YUV420P || f->format == AV_PIX_FMT_YUVJ420P) {
        picture.chromaU = f->data[1];
        picture.chromaV = f->data[2];
        picture.chromaStride = f->linesize[1];
    } else if (f->format == AV_PIX_FMT_NV12) {
        // Hardware surfaces come with interleaved chroma.
        const auto plane = static_cast<std::size_t>(cw) * static_cast<std::size_t>(ch);
        held->chroma.resize(2 * plane);
        std::uint8_t* u = held->chroma.data();
        std::uint8_t* v = u + plane;
        for (int y = 0; y < ch; ++y) {
            const std::uint8_t* row = f->data[1] + static_cast<std::ptrdiff_t>(y) * f->linesize[1];
            for (int x = 0; x < cw; ++x) {
                u[y * cw + x] = row[2 * x];
                v[y * cw + x] = row[2 * x + 1];
            }
        }
        picture.chromaU = u;
        picture.chromaV = v;
        picture.chromaStride = cw;
    }
    picture.owner = std::move(held);
    return picture;
}

std::optional<std::int64_t> measureDecoderMBPerSecond() {
    constexpr int kWidth = 1920;
    constexpr int kHeight = 1080;
    constexpr int kFrames = 30;
    const AVCodec* encoderCodec = avcodec_find_encoder_by_name("libx264");
    const AVCodec* decoderCodec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!encoderCodec || !decoderCodec) return std::nullopt;
    const int logLevel = av_log_get_level();
    av_log_set_level(AV_LOG_ERROR); // the encoder's banner is not the user's business
    AVCodecContext* encoder = avcodec_alloc_context3(encoderCodec);
    encoder->width = kWidth;
    encoder->height = kHeight;
    encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder->time_base = {1, 30};
    encoder->gop_size = kFrames;
    encoder->bit_rate = 8'000'000;
    av_opt_set(encoder->priv_data, "preset", "ultrafast", 0);
    av_opt_set(encoder->priv_data, "tune", "zerolatency", 0);
    AVCodecContext* decoder = avcodec_alloc_context3(decoderCodec);
    decoder->flags |= AV_CODEC_FLAG_LOW_DELAY; // as the receiver decodes
    decoder->thread_type = FF_THREAD_SLICE;
    decoder->thread_count = 2;
    AVFrame* frame = av_frame_alloc();
    AVFrame* decoded = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    std::vector<std::vector<std::uint8_t>> stream;
    std::optional<std::int64_t> result;
    if (avcodec_open2(encoder, encoderCodec, nullptr) == 0 && avcodec_open2(decoder, decoderCodec, nullptr) == 0) {
        frame->format = AV_PIX_FMT_YUV420P;
        frame->width = kWidth;
        frame->height = kHeight;
        av_frame_get_buffer(frame, 0);
        // Moving gradients: enough detail that the decoder has real work.
        for (int i = 0; i < kFrames; ++i) {
            av_frame_make_writable(frame);
            for (int y = 0; y < kHeight; ++y)
                for (int x = 0; x < kWidth; ++x)
                    frame->data[0][y * frame->linesize[0] + x] =
                        static_cast<std::uint8_t>((x * 3 + y * 5 + i * 7) ^ (x * y >> 6));
            for (int plane = 1; plane < 3; ++plane)
                for (int y = 0; y < kHeight / 2; ++y)
                    std::memset(frame->data[plane] + y * frame->linesize[plane], 128 + plane * i, kWidth / 2);
            frame->pts = i;
            avcodec_send_frame(encoder, frame);
            while (avcodec_receive_packet(encoder, packet) == 0) {
                stream.emplace_back(packet->data, packet->data + packet->size);
                av_packet_unref(packet);
            }
        }
        avcodec_send_frame(encoder, nullptr);
        while (avcodec_receive_packet(encoder, packet) == 0) {
            stream.emplace_back(packet->data, packet->data + packet->size);
            av_packet_unref(packet);
        }
        int pictures = 0;
        const auto start = std::chrono::steady_clock::now();
        for (auto& unit : stream) {
            packet->data = unit.data();
            packet->size = static_cast<int>(unit.size());
            if (avcodec_send_packet(decoder, packet) < 0) continue;
            while (avcodec_receive_frame(decoder, decoded) == 0)
                ++pictures;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        constexpr std::int64_t kMacroblocks = ((kWidth + 15) / 16) * ((kHeight + 15) / 16);
        if (pictures > 0 && seconds > 0)
            result = static_cast<std::int64_t>(static_cast<double>(pictures * kMacroblocks) / seconds);
        packet->data = nullptr;
        packet->size = 0;
    }
    av_packet_free(&packet);
    av_frame_free(&decoded);
    av_frame_free(&frame);
    avcodec_free_context(&decoder);
    avcodec_free_context(&encoder);
    av_log_set_level(logLevel);
    return result;
}

} // namespace kiv::receiver
