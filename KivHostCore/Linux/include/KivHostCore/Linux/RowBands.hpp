#pragma once
// What of a picture changed, as a few disjoint rectangles ("bands": rows, and the columns that
// changed in them). Changes far apart stay apart, in rows (a key typed near the top while a video
// plays near the bottom) and in columns (a key typed beside that video, a pointer moving next to
// it), so a grab fetches and converts them and not everything in between; rectangles closer than
// kJoin in both directions become one, and beyond kMaxBands the two whose joining adds the fewest
// pixels are joined. Joining keeps a superset of what changed, never less.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

#include "KivHostCore/Platform/PixelBuffer.hpp"

namespace kiv {

struct RowBand {
    int from = 0, to = 0;    // rows [from, to)
    int left = 0, right = 0; // columns [left, right) that changed in them
    bool operator==(const RowBand&) const = default;
};

class RowBands {
public:
    static constexpr std::size_t kMaxBands = 4;
    static constexpr int kJoin = 16;

    RowBands() = default;
    RowBands(int from, int to, int left, int right) { add({from, to, left, right}); }

    // An empty band adds nothing.
    void add(RowBand band) {
        if (band.from >= band.to || band.left >= band.right) return;
        // Whatever the new one touches joins it, and so on for what the joined one then touches.
        for (auto it = bands_.begin(); it != bands_.end();) {
            if (near(*it, band)) {
                join(band, *it);
                bands_.erase(it);
                it = bands_.begin();
            } else {
                ++it;
            }
        }
        insert(band);
        while (bands_.size() > kMaxBands) {
            std::size_t a = 0, b = 1;
            long long cheapest = -1;
            for (std::size_t i = 0; i < bands_.size(); ++i)
                for (std::size_t j = i + 1; j < bands_.size(); ++j)
                    if (const long long cost = joinCost(bands_[i], bands_[j]); cheapest < 0 || cost < cheapest) {
                        cheapest = cost;
                        a = i;
                        b = j;
                    }
            RowBand joined = bands_[a];
            join(joined, bands_[b]);
            bands_.erase(bands_.begin() + static_cast<std::ptrdiff_t>(b));
            bands_.erase(bands_.begin() + static_cast<std::ptrdiff_t>(a));
            add(joined); // it may now cover others
        }
    }
    void addAll(const RowBands& other) {
        for (const auto& band : other.bands_)
            add(band);
    }
    // Moved by (-x, -y) and cut to a width x height picture.
    RowBands within(int x, int y, int width, int height) const {
        RowBands out;
        for (const auto& b : bands_)
            out.add({std::clamp(b.from - y, 0, height), std::clamp(b.to - y, 0, height),
                     std::clamp(b.left - x, 0, width), std::clamp(b.right - x, 0, width)});
        return out;
    }
    // Whether any band covers part of `area`, rows and columns.
    bool touches(const RowBand& area) const {
        return std::any_of(bands_.begin(), bands_.end(), [&](const RowBand& b) {
            return b.from < area.to && area.from < b.to && b.left < area.right && area.left < b.right;
        });
    }
    bool empty() const { return bands_.empty(); }
    void clear() { bands_.clear(); }
    const std::vector<RowBand>& bands() const { return bands_; }
    long long pixels() const {
        long long total = 0;
        for (const auto& b : bands_)
            total += area(b);
        return total;
    }

private:
    static long long area(const RowBand& b) { return static_cast<long long>(b.to - b.from) * (b.right - b.left); }
    static bool near(const RowBand& a, const RowBand& b) {
        return std::max(a.from, b.from) - std::min(a.to, b.to) <= kJoin &&
               std::max(a.left, b.left) - std::min(a.right, b.right) <= kJoin;
    }
    static void join(RowBand& into, const RowBand& other) {
        into.from = std::min(into.from, other.from);
        into.to = std::max(into.to, other.to);
        into.left = std::min(into.left, other.left);
        into.right = std::max(into.right, other.right);
    }
    // The pixels that joining a and b would add to what changed.
    static long long joinCost(const RowBand& a, const RowBand& b) {
        RowBand joined = a;
        join(joined, b);
        return area(joined) - area(a) - area(b);
    }
    // In order of rows, then columns.
    void insert(const RowBand& band) {
        const auto at = std::lower_bound(bands_.begin(), bands_.end(), band, [](const RowBand& x, const RowBand& y) {
            return std::pair{x.from, x.left} < std::pair{y.from, y.left};
        });
        bands_.insert(at, band);
    }
    std::vector<RowBand> bands_;
};

// Which rows a recycled picture buffer lacks. Pool buffers come back holding the picture of an
// earlier grab (their content tag says which): only the rows changed since that grab need
// converting again. A buffer of another grabber, of another picture or older than the history is
// converted whole.
class ConversionHistory {
public:
    // Records a grab that changed `rows` of the source (`whole`: a new picture) into a buffer of
    // `width`×`height` tagged `tag`; returns the rows to convert (nothing: all of them) and the
    // buffer's new tag.
    std::pair<std::optional<RowBands>, std::uint64_t> record(const RowBands& rows, bool whole, int width, int height,
                                                             std::uint64_t tag) {
        if (whole || width != width_ || height != height_) {
            generation_ = (counter().fetch_add(1) + 1) << 32;
            history_.clear();
            width_ = width;
            height_ = height;
        }
        const std::uint64_t index = ++grabs_ & 0xFFFFFFFF;
        history_.push_back(rows);
        if (history_.size() > kHistory) history_.pop_front();
        const std::uint64_t since = tag & 0xFFFFFFFF;
        const std::uint64_t newTag = generation_ | index;
        if ((tag & ~std::uint64_t{0xFFFFFFFF}) != generation_ || since >= index || index - since > history_.size())
            return {std::nullopt, newTag};
        RowBands changed; // every grab's rows after the buffer's own
        for (auto it = history_.end() - static_cast<std::ptrdiff_t>(index - since); it != history_.end(); ++it)
            changed.addAll(*it);
        return {changed, newTag};
    }

private:
    static constexpr std::size_t kHistory = 16;
    static std::atomic<std::uint64_t>& counter() {
        static std::atomic<std::uint64_t> value{0};
        return value;
    }
    std::deque<RowBands> history_;
    std::uint64_t generation_ = 0; // upper half of the tags written; new for each new picture
    std::uint64_t grabs_ = 0;
    int width_ = 0, height_ = 0;
};

// Numbers a grabber's pictures and says what changed in each since the one before, in the
// picture's own pixels (the source may be scaled into it), widened by the scaler's reach.
class PictureNumbering {
public:
    // `rows` of the source changed since the last picture; `whole`: anything may have.
    PictureChanges next(const RowBands& rows, bool whole, int sourceWidth, int sourceHeight, const PixelBuffer& out) {
        PictureChanges changes;
        changes.serial = PictureChanges::nextSerial();
        if (!whole && last_ != 0) {
            changes.known = true;
            changes.since = last_;
            constexpr int kReach = 2;
            const auto scale = [](int value, int to, int from) {
                return static_cast<int>(static_cast<std::int64_t>(value) * to / std::max(from, 1));
            };
            for (const auto& band : rows.bands()) {
                changes.rects.push_back(
                    {std::max(0, scale(band.left, out.width(), sourceWidth) - kReach),
                     std::max(0, scale(band.from, out.height(), sourceHeight) - kReach),
                     std::min(out.width(), scale(band.right, out.width(), sourceWidth) + 1 + kReach),
                     std::min(out.height(), scale(band.to, out.height(), sourceHeight) + 1 + kReach)});
            }
        }
        last_ = changes.serial;
        return changes;
    }
    // The grab that follows this call may fail: until the next picture nothing is known.
    PictureNumbering take() { return std::exchange(*this, PictureNumbering{}); }

private:
    std::uint64_t last_ = 0;
};

} // namespace kiv
