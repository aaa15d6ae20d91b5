#include "AudioPlayer.hpp"

#include <alsa/asoundlib.h>

#include <SDL.h>
#include <algorithm>

namespace kiv::receiver {

namespace {

constexpr int kRate = 48'000;
constexpr int kChannels = 2;

std::size_t samplesFor(double ms) {
    return static_cast<std::size_t>(ms * kRate / 1000.0) * kChannels;
}

// libasound reports every step of a failed open on standard error; the one line this program
// prints says what matters.
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

} // namespace

AudioPlayer::AudioPlayer() = default;

std::expected<std::unique_ptr<AudioPlayer>, std::string> AudioPlayer::open() {
    snd_lib_error_set_handler(quietAlsa);
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
        return std::unexpected(std::string("no sound output: ") + SDL_GetError());
    auto player = std::make_unique<AudioPlayer>();
    SDL_AudioSpec wanted{};
    wanted.freq = kRate;
    wanted.format = AUDIO_S16LSB;
    wanted.channels = kChannels;
    wanted.samples = 256; // about 5 ms a callback
    wanted.userdata = player.get();
    wanted.callback = [](void* self, Uint8* stream, int bytes) {
        static_cast<AudioPlayer*>(self)->pull(reinterpret_cast<std::int16_t*>(stream),
                                              static_cast<std::size_t>(bytes) / 2);
    };
    SDL_AudioSpec got{};
    player->device_ = SDL_OpenAudioDevice(nullptr, 0, &wanted, &got, 0);
    if (player->device_ == 0) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return std::unexpected(std::string("no sound output: ") + SDL_GetError());
    }
    SDL_PauseAudioDevice(player->device_, 0);
    return player;
}

AudioPlayer::~AudioPlayer() {
    if (device_ == 0) return;
    SDL_CloseAudioDevice(device_);
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

double AudioPlayer::queuedMs() const {
    return static_cast<double>(queue_.size()) / kChannels * 1000.0 / kRate;
}

void AudioPlayer::push(const StreamAudioPacket& packet) {
    if (packet.format != StreamAudioPacket::pcmS16LE || packet.channels == 0) return;
    const std::lock_guard lock(mutex_);
    ++stats_.packets;
    if (nextSequence_ && packet.sequence != *nextSequence_) {
        // A gap: the host dropped or the link lost packets. Far jumps (a new link) count once.
        const auto gap = packet.sequence - *nextSequence_;
        stats_.lostPackets += gap < 1000 ? gap : 1;
    }
    nextSequence_ = packet.sequence + 1;
    // Only 48 kHz stereo plays as is (what the host sends); anything else is taken as lost.
    if (packet.sampleRate != kRate || packet.channels != kChannels) {
        ++stats_.lostPackets;
        return;
    }
    for (std::size_t i = 0; i + 1 < packet.pcm.size(); i += 2)
        queue_.push_back(static_cast<std::int16_t>(packet.pcm[i] | (packet.pcm[i + 1] << 8)));
    if (queuedMs() > kTrimAboveMs) {
        const auto excess = queue_.size() - samplesFor(kTargetMs);
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(excess));
        stats_.trimmedMs += static_cast<double>(excess) / kChannels * 1000.0 / kRate;
    }
}

void AudioPlayer::pull(std::int16_t* out, std::size_t samples) {
    const std::lock_guard lock(mutex_);
    if (!playing_ && queuedMs() >= kTargetMs) playing_ = true;
    std::size_t taken = 0;
    if (playing_) {
        taken = std::min(samples, queue_.size());
        std::copy_n(queue_.begin(), taken, out);
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(taken));
        if (taken < samples) {
            ++stats_.underruns;
            playing_ = false;
        }
    }
    std::fill(out + taken, out + samples, std::int16_t{0});
}

AudioStats AudioPlayer::stats() const {
    const std::lock_guard lock(mutex_);
    auto s = stats_;
    s.bufferMs = queuedMs();
    s.latencyMs = s.bufferMs + 256.0 * 1000.0 / kRate; // the queue plus one device period
    s.playing = playing_;
    return s;
}

} // namespace kiv::receiver
