// The event-to-state mapping on its own, fed with event batches as the engine delivers them.
#include <gtest/gtest.h>

#include <initializer_list>

#include "player/PlayStateTracker.h"

using castora::PlayerEvent;
using castora::PlayStateTracker;
using E = castora::PlayerEvent;
using Codes = std::vector<int>;

namespace {
Codes ToCodes(const std::vector<castora::PlayState>& states) {
    Codes codes;
    for (castora::PlayState s : states) codes.push_back(static_cast<int>(s));
    return codes;
}
Codes Batch(PlayStateTracker& t, std::initializer_list<PlayerEvent> events) {
    for (auto e : events) t.Feed(e);
    return ToCodes(t.FinishDrain());
}
}  // namespace

TEST(PlayStateTracker, FileToTheEndConnectsPlaysAndEnds) {
    PlayStateTracker t;
    t.Load();
    EXPECT_EQ(Batch(t, {E::StartFile}), Codes{9});
    EXPECT_EQ(Batch(t, {E::PlaybackRestart}), Codes{3});
    EXPECT_EQ(static_cast<int>(t.Reported()), 3);
    EXPECT_EQ(Batch(t, {}), Codes{});  // nothing new, nothing repeated
    EXPECT_EQ(Batch(t, {E::EndEof}), Codes{8});
    // A clip short enough to be buffered whole starts and ends in one batch; it still played.
    t.Load();
    EXPECT_EQ(Batch(t, {E::StartFile, E::PlaybackRestart, E::EndEof}), (Codes{9, 3, 8}));
    t.Load();
    Batch(t, {E::StartFile});
    EXPECT_EQ(Batch(t, {E::PlaybackRestart, E::EndEof}), (Codes{3, 8}));
}

TEST(PlayStateTracker, ShortOpensStillShowConnecting) {
    PlayStateTracker t;
    t.Load();
    EXPECT_EQ(Batch(t, {E::StartFile, E::PlaybackRestart}), (Codes{9, 3}));
    // A failing URL: start and error in one batch.
    t.Load();
    EXPECT_EQ(Batch(t, {E::EndStop, E::StartFile, E::EndError}), (Codes{9, 10}));
    // Failing again right after: connecting is shown again, then ready.
    t.Load();
    EXPECT_EQ(Batch(t, {E::StartFile}), Codes{9});
    EXPECT_EQ(Batch(t, {E::EndError}), Codes{10});
}

TEST(PlayStateTracker, CloseReportsStoppedAndHidesLateEvents) {
    PlayStateTracker t;
    t.Load();
    Batch(t, {E::StartFile, E::PlaybackRestart});
    t.Close();
    // Events queued before the stop took effect must not flip the state back to playing or buffering.
    EXPECT_EQ(Batch(t, {E::CacheWaitOn, E::PlaybackRestart}), Codes{});
    EXPECT_EQ(Batch(t, {E::EndStop}), Codes{1});
    EXPECT_EQ(static_cast<int>(t.Reported()), 1);

    // Closing while still connecting, even when the engine calls the end an error.
    t.Load();
    Batch(t, {E::StartFile});
    t.Close();
    EXPECT_EQ(Batch(t, {E::EndError}), Codes{1});
}

TEST(PlayStateTracker, CloseWithNothingOpenStillReportsStopped) {
    PlayStateTracker t;
    t.Load();
    Batch(t, {E::StartFile, E::PlaybackRestart});
    EXPECT_EQ(Batch(t, {E::EndEof}), Codes{8});
    t.Close();
    EXPECT_EQ(Batch(t, {}), Codes{1});

    // A URL closed before its open was seen: the late start and stop change nothing.
    t.Load();
    t.Close();
    EXPECT_EQ(Batch(t, {E::StartFile}), Codes{});
    EXPECT_EQ(Batch(t, {E::EndStop}), Codes{});
    EXPECT_EQ(static_cast<int>(t.Reported()), 1);
}

TEST(PlayStateTracker, NewUrlReplacesWithoutStoppedOrEnded) {
    PlayStateTracker t;
    t.Load();
    Batch(t, {E::StartFile, E::PlaybackRestart});
    t.Load();
    EXPECT_EQ(Batch(t, {E::EndStop, E::StartFile}), Codes{9});
    EXPECT_EQ(Batch(t, {E::PlaybackRestart}), Codes{3});

    // Stop, then at once a new URL (double click): no "stopped" in between.
    t.Close();
    t.Load();
    EXPECT_EQ(Batch(t, {E::EndStop}), Codes{});
    EXPECT_EQ(Batch(t, {E::StartFile}), Codes{9});

    // The old entry ended by itself just as a new URL was assigned.
    Batch(t, {E::PlaybackRestart});
    t.Load();
    EXPECT_EQ(Batch(t, {E::EndEof}), Codes{});
    EXPECT_EQ(Batch(t, {E::PlaybackRestart}), Codes{});  // stale: belongs to no started entry
    EXPECT_EQ(Batch(t, {E::StartFile}), Codes{9});
}

TEST(PlayStateTracker, BufferingPauseAndRedirect) {
    PlayStateTracker t;
    t.Load();
    // A playlist link: the redirect is not an end.
    EXPECT_EQ(Batch(t, {E::StartFile, E::EndRedirect, E::StartFile}), Codes{9});
    EXPECT_EQ(Batch(t, {E::PlaybackRestart}), Codes{3});
    EXPECT_EQ(Batch(t, {E::CacheWaitOn}), Codes{6});
    EXPECT_EQ(Batch(t, {E::CacheWaitOff}), Codes{3});
    EXPECT_EQ(Batch(t, {E::PauseOn}), Codes{2});
    EXPECT_EQ(Batch(t, {E::PauseOff}), Codes{3});
    // A stall that clears within one batch is not reported.
    EXPECT_EQ(Batch(t, {E::CacheWaitOn, E::CacheWaitOff}), Codes{});
    // Waiting for the cache belongs to the entry: a new one starts without it.
    Batch(t, {E::CacheWaitOn});
    t.Load();
    EXPECT_EQ(Batch(t, {E::EndStop, E::StartFile, E::PlaybackRestart}), (Codes{9, 3}));
}

// A live stream that drops after playing waits for the player's reopens, showing one stretch of
// "reconnecting" until it plays again, is stopped, or runs out of time.
TEST(PlayStateTracker, DroppedLiveStreamReconnects) {
    struct Case {
        const char* what;
        bool live;
        std::vector<std::vector<PlayerEvent>> attempts;  // each after a Reopen()
        bool outOfTime;                                  // the last attempt ends after the limit
        bool closeAtEnd;
        Codes expected;  // after the drop
    };
    const Case cases[] = {
        {"back at the second try",
         true,
         {{E::StartFile, E::EndError}, {E::StartFile, E::PlaybackRestart}},
         false,
         false,
         Codes{11, 3}},
        {"never back", true, {{E::StartFile, E::EndError}, {E::StartFile, E::EndError}}, true, false, Codes{11, 8}},
        {"stopped while waiting", true, {{E::StartFile, E::EndError}}, false, true, Codes{11, 1}},
        {"a file's end is final", false, {}, false, false, Codes{8}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PlayStateTracker t;
        t.Load();
        Batch(t, {E::StartFile, E::PlaybackRestart});
        t.SetLive(c.live);
        t.SetReconnectAllowed(true);
        Codes seen = Batch(t, {E::EndEof});
        EXPECT_EQ(t.WaitingToReopen(), c.live);
        for (size_t i = 0; i < c.attempts.size(); ++i) {
            if (c.outOfTime && i + 1 == c.attempts.size()) t.SetReconnectAllowed(false);
            t.Reopen();
            EXPECT_EQ(static_cast<int>(t.Current()), 11);
            for (PlayerEvent e : c.attempts[i]) t.Feed(e);
            for (int code : ToCodes(t.FinishDrain())) seen.push_back(code);
        }
        if (c.closeAtEnd) {
            t.Close();
            EXPECT_EQ(static_cast<int>(t.Current()), 1);
            for (int code : Batch(t, {})) seen.push_back(code);
        }
        EXPECT_EQ(seen, c.expected);
        EXPECT_FALSE(t.WaitingToReopen() && c.expected.back() != 11);
    }
    // A stream that never played is not reconnected: its failure is the answer.
    PlayStateTracker t;
    t.SetLive(true);
    t.SetReconnectAllowed(true);
    t.Load();
    EXPECT_EQ(Batch(t, {E::StartFile, E::EndError}), (Codes{9, 10}));
}
