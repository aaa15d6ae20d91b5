#include "KivReceiver/VideoDecoder.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
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
        for (int col = x0; col < x1; ++col) sum += luma[static_cast<std::size_t>(row * width + col)];
    return sum / (static_cast<double>(x1 - x0) * (y1 - y0));
}

struct VideoDecoder::Impl {
    AVCodecContext* context = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    Bytes annexB;
};

VideoDecoder::VideoDecoder() : impl_(std::make_unique<Impl>()) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    impl_->context = avcodec_alloc_context3(codec);
    impl_->context->thread_count = 1; // one picture out per access unit in
    avcodec_open2(impl_->context, codec, nullptr);
    impl_->packet = av_packet_alloc();
    impl_->frame = av_frame_alloc();
}

VideoDecoder::~VideoDecoder() {
    av_frame_free(&impl_->frame);
    av_packet_free(&impl_->packet);
    avcodec_free_context(&impl_->context);
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
    if (avcodec_send_packet(impl_->context, impl_->packet) < 0) return std::nullopt;
    if (avcodec_receive_frame(impl_->context, impl_->frame) < 0) return std::nullopt;
    const AVFrame* f = impl_->frame;
    DecodedPicture picture{f->width, f->height, std::vector<std::uint8_t>(static_cast<std::size_t>(f->width * f->height)), {}, {}};
    for (int y = 0; y < f->height; ++y)
        std::memcpy(picture.luma.data() + static_cast<std::size_t>(y * f->width), f->data[0] + y * f->linesize[0],
                    static_cast<std::size_t>(f->width));
    if (f->format == AV_PIX_FMT_YUV420P || f->format == AV_PIX_FMT_YUVJ420P) {
        const int cw = (f->width + 1) / 2;
        const int ch = (f->height + 1) / 2;
        for (auto [plane, chroma] : {std::pair{1, &picture.chromaU}, std::pair{2, &picture.chromaV}}) {
            chroma->resize(static_cast<std::size_t>(cw * ch));
            for (int y = 0; y < ch; ++y)
                std::memcpy(chroma->data() + static_cast<std::size_t>(y * cw), f->data[plane] + y * f->linesize[plane],
                            static_cast<std::size_t>(cw));
        }
    }
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
    decoder->thread_count = 1; // as the receiver decodes
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
                for (int x = 0; x < kWidth; ++x) frame->data[0][y * frame->linesize[0] + x] = static_cast<std::uint8_t>((x * 3 + y * 5 + i * 7) ^ (x * y >> 6));
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
            while (avcodec_receive_frame(decoder, decoded) == 0) ++pictures;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        constexpr std::int64_t kMacroblocks = ((kWidth + 15) / 16) * ((kHeight + 15) / 16);
        if (pictures > 0 && seconds > 0) result = static_cast<std::int64_t>(static_cast<double>(pictures * kMacroblocks) / seconds);
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
