// The whole program path with real message boxes clicked like a user would, against the development
// update server (nginx) on loopback.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QDropEvent>
#include <QUrl>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <cstdlib>
#include <deque>
#include <functional>

#include "app/MainForm.h"
#include "app/UpdatePage.h"
#include "app/Workers.h"
#include "pages/ChannelModel.h"
#include "pages/ChannelsPage.h"
#include "pages/EditPage.h"
#include "pages/Messages.h"
#include "pages/PlayPage.h"
#include "support/Parts.h"
#include "support/Patience.h"
#include "support/Catalogues.h"
#include "support/QtApp.h"
#include "support/ScriptedServer.h"
#include "support/StaticHttpServer.h"
#include "support/TempDir.h"
#include "support/Wav.h"
#include "support/XWindow.h"

using namespace castora;
using namespace castora::test;

namespace {

// Answers the next message box that opens by clicking the button with the given text; records its text.
class BoxClicker {
public:
    void Expect(const QString& button) { pending_.push_back(button); }
    QStringList seen;
    QStringList xTitles;  // each box's title as the X server holds it

    // Runs the event loop until cond holds or the limit passes, clicking boxes as they open.
    bool RunUntil(const std::function<bool()>& cond, int limitMs = kPatienceMs) {
        QElapsedTimer timer;
        timer.start();
        while (!cond() && timer.elapsed() < limitMs) {
            QApplication::processEvents(QEventLoop::AllEvents, 20);
            ClickOpenBox();
        }
        return cond();
    }
    // Clicks from inside a modal loop: the box's own event loop runs the timer.
    void Arm() {
        QObject::connect(&timer_, &QTimer::timeout, [this] { ClickOpenBox(); });
        timer_.start(30);
    }

private:
    void ClickOpenBox() {
        if (ClickOpenDialog()) return;
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || pending_.empty() || !box->isVisible()) return;
        for (QAbstractButton* b : box->buttons())
            if (b->text().remove('&') == pending_.front()) {
                seen << box->text();
                xTitles << XWindowName(box);
                EXPECT_EQ(box->windowTitle(), "Castora Player");
                pending_.pop_front();
                b->click();
                return;
            }
    }
    // A dialog of the program's own (the import question): its button of that text.
    bool ClickOpenDialog() {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog || qobject_cast<QMessageBox*>(dialog) || pending_.empty() || !dialog->isVisible()) return false;
        for (QPushButton* b : dialog->findChildren<QPushButton*>())
            if (b->text().remove('&') == pending_.front()) {
                for (QLabel* label : dialog->findChildren<QLabel*>()) seen << label->text();
                xTitles << XWindowName(dialog);
                pending_.pop_front();
                b->click();
                return true;
            }
        return false;
    }
    std::deque<QString> pending_;
    QTimer timer_;  // dies with the clicker: a later test must not reach this one
};

// A window that reads its lists from, and runs in, the given directory, with silent media outputs.
AppConfig RunConfig(const TempDir& run, const QString& updateHost) {
    AppConfig config;
    config.listDir = QString::fromStdString(run.path().string());
    config.programDir = config.listDir;
    config.updateHost = updateHost;
    config.nullMediaOutputs = true;
    return config;
}

struct UpdateServer {
    TempDir dir;
    uint16_t port = ScriptedServer::UnusedPort();
    UpdateServer(const std::filesystem::path& global) {
        const std::string cmd = std::string(CASTORA_SOURCE_DIR) + "/tools/update-server/start.sh " +
                                std::to_string(port) + " " + (dir / "server").string() + " " + global.string() +
                                " >/dev/null";
        started = std::system(cmd.c_str()) == 0;
    }
    ~UpdateServer() {
        const std::string cmd =
            std::string(CASTORA_SOURCE_DIR) + "/tools/update-server/stop.sh " + (dir / "server").string();
        [[maybe_unused]] int rc = std::system(cmd.c_str());
    }
    std::string Submissions() const {
        const auto path = dir / "server" / "submissions.log";
        return std::filesystem::exists(path) ? ReadFile(path) : std::string();
    }
    bool started = false;
};

TEST(EndToEnd, UpdateSubmitAndQuitWithRealMessageBoxes) {
    EnsureApp();
    TempDir run;
    WriteLookups(run.path(), {"TV", "Radio"}, {"Russia", "USA"}, {"News", "Music"});
    WriteFile(run / "global.dat", ListFileBytes("old", {Channel("Old", "http://old")}));
    TempDir staging;
    WriteFile(staging / "global.dat", ListFileBytes("06.12.2026", {Channel("Fresh", "http://fresh", 1, 1, 1),
                                                                   Channel("Second", "http://second")}));
    UpdateServer server(staging / "global.dat");
    ASSERT_TRUE(server.started);

    const AppConfig config = RunConfig(run, QString("127.0.0.1:%1").arg(server.port));
    MessageBoxes boxes;
    BoxClicker clicker;
    clicker.Arm();
    auto form = std::make_unique<TMainForm>(config, boxes);
    boxes.SetParent(form.get());
    form->show();

    PartOf<PageButton>(*form, "UpdatingButton").click();
    clicker.Expect("Yes");
    PartOf<UpdatePage>(*form, "Update").FreeUpdateButton->click();
    ASSERT_TRUE(clicker.RunUntil([&] {
        return PartOf<UpdatePage>(*form, "Update").UpdateStatusPanel->text() == "Free channel list is updated";
    })) << PartOf<UpdatePage>(*form, "Update").UpdateStatusPanel->text().toStdString();
    EXPECT_EQ(clicker.seen.value(0), "Do you want to update the free channel list?");
    EXPECT_EQ(form->Table().ChannelCount, 2);
    EXPECT_EQ(PartOf<ChannelsPage>(*form, "Channels").Model().CellText(ChannelColumn::Name, 1), " Fresh");
    EXPECT_EQ(PartOf<ChannelsPage>(*form, "Channels").GlobalDatePanel->text(), "Global list updated: 06.12.2026");
    ASSERT_TRUE(clicker.RunUntil([&] { return PartOf<QWidget>(*form, "Toolbar").isEnabled(); }));

    PartOf<PageButton>(*form, "ChannelsButton").click();
    PartOf<ChannelsPage>(*form, "Channels").AddButton->click();
    EditPage& edit = PartOf<EditPage>(*form, "Edit");
    edit.AddSourceComboBox->setCurrentIndex(2);
    edit.AddCountryComboBox->setCurrentIndex(1);
    edit.AddGenreComboBox->setCurrentIndex(2);
    edit.NameEdit->setText(QString::fromUtf8("Радио"));
    edit.UrlEdit->setText("http://radio.example/live");
    clicker.Expect("Yes");
    edit.ApplyButton->click();
    ASSERT_TRUE(clicker.RunUntil([&] { return !server.Submissions().empty(); }));
    EXPECT_NE(server.Submissions().find("format=1&source=2&country=1&genre=2&name=%D0%E0%E4%E8%EE"
                                        "&url=http%3A%2F%2Fradio%2Eexample%2Flive&bitrate=&comments="),
              std::string::npos)
        << server.Submissions();

    clicker.Expect("No");
    form->close();
    EXPECT_TRUE(form->isVisible());
    clicker.Expect("Yes");
    form->close();
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(clicker.seen.mid(2), (QStringList{"Are you sure you want to quit?", "Are you sure you want to quit?"}));
    form.reset();
}

// The titles window managers show and screen readers say while channels play, and those of a box asked
// meanwhile, read where Qt's own additions to a title would show: on the X server.
TEST(EndToEnd, TitlesOnTheXServerFollowThePlayingChannel) {
    EnsureApp();
    QApplication::setApplicationDisplayName(AppTitle);  // as the program's entry sets it
    StaticHttpServer media;
    media.Add("/one.wav", MakeWav(30), "audio/wav");
    media.Add("/two.wav", MakeWav(30, 8000, 880), "audio/wav");
    TempDir run;
    WriteLookups(run.path(), {"TV", "Radio"}, {"Russia"}, {"News"});
    WriteFile(run / "global.dat", ListFileBytes("01.12.2026", {Channel("Nginx 404", media.Url("/one.wav")),
                                                               Channel("Closed port", media.Url("/two.wav"))}));
    const AppConfig config = RunConfig(run, "127.0.0.1:9");
    MessageBoxes boxes;
    BoxClicker clicker;
    clicker.Arm();
    auto form = std::make_unique<TMainForm>(config, boxes);
    boxes.SetParent(form.get());
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    EXPECT_EQ(XWindowName(form.get()).toStdString(), "Castora Player");
    ASSERT_TRUE(clicker.RunUntil([&] { return form->Ready(); }));  // the lists are read on a worker

    auto playing = [&](const QString& title) {
        return clicker.RunUntil(
            [&] { return PartOf<QPushButton>(*form, "PlayButton").text() == "Stop" && form->windowTitle() == title; });
    };
    const QString one = QString::fromUtf8("Nginx 404 \u2013 Castora Player");
    const QString two = QString::fromUtf8("Closed port \u2013 Castora Player");
    PartOf<ChannelsPage>(*form, "Channels").SelectGridRow(1);
    PartOf<QPushButton>(*form, "PlayButton").click();
    ASSERT_TRUE(playing(one)) << form->windowTitle().toStdString();
    // Then a double click on the other channel.
    PartOf<ChannelsPage>(*form, "Channels").SelectGridRow(2);
    emit PartOf<ChannelsPage>(*form, "Channels").channelActivated();
    ASSERT_TRUE(playing(two)) << form->windowTitle().toStdString();
    EXPECT_EQ(XWindowName(form.get()).toStdString(), two.toStdString());
    EXPECT_EQ(QAccessible::queryAccessibleInterface(form.get())->text(QAccessible::Name).toStdString(),
              two.toStdString());

    // A question asked while the channel plays bears the program's title alone.
    clicker.Expect("No");
    form->close();
    EXPECT_EQ(clicker.xTitles.join('|').toStdString(), "Castora Player");
    EXPECT_EQ(XWindowName(form.get()).toStdString(), two.toStdString());
    form.reset();
}

// A playlist dropped on the window: the real question, the channels added, and one of them played with
// the request header its address carries.
TEST(EndToEnd, DroppedPlaylistIsImportedAndPlaysWithItsHeader) {
    EnsureApp();
    const std::string wav = MakeWav(30);
    ScriptedServer media;
    media
        .Send("HTTP/1.1 200 OK\r\nContent-Type: audio/wav\r\nContent-Length: " + std::to_string(wav.size()) +
              "\r\n\r\n" + wav)
        .Start();
    TempDir run;
    WriteLookups(run.path(), {"TV", "Radio"}, {"Russia", "USA"}, {"News", "Music"});
    WriteFile(run / "global.dat", ListFileBytes("01.12.2026", {Channel("Known", "http://known.example/a")}));
    WriteFile(run / "mine.m3u", "#EXTM3U\n#EXTINF:-1 tvg-country=\"US\" group-title=\"music\",Tone FM\n" +
                                    media.Url("/tone.wav") +
                                    "|User-Agent=CastoraTest/1.0\n#EXTINF:-1,Known again\nhttp://known.example/a\n");
    const AppConfig config = RunConfig(run, "127.0.0.1:9");
    MessageBoxes boxes;
    BoxClicker clicker;
    clicker.Arm();
    auto form = std::make_unique<TMainForm>(config, boxes);
    boxes.SetParent(form.get());
    form->ShowWhenReady();
    ASSERT_TRUE(clicker.RunUntil([&] { return form->isVisible(); }));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    form->ChannelsButtonClick();

    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString((run / "mine.m3u").string()))});
    const QPoint at = form->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(form.get(), &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    clicker.Expect("OK");
    QApplication::sendEvent(form.get(), &drop);
    ASSERT_TRUE(clicker.RunUntil([&] {
        return form->Table().ChannelCount == 2 && PartOf<ChannelsPage>(*form, "Channels").Model().FilledRows() == 2;
    }));
    EXPECT_TRUE(clicker.seen.join('\n').contains("Channels to add: 1")) << clicker.seen.join('\n').toStdString();
    EXPECT_EQ(clicker.xTitles.join('|').toStdString(), "Castora Player");
    const TChannelRec& added = form->Table().Channels[2];
    EXPECT_EQ(added.Name, "Tone FM");
    EXPECT_TRUE(added.IsLocal);
    EXPECT_EQ(PartOf<ChannelsPage>(*form, "Channels").Model().CellText(ChannelColumn::Genre, 2), "Music");

    PartOf<ChannelsPage>(*form, "Channels").SelectGridRow(2);
    PartOf<QPushButton>(*form, "PlayButton").click();
    ASSERT_TRUE(clicker.RunUntil([&] { return PartOf<QPushButton>(*form, "PlayButton").text() == "Stop"; }));
    const std::string request = media.Request();
    EXPECT_TRUE(request.starts_with("GET /tone.wav HTTP/1.1\r\n")) << request;
    EXPECT_NE(request.find("\r\nUser-Agent: CastoraTest/1.0\r\n"), std::string::npos) << request;
    clicker.Expect("Yes");
    form->close();
    form.reset();
}

}  // namespace
