#include "KivHostCore/Linux/FfmpegEncoder.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "KivHostCore/Linux/X264Encoder.hpp"
#include "KivProtocol/H264Bitstream.hpp"

namespace kiv {

namespace {

struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

std::string errorText(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

// Borrowed planes for the duration of one send: the frame's references are dropped again
// before the caller's buffer can change.
class ScopedPlaneRefs {
public:
    ScopedPlaneRefs() = default;
    ScopedPlaneRefs(const ScopedPlaneRefs&) = delete;
    ScopedPlaneRefs& operator=(const ScopedPlaneRefs&) = delete;
    ~ScopedPlaneRefs() {
        if (frame_ == nullptr) return;
        av_buffer_unref(&frame_->buf[0]);
        av_buffer_unref(&frame_->buf[1]);
    }
    void attach(AVFrame& frame, const PixelBuffer& buffer) {
        frame_ = &frame;
        const auto borrow = [](const std::uint8_t* data, std::size_t size) {
            return av_buffer_create(
                const_cast<std::uint8_t*>(data), size, [](void*, std::uint8_t*) {}, nullptr, AV_BUFFER_FLAG_READONLY);
        };
        frame.buf[0] = borrow(buffer.luma(), static_cast<std::size_t>(buffer.lumaStride()) *
                                                 static_cast<std::size_t>(buffer.height()));
        frame.buf[1] = borrow(buffer.chroma(), static_cast<std::size_t>(buffer.chromaStride()) *
                                                   static_cast<std::size_t>(buffer.height() / 2));
    }
    explicit operator bool() const {
        return frame_ != nullptr && frame_->buf[0] != nullptr && frame_->buf[1] != nullptr;
    }

private:
    AVFrame* frame_ = nullptr;
};

using OpenedContext = std::expected<std::unique_ptr<AVCodecContext, CodecContextDeleter>, std::string>;

class FfmpegEncoder final : public EncoderBackend {
public:
    FfmpegEncoder(std::unique_ptr<AVCodecContext, CodecContextDeleter> context, std::string name, bool hardware,
                  int fps, double vbvFrames)
        : context_(std::move(context)), name_(std::move(name)), hardware_(hardware), fps_(fps), vbvFrames_(vbvFrames),
          frame_(av_frame_alloc()), packet_(av_packet_alloc()) {}
    ~FfmpegEncoder() override {
        context_.reset();
        // An encoder's pictures are tens of megabytes spread over the worker threads' malloc
        // arenas, which glibc keeps when they are freed; without this the host's memory ratchets
        // up with every stream that ends.
        malloc_trim(0);
    }
    FfmpegEncoder(const FfmpegEncoder&) = delete;
    FfmpegEncoder& operator=(const FfmpegEncoder&) = delete;

    bool isHardware() const override { return hardware_; }
    std::string name() const override { return name_; }

    std::expected<std::vector<EncodedPacket>, int> encode(const PixelBuffer& buffer, std::uint64_t ptsUs,
                                                          bool forceKeyframe) override {
        AVFrame* frame = frame_.get();
        frame->format = AV_PIX_FMT_NV12;
        frame->width = buffer.width();
        frame->height = buffer.height();
        // The encoder copies the picture in; our buffer is only read.
        frame->data[0] = const_cast<std::uint8_t*>(buffer.luma());
        frame->data[1] = const_cast<std::uint8_t*>(buffer.chroma());
        frame->linesize[0] = buffer.lumaStride();
        frame->linesize[1] = buffer.chromaStride();
        // Without a buffer reference libavcodec copies the whole picture into a fresh allocation
        // before the encoder sees it (8 MB and a page fault per 4 KB at 2732x2048). libx264 copies
        // the picture in before the send returns, so a reference that frees nothing is safe there;
        // other encoders may keep the frame, so they keep the copy.
        ScopedPlaneRefs refs;
        if (!hardware_) {
            refs.attach(*frame, buffer);
            if (!refs) return std::unexpected(AVERROR(ENOMEM));
        }
        frame->pts = nextPts_++;
        frame->pict_type = forceKeyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        if (const int sent = avcodec_send_frame(context_.get(), frame); sent < 0) return std::unexpected(sent);
        std::vector<EncodedPacket> packets;
        while (true) {
            const int received = avcodec_receive_packet(context_.get(), packet_.get());
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) break;
            if (received < 0) return std::unexpected(received);
            packets.push_back(toAVCC(*packet_, ptsUs));
            av_packet_unref(packet_.get());
        }
        return packets;
    }

    bool setBitrate(std::int64_t bitrate) override {
        // libx264 reconfigures itself when these change between frames; the hardware encoders'
        // wrappers do not, so for them the answer is no and the caller opens a new encoder.
        if (hardware_) return false;
        // Bit rate, max rate and buffer changed together take effect from the next frame.
        context_->bit_rate = bitrate;
        context_->rc_max_rate = bitrate;
        context_->rc_buffer_size =
            static_cast<int>(std::max(static_cast<double>(bitrate) * vbvFrames_ / std::max(fps_, 1), 1.0));
        return true;
    }

private:
    // x264 with annexb=0 already writes 4-byte lengths; other encoders write start codes.
    static EncodedPacket toAVCC(const AVPacket& packet, std::uint64_t ptsUs) {
        const ByteView data(packet.data, static_cast<std::size_t>(packet.size));
        if (H264Bitstream::splitAVCC(data)) return decodablePacket(data, ptsUs);
        const auto avcc = H264Bitstream::annexBToAVCC(data);
        if (!avcc) return EncodedPacket{.data = {}, .isKeyframe = false, .ptsUs = ptsUs};
        return decodablePacket(*avcc, ptsUs);
    }

    std::unique_ptr<AVCodecContext, CodecContextDeleter> context_;
    std::string name_;
    bool hardware_;
    int fps_;
    double vbvFrames_;
    std::unique_ptr<AVFrame, FrameDeleter> frame_;
    std::unique_ptr<AVPacket, PacketDeleter> packet_;
    std::int64_t nextPts_ = 0;
};

OpenedContext openCodec(const AVCodec* codec, const EncoderOptions& options, const std::string& preset, bool x264,
                        double vbvFrames) {
    std::unique_ptr<AVCodecContext, CodecContextDeleter> context(avcodec_alloc_context3(codec));
    if (!context) return std::unexpected(std::string("out of memory"));
    auto* c = context.get();
    c->width = options.width;
    c->height = options.height;
    c->pix_fmt = AV_PIX_FMT_NV12;
    c->time_base = AVRational{1, std::max(options.fps, 1)};
    c->framerate = AVRational{std::max(options.fps, 1), 1};
    c->max_b_frames = 0;
    c->gop_size = options.quality ? 1 : options.keyframeIntervalFrames;
    c->thread_count = 2;
    c->profile = FF_PROFILE_H264_HIGH;
    // The capture converts with BT.601 limited range; a decoder that guesses reads BT.709 instead.
    c->colorspace = AVCOL_SPC_SMPTE170M;
    c->color_primaries = AVCOL_PRI_SMPTE170M;
    c->color_trc = AVCOL_TRC_SMPTE170M;
    c->color_range = AVCOL_RANGE_MPEG;
    if (options.quality) {
        c->bit_rate = 0;
    } else {
        c->bit_rate = options.bitrate;
        c->rc_max_rate = options.bitrate;
        c->rc_buffer_size = static_cast<int>(
            std::max(static_cast<double>(options.bitrate) * vbvFrames / std::max(options.fps, 1), 1.0));
    }
    AVDictionary* settings = nullptr;
    if (x264) {
        av_dict_set(&settings, "preset", preset.c_str(), 0);
        av_dict_set(&settings, "tune", "zerolatency", 0);
        // Only the still-image encoder comes here (the stream's is openX264Stream).
        av_dict_set(&settings, "x264-params", "annexb=0:8x8dct=1:keyint=1", 0);
        av_dict_set(&settings, "crf", std::to_string(FfmpegEncoderFactory::crfFor(*options.quality)).c_str(), 0);
    }
    const int opened = avcodec_open2(c, codec, &settings);
    av_dict_free(&settings);
    if (opened < 0) return std::unexpected(errorText(opened));
    return context;
}

} // namespace

bool FfmpegEncoderFactory::probe(const void* codecHandle, const EncoderOptions& options) const {
    const auto* codec = static_cast<const AVCodec*>(codecHandle);
    auto context = openCodec(codec, options, preset_, false, vbvFrames_);
    if (!context) return false;
    FfmpegEncoder trial(std::move(*context), codec->name, true, options.fps, vbvFrames_);
    PixelBuffer black(options.width, options.height);
    std::memset(black.luma(), 16,
                static_cast<std::size_t>(black.lumaStride()) * static_cast<std::size_t>(options.height));
    std::memset(black.chroma(), 128,
                static_cast<std::size_t>(black.chromaStride()) * static_cast<std::size_t>(options.height / 2));
    // A low-delay encoder gives its first packet within a few pictures.
    for (int i = 0; i < 4; ++i) {
        auto packets = trial.encode(black, static_cast<std::uint64_t>(i), i == 0);
        if (!packets) return false;
        for (const auto& packet : *packets)
            if (packet.isKeyframe && !packet.data.empty()) return true;
    }
    return false;
}

FfmpegEncoderFactory::FfmpegEncoderFactory(std::string x264Preset, bool tryHardware, double vbvFrames,
                                           double keyframeBudgetSeconds)
    : preset_(std::move(x264Preset)), tryHardware_(tryHardware), vbvFrames_(vbvFrames),
      keyframeBudgetSeconds_(keyframeBudgetSeconds) {
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_ERROR); });
}

int FfmpegEncoderFactory::crfFor(double quality) {
    return std::clamp(static_cast<int>(std::lround(51.0 * (1.0 - quality))), 0, 51);
}

std::expected<std::unique_ptr<EncoderBackend>, std::string> FfmpegEncoderFactory::open(const EncoderOptions& options) {
    if (tryHardware_ && !options.quality) {
        // Probing prints errors for every missing device; they are expected, so keep them quiet.
        const int level = av_log_get_level();
        av_log_set_level(AV_LOG_QUIET);
        // Only encoders that take NV12 from system memory: h264_vaapi needs frames uploaded into
        // its own surfaces, which this pipeline does not do. A candidate must open and turn one
        // picture into a keyframe in a throw-away session before it is used.
        for (const char* name : {"h264_nvenc", "h264_qsv"}) {
            const AVCodec* codec = avcodec_find_encoder_by_name(name);
            if (codec == nullptr || !probe(codec, options)) continue;
            if (auto context = openCodec(codec, options, preset_, false, vbvFrames_)) {
                av_log_set_level(level);
                return std::make_unique<FfmpegEncoder>(std::move(*context), name, true, options.fps, vbvFrames_);
            }
        }
        av_log_set_level(level);
    }
    if (!options.quality) {
        X264StreamSettings stream;
        stream.preset = preset_;
        stream.vbvFrames = vbvFrames_;
        stream.keyframeBudgetSeconds = keyframeBudgetSeconds_;
        stream.streamQp = kStreamQp;
        return openX264Stream(options, stream);
    }
    const AVCodec* x264 = avcodec_find_encoder_by_name("libx264");
    if (x264 == nullptr) return std::unexpected(std::string("libx264 is not available in this libavcodec"));
    auto context = openCodec(x264, options, preset_, true, vbvFrames_);
    if (!context) return std::unexpected("libx264: " + context.error());
    return std::make_unique<FfmpegEncoder>(std::move(*context), "libx264", false, options.fps, vbvFrames_);
}

} // namespace kiv
