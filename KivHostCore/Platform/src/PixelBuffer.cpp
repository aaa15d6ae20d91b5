#include "KivHostCore/Platform/PixelBuffer.hpp"

#include <atomic>

namespace kiv {

std::uint64_t PictureChanges::nextSerial() {
    static std::atomic<std::uint64_t> counter{0};
    return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

void PictureChanges::absorb(const PictureChanges& earlier) {
    if (!known || !earlier.known || since != earlier.serial || earlier.serial == 0) {
        known = false;
        rects.clear();
        return;
    }
    since = earlier.since;
    rects.insert(rects.end(), earlier.rects.begin(), earlier.rects.end());
}

PixelBuffer::PixelBuffer(int width, int height)
    : width_(width), height_(height),
      data_(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3 / 2, 0) {}

PixelBufferPool::PixelBufferPool(int width, int height, std::size_t capacity)
    : width_(width), height_(height), shared_(std::make_shared<Shared>()) {
    shared_->capacity = capacity;
}

std::shared_ptr<PixelBuffer> PixelBufferPool::acquire() {
    std::unique_ptr<PixelBuffer> buffer;
    {
        const std::lock_guard lock(shared_->mutex);
        if (!shared_->free.empty()) {
            buffer = std::move(shared_->free.back());
            shared_->free.pop_back();
        }
    }
    if (!buffer) buffer = std::make_unique<PixelBuffer>(width_, height_);
    return std::shared_ptr<PixelBuffer>(buffer.release(),
                                        [weak = std::weak_ptr<Shared>(shared_)](PixelBuffer* returned) {
                                            std::unique_ptr<PixelBuffer> owned(returned);
                                            if (const auto shared = weak.lock()) {
                                                const std::lock_guard lock(shared->mutex);
                                                if (shared->free.size() < shared->capacity)
                                                    shared->free.push_back(std::move(owned));
                                            }
                                        });
}

} // namespace kiv
