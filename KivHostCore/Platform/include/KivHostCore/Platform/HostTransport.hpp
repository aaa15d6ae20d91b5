#pragma once
// One link between the host and a device (Wi-Fi or USB). Sessions only use this contract, so a
// session can move between links without knowing their kind.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "KivHostCore/Runtime/Executor.hpp"
#include "KivProtocol/ControlMessage.hpp"
#include "KivProtocol/Stats.hpp"
#include "KivProtocol/VideoPacket.hpp"

namespace kiv {

class HostTransport {
public:
    // `complete` is false when some of the frame's bytes were dropped instead of sent (a full
    // socket buffer, a closed link): the device cannot decode what follows without a keyframe.
    using VideoCompletion = std::function<void(std::int64_t bytes, bool complete)>;

    virtual ~HostTransport() = default;

    virtual const std::string& id() const = 0; // a UUID, new per link
    virtual TransportKind kind() const = 0;
    virtual const std::string& remoteAddress() const = 0;
    virtual bool isOpen() const = 0;

    // Handlers may be replaced at any time from any thread (a session moving to another link
    // rewires them); once a setter returns, the old handler is not running and never runs again.
    // All three run on the link's queue (the one given to start). onClosed says why.
    virtual void setOnControl(std::function<void(const ControlMessage&)> handler) = 0;
    virtual void setOnClosed(std::function<void(const std::string& reason)> handler) = 0;
    virtual void setOnVideoReady(std::function<void()> handler) = 0;

    // Installs the stream handlers and starts reading; once, after the handlers are set.
    virtual void start(Executor& queue) = 0;
    // Encoding errors drop the message silently.
    virtual void sendControl(const ControlMessage& message) = 0;
    virtual void close(const std::optional<ControlMessage>& after = std::nullopt) = 0;
    virtual void beginVideo(std::uint32_t sessionID, std::uint64_t key) = 0;
    virtual void endVideo() = 0;
    virtual bool isVideoReady() const = 0;
    // Bytes handed to the network (0: nothing sent, completion never called; a frame larger than
    // the link can carry is refused so). Completions, on any thread, add up to the returned count
    // once those bytes are processed or dropped.
    virtual std::int64_t sendVideo(const EncodedFrame& frame, VideoCompletion completion) = 0;
    // An already-framed audio item. False: the link is closed; nothing queued, no completion.
    virtual bool sendAudio(Bytes item, std::function<void()> completion) = 0;
    // Figures since the previous call.
    virtual TransportMetrics takeMetrics() = 0;
};

// Answers a ping on `link` at once, wherever its control handler runs (the device measures the
// round trip with it); true when `message` was a ping.
bool answerPing(const std::weak_ptr<HostTransport>& link, const ControlMessage& message);

} // namespace kiv
