// Live streams that stall or drop: the adapter against real libmpv (null outputs) and paced loopback
// radios, and the state mapping for a stream that runs dry as soon as it starts.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <memory>
#include <string>
#include <vector>

#include "player/MediaPlayer.h"
#include "player/PlayStateTracker.h"
#include "support/Patience.h"
#include "support/PlayStates.h"
#include "support/LiveRadio.h"
#include "support/QtApp.h"
#include "support/ScriptedServer.h"
#include "support/Wav.h"

using castora::PlayerEvent;
using castora::PlayerOptions;
using castora::PlayStateTracker;
using castora::TMediaPlayer;
using castora::test::LiveRadio;
using castora::test::MakeWav;
using castora::test::ScriptedServer;
using namespace std::chrono_literals;
using Codes = std::vector<int>;

namespace {

constexpr int kRate = 48000;
constexpr size_t kPiece = kRate * 2 / 10;  // 0.1 s of 16-bit mono audio

// A radio server: `burst` seconds of audio on connect, then 0.1 s every 100 ms for `before` seconds,
// nothing on the wire for `stall`, paced audio again for `after` seconds, then the end.
// The engine opens a PCM WAV stream only after about 200 KB (some 2 s here) and keeps all of it, so
// the stall must outlast that cushion before playback itself runs dry.
void ScriptRadio(ScriptedServer& radio, double burst, double before, std::chrono::milliseconds stall, double after) {
    const double total = burst + before + after;
    const std::string wav = MakeWav(total, kRate);
    const size_t header = wav.size() - static_cast<size_t>(total * kRate) * 2;
    size_t pos = header + static_cast<size_t>(burst * 10) * kPiece;
    radio.Send("HTTP/1.1 200 OK\r\nContent-Type: audio/wav\r\n\r\n" + wav.substr(0, pos));
    auto pace = [&](double seconds) {
        for (int n = 0; n < static_cast<int>(seconds * 10) && pos < wav.size(); ++n, pos += kPiece) {
            radio.Send(wav.substr(pos, kPiece));
            radio.Pause(100ms);
        }
    };
    pace(before);
    radio.Pause(stall);
    pace(after);
    radio.Close();
}

class BufferingTest : public ::testing::Test {
protected:
    void SetUp() override {
        castora::test::EnsureApp();
        // The stalls stay well inside the network timeout: the engine waits instead of reconnecting.
        player = std::make_unique<TMediaPlayer>(PlayerOptions{true, 10});
        clock.start();
        QObject::connect(player.get(), &TMediaPlayer::PlayStateChange, [this](castora::PlayState state) {
            const int s = StateCode(state);
            states.push_back(s);
            times.push_back(clock.elapsed());
            seen.push_back(StateCode(player->playState()));
        });
    }
    bool WaitFor(const Codes& prefix, int ms) {
        return QTest::qWaitFor(
            [&] { return states.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), states.begin()); },
            ms);
    }
    void Play(const ScriptedServer& radio) {
        start = clock.elapsed();
        player->setURL(QString::fromStdString(radio.Url("/live")));
    }

    std::unique_ptr<TMediaPlayer> player;
    QElapsedTimer clock;
    qint64 start = 0;
    Codes states;
    std::vector<qint64> times;  // ms on `clock`, per report
    Codes seen;                 // playState() as read inside each report
};

TEST_F(BufferingTest, StalledStreamBuffersAndPlaysOnWhenDataReturns) {
    ScriptedServer radio;
    ScriptRadio(radio, 0.5, 2.0, 3500ms, 3.0);
    radio.Start();
    Play(radio);
    ASSERT_TRUE(WaitFor({9, 3, 6, 3}, kPatienceMs)) << ::testing::PrintToString(states);
    EXPECT_EQ(seen, (Codes{9, 3, 6, 3}));
    // Buffering shows only once the ~2 s the engine held are played out, and lasts until it has refilled:
    // a real wait, not a blip between two reads.
    EXPECT_GE(times[2] - times[1], 1500) << ::testing::PrintToString(times);
    EXPECT_GE(times[3] - times[2], 500) << ::testing::PrintToString(times);

    player->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return states.back() == 1; }, kPatienceMs)) << ::testing::PrintToString(states);
    EXPECT_EQ(states, (Codes{9, 3, 6, 3, 1}));
}

TEST_F(BufferingTest, GapTheBufferCoversIsNoStall) {
    ScriptedServer radio;
    ScriptRadio(radio, 0.5, 1.0, 1000ms, 2.0);
    radio.Start();
    Play(radio);
    ASSERT_TRUE(WaitFor({9, 3}, kPatienceMs)) << ::testing::PrintToString(states);
    // Past the gap and the time the engine would need to notice it, while data still flows.
    QTest::qWait(static_cast<int>(std::max<qint64>(0, start + 4000 - clock.elapsed())));
    EXPECT_EQ(states, (Codes{9, 3}));
    EXPECT_EQ(StateCode(player->playState()), 3);
    player->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return states.back() == 1; }, kPatienceMs)) << ::testing::PrintToString(states);
}

int64_t ClockMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// One player on one radio, with what it reported and when (ms on the steady clock).
struct Listener {
    explicit Listener(const std::string& station) : radio(station), player(PlayerOptions{true, 5}) {
        QObject::connect(&player, &TMediaPlayer::PlayStateChange, [this](castora::PlayState state) {
            const int s = StateCode(state);
            states.push_back(s);
            times.push_back(ClockMs());
            if (s == 3) names.push_back(player.currentMediaName().toStdString());
        });
        player.setURL(QString::fromStdString(radio.Url()));
    }
    bool Has(int s) const { return std::find(states.begin(), states.end(), s) != states.end(); }
    int64_t TimeOf(int s) const {
        return times[static_cast<size_t>(std::find(states.begin(), states.end(), s) - states.begin())];
    }
    LiveRadio radio;
    TMediaPlayer player;
    Codes states;
    std::vector<int64_t> times;
    std::vector<std::string> names;
};

// All three at once, to spend the minute only once: a station back after 10 s, one that never comes
// back and one the user stops while it is reconnecting.
TEST(PlayerReconnect, DroppedLiveStreamsReopenForAMinute) {
    castora::test::EnsureApp();
    Listener back("Castora back"), gone("Castora gone"), stopped("Castora stopped");
    ASSERT_TRUE(QTest::qWaitFor([&] { return back.Has(3) && gone.Has(3) && stopped.Has(3); }, kPatienceMs));
    // Before any title: the station's own name, not the last part of the URL.
    EXPECT_EQ(back.names, std::vector<std::string>{"Castora back"});

    const int64_t dropped = ClockMs();
    back.radio.Drop(10s);
    gone.radio.Drop(-1ms);
    stopped.radio.Drop(-1ms);
    ASSERT_TRUE(QTest::qWaitFor([&] { return back.Has(11) && gone.Has(11) && stopped.Has(11); }, kPatienceMs))
        << ::testing::PrintToString(back.states);
    EXPECT_EQ(StateCode(back.player.playState()), 11);

    stopped.player.close();
    EXPECT_EQ(StateCode(stopped.player.playState()), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return stopped.states.back() == 1; }, kPatienceMs));
    const size_t stoppedTries = stopped.radio.Refused().size();

    ASSERT_TRUE(QTest::qWaitFor([&] { return back.states.back() == 3; }, kPatienceMs))
        << ::testing::PrintToString(back.states);
    EXPECT_GE(back.times.back() - dropped, 10000);
    EXPECT_EQ(back.radio.Listeners() - static_cast<int>(back.radio.Refused().size()), 2);  // streams served
    // Playing again by itself, named again by the station, with no end or new connection shown.
    EXPECT_EQ(std::count(back.states.begin(), back.states.end(), 9), 1) << ::testing::PrintToString(back.states);
    EXPECT_FALSE(back.Has(8));
    EXPECT_EQ(back.names, (std::vector<std::string>{"Castora back", "Castora back"}));

    ASSERT_TRUE(QTest::qWaitFor([&] { return gone.Has(8); }, 75000)) << ::testing::PrintToString(gone.states);
    const int64_t reconnecting = gone.TimeOf(8) - gone.TimeOf(11);
    EXPECT_GE(reconnecting, 60000);
    EXPECT_LE(reconnecting, 66000);
    EXPECT_EQ(gone.states.back(), 8);
    // The pauses between the player's attempts grow, from under a second to several.
    std::vector<int64_t> gaps;
    int64_t last = gone.TimeOf(11);
    for (int64_t t : gone.radio.Refused())
        if (t > last) {
            gaps.push_back(t - last);
            last = t;
        }
    ASSERT_GE(gaps.size(), 5u);
    EXPECT_LT(gaps[0], 1500) << ::testing::PrintToString(gaps);
    EXPECT_TRUE(std::is_sorted(gaps.begin(), gaps.begin() + 4)) << ::testing::PrintToString(gaps);
    EXPECT_GE(*std::max_element(gaps.begin(), gaps.end()), 4000) << ::testing::PrintToString(gaps);
    EXPECT_LE(gaps.size(), 20u) << ::testing::PrintToString(gaps);

    // Stopped during the reconnection: nothing more was tried or reported.
    EXPECT_EQ(stopped.radio.Refused().size(), stoppedTries);
    EXPECT_EQ(stopped.states.back(), 1);
    EXPECT_EQ(std::count(stopped.states.begin(), stopped.states.end(), 1), 1);
}

Codes Batch(PlayStateTracker& t, std::initializer_list<PlayerEvent> events) {
    for (auto e : events) t.Feed(e);
    Codes codes;
    for (castora::PlayState s : t.FinishDrain()) codes.push_back(StateCode(s));
    return codes;
}

TEST(PlayStateTrackerBuffering, StreamThatRunsDryAtOnceStillPlayed) {
    using E = PlayerEvent;
    PlayStateTracker t;
    t.Load();
    EXPECT_EQ(Batch(t, {E::StartFile}), Codes{9});
    // Started and ran dry before the batch was read: the page still has to see "playing".
    EXPECT_EQ(Batch(t, {E::PlaybackRestart, E::CacheWaitOn}), (Codes{3, 6}));
    // A restart while still waiting for data (a seek, a reconnect) is no new start.
    EXPECT_EQ(Batch(t, {E::PlaybackRestart}), Codes{});
    EXPECT_EQ(Batch(t, {E::CacheWaitOff}), Codes{3});

    // The same within the opening batch itself.
    t.Load();
    EXPECT_EQ(Batch(t, {E::EndStop, E::StartFile, E::PlaybackRestart, E::CacheWaitOn}), (Codes{9, 3, 6}));
    // Closed while buffering: stopped, and no late "playing".
    t.Close();
    EXPECT_EQ(Batch(t, {E::CacheWaitOff, E::EndStop}), Codes{1});
}

}  // namespace
