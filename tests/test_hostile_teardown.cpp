// Tearing down the video widget while its GL context is live. Meaningful under the sanitizer build
// (scripts/test-sanitize.sh), where undefined behaviour aborts the test.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>

#include <memory>

#include "player/MediaPlayer.h"
#include "player/VideoWidget.h"

#include "support/Patience.h"

using castora::MpvVideoWidget;
using castora::PlayerOptions;
using castora::TMediaPlayer;

// ~QOpenGLWidget destroys the GL context after ~MpvVideoWidget has run; the context's
// aboutToBeDestroyed is still connected to MpvVideoWidget::releaseRenderContext, which is then
// called on an object that is no longer an MpvVideoWidget (UBSan: "downcast of address ... which
// does not point to an object of type 'MpvVideoWidget'"). The widget now disconnects from its context
// in its destructor; the sanitizer build catches a relapse.
TEST(VideoTeardown, DestroyingTheWidgetCallsNothingOnIt) {
    static int argc = 1;
    static char name[] = "test_hostile_teardown";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    ASSERT_NE(QGuiApplication::platformName(), "offscreen");

    auto player = std::make_unique<TMediaPlayer>(PlayerOptions{false, 3});
    auto window = std::make_unique<QWidget>();
    auto* gl = qobject_cast<MpvVideoWidget*>(player->createVideoWidget(window.get()));
    ASSERT_NE(gl, nullptr);
    window->resize(320, 240);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return gl->hasRenderContext(); }, kPatienceMs));
    delete gl;  // the widget alone, while its window and context live on
    EXPECT_TRUE(window->findChildren<MpvVideoWidget*>().isEmpty());
    window.reset();
    player.reset();
}
