#pragma once
// A link that records what it is asked to send; the test completes sends when it likes.
#include <deque>
#include <string>
#include <vector>

#include "KivHostCore/Platform/HostTransport.hpp"

namespace kiv {

class FakeHostTransport : public HostTransport {
public:
    explicit FakeHostTransport(TransportKind kind = TransportKind::wifi, std::string id = "fake-link")
        : id_(std::move(id)), kind_(kind) {}

    const std::string& id() const override { return id_; }
    TransportKind kind() const override { return kind_; }
    const std::string& remoteAddress() const override { return address_; }
    bool isOpen() const override { return open; }
    void setOnControl(std::function<void(const ControlMessage&)> handler) override { onControl = std::move(handler); }
    void setOnClosed(std::function<void(const std::string&)> handler) override { onClosed = std::move(handler); }
    void setOnVideoReady(std::function<void()> handler) override { onVideoReady = std::move(handler); }
    void start(Executor&) override { started = true; }
    void sendControl(const ControlMessage& message) override { controls.push_back(message); }
    void close(const std::optional<ControlMessage>& after) override {
        if (!closedWith) closedWith = after; // a link ends once: later closes change nothing
        open = false;
    }
    void beginVideo(std::uint32_t, std::uint64_t) override {}
    void endVideo() override {}
    bool isVideoReady() const override { return videoReady; }
    std::int64_t sendVideo(const EncodedFrame& frame, VideoCompletion completion) override {
        if (refuse) return 0;
        frames.push_back(frame);
        const auto bytes = static_cast<std::int64_t>(frame.data.size());
        completions.push_back({bytes, std::move(completion)});
        return bytes;
    }
    bool sendAudio(Bytes item, std::function<void()> completion) override {
        if (!open) return false;
        audio.push_back(std::move(item));
        audioCompletions.push_back(std::move(completion));
        return true;
    }
    TransportMetrics takeMetrics() override { return TransportMetrics(kind_, address_); }

    // Completes the oldest outstanding video send; `complete` false: its bytes were dropped.
    void completeOldest(bool complete = true) {
        auto [bytes, completion] = std::move(completions.front());
        completions.pop_front();
        completion(bytes, complete);
    }

    bool open = true;
    bool videoReady = true;
    bool refuse = false;
    bool started = false;
    std::vector<EncodedFrame> frames;
    std::deque<std::pair<std::int64_t, VideoCompletion>> completions;
    std::vector<ControlMessage> controls;
    std::optional<std::optional<ControlMessage>> closedWith;
    std::vector<Bytes> audio;
    std::vector<std::function<void()>> audioCompletions;
    std::function<void(const ControlMessage&)> onControl;
    std::function<void(const std::string&)> onClosed;
    std::function<void()> onVideoReady;

private:
    std::string id_;
    TransportKind kind_;
    std::string address_ = "192.168.1.20";
};

} // namespace kiv
