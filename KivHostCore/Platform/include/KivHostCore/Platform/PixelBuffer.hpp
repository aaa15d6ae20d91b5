#pragma once
// A captured picture in NV12, video range (the bi-planar 4:2:0 format capture and encoder share):
// a luma plane and an interleaved CbCr plane at half height. Buffers come from a small pool and are
// passed by reference from capture to encoder; none is copied on the way.
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace kiv {

class PixelBuffer {
public:
    PixelBuffer(int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }
    int lumaStride() const { return width_; }
    int chromaStride() const { return width_; } // interleaved Cb, Cr
    std::uint8_t* luma() { return data_.data(); }
    const std::uint8_t* luma() const { return data_.data(); }
    std::uint8_t* chroma() {
        return data_.data() + static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    }
    const std::uint8_t* chroma() const {
        return data_.data() + static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    }

    // What its producer last wrote into it, in the producer's own terms (0: nothing known). A
    // producer that updates pictures in place uses it to tell which rows a recycled buffer lacks.
    std::uint64_t contentTag = 0;

private:
    int width_;
    int height_;
    std::vector<std::uint8_t> data_;
};

// Recycles buffers of one size: a buffer handed out returns to the pool when its last user lets go.
// Thread-safe; buffers may outlive the pool.
class PixelBufferPool {
public:
    PixelBufferPool(int width, int height, std::size_t capacity = 6);
    std::shared_ptr<PixelBuffer> acquire();
    int width() const { return width_; }
    int height() const { return height_; }

private:
    struct Shared {
        std::mutex mutex;
        std::vector<std::unique_ptr<PixelBuffer>> free;
        std::size_t capacity;
    };
    int width_;
    int height_;
    std::shared_ptr<Shared> shared_;
};

} // namespace kiv
