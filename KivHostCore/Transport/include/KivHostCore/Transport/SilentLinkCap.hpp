#pragma once
// The links a listener handed out that have not said anything yet, capped in all and per address,
// so that a peer which opens connections and stays silent cannot exhaust the host, nor lock out
// the devices at its address. Used on the listener's own queue only.
#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kiv {

template <class Link>
class SilentLinkCap {
public:
    struct Count {
        std::size_t fromAddress = 0;
        std::size_t total = 0;
        std::string closed; // the address of the silent link closed to make room
    };

    SilentLinkCap(std::size_t total, std::size_t perAddress) : total_(total), perAddress_(perAddress) {}

    // Makes room for one more link from `address`: when it would pass a cap, the oldest silent link
    // that counts against that cap is closed, so a link that speaks at once is never turned away
    // because of links that never do. Returns the counts when it closed one.
    std::optional<Count> makeRoom(const std::string& address) {
        std::erase_if(silent_, [](const std::weak_ptr<Link>& weak) {
            const auto link = weak.lock();
            return !link || !link->isOpen() || link->hasReceivedControl();
        });
        Count count;
        count.total = silent_.size();
        const auto sameAddress = [&](const std::weak_ptr<Link>& weak) {
            const auto link = weak.lock();
            return link && link->remoteAddress() == address;
        };
        count.fromAddress = static_cast<std::size_t>(std::count_if(silent_.begin(), silent_.end(), sameAddress));
        auto oldest = silent_.end();
        if (count.fromAddress >= perAddress_)
            oldest = std::find_if(silent_.begin(), silent_.end(), sameAddress);
        else if (count.total >= total_)
            oldest = silent_.begin();
        if (oldest == silent_.end()) return std::nullopt;
        if (const auto link = oldest->lock()) {
            count.closed = link->remoteAddress();
            link->close();
        }
        silent_.erase(oldest);
        return count;
    }
    void add(const std::shared_ptr<Link>& link) { silent_.push_back(link); }

private:
    const std::size_t total_;
    const std::size_t perAddress_;
    std::vector<std::weak_ptr<Link>> silent_; // oldest first
};

} // namespace kiv
