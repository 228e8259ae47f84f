// A channel's logo through the window: chosen with "Set logo…", kept in the channel's notes, shown in the
// grid's logo column and beside the Play page's status line while the channel plays, and handed to the
// media controls as a file.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QTest>

#include "app/ChannelLogos.h"
#include "catalogue/ChannelNotes.h"
#include "pages/ChannelModel.h"
#include "pages/ChannelsPage.h"
#include "pages/HeaderStrip.h"
#include "pages/FullScreenStrip.h"
#include "pages/PlayPage.h"
#include "player/MediaPlayer.h"
#include "support/Catalogues.h"
#include "support/StaticHttpServer.h"
#include "support/Wav.h"
#include "support/WindowFixture.h"

using namespace castora;
using namespace castora::test;

using ChannelLogosWiring = WindowFixture;

TEST_F(ChannelLogosWiring, SetLogoShowsInTheGridThePlayPageAndTheArtFile) {
    StaticHttpServer server;
    server.Add("/b.wav", MakeWav(20), "audio/wav");
    WriteLookups(dir.path(), {"TV"}, {"Russia"}, {"News"});
    WriteFile(dir / "global.dat",
              ListFileBytes("g", {Channel("Alpha", "http://a/", 1, 1, 1), Channel("Bravo", server.Url("/b.wav"))}));
    QImage red(64, 64, QImage::Format_RGB32);
    red.fill(QColor(220, 0, 0));
    const QString picture = QString::fromStdString((dir / "bravo.png").string());
    ASSERT_TRUE(red.save(picture));
    Start();
    ChannelsPage& page = PartOf<ChannelsPage>(*form, "Channels");
    const int logoColumn = ColumnIndex(ChannelColumn::Logo);

    page.SelectGridRow(2);
    messages.AnswerChoice(picture);
    page.SetLogoAction->trigger();
    ChannelNotes notes(dir / NotesFileName);
    ASSERT_TRUE(notes.Load().ok);
    ASSERT_NE(notes.Find(server.Url("/b.wav")), nullptr);
    EXPECT_EQ(notes.Find(server.Url("/b.wav"))->logo, picture.toStdString());
    EXPECT_EQ(page.Model().LogoAt(2).url, picture.toStdString());
    EXPECT_TRUE(page.Model().LogoAt(2).localFileAllowed);  // the user chose it
    EXPECT_TRUE(page.Model().LogoAt(1).url.empty());
    // The grid's cell gets the picture once it is read; Alpha's stays empty.
    PartOf<PageButton>(*form, "ChannelsButton").click();
    form->show();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return !page.Model().data(page.Model().index(1, logoColumn), Qt::DecorationRole).isNull(); },
        kPatienceMs));
    EXPECT_TRUE(page.Model().data(page.Model().index(0, logoColumn), Qt::DecorationRole).isNull());

    // Played: the header shows it in red beside the status line, and the media controls get its file.
    emit page.channelActivated();
    QLabel* icon = PartOf<PlayPage>(*form, "Play").Header()->IconLabel();
    ASSERT_TRUE(QTest::qWaitFor([&] { return icon->isVisible() && !icon->pixmap().isNull(); }, kPatienceMs));
    const QImage shown = icon->pixmap().toImage();
    EXPECT_EQ(QColor(shown.pixel(shown.width() / 2, shown.height() / 2)), QColor(220, 0, 0));
    // The full-screen strip carries the same logo.
    const QLabel& stripLogo = *PartOf<PlayPage>(*form, "Play").Strip()->Icon();
    ASSERT_FALSE(stripLogo.pixmap().isNull());
    const QImage inStrip = stripLogo.pixmap().toImage();
    EXPECT_EQ(QColor(inStrip.pixel(inStrip.width() / 2, inStrip.height() / 2)), QColor(220, 0, 0));
    EXPECT_TRUE(QFileInfo::exists(form->Logos().ArtFile()));
    PartOf<QPushButton>(*form, "PlayButton").click();  // stop: the logo goes with the channel
    ASSERT_TRUE(QTest::qWaitFor([&] { return !icon->isVisible(); }, kPatienceMs));
    EXPECT_TRUE(stripLogo.pixmap().isNull());
    EXPECT_TRUE(form->Logos().ArtFile().isEmpty());
}
