#include "KivReceiver/VideoDecoder.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
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

} // namespace kiv::receiver
