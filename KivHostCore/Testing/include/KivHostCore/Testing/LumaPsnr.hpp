#pragma once
// Y-PSNR of two luma planes, for tests and benchmarks that judge a decoded picture against its source.
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace kiv::test {

// Planes of width x height with their own strides in bytes; 99 dB when they are identical.
inline double lumaPsnr(const std::uint8_t* a, std::ptrdiff_t aStride, const std::uint8_t* b, std::ptrdiff_t bStride,
                       int width, int height) {
    double squared = 0;
    for (int y = 0; y < height; ++y) {
        const auto* rowA = a + y * aStride;
        const auto* rowB = b + y * bStride;
        for (int x = 0; x < width; ++x) {
            const double d = double(rowA[x]) - double(rowB[x]);
            squared += d * d;
        }
    }
    const double mse = squared / (double(width) * double(height));
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

} // namespace kiv::test
