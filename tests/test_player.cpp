// The adapter against real libmpv with null outputs, playing generated WAV files from a loopback server.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QTest>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "player/MediaPlayer.h"
#include "support/QtApp.h"
#include "support/ScriptedServer.h"
#include "support/StaticHttpServer.h"
#include "support/Wav.h"

using castora::PlayerOptions;
using castora::TMediaPlayer;
using castora::test::MakeWav;
using castora::test::StaticHttpServer;

namespace {

class PlayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        castora::test::EnsureApp();
        server.Add("/short.wav", MakeWav(1.0), "audio/wav");
        server.Add("/clip.wav", MakeWav(0.2), "audio/wav");
        server.Add("/long.wav", MakeWav(20), "audio/wav");
        player = std::make_unique<TMediaPlayer>(PlayerOptions{true, 3});
        QObject::connect(player.get(), &TMediaPlayer::PlayStateChange, [this](int s) {
            states.push_back(s);
            if (s == 3) nameAt3 = player->currentMediaName();
        });
    }
    bool WaitState(int s, int ms = 5000) {
        return QTest::qWaitFor([&] { return std::count(states.begin(), states.end(), s) > 0; }, ms);
    }
    QString Url(const char* path) { return QString::fromStdString(server.Url(path)); }

    StaticHttpServer server;
    std::unique_ptr<TMediaPlayer> player;
    std::vector<int> states;
    QString nameAt3;
};

TEST_F(PlayerTest, StartsQuietWithTheControlsDefaults) {
    EXPECT_EQ(player->volume(), 50);
    EXPECT_FALSE(player->mute());
    EXPECT_FALSE(player->stretchToFit());
    EXPECT_FALSE(player->enabled());
    EXPECT_TRUE(player->URL().isEmpty());
    EXPECT_NE(player->playState(), 3);
    QTest::qWait(200);
    EXPECT_TRUE(states.empty());
}

TEST_F(PlayerTest, SettingsReachTheEngine) {
    player->setVolume(150);
    EXPECT_EQ(player->volume(), 100);
    player->setVolume(-5);
    EXPECT_EQ(player->volume(), 0);
    player->setVolume(37);
    EXPECT_EQ(player->volume(), 37);
    player->setMute(true);
    EXPECT_TRUE(player->mute());
    player->setStretchToFit(true);
    EXPECT_TRUE(player->stretchToFit());
    player->setStretchToFit(false);
    EXPECT_FALSE(player->stretchToFit());
    player->setEnabled(true);
    EXPECT_TRUE(player->enabled());
    // Volume and mute outlive a played file.
    player->setURL(Url("/short.wav"));
    ASSERT_TRUE(WaitState(8));
    EXPECT_EQ(player->volume(), 37);
    EXPECT_TRUE(player->mute());
}

TEST_F(PlayerTest, FilePlaysToTheEnd) {
    player->setURL(Url("/short.wav"));
    EXPECT_EQ(player->URL(), Url("/short.wav"));
    ASSERT_TRUE(WaitState(8)) << ::testing::PrintToString(states);
    EXPECT_EQ(states, (std::vector<int>{9, 3, 8}));
    EXPECT_EQ(nameAt3, "short.wav");
    EXPECT_EQ(player->playState(), 8);

    // A clip the engine buffers whole reports its start and end together; both still arrive.
    states.clear();
    player->setURL(Url("/clip.wav"));
    ASSERT_TRUE(WaitState(8)) << ::testing::PrintToString(states);
    EXPECT_EQ(states, (std::vector<int>{9, 3, 8}));
}

TEST_F(PlayerTest, CloseStopsAndReportsStopped) {
    player->setURL(Url("/long.wav"));
    ASSERT_TRUE(WaitState(3));
    EXPECT_EQ(player->playState(), 3);
    player->close();
    EXPECT_NE(player->playState(), 3);  // at once, before any event came back
    ASSERT_TRUE(WaitState(1, 2000));
    EXPECT_EQ(states, (std::vector<int>{9, 3, 1}));
    QTest::qWait(200);
    EXPECT_EQ(states.back(), 1);

    // Closing with nothing open still reports the stop once.
    states.clear();
    player->setURL(Url("/short.wav"));
    ASSERT_TRUE(WaitState(8));
    player->close();
    ASSERT_TRUE(WaitState(1, 1000));
}

TEST_F(PlayerTest, NewUrlWhilePlayingSwitchesWithoutStopping) {
    player->setURL(Url("/long.wav"));
    ASSERT_TRUE(WaitState(3));
    states.clear();
    player->close();
    player->setURL(Url("/short.wav"));
    ASSERT_TRUE(WaitState(8)) << ::testing::PrintToString(states);
    EXPECT_EQ(states, (std::vector<int>{9, 3, 8}));
    EXPECT_EQ(nameAt3, "short.wav");
}

TEST_F(PlayerTest, UnreachableStreamsEndReady) {
    player->setURL(QStringLiteral("http://127.0.0.1:%1/none.wav").arg(castora::test::ScriptedServer::UnusedPort()));
    ASSERT_TRUE(WaitState(10, 4000)) << ::testing::PrintToString(states);
    EXPECT_EQ(states, (std::vector<int>{9, 10}));

    states.clear();
    player->setURL(Url("/missing.wav"));
    ASSERT_TRUE(WaitState(10, 4000)) << ::testing::PrintToString(states);
    EXPECT_EQ(states, (std::vector<int>{9, 10}));
}

TEST_F(PlayerTest, EmptyUrlPlaysNothing) {
    player->setURL(QString());
    QTest::qWait(300);
    EXPECT_EQ(std::count(states.begin(), states.end(), 9), 0);
    EXPECT_EQ(std::count(states.begin(), states.end(), 3), 0);
    EXPECT_NE(player->playState(), 3);
    EXPECT_EQ(server.Requests(), 0);
}

} // namespace
