#include "KivHostCore/Transport/FramedStream.hpp"

#include "KivProtocol/ControlFraming.hpp"

namespace kiv {

std::shared_ptr<FramedStream> FramedStream::create(std::shared_ptr<Connection> connection, std::string label) {
    return std::make_shared<FramedStream>(std::move(connection), std::move(label));
}

FramedStream::FramedStream(std::shared_ptr<Connection> connection, std::string label)
    : connection_(std::move(connection)), label_(std::move(label)) {}

void FramedStream::start(Executor& queue) {
    queue_ = queue.handle();
    connection_->setStateHandler([weak = weak_from_this()](ConnectionState state, const NetworkError& error) {
        const auto self = weak.lock();
        if (!self) return;
        if (state == ConnectionState::ready) {
            self->receiveStep();
        } else if (state == ConnectionState::failed) {
            self->finish(error.value_or("connection failed"));
        } else if (state == ConnectionState::cancelled) {
            self->finish("closed by the host");
        }
    });
    if (connection_->state() == ConnectionState::ready) {
        // Already connected (USB tunnels arrive so): read without starting it again.
        queue.post([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->receiveStep();
        });
        return;
    }
    connection_->start(queue);
}

void FramedStream::receiveStep() {
    connection_->receive(1, kMaxRead,
                         [weak = weak_from_this()](Bytes data, bool isComplete, const NetworkError& error) {
                             if (auto self = weak.lock()) self->handleReceive(std::move(data), isComplete, error);
                         });
}

void FramedStream::handleReceive(Bytes data, bool isComplete, const NetworkError& error) {
    if (isClosed()) return;
    if (!data.empty()) {
        auto items = decoder_.append(data);
        if (!items) {
            log_.error("Protocol error from " + label_);
            endWith("protocol error: " + items.error().text());
            return;
        }
        {
            const std::lock_guard lock(mutex_);
            counters_.bytesIn += static_cast<std::int64_t>(data.size());
            counters_.buffered = static_cast<std::int64_t>(decoder_.bufferedBytes());
        }
        for (auto& item : *items) {
            if (onItem) onItem(std::move(item));
        }
    }
    if (!isComplete && !error) {
        receiveStep();
        return;
    }
    endWith(error ? "receive failed: " + *error : "closed by the device"); // the state handler finishes
}

void FramedStream::endWith(std::string reason) {
    {
        const std::lock_guard lock(mutex_);
        if (!endReason_) endReason_ = std::move(reason);
    }
    connection_->cancel();
}

void FramedStream::send(Bytes data, Connection::SendCompletion completion) {
    bool closed = false;
    {
        const std::lock_guard lock(mutex_);
        closed = closed_;
        if (!closed) counters_.bytesOut += static_cast<std::int64_t>(data.size());
    }
    if (closed) {
        // Callers count bytes in flight until their completion: it runs, with an error, even now.
        if (completion && queue_) queue_.post([completion = std::move(completion)] { completion("stream closed"); });
        return;
    }
    connection_->send(std::move(data), std::move(completion));
}

void FramedStream::close(const std::optional<ControlMessage>& after) {
    if (isClosed()) return;
    if (after) {
        if (auto frame = ControlFraming::encode(*after)) {
            send(std::move(*frame), [weak = weak_from_this()](const NetworkError&) {
                if (auto self = weak.lock()) self->connection_->cancel();
            });
            return;
        }
    }
    connection_->cancel();
}

bool FramedStream::isClosed() const {
    const std::lock_guard lock(mutex_);
    return closed_;
}

FramedStream::Counters FramedStream::takeCounters() {
    const std::lock_guard lock(mutex_);
    Counters taken = counters_;
    counters_.bytesOut = 0;
    counters_.bytesIn = 0;
    return taken;
}

void FramedStream::finish(std::string reason) {
    {
        const std::lock_guard lock(mutex_);
        if (closed_) return;
        closed_ = true;
        if (endReason_) reason = *endReason_; // why we cancelled, rather than the cancellation itself
    }
    connection_->setStateHandler({});
    auto closed = std::move(onClosed);
    onClosed = nullptr;
    if (closed) closed(reason);
    onItem = nullptr; // breaks the stream -> link -> session cycle
}

} // namespace kiv
