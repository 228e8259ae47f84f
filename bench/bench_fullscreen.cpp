// Two figures of watching, each beside its reference from the same run:
// - frames dropped (frame-drop-count + vo-delayed-frame-count) while a 1280x720 30 fps loopback stream
//   plays full screen for 20 s, in the program and in the mpv command line (mpv --fs);
// - the longest stall of the window's thread while the window is resized as a user drags it, on the
//   Channels page with 10^5 channels and with 10.
// Run under an X server with a 1920x1080 screen.
#include <QApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <clocale>
#include <cstdio>
#include <vector>

#include <mpv/client.h>

#include "BenchSupport.h"
#include "pages/ChannelsPage.h"
#include "pages/PlayPage.h"
#include "player/MediaPlayer.h"
#include "support/Catalogues.h"
#include "support/StaticHttpServer.h"
#include "support/TempDir.h"

using namespace castora;
using namespace castora::bench;
namespace fs = std::filesystem;

namespace {

constexpr double kSeconds = 20;

void Wait(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

AppConfig ConfigIn(const fs::path& lists, const fs::path& scratch, bool video) {
    AppConfig config;
    config.listDir = QString::fromStdString(lists.string());
    config.programDir = config.listDir;
    config.cacheDir = QString::fromStdString((scratch / "cache").string());
    config.settingsFile = QString::fromStdString((scratch / "settings.ini").string());
    config.updateHost = "127.0.0.1:9";
    config.nullMediaOutputs = !video;
    return config;
}

struct Drops {
    long long dropped = -1, delayed = -1;
    long long Total() const { return dropped + delayed; }
};

int64_t Counter(mpv_handle* mpv, const char* name) {
    int64_t value = -1;
    mpv_get_property(mpv, name, MPV_FORMAT_INT64, &value);
    return value;
}

double Position(mpv_handle* mpv) {
    double value = 0;
    mpv_get_property(mpv, "time-pos", MPV_FORMAT_DOUBLE, &value);
    return value;
}

Drops ProgramDrops(const std::string& url, const fs::path& scratch) {
    const fs::path lists = scratch / "program";
    fs::create_directories(lists);
    test::WriteLookups(lists, {"TV"}, {"Here"}, {"News"});
    test::WriteFile(lists / "global.dat", test::ListFileBytes("01.12.2026", {test::Channel("Clip", url)}));
    SilentMessages messages;
    TMainForm form(ConfigIn(lists, scratch, true), messages);
    form.show();
    Settle(form);
    form.findChild<ChannelsPage*>("Channels")->SelectGridRow(1);
    form.findChild<PlayPage*>("Play")->PlaySelected();
    form.SetFullScreen(true);
    auto* player = form.findChild<TMediaPlayer*>("Player");
    while (player->playState() != PlayState::Playing || !player->handle()) Wait(10);
    while (Position(player->handle()) < kSeconds) Wait(100);
    Drops d{Counter(player->handle(), "frame-drop-count"), Counter(player->handle(), "vo-delayed-frame-count")};
    form.SetFullScreen(false);
    return d;
}

// One request over mpv's JSON IPC; the answer to it, skipping the events that come between.
QJsonObject Ask(QLocalSocket& socket, const QStringList& command, int id) {
    QJsonObject request{{"command", QJsonArray::fromStringList(command)}, {"request_id", id}};
    socket.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + "\n");
    socket.flush();
    while (socket.waitForReadyRead(5000) || socket.canReadLine()) {
        while (socket.canReadLine()) {
            const QJsonObject reply = QJsonDocument::fromJson(socket.readLine()).object();
            if (reply.value("request_id").toInt() == id) return reply;
        }
    }
    return {};
}

Drops CommandLineDrops(const std::string& url, const fs::path& scratch) {
    const QString ipc = QString::fromStdString((scratch / "mpv.sock").string());
    QProcess mpv;
    mpv.setStandardOutputFile(QProcess::nullDevice());
    mpv.setStandardErrorFile(QProcess::nullDevice());
    mpv.start("mpv", {"--no-config", "--really-quiet", "--fs", "--ao=null", "--keep-open=yes",
                      "--input-ipc-server=" + ipc, QString::fromStdString(url)});
    Drops d;
    if (!mpv.waitForStarted()) return d;
    QLocalSocket socket;
    for (int i = 0; i < 500 && socket.state() != QLocalSocket::ConnectedState; ++i) {
        socket.connectToServer(ipc);
        if (!socket.waitForConnected(100)) Wait(20);
    }
    int id = 1;
    for (;;) {
        const QJsonObject pos = Ask(socket, {"get_property", "time-pos"}, id++);
        if (pos.value("data").toDouble() >= kSeconds) break;
        if (mpv.state() != QProcess::Running) return d;
        Wait(100);
    }
    d.dropped = Ask(socket, {"get_property", "frame-drop-count"}, id++).value("data").toInteger(-1);
    d.delayed = Ask(socket, {"get_property", "vo-delayed-frame-count"}, id++).value("data").toInteger(-1);
    Ask(socket, {"quit"}, id++);
    mpv.waitForFinished(10000);
    return d;
}

struct Stall {
    double longestMs = 0;
    double medianMs = 0;
};

// Resizes the window in the event loop as a drag would (a step every 16 ms, out to 1900x1000 and back), while
// a 2 ms heartbeat records how late each of its ticks comes: the longest lateness is the longest stall.
Stall ResizeStall(const fs::path& lists, const fs::path& scratch) {
    SilentMessages messages;
    TMainForm form(ConfigIn(lists, scratch, false), messages);
    form.show();
    Settle(form);
    form.ChannelsButtonClick();
    Wait(300);
    std::vector<double> gaps;
    QElapsedTimer clock;
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    heartbeat.setInterval(2);
    qint64 last = 0;
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        gaps.push_back((now - last) / 1e6 - 2);
        last = now;
    });
    constexpr int kSteps = 120;
    int step = 0;
    QEventLoop loop;
    QTimer drag;
    drag.setInterval(16);
    QObject::connect(&drag, &QTimer::timeout, [&] {
        const double t = step <= kSteps / 2 ? step / (kSteps / 2.0) : (kSteps - step) / (kSteps / 2.0);
        form.resize(static_cast<int>(512 + t * (1900 - 512)), static_cast<int>(474 + t * (1000 - 474)));
        if (++step > kSteps) loop.quit();
    });
    clock.start();
    last = clock.nsecsElapsed();
    heartbeat.start();
    drag.start();
    loop.exec();
    std::sort(gaps.begin(), gaps.end());
    Stall s;
    if (!gaps.empty()) {
        s.longestMs = std::max(0.0, gaps.back());
        s.medianMs = std::max(0.0, gaps[gaps.size() / 2]);
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    ScratchDir scratch("castora-fsbench");
    const QSize screen = app.primaryScreen()->size();
    std::printf("screen %dx%d\n", screen.width(), screen.height());

    const fs::path clip = scratch.Path() / "clip.mkv";
    QProcess encode;
    encode.setProcessChannelMode(QProcess::MergedChannels);
    encode.start("mpv", {"--no-config", "av://lavfi:testsrc2=size=1280x720:rate=30:duration=24",
                         "--o=" + QString::fromStdString(clip.string()), "--of=matroska", "--ovc=mpeg2video",
                         "--ovcopts=b=4M,g=30"});
    if (!encode.waitForFinished(120000) || encode.exitCode() != 0 || !fs::exists(clip)) {
        std::printf("the clip could not be made with the mpv command line\n");
        return 1;
    }
    test::StaticHttpServer server(true);
    server.Add("/clip.mkv", test::ReadFile(clip), "video/x-matroska");
    const std::string url = server.Url("/clip.mkv");

    const Drops program = ProgramDrops(url, scratch.Path());
    const Drops reference = CommandLineDrops(url, scratch.Path());
    std::printf("fullscreen.program_dropped %lld (frame-drop-count %lld + vo-delayed-frame-count %lld)\n",
                program.Total(), program.dropped, program.delayed);
    std::printf("fullscreen.mpv_fs_dropped %lld (frame-drop-count %lld + vo-delayed-frame-count %lld)\n",
                reference.Total(), reference.dropped, reference.delayed);

    const Stall large = ResizeStall(CatalogueDir(scratch.Path(), 100000), scratch.Path());
    const Stall small = ResizeStall(CatalogueDir(scratch.Path(), 10), scratch.Path());
    std::printf("resize.stall_100000_channels longest %.1f ms, median %.2f ms\n", large.longestMs, large.medianMs);
    std::printf("resize.stall_10_channels longest %.1f ms, median %.2f ms\n", small.longestMs, small.medianMs);
    return 0;
}
