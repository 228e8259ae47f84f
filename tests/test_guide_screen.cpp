// The guide end to end, in a real window under Xvfb: a playlist whose header names a guide on loopback is
// imported, the grid shows what is on now, and the Play page shows now and next for the playing channel.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QTest>

#include "app/MainForm.h"
#include "pages/ChannelGrid.h"
#include "pages/ChannelModel.h"
#include "pages/ChannelsPage.h"
#include "pages/FullScreenStrip.h"
#include "pages/PlayPage.h"
#include "support/Catalogues.h"
#include "support/GuideWindow.h"
#include "support/Guides.h"
#include "support/Patience.h"
#include "support/QtApp.h"
#include "support/ScriptedMessages.h"
#include "support/StaticHttpServer.h"
#include "support/TempDir.h"
#include "support/Wav.h"

using namespace castora;
using namespace castora::test;

namespace {

// Pixels of a rectangle of the screen (window coordinates) darker than the grey of the window's texts.
int DarkPixels(QWidget& window, const QRect& rect) {
    const QImage shot =
        window.screen()->grabWindow(window.winId(), rect.x(), rect.y(), rect.width(), rect.height()).toImage();
    int dark = 0;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x) dark += qGray(shot.pixel(x, y)) < 100;
    return dark;
}

}  // namespace

TEST(GuideScreen, AnImportedPlaylistsGuideShowsInTheGridAndOnThePlayPage) {
    EnsureApp();
    const int64_t now = QDateTime::currentSecsSinceEpoch();
    StaticHttpServer server;
    server.Add("/one.wav", MakeWav(30), "audio/wav");
    server.Add("/two.wav", MakeWav(30, 8000, 880), "audio/wav");
    // Packed, as large guides are served; the reader tells gzip by its first bytes, not the name.
    server.Add("/epg",
               Gzip(Xmltv(XmlChannel("one.tv", {"Tone One HD"}) + XmlChannel("other", {"Other"}) +
                          XmlProgramme("one.tv", XmltvAt(now - 1800), XmltvAt(now + 3600), "Morning news") +
                          XmlProgramme("one.tv", XmltvAt(now + 3600), XmltvAt(now + 5400), "Weather") +
                          XmlProgramme("other", XmltvAt(now - 1800), XmltvAt(now + 3600), "Not ours"))),
               "application/octet-stream");
    TempDir run;
    WriteLookups(run.path(), {"TV", "Radio"}, {"Russia"}, {"News"});
    WriteFile(run / "mine.m3u", "#EXTM3U x-tvg-url=\"" + server.Url("/epg") +
                                    "\"\n#EXTINF:-1 tvg-id=\"one.tv\",Tone One\n" + server.Url("/one.wav") +
                                    "\n#EXTINF:-1,Tone Two\n" + server.Url("/two.wav") + "\n");
    AppConfig config;
    config.listDir = QString::fromStdString(run.path().string());
    config.programDir = config.listDir;
    config.cacheDir = QString::fromStdString((run / "cache").string());
    config.settingsFile = QString::fromStdString((run / "settings.conf").string());
    config.updateHost = "127.0.0.1:9";
    config.nullMediaOutputs = true;
    ScriptedMessages messages;
    auto form = std::make_unique<TMainForm>(config, messages);
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->Ready(); }, kPatienceMs));
    auto& channels = *form->findChild<ChannelsPage*>("Channels");
    auto& play = *form->findChild<PlayPage*>("Play");
    auto& playButton = *form->findChild<QPushButton*>("PlayButton");
    form->findChild<QPushButton*>("ChannelsButton")->click();

    messages.AnswerImport(1);
    form->ImportPlaylist(QString::fromStdString((run / "mine.m3u").string()));
    const auto now1 = [&] { return channels.Model().CellText(ChannelColumn::Now, 1); };
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return channels.Model().FilledRows() == 2 && now1() == "Morning news"; }, kPatienceMs))
        << now1().toStdString() << " / " << messages.Texts().join('\n').toStdString();
    EXPECT_EQ(channels.Model().CellText(ChannelColumn::Now, 2), "");
    EXPECT_EQ(QSettings(config.settingsFile, QSettings::IniFormat).value("guide/sources").toStringList(),
              QStringList{QString::fromStdString(server.Url("/epg"))});

    // On the screen: the title is drawn in the first row's Now cell, and nothing in the second's.
    TChannelGrid& grid = *channels.ChannelGrid;
    const auto cell = [&](int row) {
        const QRect r =
            grid.visualRect(channels.Model().index(row, ColumnIndex(ChannelColumn::Now))).adjusted(2, 2, -2, -2);
        return QRect(grid.viewport()->mapTo(form.get(), r.topLeft()), r.size());
    };
    ASSERT_FALSE(grid.isColumnHidden(ColumnIndex(ChannelColumn::Now)));
    EXPECT_TRUE(QTest::qWaitFor([&] { return DarkPixels(*form, cell(0)) > 10 && DarkPixels(*form, cell(1)) == 0; },
                                kPatienceMs));

    QStringList announced;
    QObject::connect(&play, &PlayPage::programmesChanged, [&](const QString& lines) { announced << lines; });
    channels.SelectGridRow(1);
    playButton.click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return playButton.text() == "Stop"; }, kPatienceMs));
    const QString expected = "Now " + ClockAt(now - 1800) + " Morning news\nNext " + ClockAt(now + 3600) + " Weather";
    ASSERT_TRUE(QTest::qWaitFor([&] { return play.Programmes() == expected; }, kPatienceMs))
        << play.Programmes().toStdString();
    EXPECT_EQ(announced.last(), expected);
    EXPECT_EQ(play.ProgrammeTitle(), "Morning news");
    QLabel& line = *play.ProgrammeLine();
    EXPECT_EQ(line.text(), expected);
    EXPECT_EQ(line.accessibleName(), expected);
    ASSERT_TRUE(line.isVisible());
    const QRect shown(line.mapTo(form.get(), QPoint(0, 0)), line.size());
    EXPECT_TRUE(form->rect().contains(shown));
    EXPECT_TRUE(QTest::qWaitFor([&] { return DarkPixels(*form, shown) > 20; }, kPatienceMs));
    // Full screen's strip carries the same two programmes on one line.
    EXPECT_EQ(play.Strip()->ProgrammeLine(), QString(expected).replace('\n', "   "));

    // The other channel has no guide: the lines go.
    channels.SelectGridRow(2);
    emit channels.channelActivated();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return playButton.text() == "Stop" && play.Programmes().isEmpty(); }, kPatienceMs));
    EXPECT_FALSE(line.isVisible());
    EXPECT_EQ(play.Strip()->ProgrammeLine(), "");
    EXPECT_EQ(announced.last(), "");
    EXPECT_TRUE(messages.shown.size() == 1) << messages.Texts().join('\n').toStdString();  // the import question

    messages.Answer(true);
    form->close();
    form.reset();
}
