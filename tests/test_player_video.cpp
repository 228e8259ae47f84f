// The real video path: libmpv's render API drawing into a QOpenGLWidget, under an X server.
#include <gtest/gtest.h>

#include <QApplication>
#include <QOpenGLWidget>
#include <QScreen>
#include <QTest>

#include <memory>

#include "player/MediaPlayer.h"
#include "player/VideoWidget.h"
#include "support/Patience.h"
#include "support/PlayStates.h"
#include "support/QtApp.h"
#include "support/ScriptedServer.h"
#include "support/StaticHttpServer.h"
#include "support/Wav.h"

using castora::MpvVideoWidget;
using castora::PlayerOptions;
using castora::TMediaPlayer;
using castora::test::StaticHttpServer;

namespace {

// An uncompressed YUV4MPEG2 clip of evenly light-grey frames.
std::string MakeY4m(int width, int height, int frames, int fps) {
    std::string out = "YUV4MPEG2 W" + std::to_string(width) + " H" + std::to_string(height) + " F" +
                      std::to_string(fps) + ":1 Ip A1:1 C420jpeg\n";
    const size_t luma = static_cast<size_t>(width) * height;
    for (int i = 0; i < frames; ++i) {
        out += "FRAME\n";
        out.append(luma, static_cast<char>(200));
        out.append(luma / 2, static_cast<char>(128));  // both chroma planes: no colour
    }
    return out;
}

bool Light(QRgb c) { return qGray(c) > 150; }
bool Dark(QRgb c) { return qGray(c) < 40; }

TEST(PlayerVideo, RendersThroughTheRenderApiAndZooms) {
    castora::test::EnsureApp();
    ASSERT_NE(QGuiApplication::platformName(), "offscreen");
    StaticHttpServer server;
    server.Add("/clip.y4m", MakeY4m(160, 120, 60, 10), "video/x-yuv4mpegpipe");

    auto player = std::make_unique<TMediaPlayer>(PlayerOptions{false, 3});
    std::vector<int> states;
    QObject::connect(player.get(), &TMediaPlayer::PlayStateChange, [&](castora::PlayState state) {
        const int s = StateCode(state);
        states.push_back(s);
    });

    auto window = std::make_unique<QWidget>();
    QWidget* video = player->createVideoWidget(window.get());
    auto* gl = qobject_cast<MpvVideoWidget*>(video);
    ASSERT_NE(gl, nullptr);
    video->setFixedSize(512, 384);
    window->resize(512, 384);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return gl->hasRenderContext(); }, kPatienceMs));

    player->setURL(QString::fromStdString(server.Url("/clip.y4m")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !states.empty() && states.back() == 3; }, kPatienceMs))
        << ::testing::PrintToString(states);

    // Zoom off: the small picture keeps its own size in the middle of black.
    QImage frame;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            frame = gl->grabFramebuffer();
            return Light(frame.pixel(256, 192));
        },
        kPatienceMs));
    EXPECT_TRUE(Dark(frame.pixel(10, 10)));
    EXPECT_TRUE(Dark(frame.pixel(160, 192)));  // just left of the 160-pixel picture
    EXPECT_TRUE(Light(frame.pixel(190, 192)));

    // Zoom on: scaled to the area; 4:3 fills 512 x 384 completely.
    player->setStretchToFit(true);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            frame = gl->grabFramebuffer();
            return Light(frame.pixel(10, 10));
        },
        kPatienceMs));
    EXPECT_TRUE(Light(frame.pixel(500, 370)));
    EXPECT_EQ(StateCode(player->playState()), 3);

    // The engine goes first while the widget lives on; the render context must be freed before it.
    player.reset();
    EXPECT_FALSE(gl->hasRenderContext());
    window.reset();
}

TEST(PlayerVideo, WidgetMayGoBeforeThePlayer) {
    castora::test::EnsureApp();
    StaticHttpServer server;
    server.Add("/clip.y4m", MakeY4m(160, 120, 30, 10), "video/x-yuv4mpegpipe");
    TMediaPlayer player(PlayerOptions{false, 3});
    std::vector<int> states;
    QObject::connect(&player, &TMediaPlayer::PlayStateChange, [&](castora::PlayState state) {
        const int s = StateCode(state);
        states.push_back(s);
    });
    {
        QWidget window;
        QWidget* video = player.createVideoWidget(&window);
        video->setFixedSize(512, 384);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        player.setURL(QString::fromStdString(server.Url("/clip.y4m")));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !states.empty() && states.back() == 3; }, kPatienceMs));
    }
    // Playback goes on without a picture, and the player still stops cleanly.
    QTest::qWait(200);
    player.close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return states.back() == 1; }, kPatienceMs)) << ::testing::PrintToString(states);
}

// The picture must not outlive its stream: read from the X server, as the user sees it.
TEST(PlayerVideo, AreaTurnsBlackWhenPlaybackStopsEndsFailsOrAnotherOpens) {
    castora::test::EnsureApp();
    StaticHttpServer server;
    server.Add("/tv.y4m", MakeY4m(160, 120, 100, 10), "video/x-yuv4mpegpipe");
    server.Add("/short.y4m", MakeY4m(160, 120, 10, 10), "video/x-yuv4mpegpipe");
    server.Add("/radio.wav", castora::test::MakeWav(20), "audio/wav");
    TMediaPlayer player(PlayerOptions{false, 3});
    std::vector<int> states;
    QObject::connect(&player, &TMediaPlayer::PlayStateChange, [&](castora::PlayState state) {
        const int s = StateCode(state);
        states.push_back(s);
    });
    QWidget window;
    QWidget* video = player.createVideoWidget(&window);
    video->setFixedSize(512, 384);
    window.resize(512, 384);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    auto centre = [&] { return window.screen()->grabWindow(window.winId()).toImage().pixel(256, 192); };
    auto showsPicture = [&] { return QTest::qWaitFor([&] { return Light(centre()); }, kPatienceMs); };
    // "At once": within a few frames' time of the event, without anything else forcing a repaint.
    auto turnsBlack = [&] { return QTest::qWaitFor([&] { return Dark(centre()); }, kPatienceMs); };
    auto open = [&](const QString& url) {
        states.clear();
        player.setURL(url);
    };
    auto play = [&](const char* path) { open(QString::fromStdString(server.Url(path))); };
    auto reaches = [&](int s) {
        return QTest::qWaitFor([&] { return std::count(states.begin(), states.end(), s) > 0; }, kPatienceMs);
    };

    play("/tv.y4m");
    ASSERT_TRUE(showsPicture());
    player.close();
    EXPECT_TRUE(turnsBlack()) << "after Stop";

    // From a TV channel to a radio channel: black from the switch on, and it stays so while the radio plays.
    play("/tv.y4m");
    ASSERT_TRUE(showsPicture());
    play("/radio.wav");
    EXPECT_TRUE(turnsBlack()) << "when the radio starts opening";
    ASSERT_TRUE(reaches(3));
    QTest::qWait(300);
    EXPECT_TRUE(Dark(centre())) << "while the radio plays";

    play("/short.y4m");
    ASSERT_TRUE(showsPicture());
    ASSERT_TRUE(reaches(8));
    EXPECT_TRUE(turnsBlack()) << "after the end";

    play("/tv.y4m");
    ASSERT_TRUE(showsPicture());
    open(QStringLiteral("http://127.0.0.1:%1/tv").arg(castora::test::ScriptedServer::UnusedPort()));
    EXPECT_TRUE(turnsBlack()) << "when a failing channel opens";
    ASSERT_TRUE(reaches(10));
    EXPECT_TRUE(Dark(centre())) << "after the failure";
}

}  // namespace

// The engine starts by itself once the window is on screen, with no play asked for, also when pages
// cover the whole window and the video area is on a page not shown: such a window never gets a paint
// event of its own.
TEST(PlayerVideo, EngineStartsOnceTheCoveredWindowIsOnScreen) {
    castora::test::EnsureApp();
    TMediaPlayer player(PlayerOptions{false, 3});
    QWidget window;
    window.resize(512, 384);
    auto* page = new QWidget(&window);
    page->setAutoFillBackground(true);
    page->setGeometry(0, 0, 512, 384);
    QWidget* video = player.createVideoWidget(&window);
    video->hide();
    QTest::qWait(300);
    EXPECT_EQ(player.handle(), nullptr);  // not before the window is shown
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_TRUE(QTest::qWaitFor([&] { return player.handle() != nullptr; }, kPatienceMs));
}
