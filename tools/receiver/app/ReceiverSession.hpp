#pragma once
// One receiver run: connects to a host, pairs (remembering its identity and the host's token),
// decodes what it is sent, asks for keyframes when pictures cannot be decoded, reports statistics
// to the host every second, and can record the stream and a per-frame log. A window, when there
// is one, takes the newest picture and gives back touches; it works on the thread that runs.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "AudioPlayer.hpp"
#include "DecodeQueue.hpp"
#include "DeviceIdentity.hpp"
#include "FrameDecoder.hpp"
#include "FrameFigures.hpp"
#include "KivProtocol/ClockSync.hpp"
#include "KivReceiver/ReceiverClient.hpp"
#include "KivReceiver/UsbDeviceServer.hpp"
#include "KivReceiver/VideoDecoder.hpp"

namespace kiv::receiver {

struct SessionOptions {
    bool wifi = true; // connect to host:port over the network
    std::string host = "127.0.0.1";
    std::uint16_t port = 52010;
    Hello hello;                                   // deviceID and token are filled in from the identity
    std::optional<std::string> hostID;             // whose token to send, when known before connecting
    std::optional<std::filesystem::path> record;   // Annex B H.264
    std::optional<std::filesystem::path> frameLog; // one line per frame
    bool printStats = false;                       // one line a second on standard output
    bool playSound = true;                         // play the host's sound items (SDL audio)
    std::optional<AudioRoute> soundRoute;          // ask the host for this route once connected
    std::optional<std::int64_t> fps;               // ask the host for this frame rate once connected
    // Serve the device side of a USB link on this loopback port, for a host in its direct USB
    // mode. With Wi-Fi too, it opens once Wi-Fi is connected, so its hello carries the token.
    std::optional<std::uint16_t> usbPort;
    bool hardwareDecoding = true;                    // VAAPI when the machine has it
    std::optional<std::pair<int, int>> decoderLimit; // (long, short): ask for no larger a stream
    // How long a Wi-Fi link may carry no video datagram at all before the window says so: the host
    // sends a keyframe as soon as the device's UDP flow reaches it.
    std::chrono::milliseconds noVideoAfter{5000};
};

// What a run ended with.
struct RunOutcome {
    int exitStatus = 0;
    std::string message; // empty when the run simply ended
};

class ReceiverSession {
public:
    ReceiverSession(SessionOptions options, DeviceIdentity& identity);
    ~ReceiverSession();

    // The Wi-Fi client's figures over one interval, from its counters now and at the interval's start.
    // A client made for a reconnect counts from zero, so counters below the start mean it began there.
    static ClientStats wifiInterval(const ReceiverStats& now, const ReceiverStats& before);

    // Connects and runs until `until` passes, the host ends the session, or stop() is called.
    // `idle`, when given, runs on the calling thread about every 5 ms; false from it stops.
    RunOutcome run(std::chrono::steady_clock::duration until, std::function<bool()> idle = {});
    void stop();
    // The newest decoded picture not taken yet (any thread).
    std::shared_ptr<const DecodedPicture> takePicture();
    // A touch for the host, sent on the control link (any thread).
    void sendInput(const InputEvent& event);
    // Ends the USB link as a pulled cable would (the host comes back on its own).
    void dropUsbLink();
    // What an overlay shows: the link and the newest figures, host info and states (any thread).
    std::vector<std::string> overlayLines() const;
    // A short line about the link while it is not streaming ("Reconnecting…"), else empty.
    std::string linkNotice() const;

    // What decodes the stream, for the user ("software (libavcodec)", …).
    std::string decoderBackend();

    // The exit status and message for a refusal; statuses 10..16 follow the reasons' order.
    static RunOutcome rejected(RejectReason reason, const std::string& hostName);
    // The run's figures as one JSON object (frames, keyframes, loss, latency and decode p50/p95).
    std::string summaryJSON() const;

    std::function<void(const std::string& line)> onLine; // what a person should read (default: stdout)

private:
    enum class LinkKind { wifi, usb };
    static constexpr auto kReminderInterval = std::chrono::milliseconds(250); // FrameDecoder::remind

    std::shared_ptr<ReceiverClient> startClient();
    void startUsb();
    std::shared_ptr<ReceiverClient> current() const;
    // Sends on the link the host streams on: USB while it is up, else Wi-Fi (any thread).
    void sendControl(const ControlMessage& message);
    std::optional<std::int64_t> clockOffsetUs() const; // of the streaming link, host minus ours
    void connected(const ConnectInfo& info, LinkKind kind);
    void refused(RejectReason reason);
    void hostSaid(const ControlMessage& message);
    void end(RunOutcome outcome);
    void frame(const QueuedFrame& frame);
    void tick();
    std::optional<std::string> silentWifi(const ReceiverClient& wifi); // under mutex_
    void say(const std::string& line);
    std::string address() const;

    SessionOptions options_;
    DeviceIdentity& identity_;
    std::shared_ptr<ReceiverClient> client_; // replaced on a reconnect (under mutex_)
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<RunOutcome> ended_;
    std::optional<std::string> lost_; // why a streaming link dropped, until the reconnect
    bool reconnecting_ = false;       // from a lost link until the host connects us again
    std::chrono::steady_clock::time_point nextReconnect_{};
    bool heard_ = false; // the host has said something on some link of this run
    int turnedAway_ = 0; // links closed in a row before the host said anything
    bool stopping_ = false;
    std::optional<std::string> awaitingApproval_; // what the window says while the host's user is asked
    std::optional<ConnectInfo> connect_;
    std::shared_ptr<const DecodedPicture> newestPicture_;
    std::unique_ptr<AudioPlayer> player_;
    std::unique_ptr<UsbDeviceServer> usb_;
    bool usbActive_ = false;                       // the host streams over USB
    bool usbLinkUp_ = false;                       // a host holds the USB port (its connect may still be on the way)
    std::optional<std::string> wifiLostMeanwhile_; // Wi-Fi closed while that USB link was being admitted
    std::chrono::steady_clock::time_point wifiSince_{}; // the Wi-Fi link connected
    std::optional<std::string> noVideo_;                // what the window says while no datagram came
    ClockSync usbClock_{16};
    std::optional<std::uint32_t> lastUsbFrame_;
    std::uint64_t usbFrames_ = 0;
    std::uint64_t usbBytes_ = 0;
    std::uint64_t lastUsbFrames_ = 0;
    std::uint64_t lastUsbBytes_ = 0;
    std::optional<HostInfo> hostInfo_;
    std::optional<AudioStatus> audioStatus_;
    std::optional<InputStatus> inputStatus_;
    std::string lastStatsLine_;

    // The decode queue's thread decodes; decoderBackend() asks from others.
    std::mutex decodeMutex_;
    FrameDecoder decoder_;

    // Figures (under mutex_).
    FrameFigures figures_;
    // The previous second's totals, for the per-second figures.
    ReceiverStats lastStats_;

    // Decodes what the links deliver on a thread of its own (frame() runs there). Last: it goes
    // first, while everything frame() uses still exists.
    std::unique_ptr<DecodeQueue> decodeQueue_;
};

} // namespace kiv::receiver
