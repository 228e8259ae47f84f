// Favourites and recently played channels through the real grid: marked with Ctrl+D, shown alone with
// the filters still applied, reordered, played, and kept whatever the catalogue goes through.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include "catalogue/ChannelNotes.h"
#include "pages/ChannelGrid.h"
#include "pages/ChannelModel.h"
#include "pages/ChannelsPage.h"
#include "pages/FullScreenStrip.h"
#include "pages/PlayPage.h"
#include "player/MediaPlayer.h"
#include "support/Catalogues.h"
#include "support/StaticHttpServer.h"
#include "support/Wav.h"
#include "support/WindowFixture.h"

using namespace castora;
using namespace castora::test;

namespace {

class Favourites : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        server.Add("/b.wav", MakeWav(20), "audio/wav");
        WriteLookups(dir.path(), {"TV", "Radio"}, {"Russia", "USA"}, {"News", "Music"});
        WriteFile(
            dir / "global.dat",
            ListFileBytes("g", {Channel("Alpha", "http://a/", 1, 1, 1), Channel("Bravo", server.Url("/b.wav"), 2, 1, 2),
                                Channel("Charlie", "http://c/", 1, 2, 1), Channel("Delta", "http://d/", 2, 2, 2)}));
        Start();
        PartOf<PageButton>(*form, "ChannelsButton").click();
    }
    ChannelsPage& Page() { return PartOf<ChannelsPage>(*form, "Channels"); }
    // Shortcuts reach only the active window.
    void Activate() {
        form->show();
        form->activateWindow();
        ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == form.get(); }, kPatienceMs));
    }
    QStringList Names() {
        Settle();
        QStringList out;
        for (int r = 1; r <= Page().Model().FilledRows(); ++r)
            out << Page().Model().CellText(ChannelColumn::Name, r).trimmed();
        return out;
    }
    void Key(int key, Qt::KeyboardModifiers mods = Qt::ControlModifier) {
        QTest::keyClick(Page().ChannelGrid, static_cast<Qt::Key>(key), mods);
    }
    void Mark(const QString& name) {
        for (int r = 1; r <= Page().Model().FilledRows(); ++r)
            if (Page().Model().CellText(ChannelColumn::Name, r).trimmed() == name) Page().SelectGridRow(r);
        Key(Qt::Key_D);
    }
    std::vector<std::string> Written() {
        ChannelNotes notes(dir / NotesFileName);
        EXPECT_TRUE(notes.Load().ok);
        return notes.Favourites();
    }
    StaticHttpServer server;
};

}  // namespace

TEST_F(Favourites, MarkedShownReorderedAndPlayedThroughTheGrid) {
    Activate();
    Mark("Delta");
    Mark("Bravo");
    Mark("Alpha");
    // Written at once, in the order marked; the grid shows a star that screen readers hear.
    EXPECT_EQ(Written(), (std::vector<std::string>{"http://d/", server.Url("/b.wav"), "http://a/"}));
    const QModelIndex delta = Page().Model().index(3, ColumnIndex(ChannelColumn::Name));
    EXPECT_FALSE(Page().Model().data(delta, Qt::DecorationRole).isNull());
    EXPECT_TRUE(Page().Model().data(delta, Qt::AccessibleTextRole).toString().contains("favourite"));
    EXPECT_TRUE(Page()
                    .Model()
                    .data(Page().Model().index(2, ColumnIndex(ChannelColumn::Name)), Qt::DecorationRole)
                    .isNull());  // Charlie

    Page().FavouritesButton->click();
    EXPECT_EQ(Names(), (QStringList{"Delta", "Bravo", "Alpha"}));
    // The filters still apply.
    Page().SourceComboBox->setCurrentIndex(2);
    EXPECT_EQ(Names(), (QStringList{"Delta", "Bravo"}));
    Page().SourceComboBox->setCurrentIndex(0);
    EXPECT_EQ(Names(), (QStringList{"Delta", "Bravo", "Alpha"}));
    // Alpha moves up twice; the selection stays on it.
    Page().SelectGridRow(3);
    Key(Qt::Key_Up, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(Names(), (QStringList{"Delta", "Alpha", "Bravo"}));
    Key(Qt::Key_Up, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(Names(), (QStringList{"Alpha", "Delta", "Bravo"}));
    EXPECT_EQ(Page().CurrentGridRow(), 1);
    EXPECT_EQ(Written(), (std::vector<std::string>{"http://a/", "http://d/", server.Url("/b.wav")}));
    // Unmarked while shown: it leaves the list.
    Key(Qt::Key_D);
    EXPECT_EQ(Names(), (QStringList{"Delta", "Bravo"}));

    // Bravo plays; once it reached playing it is the newest of the recent channels.
    Page().SelectGridRow(2);
    QTest::keyClick(Page().ChannelGrid, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return PartOf<TMediaPlayer>(*form, "Player").playState() == PlayState::Playing; },
                                kPatienceMs));
    Page().RecentButton->click();
    EXPECT_FALSE(Page().FavouritesButton->isChecked());
    EXPECT_EQ(Names(), QStringList{"Bravo"});
    form->CatalogueOwner().ClearHistory();
    EXPECT_EQ(Names(), QStringList{});
}

// Whatever the catalogue goes through, a favourite stays one, and shows while its channel is there.
// The picture's menu (and the full-screen strip's, which holds the same entry) marks the channel playing,
// even when the grid's selection has moved on.
TEST_F(Favourites, PictureMenuMarksThePlayingChannel) {
    PlayPage& play = PartOf<PlayPage>(*form, "Play");
    const auto entry = [&]() -> QAction* {
        for (QAction* action : play.PictureMenu()->actions())
            if (action->text().endsWith("favourites")) return action;
        return nullptr;
    };
    ASSERT_NE(entry(), nullptr);
    EXPECT_FALSE(entry()->isEnabled());  // nothing plays yet
    Page().SelectGridRow(2);             // Bravo, the one that plays
    emit Page().channelActivated();
    ASSERT_TRUE(QTest::qWaitFor([&] { return entry()->isEnabled(); }, kPatienceMs));
    EXPECT_EQ(entry()->text(), "Add to favourites");
    Page().SelectGridRow(1);
    entry()->trigger();
    EXPECT_EQ(Page().FavouritesButton->isChecked(), false);
    ChannelNotes notes(dir / NotesFileName);
    ASSERT_TRUE(notes.Load().ok);
    EXPECT_EQ(notes.Favourites(), std::vector<std::string>{server.Url("/b.wav")});
    EXPECT_EQ(entry()->text(), "Remove from favourites");
    QMenu stripMenu;
    play.Strip()->FillMenu(stripMenu);
    EXPECT_TRUE(stripMenu.actions().contains(entry()));
    entry()->trigger();
    EXPECT_EQ(entry()->text(), "Add to favourites");
    EXPECT_TRUE(form->CatalogueOwner().FavouriteRecords().empty());
}

TEST_F(Favourites, SurviveUpdatesImportsDeletesAndEdits) {
    Catalogue& owner = form->CatalogueOwner();
    owner.SetFavourite(3, true);  // Charlie
    owner.SetFavourite(1, true);  // Alpha
    Page().FavouritesButton->click();
    ASSERT_EQ(Names(), (QStringList{"Charlie", "Alpha"}));
    struct Case {
        const char* what;
        std::function<void()> change;
        QStringList shown;
    } cases[] = {
        {"an update reads the global list again",
         [&] {
             bool done = false;
             form->ReloadCatalogue([&](bool) { done = true; });
             ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, kPatienceMs));
         },
         {"Charlie", "Alpha"}},
        {"a re-import of its playlist",
         [&] {
             WriteFile(dir / "list.m3u", "#EXTM3U\n#EXTINF:-1,Alpha\nhttp://a/\n#EXTINF:-1,Echo\nhttp://e/\n");
             messages.AnswerImport(1);
             form->ImportPlaylist(QString::fromStdString((dir / "list.m3u").string()));
             ASSERT_TRUE(QTest::qWaitFor([&] { return owner.Table().ChannelCount == 5; }, kPatienceMs));
         },
         {"Charlie", "Alpha"}},
        {"a rename", [&] { owner.Store(1, Channel("Alpha One", "http://a/", 1, 1, 1)); }, {"Charlie", "Alpha One"}},
        {"a delete hides it", [&] { owner.Delete(3); }, {"Alpha One"}},
        {"and a re-add brings it back",
         [&] { owner.Append(Channel("Charlie", "http://c/", 1, 2, 1)); },
         {"Charlie", "Alpha One"}},
        {"an address edit takes it along",
         [&] { owner.Store(1, Channel("Alpha One", "http://a.example/", 1, 1, 1)); },
         {"Charlie", "Alpha One"}},
    };
    for (const Case& c : cases) {
        c.change();
        Page().ShowChannels();
        EXPECT_EQ(Names(), c.shown) << c.what;
    }
    EXPECT_EQ(Written(), (std::vector<std::string>{"http://c/", "http://a.example/"}));
    // The next start reads the lists as saved, where Alpha kept its old address: its favourite waits in the
    // file for the address to come back.
    form.reset();
    Start();
    PartOf<ChannelsPage>(*form, "Channels").FavouritesButton->click();
    EXPECT_EQ(Names(), QStringList{"Charlie"});
    EXPECT_EQ(Written(), (std::vector<std::string>{"http://c/", "http://a.example/"}));
}
