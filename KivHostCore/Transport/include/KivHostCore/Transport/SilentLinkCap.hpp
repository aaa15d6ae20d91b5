#pragma once
// The links a listener handed out that have not said anything yet, capped in all and per address,
// so that a peer which opens connections and stays silent cannot exhaust the host. Used on the
// listener's own queue only.
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
    };

    SilentLinkCap(std::size_t total, std::size_t perAddress) : total_(total), perAddress_(perAddress) {}

    // The silent links now, when one more from `address` would pass a cap; nothing when it may come.
    std::optional<Count> full(const std::string& address) {
        std::erase_if(silent_, [](const std::weak_ptr<Link>& weak) {
            const auto link = weak.lock();
            return !link || !link->isOpen() || link->hasReceivedControl();
        });
        Count count;
        count.total = silent_.size();
        count.fromAddress =
            static_cast<std::size_t>(std::count_if(silent_.begin(), silent_.end(), [&](const auto& weak) {
                const auto link = weak.lock();
                return link && link->remoteAddress() == address;
            }));
        if (count.total >= total_ || count.fromAddress >= perAddress_) return count;
        return std::nullopt;
    }
    void add(const std::shared_ptr<Link>& link) { silent_.push_back(link); }

private:
    const std::size_t total_;
    const std::size_t perAddress_;
    std::vector<std::weak_ptr<Link>> silent_;
};

} // namespace kiv
