#pragma once
// A captured picture in NV12, video range (the bi-planar 4:2:0 format capture and encoder share):
// a luma plane and an interleaved CbCr plane at half height. Buffers come from a small pool and are
// passed by reference from capture to encoder; none is copied on the way.
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace kiv {

// What changed in a picture since an earlier one of the same producer, so that an encoder can
// pass over what did not. Pictures are numbered across all producers; the rectangles (pixels of
// the picture) are relative to picture `since` and mean something only when `known`.
struct PictureChanges {
    struct Rect {
        int left = 0, top = 0, right = 0, bottom = 0; // [left, right) x [top, bottom)
        bool operator==(const Rect&) const = default;
    };
    bool known = false;
    std::uint64_t serial = 0; // this picture's number; 0: not numbered
    std::uint64_t since = 0;
    std::vector<Rect> rects;

    static std::uint64_t nextSerial();
    // Folds in the changes of `earlier`, a picture this one replaces before it was encoded: the
    // result is relative to what `earlier` was relative to, and unknown unless both are known and
    // this one follows it directly.
    void absorb(const PictureChanges& earlier);
};

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
    // Set by the producer for each picture it writes (unknown when it cannot tell).
    PictureChanges changes;

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
