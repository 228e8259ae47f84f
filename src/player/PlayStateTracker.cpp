#include "player/PlayStateTracker.h"

#include <optional>

namespace castora {

void PlayStateTracker::Load() {
    closing_ = false;
    awaitingStart_ = true;
    played_ = false;
    reconnecting_ = false;
}

void PlayStateTracker::Reopen() { awaitingStart_ = true; }

void PlayStateTracker::Close() {
    closing_ = true;
    awaitingStart_ = false;
    reconnecting_ = false;
    // Nothing is open, so no end event will come to report the stop.
    if (phase_ == Phase::Idle || phase_ == Phase::Ended || phase_ == Phase::Waiting) End(PlayState::Stopped);
}

PlayState PlayStateTracker::Current() const {
    if (closing_) return PlayState::Stopped;
    if (reconnecting_) return PlayState::Reconnecting;
    if (awaitingStart_) return PlayState::Connecting;
    return reported_;
}

void PlayStateTracker::End(PlayState code) {
    phase_ = Phase::Ended;
    endCode_ = code;
}

void PlayStateTracker::Feed(PlayerEvent event) {
    switch (event) {
    case PlayerEvent::StartFile:
        phase_ = Phase::Opening;
        awaitingStart_ = false;
        cacheWait_ = false;
        // A reopen shows as one stretch of "reconnecting", not as a new connection.
        if (!closing_ && !reconnecting_) sawStart_ = true;
        break;
    case PlayerEvent::PlaybackRestart:
        if (!awaitingStart_ && (phase_ == Phase::Opening || phase_ == Phase::Running)) {
            phase_ = Phase::Running;
            played_ = true;
            reconnecting_ = false;
            if (!closing_) sawRestart_ = true;
        }
        break;
    case PlayerEvent::EndEof:
    case PlayerEvent::EndStop:
    case PlayerEvent::EndError:
        if (closing_) {
            End(PlayState::Stopped);
        } else if (awaitingStart_) {
            // The entry a new URL replaced; the new one's start follows.
        } else if (event == PlayerEvent::EndEof || event == PlayerEvent::EndError) {
            const PlayState code = event == PlayerEvent::EndEof ? PlayState::MediaEnded : PlayState::Ready;
            if (!reconnecting_) dropCode_ = code;
            if (played_ && live_ && reconnectAllowed_) {
                reconnecting_ = true;
                phase_ = Phase::Waiting;
            } else {
                // Out of time, the stream ends as the drop itself would have.
                End(reconnecting_ ? dropCode_ : code);
                reconnecting_ = false;
            }
        }
        // A stop we did not ask for is a replacement by a new URL: its start follows.
        break;
    case PlayerEvent::EndRedirect:
        break;
    case PlayerEvent::PauseOn:
        paused_ = true;
        break;
    case PlayerEvent::PauseOff:
        paused_ = false;
        break;
    case PlayerEvent::CacheWaitOn:
        cacheWait_ = true;
        break;
    case PlayerEvent::CacheWaitOff:
        cacheWait_ = false;
        break;
    }
}

std::vector<PlayState> PlayStateTracker::FinishDrain() {
    std::optional<PlayState> code;
    switch (phase_) {
    case Phase::Idle:
        break;
    case Phase::Opening:
        if (!closing_) code = reconnecting_ ? PlayState::Reconnecting : PlayState::Connecting;
        break;
    case Phase::Waiting:
        if (!closing_) code = PlayState::Reconnecting;
        break;
    case Phase::Running:
        if (!closing_) code = cacheWait_ ? PlayState::Buffering : paused_ ? PlayState::Paused : PlayState::Playing;
        break;
    case Phase::Ended:
        code = endCode_;
        break;
    }

    std::vector<PlayState> out;
    // An open that began and finished within one batch still shows that it was connecting.
    if (sawStart_ && code && *code != PlayState::Connecting && reported_ != PlayState::Connecting) {
        out.push_back(PlayState::Connecting);
        reported_ = PlayState::Connecting;
    }
    // A short file can start and end within one batch, a thin live stream start and run dry: either did
    // play, and the page acts on "playing" only.
    const bool ranDry =
        (code == PlayState::Buffering || code == PlayState::Reconnecting) && reported_ == PlayState::Connecting;
    if (sawRestart_ && (code == PlayState::MediaEnded || ranDry) && reported_ != PlayState::Playing) {
        out.push_back(PlayState::Playing);
        reported_ = PlayState::Playing;
    }
    if (code && *code != reported_) {
        out.push_back(*code);
        reported_ = *code;
    }
    sawStart_ = false;
    sawRestart_ = false;
    return out;
}

}  // namespace castora
