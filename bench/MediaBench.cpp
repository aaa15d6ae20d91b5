// Media figures on this machine: X11 capture (Xvfb started here), BGRA -> NV12 conversion, x264
// encoding, capture-to-encoded latency, and what the keyframe budget buys.
// Prints figures; never gates CI.   kiv_bench_media [--frames N] [--keyframes]
extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>
#include <xcb/xcb.h>

#include "KivHostCore/Linux/FfmpegEncoder.hpp"
#include "KivHostCore/Linux/X11ScreenGrabber.hpp"
#include "KivHostCore/Media/H264Encoder.hpp"
#include "KivHostCore/Media/ScreenCaptureManager.hpp"
#include "KivHostCore/Media/SyntheticFrameSource.hpp"
#include "KivHostCore/Runtime/SerialQueue.hpp"
#include "KivHostCore/Testing/LumaPsnr.hpp"
#include "KivHostCore/Testing/TestServers.hpp"
#include "KivHostCore/Testing/XPainter.hpp"
#include "KivProtocol/H264Bitstream.hpp"
#include "KivProtocol/HostClock.hpp"

using namespace kiv;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct Stats {
    double p50 = 0, p95 = 0, mean = 0;
};
Stats stats(std::vector<double> v) {
    if (v.empty()) return {};
    std::sort(v.begin(), v.end());
    double sum = 0;
    for (const double x : v)
        sum += x;
    return {v[v.size() / 2], v[static_cast<std::size_t>(0.95 * double(v.size() - 1))], sum / double(v.size())};
}
double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// Desktop-like content: the synthetic gradient and bar plus a few noise blocks per frame.
void desktopFrame(PixelBuffer& b, int index, std::mt19937& rng) {
    SyntheticFrameSource::draw(b, index);
    for (int k = 0; k < 6; ++k) {
        const int x = static_cast<int>(rng() % static_cast<unsigned>(b.width() - 64));
        const int y = static_cast<int>(rng() % static_cast<unsigned>(b.height() - 32));
        for (int row = 0; row < 32; ++row) {
            for (int col = 0; col < 64; ++col)
                b.luma()[(y + row) * b.lumaStride() + x + col] = static_cast<std::uint8_t>(rng());
        }
    }
}

// Black strokes on white and a photo-like gradient: text that a tight rate control blurs.
void textFrame(PixelBuffer& b, int index) {
    std::mt19937 rng(7);
    std::memset(b.luma(), 235, static_cast<std::size_t>(b.width() * b.height()));
    std::memset(b.chroma(), 128, static_cast<std::size_t>(b.width() * b.height() / 2));
    for (int line = 40; line + 12 < b.height() / 2; line += 20) {
        for (int x = 40; x + 8 < b.width() - 40; x += 9) {
            if (rng() % 5 == 0) continue;
            const int glyph = static_cast<int>(rng() % 3);
            for (int row = 0; row < 12; ++row) {
                for (int col = 0; col < 7; ++col) {
                    if ((col + row + glyph) % 3 == 0 || col == glyph)
                        b.luma()[(line + row) * b.lumaStride() + x + col] = 16;
                }
            }
        }
    }
    for (int y = b.height() / 2; y < b.height(); ++y) {
        for (int x = 0; x < b.width() / 2; ++x)
            b.luma()[y * b.lumaStride() + x] = static_cast<std::uint8_t>(16 + (x + y + index) % 200);
    }
}

class Decoder {
public:
    Decoder()
        : c_(avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264))), p_(av_packet_alloc()),
          f_(av_frame_alloc()) {
        avcodec_open2(c_, avcodec_find_decoder(AV_CODEC_ID_H264), nullptr);
    }
    ~Decoder() {
        av_frame_free(&f_);
        av_packet_free(&p_);
        avcodec_free_context(&c_);
    }
    double psnr(const Bytes& avcc, const PixelBuffer& source) {
        Bytes annexB;
        if (const auto units = H264Bitstream::splitAVCC(avcc)) {
            for (const auto unit : *units) {
                annexB.insert(annexB.end(), {0, 0, 0, 1});
                annexB.insert(annexB.end(), unit.begin(), unit.end());
            }
        }
        p_->data = annexB.data();
        p_->size = static_cast<int>(annexB.size());
        if (avcodec_send_packet(c_, p_) < 0 || avcodec_receive_frame(c_, f_) < 0) return 0;
        return test::lumaPsnr(f_->data[0], f_->linesize[0], source.luma(), source.lumaStride(), f_->width, f_->height);
    }

private:
    AVCodecContext* c_;
    AVPacket* p_;
    AVFrame* f_;
};

void captureAndConvert(const std::string& display, int w, int h, int frames) {
    SerialQueue queue("kiv.capture");
    X11ScreenGrabber grabber(display);
    if (!grabber.open(queue)) return;
    PixelBuffer out(w, h);
    test::Painter painter(display);
    std::vector<double> grab;
    for (int i = 0; i < frames; ++i) {
        painter.fill(0x102030u * static_cast<std::uint32_t>(i % 7), 0, 0, w, h,
                     false); // changing content, as a busy desktop
        const auto t = Clock::now();
        grabber.grab({0, 0, w, h}, out, true);
        grab.push_back(msSince(t));
    }
    std::vector<std::uint8_t> bgra(static_cast<std::size_t>(w * h * 4), 0x5A);
    std::vector<double> convert;
    for (int i = 0; i < frames; ++i) {
        const auto t = Clock::now();
        X11ScreenGrabber::convert(bgra.data(), w * 4, w, h, out);
        convert.push_back(msSince(t));
    }
    const auto g = stats(grab);
    const auto c = stats(convert);
    std::printf(
        "capture %dx%d: grab+convert p50 %.2f ms p95 %.2f ms (%.0f fps); BGRA->NV12 alone p50 %.2f ms p95 %.2f ms\n", w,
        h, g.p50, g.p95, 1000.0 / g.mean, c.p50, c.p95);
}

void encode(int w, int h, std::int64_t bitrate, int frames) {
    FfmpegEncoderFactory factory;
    auto backend = factory.open({w, h, 60, bitrate, 120, std::nullopt});
    if (!backend) return;
    std::mt19937 rng(1);
    PixelBuffer frame(w, h);
    std::vector<double> times;
    std::size_t bytes = 0;
    for (int i = 0; i < frames; ++i) {
        desktopFrame(frame, i, rng);
        const auto t = Clock::now();
        const auto packets = (*backend)->encode(frame, static_cast<std::uint64_t>(i), false);
        times.push_back(msSince(t));
        if (packets) {
            for (const auto& p : *packets)
                bytes += p.data.size();
        }
    }
    const auto s = stats(times);
    std::printf(
        "encode %dx%d @ %.0f Mbit/s (%s, ultrafast): p50 %.2f ms p95 %.2f ms, %.0f fps, actual %.1f Mbit/s at 60 fps\n",
        w, h, double(bitrate) / 1e6, (*backend)->name().c_str(), s.p50, s.p95, 1000.0 / s.mean,
        double(bytes) * 8 / (double(frames) / 60.0) / 1e6);
}

void pipelineLatency(const std::string& display, int w, int h, int frames) {
    SerialQueue captureQueue("kiv.capture");
    SerialQueue encoderQueue("kiv.encoder");
    FfmpegEncoderFactory factory;
    auto encoder = *H264Encoder::create({w, h, 60, 8'000'000, 2.0, std::nullopt}, factory, encoderQueue, nullptr);
    auto capture = ScreenCaptureManager::create(std::make_unique<X11ScreenGrabber>(display), captureQueue, nullptr);
    capture->onFrame = [&](std::shared_ptr<PixelBuffer> buffer, std::uint64_t at) {
        encoder->encode(std::move(buffer), at);
    };
    std::mutex mutex;
    std::vector<std::uint64_t> encodedAt;
    encoder->onEncoded = [&](EncodedFrame) {
        const std::lock_guard lock(mutex);
        encodedAt.push_back(HostClock::nowMicros());
    };
    std::atomic<bool> started{false};
    capture->start(std::nullopt, w, h, 60, [&](auto) { started = true; });
    test::waitUntil([&] { return started.load(); }, 10s);
    test::waitUntil(
        [&] {
            const std::lock_guard lock(mutex);
            return !encodedAt.empty();
        },
        10s);
    test::Painter painter(display);
    std::vector<double> latency;
    for (int i = 0; i < frames; ++i) {
        std::size_t before = 0;
        {
            const std::lock_guard lock(mutex);
            before = encodedAt.size();
        }
        const auto drawnAt = HostClock::nowMicros();
        painter.fill(0x300000u + static_cast<std::uint32_t>(i) * 0x010203u, (i * 37) % (w - 200), (i * 53) % (h - 200),
                     200, 200, false);
        if (!test::waitUntil(
                [&] {
                    const std::lock_guard lock(mutex);
                    return encodedAt.size() > before;
                },
                2s, std::chrono::milliseconds(0))) {
            continue;
        }
        const std::lock_guard lock(mutex);
        latency.push_back(double(encodedAt[before] - drawnAt) / 1000.0);
        std::this_thread::sleep_for(20ms); // one change per frame interval, as a person would draw
    }
    capture->stop();
    encoder->invalidate();
    const auto s = stats(latency);
    std::printf("draw -> damage -> grab -> encoded, %dx%d: p50 %.2f ms p95 %.2f ms (%zu samples)\n", w, h, s.p50, s.p95,
                latency.size());
}

void keyframeStudy() {
    const int w = 1920, h = 1080;
    std::printf(
        "keyframe budget vs picture (1080p text + photo, 8 Mbit/s, one-frame buffer, forced keyframe at frame 60):\n");
    for (const double budget : {0.0, 0.25, FfmpegEncoderFactory::kKeyframeBudgetSeconds, 0.6}) {
        FfmpegEncoderFactory factory("ultrafast", false, 1.0, budget);
        auto backend = factory.open({w, h, 60, 8'000'000, 120, std::nullopt});
        Decoder decoder;
        PixelBuffer frame(w, h);
        double psnr[63] = {};
        std::size_t bytes[63] = {};
        double keyMs = 0;
        std::vector<double> others;
        for (int i = 0; i <= 62; ++i) {
            textFrame(frame, i);
            const auto started = Clock::now();
            const auto packets = (*backend)->encode(frame, static_cast<std::uint64_t>(i), i == 60);
            (i == 60 ? keyMs : others.emplace_back()) = msSince(started);
            if (!packets || packets->empty()) continue;
            psnr[i] = decoder.psnr(packets->front().data, frame);
            bytes[i] = packets->front().data.size();
        }
        std::printf(
            "  budget %.2f s: first picture %zu KB %.1f dB; frame 59 %.1f dB; forced keyframe %zu KB in %.1f ms "
            "(other frames p50 %.1f ms), %.1f dB, then %.1f and %.1f dB\n",
            budget, bytes[0] / 1000, psnr[0], psnr[59], bytes[60] / 1000, keyMs, stats(others).p50, psnr[60], psnr[61],
            psnr[62]);
    }
}

void qualityCheck() {
    // The synthetic pattern at 8 Mbit/s (main encoder) and the text picture as a refinement (still mode).
    {
        FfmpegEncoderFactory factory;
        auto backend = factory.open({1920, 1080, 30, 8'000'000, 60, std::nullopt});
        Decoder decoder;
        PixelBuffer frame(1920, 1080);
        double sum = 0;
        for (int i = 0; i < 60; ++i) {
            SyntheticFrameSource::draw(frame, i);
            const auto packets = (*backend)->encode(frame, static_cast<std::uint64_t>(i), false);
            if (packets && !packets->empty()) sum += decoder.psnr(packets->front().data, frame);
        }
        std::printf("synthetic pattern 1080p @ 8 Mbit/s: mean Y-PSNR %.1f dB over 60 frames\n", sum / 60);
    }
    for (const double quality : {0.8, 0.85, 0.9}) {
        FfmpegEncoderFactory factory;
        auto backend = factory.open({1920, 1080, 30, 6'000'000, 1, quality});
        PixelBuffer frame(1920, 1080);
        textFrame(frame, 0);
        double last = 0;
        std::size_t bytes = 0;
        for (int i = 0; i < 3; ++i) { // the refiner keeps its encoder: later frames matter most
            Decoder decoder;
            const auto packets = (*backend)->encode(frame, static_cast<std::uint64_t>(i), false);
            if (!packets || packets->empty()) continue;
            last = decoder.psnr(packets->front().data, frame);
            bytes = packets->front().data.size();
        }
        std::printf("refinement of the text picture, quality %.2f (CRF %d): %zu bytes, Y-PSNR %.1f dB\n", quality,
                    FfmpegEncoderFactory::crfFor(quality), bytes, last);
    }
}

} // namespace

int main(int argc, char** argv) {
    int frames = 120;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--frames") == 0) frames = std::atoi(argv[i + 1]);
    }
    KivLogStore::shared().setMirrorToStdout(false);
    if (argc > 1 && std::strcmp(argv[argc - 1], "--keyframes") == 0) { // the study alone
        keyframeStudy();
        return 0;
    }
    auto server = test::XvfbServer::start(2732, 2048);
    if (server) {
        captureAndConvert((*server)->display(), 1920, 1080, frames);
        captureAndConvert((*server)->display(), 2732, 2048, frames);
    } else {
        std::printf("capture skipped: %s\n", server.error().message.c_str());
    }
    encode(1920, 1080, 8'000'000, frames);
    encode(2732, 2048, 20'000'000, frames);
    if (server) pipelineLatency((*server)->display(), 1920, 1080, std::min(frames, 60));
    keyframeStudy();
    qualityCheck();
    return 0;
}
