#pragma once
// The comparison pipeline of the end-to-end harness (ffmpeg's x11grab, libx264, raw H.264 over UDP),
// decoded and credited here like our own stream.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <atomic>
#include <thread>
#include <vector>

#include "E2EMeasure.hpp"

namespace kiv::e2e {

// The comparison pipeline: ffmpeg grabs the same area with x11grab, encodes it with libx264
// (ultrafast, zerolatency) and sends raw H.264 over UDP; here libavcodec parses and decodes it.
class Baseline {
public:
    Baseline(Measure& measure, std::uint16_t port) : measure_(measure) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        int size = 8 << 20;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        timeval timeout{0, 100'000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        context_ = avcodec_alloc_context3(codec);
        context_->thread_count = 1;
        context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        avcodec_open2(context_, codec, nullptr);
        parser_ = av_parser_init(AV_CODEC_ID_H264);
        parser_->flags |= PARSER_FLAG_COMPLETE_FRAMES;
        packet_ = av_packet_alloc();
        frame_ = av_frame_alloc();
        thread_ = std::thread([this] { loop(); });
    }
    ~Baseline() {
        stop_ = true;
        thread_.join();
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        av_parser_close(parser_);
        avcodec_free_context(&context_);
        ::close(fd_);
    }
    std::uint64_t bytes() const { return bytes_; }

private:
    void loop() {
        std::vector<std::uint8_t> datagram(65536 + AV_INPUT_BUFFER_PADDING_SIZE);
        while (!stop_) {
            const auto n = ::recv(fd_, datagram.data(), 65536, 0);
            if (n <= 0) continue;
            bytes_ += static_cast<std::uint64_t>(n);
            const std::uint8_t* data = datagram.data();
            int left = static_cast<int>(n);
            while (left > 0) {
                std::uint8_t* out = nullptr;
                int outSize = 0;
                const int used =
                    av_parser_parse2(parser_, context_, &out, &outSize, data, left, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
                data += used;
                left -= used;
                if (outSize > 0) decode(out, outSize);
            }
        }
    }
    void decode(std::uint8_t* data, int size) {
        packet_->data = data;
        packet_->size = size;
        if (avcodec_send_packet(context_, packet_) < 0) return;
        while (avcodec_receive_frame(context_, frame_) == 0) {
            const auto decodedAt = HostClock::nowMicros();
            const std::lock_guard lock(measure_.mutex);
            ++measure_.pictures;
            measure_.credit(readCode(frame_->data[0], frame_->linesize[0], frame_->width, frame_->height), decodedAt, 0,
                            0);
        }
    }

    Measure& measure_;
    int fd_ = -1;
    AVCodecContext* context_ = nullptr;
    AVCodecParserContext* parser_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> bytes_{0};
    std::thread thread_;
};

} // namespace kiv::e2e
