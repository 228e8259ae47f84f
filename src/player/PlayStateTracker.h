#pragma once
#include <vector>

#include "player/PlayState.h"

namespace castora {

// What the engine reported, reduced to what the play state depends on.
enum class PlayerEvent {
    StartFile,        // an entry begins opening
    PlaybackRestart,  // audio/video started (or resumed after a seek)
    EndEof,
    EndStop,
    EndError,
    EndRedirect,  // a playlist link expands; a new StartFile follows
    PauseOn,
    PauseOff,
    CacheWaitOn,  // paused-for-cache
    CacheWaitOff,
};

// Turns engine events into play-state codes. The state is worked out once per drained batch of events,
// so a batch that passes through several steps reports only where it ends (plus "connecting" when an
// open started in it), never short false states such as "stopped" between a close and a new URL.
class PlayStateTracker {
public:
    // The program assigned a URL: events of the previous entry are stale until the new one starts.
    void Load();
    // The program closed playback: whatever ends next ends as "stopped", and nothing in between shows.
    void Close();
    // Live streams: an end after the entry played waits for a reopen instead of ending, while allowed.
    // The player says before each end event whether the entry is live and whether time is left.
    void SetLive(bool live) { live_ = live; }
    void SetReconnectAllowed(bool allowed) { reconnectAllowed_ = allowed; }
    // The player opens the same URL again after a drop.
    void Reopen();
    bool WaitingToReopen() const { return phase_ == Phase::Waiting && !closing_; }
    bool Reconnecting() const { return reconnecting_; }
    void Feed(PlayerEvent event);
    // States to report for the batch fed since the last call, in order; empty when nothing changed.
    std::vector<PlayState> FinishDrain();

    // The last code reported.
    PlayState Reported() const { return reported_; }
    // The state as the program sees it between reports: stopped right after a close, connecting
    // right after a URL was assigned.
    PlayState Current() const;

private:
    enum class Phase { Idle, Opening, Running, Waiting, Ended };
    void End(PlayState code);

    Phase phase_ = Phase::Idle;
    PlayState endCode_ = PlayState::Undefined;
    PlayState reported_ = PlayState::Undefined;
    bool closing_ = false;
    bool awaitingStart_ = false;
    bool sawStart_ = false;
    bool sawRestart_ = false;
    bool paused_ = false;
    bool cacheWait_ = false;
    bool played_ = false;  // the entry reached playback since the program's last Load()
    bool live_ = false;
    bool reconnectAllowed_ = false;
    bool reconnecting_ = false;                  // dropped and not playing again yet
    PlayState dropCode_ = PlayState::Undefined;  // how the drop would have ended without reconnecting
};

}  // namespace castora
