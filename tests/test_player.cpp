// The adapter against real libmpv with null outputs, playing generated WAV files from a loopback server.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QTest>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mpv/client.h>

#include "player/MediaPlayer.h"
#include "support/Patience.h"
#include "support/PlayStates.h"
#include "support/QtApp.h"
#include "support/ScriptedServer.h"
#include "support/StaticHttpServer.h"
#include "support/TempDir.h"
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
        QObject::connect(player.get(), &TMediaPlayer::PlayStateChange, [this](castora::PlayState state) {
            const int s = StateCode(state);
            states.push_back(s);
            if (s == 3) nameAt3 = player->currentMediaName();
        });
    }
    bool WaitState(int s, int ms = kPatienceMs) {
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
    EXPECT_NE(StateCode(player->playState()), 3);
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

// The engine's own scripts each start an interpreter thread; the player starts none of them.
TEST_F(PlayerTest, EngineStartsNoScriptThreads) {
    player->setURL(Url("/long.wav"));
    player->setEnabled(true);
    ASSERT_TRUE(WaitState(3));
    int engineThreads = 0, scriptThreads = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        engineThreads += name.rfind("mpv/", 0) == 0;
        scriptThreads += name.rfind("mpv/lua", 0) == 0;
    }
    EXPECT_GT(engineThreads, 0);  // the names are as expected, so the count below means something
    EXPECT_EQ(scriptThreads, 0);
}

TEST_F(PlayerTest, FilePlaysToTheEnd) {
    player->setURL(Url("/short.wav"));
    EXPECT_EQ(player->URL(), Url("/short.wav"));
    ASSERT_TRUE(WaitState(8)) << ::testing::PrintToString(states);
    EXPECT_EQ(states, (std::vector<int>{9, 3, 8}));
    EXPECT_EQ(nameAt3, "short.wav");
    EXPECT_EQ(StateCode(player->playState()), 8);

    // A clip the engine buffers whole reports its start and end together; both still arrive.
    states.clear();
    player->setURL(Url("/clip.wav"));
    ASSERT_TRUE(WaitState(8)) << ::testing::PrintToString(states);
    EXPECT_EQ(states, (std::vector<int>{9, 3, 8}));
}

TEST_F(PlayerTest, CloseStopsAndReportsStopped) {
    player->setURL(Url("/long.wav"));
    ASSERT_TRUE(WaitState(3));
    EXPECT_EQ(StateCode(player->playState()), 3);
    player->close();
    EXPECT_NE(StateCode(player->playState()), 3);  // at once, before any event came back
    ASSERT_TRUE(WaitState(1));
    EXPECT_EQ(states, (std::vector<int>{9, 3, 1}));
    QTest::qWait(200);
    EXPECT_EQ(states.back(), 1);

    // Closing with nothing open still reports the stop once.
    states.clear();
    player->setURL(Url("/short.wav"));
    ASSERT_TRUE(WaitState(8));
    player->close();
    ASSERT_TRUE(WaitState(1));
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
    ASSERT_TRUE(WaitState(10)) << ::testing::PrintToString(states);
    EXPECT_EQ(states, (std::vector<int>{9, 10}));

    states.clear();
    player->setURL(Url("/missing.wav"));
    ASSERT_TRUE(WaitState(10)) << ::testing::PrintToString(states);
    EXPECT_EQ(states, (std::vector<int>{9, 10}));
}

TEST_F(PlayerTest, EmptyUrlPlaysNothing) {
    player->setURL(QString());
    QTest::qWait(300);
    EXPECT_EQ(std::count(states.begin(), states.end(), 9), 0);
    EXPECT_EQ(std::count(states.begin(), states.end(), 3), 0);
    EXPECT_NE(StateCode(player->playState()), 3);
    EXPECT_EQ(server.Requests(), 0);
}

// Two seconds of Ogg/Opus titled `title`, made by the engine's own encoder.
std::string EncodeOpus(const castora::test::TempDir& dir, const std::string& title) {
    const std::string path = (dir / (title + ".ogg")).string();
    mpv_handle* h = mpv_create();
    const std::pair<const char*, std::string> options[] = {
        {"config", "no"}, {"o", path}, {"of", "ogg"}, {"oac", "libopus"}, {"oset-metadata", "title=\"" + title + "\""}};
    for (const auto& [name, value] : options) mpv_set_option_string(h, name, value.c_str());
    mpv_initialize(h);
    const char* load[] = {"loadfile", "av://lavfi:sine=frequency=440:duration=2", nullptr};
    mpv_command(h, load);
    for (mpv_event* e = mpv_wait_event(h, 10); e->event_id != MPV_EVENT_END_FILE && e->event_id != MPV_EVENT_NONE;
         e = mpv_wait_event(h, 10)) {}
    mpv_terminate_destroy(h);  // finishes the file
    return castora::test::ReadFile(path);
}

TEST(PlayerNames, ChainedOggShowsOnlyTheNewestTitle) {
    castora::test::EnsureApp();
    castora::test::TempDir dir;
    std::string chain;
    for (const char* title : {"Song 1", "Song 2", "Song 3", "Song 4"}) chain += EncodeOpus(dir, title);
    ASSERT_GT(chain.size(), 20000u);

    // A radio sending the chain a little faster than it plays, under a station name of its own.
    castora::test::ScriptedServer radio;
    radio.Send("HTTP/1.0 200 OK\r\nContent-Type: application/ogg\r\nicy-name: Castora Ogg\r\n\r\n");
    for (size_t pos = 0; pos < chain.size(); pos += 1500)
        radio.Send(chain.substr(pos, 1500)).Pause(std::chrono::milliseconds(100));
    radio.Start();

    TMediaPlayer player(PlayerOptions{true, 3});
    QStringList names;
    QObject::connect(&player, &TMediaPlayer::PlayStateChange, [&](castora::PlayState state) {
        const int s = StateCode(state);
        if (s == 3) names << player.currentMediaName();
    });
    QObject::connect(&player, &TMediaPlayer::currentMediaNameChanged, [&](const QString& name) { names << name; });
    player.setURL(QString::fromStdString(radio.Url("/ogg")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return names.contains("Song 3"); }, kPatienceMs))
        << names.join('|').toStdString();
    player.close();
    names.removeDuplicates();
    // The song's own title wins over the station's name, and only the newest shows.
    EXPECT_EQ(names.mid(0, 3), (QStringList{"Song 1", "Song 2", "Song 3"})) << names.join('|').toStdString();
}

}  // namespace

namespace {
// The engine starts on a worker: what the program does before it is up is kept and carried out.
TEST(PlayerStart, SettingsAndPlayBeforeTheEngineIsUpAreCarriedOut) {
    castora::test::EnsureApp();
    StaticHttpServer server;
    server.Add("/long.wav", MakeWav(20), "audio/wav");
    TMediaPlayer player(PlayerOptions{true, 3});
    std::vector<int> states;
    QObject::connect(&player, &TMediaPlayer::PlayStateChange, [&](castora::PlayState state) {
        const int s = StateCode(state);
        states.push_back(s);
    });
    ASSERT_EQ(player.handle(), nullptr);  // not started yet: everything below waits for it
    EXPECT_EQ(player.volume(), 50);       // what the start-up slider reads
    player.setVolume(37);
    player.setMute(true);
    player.setStretchToFit(true);
    player.setURL(QString::fromStdString(server.Url("/long.wav")));
    EXPECT_EQ(StateCode(player.playState()), 9);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !states.empty() && states.back() == 3; }, kPatienceMs))
        << ::testing::PrintToString(states);
    EXPECT_EQ(states, (std::vector<int>{9, 3}));
    ASSERT_NE(player.handle(), nullptr);
    EXPECT_EQ(player.volume(), 37);
    EXPECT_TRUE(player.mute());
    EXPECT_TRUE(player.stretchToFit());
    player.close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return states.back() == 1; }, kPatienceMs));
}
}  // namespace
