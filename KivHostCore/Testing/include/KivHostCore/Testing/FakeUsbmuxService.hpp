#pragma once
// A scripted usbmuxd for the device monitor's state machine: every request waits until the test
// answers it, in virtual time.
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "KivHostCore/Transport/Usbmux.hpp"

namespace kiv {

class FakeUsbmuxService final : public UsbmuxService {
public:
    using ListenDone = std::function<void(ListenResult, std::shared_ptr<Connection>)>;
    using EventDone = std::function<void(std::optional<UsbmuxEvent>)>;
    using PairDone = std::function<void(std::optional<bool>)>;
    using ConnectDone = std::function<void(std::shared_ptr<Connection>, std::optional<std::int64_t>)>;

    void listen(Executor& queue, ListenDone done) override {
        queue_ = &queue;
        listens.push_back(std::move(done));
    }
    void readEvent(const std::shared_ptr<Connection>&, EventDone done) override { eventReader = std::move(done); }
    void isPaired(const std::string& udid, Executor& queue, PairDone done) override {
        queue_ = &queue;
        pairQuestions.push_back({udid, std::move(done)});
    }
    void connect(std::int64_t muxID, std::uint16_t port, Executor& queue, ConnectDone done) override {
        queue_ = &queue;
        connects.push_back({{muxID, port}, std::move(done)});
    }

    // Test side: each answer runs on the monitor's queue, like a real reply.
    void answerListen(ListenResult result, std::shared_ptr<Connection> connection = nullptr) {
        auto done = std::move(listens.front());
        listens.pop_front();
        queue_->post([done = std::move(done), result, connection] { done(result, connection); });
    }
    void pushEvent(std::optional<UsbmuxEvent> event) {
        auto done = std::exchange(eventReader, nullptr);
        queue_->post([done = std::move(done), event] { done(event); });
    }
    void answerPair(std::optional<bool> trusted) {
        auto done = std::move(pairQuestions.front().second);
        pairQuestions.pop_front();
        queue_->post([done = std::move(done), trusted] { done(trusted); });
    }
    void answerConnect(std::shared_ptr<Connection> connection, std::optional<std::int64_t> code) {
        auto done = std::move(connects.front().second);
        connects.pop_front();
        queue_->post([done = std::move(done), connection, code] { done(connection, code); });
    }

    std::deque<ListenDone> listens;
    EventDone eventReader;
    std::deque<std::pair<std::string, PairDone>> pairQuestions;
    std::deque<std::pair<std::pair<std::int64_t, std::uint16_t>, ConnectDone>> connects;

private:
    Executor* queue_ = nullptr;
};

} // namespace kiv
