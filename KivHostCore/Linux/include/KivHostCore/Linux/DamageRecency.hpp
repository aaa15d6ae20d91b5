#pragma once
// Tells a redraw that comes out of the blue (a key typed, a menu opened, a click answered) from
// the next picture of something that keeps moving (a video, a scroll, an animation): a redraw is
// fresh when nothing within its tiles was redrawn in the last kWindow. Something that moves
// overlaps the tiles of its last picture; a change somewhere else does not. The rest of a fresh
// change, drawn a moment after its first part (and perhaps after a grab caught that part), is
// fresh too: what it overlaps was all drawn fresh within kFollow.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "KivHostCore/Linux/RowBands.hpp"

namespace kiv {

class DamageRecency {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kTile = 64;
    // Longer than the picture interval of anything that plays (24 fps and up), shorter than the
    // time between two keys typed.
    static constexpr std::chrono::milliseconds kWindow{100};
    // A little more than a 60 Hz frame: a change drawn over two of its program's frames is one
    // change; the third picture of something that moves is not.
    static constexpr std::chrono::milliseconds kFollow{20};

    // The area redraws are reported in (its pixels); forgets what was redrawn before.
    void reset(int width, int height) {
        size_ = {width, height};
        columns_ = std::max((width + kTile - 1) / kTile, 0);
        rows_ = std::max((height + kTile - 1) / kTile, 0);
        tiles_.assign(static_cast<std::size_t>(columns_) * static_cast<std::size_t>(rows_), Tile{});
    }

    // Records a redraw of [x, x + w) × [y, y + h) in the area at `now`; true when it is fresh.
    // What lies outside the area is not counted.
    bool note(int x, int y, int w, int h, Clock::time_point now) {
        const int left = std::clamp(x, 0, columns_ * kTile), right = std::clamp(x + w, 0, columns_ * kTile);
        const int top = std::clamp(y, 0, rows_ * kTile), bottom = std::clamp(y + h, 0, rows_ * kTile);
        if (left >= right || top >= bottom) return false;
        std::optional<Clock::time_point> since = now; // when the fresh change this is part of began
        forEachTile(left, top, right, bottom, [&](Tile& tile) {
            if (tile.touched == Clock::time_point{} || now - tile.touched >= kWindow) return;
            if (since && tile.freshSince && now - *tile.freshSince <= kFollow)
                since = std::min(*since, *tile.freshSince);
            else
                since.reset();
        });
        forEachTile(left, top, right, bottom, [&](Tile& tile) {
            tile.touched = now;
            tile.freshSince = since;
        });
        return since.has_value();
    }

    // The same for changed bands of rows; true when any is fresh. A new size starts afresh.
    bool note(const RowBands& rows, int width, int height, Clock::time_point now) {
        if (size_ != std::pair{width, height}) reset(width, height);
        bool fresh = false;
        for (const auto& band : rows.bands())
            fresh = note(band.left, band.from, band.right - band.left, band.to - band.from, now) || fresh;
        return fresh;
    }

private:
    struct Tile {
        Clock::time_point touched;                   // last redrawn (the epoch: never)
        std::optional<Clock::time_point> freshSince; // that redraw was part of a fresh change begun then
    };
    template <class F>
    void forEachTile(int left, int top, int right, int bottom, F&& f) {
        for (int row = top / kTile; row <= (bottom - 1) / kTile; ++row)
            for (int column = left / kTile; column <= (right - 1) / kTile; ++column)
                f(tiles_[static_cast<std::size_t>(row) * static_cast<std::size_t>(columns_) +
                         static_cast<std::size_t>(column)]);
    }

    std::pair<int, int> size_{0, 0};
    int columns_ = 0, rows_ = 0;
    std::vector<Tile> tiles_;
};

} // namespace kiv
