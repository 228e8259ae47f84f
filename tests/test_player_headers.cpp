// Request headers carried in a channel's address reach the server as headers, not as part of the address.
#include <gtest/gtest.h>

#include <QTest>

#include "player/MediaPlayer.h"
#include "support/Patience.h"
#include "support/PlayStates.h"
#include "support/QtApp.h"
#include "support/ScriptedServer.h"
#include "support/Wav.h"

using castora::PlayerOptions;
using castora::TMediaPlayer;
using castora::test::ScriptedServer;

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
    ASSERT_TRUE(QTest::qWaitFor([&] { return ended() >= 2; }, kPatienceMs));
    const std::string next = Requests(plain);
    EXPECT_TRUE(next.starts_with("GET /plain.wav HTTP/1.1\r\n")) << next;
    EXPECT_NE(next.find("\r\nUser-Agent: "), std::string::npos) << next;
    EXPECT_EQ(next.find("Test Agent"), std::string::npos) << next;
    EXPECT_EQ(next.find("Referer:"), std::string::npos) << next;
    EXPECT_EQ(next.find("X-Token"), std::string::npos) << next;
}
