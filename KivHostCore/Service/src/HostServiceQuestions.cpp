// The pairing questions put to the user: at most one open per device, whichever link it is on.
#include <fmt/format.h>

#include "KivHostCore/Service/HostService.hpp"

namespace kiv {

void HostService::ask(const PeerRequest& request, DisplaySession::ApprovalReply reply) {
    // A device whose link dropped while the user read its question (a phone's browser does that when
    // the screen locks) asks again on its new link: the question still open answers for that one,
    // rather than a second question about the same device behind an answer that reaches nobody.
    if (const auto open = questions_.find(request.deviceID); open != questions_.end()) {
        open->second->reply = std::move(reply);
        log_.info(fmt::format("{} asked again while the user still has its question: the answer is for its new link",
                              request.deviceName));
        return;
    }
    auto question = std::make_shared<OpenQuestion>(std::move(reply));
    questions_[request.deviceID] = question;
    approvalHandler(request, [weak = weak_from_this(), deviceID = request.deviceID, question](bool approved) {
        auto answer = std::exchange(question->reply, nullptr);
        if (auto self = weak.lock()) {
            if (const auto it = self->questions_.find(deviceID); it != self->questions_.end() && it->second == question)
                self->questions_.erase(it);
        }
        if (answer) answer(approved);
    });
}

} // namespace kiv
