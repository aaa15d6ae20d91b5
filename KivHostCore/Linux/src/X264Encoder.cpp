#include "KivHostCore/Linux/X264Encoder.hpp"

#include <malloc.h>

extern "C" {
#include <x264.h>
}

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include "KivHostCore/Linux/X264RateControl.hpp"
#include "KivProtocol/H264Bitstream.hpp"

namespace kiv {

namespace {

class X264StreamEncoder final : public EncoderBackend {
public:
    X264StreamEncoder(x264_t* encoder, const X264RateControl::Settings& rate, bool skipUnchanged)
        : encoder_(encoder), rate_(rate), skipUnchanged_(skipUnchanged), width_(rate.width), height_(rate.height) {}
    ~X264StreamEncoder() override {
        x264_encoder_close(encoder_);
        // Its pictures are spread over the worker threads' malloc arenas, which glibc keeps when
        // they are freed; without this the host's memory ratchets up with every stream that ends.
        malloc_trim(0);
    }
    X264StreamEncoder(const X264StreamEncoder&) = delete;
    X264StreamEncoder& operator=(const X264StreamEncoder&) = delete;

    bool isHardware() const override { return false; }
    std::string name() const override { return "libx264"; }

    std::expected<std::vector<EncodedPacket>, int> encode(const PixelBuffer& buffer, std::uint64_t ptsUs,
                                                          bool forceKeyframe) override {
        if (buffer.width() != width_ || buffer.height() != height_) return std::unexpected(-EINVAL);
        const bool keyframe = forceKeyframe || !started_;
        // The changes are usable only relative to the picture encoded last: x264's reference.
        const PictureChanges& changes = buffer.changes;
        const bool follows = changes.known && changes.serial != 0 && lastSerial_ != 0 && changes.since == lastSerial_;
        lastSerial_ = changes.serial;
        const int qp = rate_.plan(keyframe, ptsUs, follows ? &changes : nullptr);

        x264_picture_t in;
        x264_picture_init(&in);
        in.img.i_csp = X264_CSP_NV12;
        in.img.i_plane = 2;
        // x264 copies the picture in; the buffer is only read.
        in.img.plane[0] = const_cast<std::uint8_t*>(buffer.luma());
        in.img.plane[1] = const_cast<std::uint8_t*>(buffer.chroma());
        in.img.i_stride[0] = buffer.lumaStride();
        in.img.i_stride[1] = buffer.chromaStride();
        in.i_pts = nextPts_++;
        in.i_type = keyframe ? X264_TYPE_IDR : X264_TYPE_AUTO;
        in.i_qpplus1 = qp + 1;
        // Read during this call only (sliced threads finish the picture before it returns).
        if (!keyframe && skipUnchanged_) in.prop.mb_info = const_cast<std::uint8_t*>(rate_.unchanged().data());
        x264_nal_t* nals = nullptr;
        int count = 0;
        x264_picture_t out;
        const int size = x264_encoder_encode(encoder_, &nals, &count, &in, &out);
        if (size < 0) {
            rate_.forget();
            lastSerial_ = 0;
            return std::unexpected(-EIO);
        }
        started_ = true;
        rate_.record(static_cast<std::size_t>(size));
        std::vector<EncodedPacket> packets;
        if (size == 0 || count <= 0) return packets;
        // The units of one picture lie one after another in memory.
        packets.push_back(decodablePacket(ByteView(nals[0].p_payload, static_cast<std::size_t>(size)), ptsUs));
        return packets;
    }

    bool setBitrate(std::int64_t bitrate) override {
        rate_.setBitrate(bitrate);
        return true;
    }

private:
    x264_t* encoder_;
    X264RateControl rate_;
    bool skipUnchanged_;
    int width_;
    int height_;
    bool started_ = false;
    std::int64_t nextPts_ = 0;
    std::uint64_t lastSerial_ = 0;
};

} // namespace

EncodedPacket decodablePacket(ByteView avcc, std::uint64_t ptsUs) {
    EncodedPacket out;
    out.ptsUs = ptsUs;
    const auto units = H264Bitstream::splitAVCC(avcc);
    if (!units) return out;
    constexpr int kIdr = 5, kSei = 6, kSps = 7, kPps = 8;
    out.isKeyframe =
        std::any_of(units->begin(), units->end(), [](ByteView unit) { return H264Bitstream::type(unit) == kIdr; });
    out.data.reserve(avcc.size());
    for (const auto unit : *units) {
        const int type = H264Bitstream::type(unit);
        if (type == kSei || ((type == kSps || type == kPps) && !out.isKeyframe)) continue;
        H264Bitstream::appendAVCC(unit, out.data);
    }
    return out;
}

std::expected<std::unique_ptr<EncoderBackend>, std::string> openX264Stream(const EncoderOptions& options,
                                                                           const X264StreamSettings& settings) {
    if (options.width <= 0 || options.height <= 0 || options.width % 2 != 0 || options.height % 2 != 0)
        return std::unexpected(std::string("libx264: the picture size must be even and positive"));
    x264_param_t param;
    if (x264_param_default_preset(&param, settings.preset.c_str(), "zerolatency") < 0)
        return std::unexpected("libx264: no preset " + settings.preset);
    param.i_log_level = X264_LOG_NONE;
    param.i_width = options.width;
    param.i_height = options.height;
    param.i_csp = X264_CSP_NV12;
    param.i_fps_num = static_cast<std::uint32_t>(std::max(options.fps, 1));
    param.i_fps_den = 1;
    param.b_vfr_input = 0;
    param.i_threads = 2; // sliced: both halves of a picture at once
    param.i_bframe = 0;
    param.b_annexb = 0;
    param.b_repeat_headers = 1;
    param.analyse.b_transform_8x8 = 1;
    // The periodic refresh as a column of intra blocks that sweeps the picture once per interval,
    // not as a whole keyframe squeezed into one frame's budget every interval (a spike in size and
    // latency). Forced keyframes (a device that lost the stream, a new link) are IDR pictures.
    param.b_intra_refresh = 1;
    param.i_keyint_max = std::max(options.keyframeIntervalFrames, 1);
    // Every picture's quantizer is given, but x264 clamps a given one to the range its constant
    // quantizers span (I, P and the unused B); these factors (its largest) open it to 11...51.
    param.rc.i_rc_method = X264_RC_CQP;
    param.rc.i_qp_constant = 31;
    param.rc.f_ip_factor = 10;
    param.rc.f_pb_factor = 10;
    param.analyse.b_mb_info = settings.skipUnchanged ? 1 : 0;
    // The capture converts with BT.601 limited range; a decoder that guesses reads BT.709 instead.
    param.vui.i_colorprim = 6;
    param.vui.i_transfer = 6;
    param.vui.i_colmatrix = 6;
    param.vui.b_fullrange = 0;
    if (x264_param_apply_profile(&param, "high") < 0) return std::unexpected(std::string("libx264: no High profile"));
    x264_t* encoder = x264_encoder_open(&param);
    if (encoder == nullptr) return std::unexpected(std::string("libx264: the encoder did not open"));
    X264RateControl::Settings rate;
    rate.width = options.width;
    rate.height = options.height;
    rate.fps = options.fps;
    rate.bitrate = options.bitrate;
    rate.vbvFrames = settings.vbvFrames;
    rate.keyframeBudgetSeconds = settings.keyframeBudgetSeconds;
    rate.keyframeIntervalFrames = param.i_keyint_max;
    rate.streamQp = settings.streamQp;
    return std::make_unique<X264StreamEncoder>(encoder, rate, settings.skipUnchanged);
}

} // namespace kiv
