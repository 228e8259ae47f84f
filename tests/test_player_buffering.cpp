// Live streams that stall: the adapter against real libmpv (null outputs) and a paced loopback radio, and
// the state mapping for a stream that runs dry as soon as it starts.
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
#include "support/QtApp.h"
#include "support/ScriptedServer.h"
#include "support/Wav.h"

using castora::PlayerEvent;
using castora::PlayerOptions;
using castora::PlayStateTracker;
using castora::TMediaPlayer;
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
void ScriptRadio(ScriptedServer& radio, double burst, double before, std::chrono::milliseconds stall,
                 double after) {
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
        QObject::connect(player.get(), &TMediaPlayer::PlayStateChange, [this](int s) {
            states.push_back(s);
            times.push_back(clock.elapsed());
            seen.push_back(player->playState());
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
    ASSERT_TRUE(WaitFor({9, 3, 6, 3}, 12000)) << ::testing::PrintToString(states);
    EXPECT_EQ(seen, (Codes{9, 3, 6, 3}));
    // Buffering shows only once the ~2 s the engine held are played out, and lasts until it has refilled:
    // a real wait, not a blip between two reads.
    EXPECT_GE(times[2] - times[1], 1500) << ::testing::PrintToString(times);
    EXPECT_GE(times[3] - times[2], 500) << ::testing::PrintToString(times);

    player->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return states.back() == 1; }, 2000)) << ::testing::PrintToString(states);
    EXPECT_EQ(states, (Codes{9, 3, 6, 3, 1}));
}

TEST_F(BufferingTest, GapTheBufferCoversIsNoStall) {
    ScriptedServer radio;
    ScriptRadio(radio, 0.5, 1.0, 1000ms, 2.0);
    radio.Start();
    Play(radio);
    ASSERT_TRUE(WaitFor({9, 3}, 8000)) << ::testing::PrintToString(states);
    // Past the gap and the time the engine would need to notice it, while data still flows.
    QTest::qWait(static_cast<int>(std::max<qint64>(0, start + 4000 - clock.elapsed())));
    EXPECT_EQ(states, (Codes{9, 3}));
    EXPECT_EQ(player->playState(), 3);
    player->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return states.back() == 1; }, 2000)) << ::testing::PrintToString(states);
}

Codes Batch(PlayStateTracker& t, std::initializer_list<PlayerEvent> events) {
    for (auto e : events) t.Feed(e);
    return t.FinishDrain();
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

} // namespace
