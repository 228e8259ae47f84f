// Request headers carried in a channel's address reach the server as headers, not as part of the address.
#include <gtest/gtest.h>

#include <QTest>

#include "player/MediaPlayer.h"
#include "support/Patience.h"
#include "support/PlayStates.h"
#include "support/QtApp.h"
#include "support/ScriptedServer.h"
#include "support/TempDir.h"
#include "support/Wav.h"

using castora::PlayerOptions;
using castora::TMediaPlayer;
using castora::test::ScriptedServer;
using namespace std::string_literals;

namespace {

std::string WavAnswer() {
    const std::string wav = castora::test::MakeWav(0.3);
    return "HTTP/1.1 200 OK\r\nContent-Type: audio/wav\r\nContent-Length: " + std::to_string(wav.size()) + "\r\n\r\n" +
           wav;
}

// Every request the server saw, as one text.
std::string Requests(ScriptedServer& server) {
    std::string all;
    for (size_t n = 0; n < server.Connections(); ++n) all += server.Request(n);
    return all;
}

}  // namespace

TEST(PlayerHeaders, SuffixGoesOutAsRequestHeadersForThatFileOnly) {
    castora::test::EnsureApp();
    TMediaPlayer player(PlayerOptions{true, 3});
    std::vector<int> states;
    QObject::connect(&player, &TMediaPlayer::PlayStateChange, [&](castora::PlayState state) {
        const int s = StateCode(state);
        states.push_back(s);
    });
    const auto ended = [&] {
        return std::count(states.begin(), states.end(), 8) + std::count(states.begin(), states.end(), 10);
    };

    ScriptedServer withHeaders;
    withHeaders.Send(WavAnswer()).Start();
    const std::string url =
        withHeaders.Url("/tone.wav") +
        "|User-Agent=Test Agent/1.0 (X11, Linux)&Referer=http://ref.example/?a=1&b=2&X-Token=abc, def";
    player.setURL(QString::fromStdString(url));
    EXPECT_EQ(player.URL().toStdString(), url);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ended() >= 1; }, kPatienceMs));
    EXPECT_EQ(std::count(states.begin(), states.end(), 3), 1) << "the tone played";
    const std::string sent = Requests(withHeaders);
    EXPECT_TRUE(sent.starts_with("GET /tone.wav HTTP/1.1\r\n")) << sent;
    EXPECT_NE(sent.find("\r\nUser-Agent: Test Agent/1.0 (X11, Linux)\r\n"), std::string::npos) << sent;
    EXPECT_NE(sent.find("\r\nReferer: http://ref.example/?a=1&b=2\r\n"), std::string::npos) << sent;
    EXPECT_NE(sent.find("\r\nX-Token: abc, def\r\n"), std::string::npos) << sent;
    EXPECT_EQ(sent.find('|'), std::string::npos) << sent;

    // The next channel has no suffix: none of those headers follow it.
    ScriptedServer plain;
    plain.Send(WavAnswer()).Start();
    player.setURL(QString::fromStdString(plain.Url("/plain.wav")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return ended() >= 2; }, kPatienceMs)) << ::testing::PrintToString(states);
    const std::string next = Requests(plain);
    EXPECT_TRUE(next.starts_with("GET /plain.wav HTTP/1.1\r\n")) << next;
    EXPECT_NE(next.find("\r\nUser-Agent: "), std::string::npos) << next;
    EXPECT_EQ(next.find("Test Agent"), std::string::npos) << next;
    EXPECT_EQ(next.find("Referer:"), std::string::npos) << next;
    EXPECT_EQ(next.find("X-Token"), std::string::npos) << next;
}

TEST(PlayerHeaders, AHeaderWithAControlByteIsDroppedAndTheAddressStillPlays) {
    castora::test::EnsureApp();
    TMediaPlayer player(PlayerOptions{true, 3});
    std::vector<int> states;
    QObject::connect(&player, &TMediaPlayer::PlayStateChange,
                     [&](castora::PlayState state) { states.push_back(StateCode(state)); });
    const struct Case {
        const char* what;
        std::string suffix;
    } cases[] = {
        {"CR LF in the agent", "|User-Agent=Foo\r\nX-Injected: 1&X-Keep=yes"},
        {"LF in the referrer", "|Referer=http://r/\nX-Injected: 1&X-Keep=yes"},
        {"CR in another header", "|X-Keep=yes&X-Token=a\rX-Injected: 1"},
        {"NUL in a value", "|X-Keep=yes&X-Token=a\0X-Injected: 1"s},
        {"tab in a value", "|X-Keep=yes&User-Agent=a\tX-Injected: 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        states.clear();
        ScriptedServer server;
        server.Send(WavAnswer()).Start();
        player.setURL(QString::fromStdString(server.Url("/tone.wav") + c.suffix));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !states.empty() && (states.back() == 8 || states.back() == 10); },
                                    kPatienceMs))
            << ::testing::PrintToString(states);
        EXPECT_EQ(std::count(states.begin(), states.end(), 3), 1) << "the address played";
        const std::string sent = Requests(server);
        EXPECT_TRUE(sent.starts_with("GET /tone.wav HTTP/1.1\r\n")) << sent;
        EXPECT_NE(sent.find("\r\nX-Keep: yes\r\n"), std::string::npos) << sent;
        EXPECT_EQ(sent.find("Injected"), std::string::npos) << sent;
        EXPECT_EQ(sent.find("Foo"), std::string::npos) << sent;
        // The head is one block of CR LF lines: no bare CR, LF or NUL anywhere in it.
        const std::string head = sent.substr(0, sent.find("\r\n\r\n"));
        std::string stripped = head;
        for (size_t at; (at = stripped.find("\r\n")) != std::string::npos;) stripped.erase(at, 2);
        EXPECT_EQ(stripped.find_first_of(std::string("\r\n\0\t", 4)), std::string::npos) << head;
    }
}

TEST(PlayerAddresses, EngineAddressesAreRefusedBeforeTheEngineSeesThem) {
    castora::test::EnsureApp();
    TMediaPlayer player(PlayerOptions{true, 3});
    std::vector<int> states;
    QObject::connect(&player, &TMediaPlayer::PlayStateChange,
                     [&](castora::PlayState state) { states.push_back(StateCode(state)); });
    ScriptedServer server;
    server.Send(WavAnswer()).Start();
    const std::string refused[] = {
        "av://lavfi:sine=frequency=440:duration=1",
        "edl://" + server.Url("/tone.wav"),
        "slice://0-100@" + server.Url("/tone.wav"),
        "memory://RIFF",
        "fd://0",
        "-",
        "lavf://" + server.Url("/tone.wav"),
        server.Url("/tone.wav\r\nX-Injected: 1"),
    };
    for (const std::string& address : refused) {
        SCOPED_TRACE(address);
        try {
            player.setURL(QString::fromStdString(address));
            ADD_FAILURE() << "accepted";
        } catch (const castora::EPlayerError& e) {
            EXPECT_TRUE(std::string(e.what()).starts_with("Can't play \"")) << e.what();
            EXPECT_TRUE(std::string(e.what()).ends_with("\": the player opens only network streams and files."));
        }
        EXPECT_TRUE(player.URL().isEmpty());
        EXPECT_EQ(player.playState(), castora::PlayState::Stopped);
    }
    // The page hears "stopped" and nothing else; the engine never asked for the tone.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !states.empty(); }, kPatienceMs));
    EXPECT_EQ(states, std::vector<int>{StateCode(castora::PlayState::Stopped)});
    EXPECT_EQ(server.Connections(), 0u);

    // A plain path is a file, and plays.
    castora::test::TempDir dir;
    castora::test::WriteFile(dir / "tone.wav", castora::test::MakeWav(0.3));
    states.clear();
    player.setURL(QString::fromStdString((dir / "tone.wav").string()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !states.empty() && states.back() == 8; }, kPatienceMs));
    EXPECT_EQ(std::count(states.begin(), states.end(), 3), 1);
}

TEST(PlayerAddresses, APlaylistFromTheNetCannotLeadToAnEngineAddress) {
    castora::test::EnsureApp();
    TMediaPlayer player(PlayerOptions{true, 3});
    std::vector<int> states;
    QObject::connect(&player, &TMediaPlayer::PlayStateChange,
                     [&](castora::PlayState state) { states.push_back(StateCode(state)); });
    ScriptedServer tone;
    tone.Send(WavAnswer()).Start();
    const struct Case {
        std::string entry;
        bool plays;
    } cases[] = {
        {tone.Url("/tone.wav"), true},  // the link is followed: the refusals below are the engine's choice
        {"av://lavfi:sine=frequency=440:duration=1", false},
        {"edl://av://lavfi:sine=duration=1", false},
        {"file:///dev/zero", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry);
        const std::string body = "#EXTM3U\n#EXTINF:-1,Entry\n" + c.entry + "\n";
        ScriptedServer list;
        list.Send("HTTP/1.1 200 OK\r\nContent-Type: audio/x-mpegurl\r\nContent-Length: " + std::to_string(body.size()) +
                  "\r\n\r\n" + body)
            .Start();
        states.clear();
        player.setURL(QString::fromStdString(list.Url("/list.m3u")));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !states.empty() && (states.back() == 8 || states.back() == 10); },
                                    kPatienceMs))
            << ::testing::PrintToString(states);
        EXPECT_EQ(std::count(states.begin(), states.end(), 3), c.plays ? 1 : 0);
        EXPECT_EQ(states.back(), c.plays ? 8 : 10);
    }
}
