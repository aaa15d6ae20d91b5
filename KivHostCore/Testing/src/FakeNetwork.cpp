#include "KivHostCore/Testing/FakeNetwork.hpp"

namespace kiv {

void FakeConnection::start(Executor& queue) {
    queue_ = &queue;
    ++startCount;
    if (state_ == ConnectionState::setup) setState(ConnectionState::ready);
}

void FakeConnection::receive(std::size_t, std::size_t, ReceiveHandler handler) {
    receiveHandler_ = std::move(handler);
}

void FakeConnection::send(Bytes data, SendCompletion completion) {
    sent.push_back({std::move(data), std::move(completion)});
    if (state_ == ConnectionState::cancelled || state_ == ConnectionState::failed) completeSend("connection closed");
}

void FakeConnection::cancel() {
    ++cancelCount;
    if (state_ == ConnectionState::cancelled) return;
    setState(ConnectionState::cancelled);
    // Like a real socket: whatever was still queued completes with an error.
    while (completedSends < sent.size())
        completeSend("cancelled");
}

void FakeConnection::setState(ConnectionState state, NetworkError error) {
    state_ = state;
    if (!queue_) return;
    queue_->post([weak = weak_from_this(), state, error] {
        const auto self = weak.lock();
        if (!self) return;
        const auto handler = self->stateHandler_; // a copy: the handler may replace itself
        if (handler) handler(state, error);
    });
}

bool FakeConnection::deliver(Bytes data, bool isComplete, NetworkError error) {
    if (!receiveHandler_ || !queue_) return false;
    auto handler = std::exchange(receiveHandler_, nullptr);
    queue_->post([handler = std::move(handler), data = std::move(data), isComplete, error]() mutable {
        handler(std::move(data), isComplete, error);
    });
    return true;
}

void FakeConnection::completeSend(NetworkError error) {
    auto& entry = sent.at(completedSends++);
    // Like a real connection, a completion is let go once it has been handed back.
    if (auto completion = std::exchange(entry.completion, nullptr); completion && queue_) {
        queue_->post([completion = std::move(completion), error] { completion(error); });
    }
}

Bytes FakeConnection::sentBytes() const {
    Bytes all;
    for (const auto& entry : sent)
        all.insert(all.end(), entry.data.begin(), entry.data.end());
    return all;
}

void FakeDatagramFlow::start(Executor& queue) {
    queue_ = &queue;
    state_ = ConnectionState::ready;
}

DatagramBatchResult FakeDatagramFlow::sendBatch(const std::vector<ByteView>& datagrams) {
    ++batches;
    DatagramBatchResult result;
    if (state_ == ConnectionState::cancelled) {
        result.droppedDatagrams = datagrams.size();
        result.error = "flow cancelled";
        return result;
    }
    for (const auto datagram : datagrams) {
        if (result.sentDatagrams == roomPerBatch) break;
        sentDatagrams.emplace_back(datagram.begin(), datagram.end());
        ++result.sentDatagrams;
        result.sentBytes += datagram.size();
    }
    result.droppedDatagrams = datagrams.size() - result.sentDatagrams;
    return result;
}

void FakeDatagramFlow::cancel() {
    ++cancelCount;
    state_ = ConnectionState::cancelled;
}

bool FakeDatagramFlow::deliver(Bytes datagram) {
    if (!handler_ || !queue_ || state_ == ConnectionState::cancelled) return false;
    auto handler = std::exchange(handler_, nullptr);
    queue_->post([handler = std::move(handler), datagram = std::move(datagram)]() mutable {
        handler(std::move(datagram), std::nullopt);
    });
    return true;
}

void FakeStreamListener::report(ListenerState state, NetworkError error) {
    state_ = state;
    if (queue_ && stateHandler_) {
        queue_->post([this, state, error] {
            if (stateHandler_) stateHandler_(state, error);
        });
    }
}

void FakeStreamListener::connect(std::shared_ptr<Connection> connection) {
    queue_->post([this, connection = std::move(connection)] {
        if (newConnection_) newConnection_(connection);
    });
}

void FakeDatagramListener::open(std::shared_ptr<DatagramFlow> flow) {
    queue_->post([this, flow = std::move(flow)] {
        if (newFlow_) newFlow_(flow);
    });
}

} // namespace kiv
