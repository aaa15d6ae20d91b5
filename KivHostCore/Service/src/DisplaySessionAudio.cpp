// The session's sound is its audio forwarder's; the session tells it what it wants and passes
// what the device is to hear on to the link and the status.
#include "KivHostCore/Service/DisplaySession.hpp"

namespace kiv {

void DisplaySession::updateAudio(bool forceSend) {
    KIV_ASSERT_CONFINED(main_);
    const bool streaming = active_ && active_->streaming && !active_->paused;
    audio_->update({configuration_->settings().audio, active_.has_value(), streaming}, forceSend);
}

} // namespace kiv
