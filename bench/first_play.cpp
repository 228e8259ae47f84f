// The first "Play" after start-up at its earliest: a window with the player's video area, and the URL
// handed to the player the moment the window is shown. Prints "SHOWN <ms>" and "PLAYING <ms>", counted
// from main(), for a parent that times the whole process.
#include <QApplication>
#include <QEvent>
#include <QVBoxLayout>
#include <QWidget>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <functional>
#include <utility>

#include "player/MediaPlayer.h"

namespace {
using Clock = std::chrono::steady_clock;
double MsSince(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }
}  // namespace

int main(int argc, char** argv) {
    const auto entry = Clock::now();
    if (argc < 2) return 2;
    QApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    QWidget window;
    window.setWindowTitle("Castora Player");
    window.setFixedSize(512, 474);
    castora::TMediaPlayer player(castora::PlayerOptions{true});
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(player.createVideoWidget(&window));
    QObject::connect(&player, &castora::TMediaPlayer::PlayStateChange, [&](castora::PlayState s) {
        if (s != castora::PlayState::Playing) return;
        std::printf("PLAYING %.3f\n", MsSince(entry));
        std::fflush(stdout);
        app.exit(0);
    });
    struct ShowWatch : QObject {
        std::function<void()> onShow;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Show && onShow) std::exchange(onShow, nullptr)();
            return false;
        }
    } watch;
    watch.onShow = [&] {
        std::printf("SHOWN %.3f\n", MsSince(entry));
        std::fflush(stdout);
        player.setURL(QString::fromLocal8Bit(argv[1]));
        player.setEnabled(true);
    };
    window.installEventFilter(&watch);
    window.show();
    return app.exec();
}
