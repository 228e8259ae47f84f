#include <gtest/gtest.h>

#include <functional>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTest>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTextDocument>
#include <QStackedWidget>
#include <QTableView>

#include "app/Gauge.h"
#include "app/SplashForm.h"
#include "app/UpdatePage.h"
#include "catalogue/ChannelNotes.h"
#include "catalogue/ListFiles.h"
#include "pages/ChannelGrid.h"
#include "pages/ChannelModel.h"
#include "pages/ChannelsPage.h"
#include "pages/EditPage.h"
#include "pages/FindBar.h"
#include "support/Patience.h"
#include "support/Catalogues.h"
#include "support/WindowFixture.h"

using namespace castora;
using namespace castora::test;

namespace {

class MainWindow : public WindowFixture {
protected:
    // Three sources, two countries, three genres; global 1-4, local 5-6 (6 repeats global 2's URL).
    void WriteCatalogue() {
        WriteLookups(dir.path(), {"TV", "Radio", "Webcam"}, {"Russia", "USA"}, {"News", "Music", "\xd0\xee\xea"});
        WriteFile(dir / "global.dat", ListFileBytes("01.12.2026", {Channel("One", "http://one", 1, 1, 1, "128", "c1"),
                                                                   Channel("Two", "http://two", 2, 2, 2),
                                                                   Channel("Three", "http://three", 2, 1, 0),
                                                                   Channel("Four", "http://four", 1, 2, 9)}));
        WriteFile(dir / "local.dat", ListFileBytes("02.12.2026", {Channel("Mine", "http://mine", 2, 1, 3, "", "my"),
                                                                  Channel("Copy of two", "http://two", 2, 2, 2)}));
    }
    ChannelsPage& Page() { return PartOf<ChannelsPage>(*form, "Channels"); }
    // Shortcuts reach only the active window. The hidden progress window, a transient of this one, may
    // still hold the focus for a moment.
    void Activate() {
        form->show();
        form->activateWindow();
        QElapsedTimer timer;
        timer.start();
        while (QApplication::activeWindow() != form.get() && timer.elapsed() < kPatienceMs)
            QCoreApplication::processEvents();
        ASSERT_EQ(QApplication::activeWindow(), form.get());
    }
    ChannelModel& Model() { return Page().Model(); }
    QStringList Column(ChannelColumn c) {
        QStringList out;
        for (int r = 1; r <= Model().rowCount(); ++r) out << Model().CellText(c, r);
        return out;
    }
};

TEST_F(MainWindow, StartsOnTheAboutPageWithTheCatalogueLoaded) {
    WriteCatalogue();
    TMainForm& w = Start();
    EXPECT_TRUE(messages.shown.empty()) << messages.Texts().join(" | ").toStdString();
    EXPECT_EQ(w.windowTitle(), "Castora Player");
    EXPECT_EQ(w.size(), QSize(512, 474));
    EXPECT_EQ(PartOf<QStackedWidget>(w, "Notebook1").currentIndex(), TMainForm::AboutPageIndex);
    EXPECT_TRUE(PartOf<PageButton>(w, "AboutButton").Underlined());
    EXPECT_FALSE(PartOf<PageButton>(w, "ScreenButton").Underlined());
    EXPECT_EQ(PartOf<AboutPage>(w, "About").NameLabel->text(), "Castora Player, version 1.2");
    EXPECT_FALSE(PartOf<TSplashForm>(w, "SplashForm").isVisible());

    // The local copy of "Two" is dropped: the global record wins.
    EXPECT_EQ(w.Table().ChannelCount, 5);
    EXPECT_EQ(Column(ChannelColumn::Name), (QStringList{" One", " Two", " Three", " Four", " Mine"}));
    // Genre 0 shows the filter's "all" entry, a code beyond the list nothing; Cyrillic names show as such.
    EXPECT_EQ(Column(ChannelColumn::Genre), (QStringList{"News", "Music", "all genres", "", QString::fromUtf8("Рок")}));
    EXPECT_EQ(Column(ChannelColumn::Comments), (QStringList{"c1", "", "", "", "[local] my"}));
    EXPECT_EQ(Page().GlobalDatePanel->text(), "Global list updated: 01.12.2026");
    EXPECT_EQ(Page().LocalDatePanel->text(), "Local list updated: 02.12.2026");
    EXPECT_EQ(Page().SourceComboBox->itemText(0), "all sources");
    EXPECT_EQ(Page().SourceComboBox->count(), 4);
    EXPECT_EQ(Page().CountryComboBox->itemText(0), "all countries");
    EXPECT_EQ(w.Table().SelectedChannel, 0);
}

TEST_F(MainWindow, PublisherLinkShowsTheWholeAddressInItsPanel) {
    TMainForm& w = Start();
    w.show();
    QLabel* link = PartOf<AboutPage>(w, "About").PublisherLink;
    QWidget* panel = link->parentWidget();
    EXPECT_EQ(panel->width(), 160);
    // All of the address is there, and the label has the room its wrapped lines need.
    QTextDocument doc;
    doc.setHtml(link->text());
    EXPECT_EQ(doc.toPlainText().remove(QChar(0x200B)), QString::fromUtf8(settings::PublisherPage));
    EXPECT_LE(link->minimumSizeHint().width(), link->width());
    EXPECT_LE(link->heightForWidth(link->width()), link->height());
    EXPECT_GE(link->heightForWidth(link->width()), 2 * link->fontMetrics().height());  // it does wrap
    EXPECT_LE(link->geometry().right(), panel->width());

    QObject::disconnect(&PartOf<AboutPage>(w, "About"), &AboutPage::publisherClicked, &w,
                        nullptr);  // no browser in a test
    QSignalSpy clicked(&PartOf<AboutPage>(w, "About"), &AboutPage::publisherClicked);
    QTest::mouseClick(link, Qt::LeftButton, {}, QPoint(4, link->fontMetrics().height() / 2));
    EXPECT_EQ(clicked.count(), 1);
}

TEST_F(MainWindow, StartsWithoutAnyFileAndKeepsDesignTimeLists) {
    TMainForm& w = Start();
    // Each missing lookup file is reported, and start-up goes on.
    ASSERT_EQ(messages.shown.size(), 3u);
    for (const auto& shown : messages.shown) {
        EXPECT_EQ(shown.kind, ScriptedMessages::Shown::Error);
        EXPECT_TRUE(shown.text.startsWith("Cannot open file \"")) << shown.text.toStdString();
        EXPECT_TRUE(shown.text.endsWith(".")) << shown.text.toStdString();
    }
    EXPECT_EQ(Page().SourceComboBox->count(), 4);
    EXPECT_EQ(Page().SourceComboBox->itemText(1), "Tele");
    EXPECT_EQ(Page().GenreComboBox->itemText(4), "Business");
    EXPECT_EQ(w.Table().ChannelCount, 0);
    EXPECT_EQ(Model().rowCount(), 1);
    EXPECT_EQ(Model().CellText(ChannelColumn::Name, 1), "");
    EXPECT_EQ(Page().GlobalDatePanel->text(), "Global list updated: Unknown");
    EXPECT_EQ(Page().LocalDatePanel->text(), "Local list updated: Unknown");
}

TEST_F(MainWindow, BadNumberLineIsReportedOnceAfterTheWholeLoad) {
    WriteCatalogue();
    std::string bytes = ListFileBytes("d", {Channel("A", "http://a"), Channel("B", "http://b")});
    bytes.replace(bytes.find("\r\n1\r\n") + 2, 1, "x");
    WriteFile(dir / "global.dat", bytes);
    TMainForm& w = Start();
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, "global.dat, record 1: 'x' is not a valid integer value.");
    EXPECT_EQ(w.Table().ChannelCount, 4);  // both global channels and both local ones
}

TEST_F(MainWindow, UnreadableListIsReportedOnceAndTheOtherIsShown) {
    WriteCatalogue();
    std::filesystem::remove(dir / "global.dat");
    std::filesystem::create_directory(dir / "global.dat");
    TMainForm& w = Start();
    EXPECT_EQ(messages.Texts(), QStringList{"Can't read global.dat: Is a directory."});
    EXPECT_EQ(w.Table().ChannelCount, 2);
    EXPECT_EQ(Column(ChannelColumn::Name), (QStringList{" Mine", " Copy of two"}));
}

TEST_F(MainWindow, FiltersNarrowTheGridAndTheEmptyGridSelectsNothing) {
    WriteCatalogue();
    Start();
    Page().SourceComboBox->setCurrentIndex(2);
    Settle();
    EXPECT_EQ(Column(ChannelColumn::Name), (QStringList{" Two", " Three", " Mine"}));
    Page().CountryComboBox->setCurrentIndex(1);
    Settle();
    EXPECT_EQ(Column(ChannelColumn::Name), (QStringList{" Three", " Mine"}));
    Page().GenreComboBox->setCurrentIndex(3);
    Settle();
    EXPECT_EQ(Column(ChannelColumn::Name), (QStringList{" Mine"}));
    EXPECT_EQ(form->Table().RowMap[1], 5);
    EXPECT_EQ(form->Table().RowMap[2], 0);
    Page().GenreComboBox->setCurrentIndex(2);  // no record has this combination
    Settle();
    EXPECT_EQ(Model().rowCount(), 1);
    EXPECT_EQ(Model().CellText(ChannelColumn::Name, 1), "");
    Page().SelectGridRow(1);
    EXPECT_EQ(form->Table().SelectedChannel, 0);
    Page().SourceComboBox->setCurrentIndex(0);
    Settle();
    Page().CountryComboBox->setCurrentIndex(0);
    Settle();
    Page().GenreComboBox->setCurrentIndex(0);
    Settle();
    EXPECT_EQ(Model().rowCount(), 5);
}

TEST_F(MainWindow, SelectionFollowsTheHighlightedRowThroughRebuilds) {
    WriteCatalogue();
    Start();
    Page().SelectGridRow(3);
    EXPECT_EQ(form->Table().SelectedChannel, 3);
    EXPECT_EQ(Page().CurrentGridRow(), 3);
    Page().RefreshButton->click();
    Settle();
    EXPECT_EQ(form->Table().SelectedChannel, 3);
    EXPECT_EQ(Page().CurrentGridRow(), 3);
    // "Three" stays visible under source 2 and moves to row 2.
    Page().SourceComboBox->setCurrentIndex(2);
    Settle();
    EXPECT_EQ(form->Table().SelectedChannel, 3);
    EXPECT_EQ(Page().CurrentGridRow(), 2);
    // Hidden by a filter: nothing is selected and nothing highlighted.
    Page().CountryComboBox->setCurrentIndex(2);
    Settle();
    EXPECT_EQ(form->Table().SelectedChannel, 0);
    EXPECT_EQ(Page().CurrentGridRow(), 0);
}

TEST_F(MainWindow, DeleteAsksAndRemovesOnlyTheHighlightedChannel) {
    WriteCatalogue();
    Start();
    Page().SelectGridRow(2);
    messages.Answer(false);
    Page().DeleteButton->click();
    Settle();
    EXPECT_EQ(messages.Texts(), QStringList{"Do you want to delete the channel?"});
    EXPECT_EQ(form->Table().ChannelCount, 5);

    messages.Answer(true);
    Page().DeleteButton->click();
    Settle();
    EXPECT_EQ(Column(ChannelColumn::Name), (QStringList{" One", " Three", " Four", " Mine"}));
    // The channel that moved into the freed row is the one highlighted and selected.
    EXPECT_EQ(Page().CurrentGridRow(), 2);
    EXPECT_EQ(form->Table().Selected().Name, "Three");

    // The last row: afterwards nothing is selected, and a second delete removes nothing.
    Page().SelectGridRow(4);
    messages.Answer(true);
    Page().DeleteButton->click();
    Settle();
    EXPECT_EQ(form->Table().ChannelCount, 3);
    EXPECT_EQ(form->Table().SelectedChannel, 0);
    messages.Answer(true);
    Page().DeleteButton->click();
    Settle();
    EXPECT_EQ(form->Table().ChannelCount, 3);
}

TEST_F(MainWindow, FindNarrowsTheGridByWordsAndEscapeRestoresIt) {
    WriteCatalogue();
    Start();
    Activate();
    form->ChannelsButtonClick();
    Page().SelectGridRow(5);
    QTest::keyClick(Page().ChannelGrid, Qt::Key_F, Qt::ControlModifier);
    ASSERT_TRUE(Page().Find->isVisible());
    EXPECT_TRUE(Page().Find->FindEdit->hasFocus());
    EXPECT_TRUE(Page().SourceComboBox->isVisible());  // the filters stay in view

    QTest::keyClicks(Page().Find->FindEdit, "t");
    Settle();
    EXPECT_EQ(Column(ChannelColumn::Name), (QStringList{" Two", " Three"}));
    EXPECT_EQ(Page().Find->CountLabel->text(), "2 channels");
    // "Mine" is hidden: nothing is selected and nothing highlighted.
    EXPECT_EQ(form->Table().SelectedChannel, 0);
    EXPECT_EQ(Page().CurrentGridRow(), 0);
    QTest::keyClicks(Page().Find->FindEdit, "hr");
    Settle();
    EXPECT_EQ(Column(ChannelColumn::Name), QStringList{" Three"});
    EXPECT_EQ(Page().Find->CountLabel->text(), "1 channel");
    Page().SelectGridRow(1);
    // Words in any order and case, in the name or the comments, within the filters.
    Page().Find->FindEdit->setText("C1 ONE");
    Settle();
    EXPECT_EQ(Column(ChannelColumn::Name), QStringList{" One"});
    Page().SourceComboBox->setCurrentIndex(2);
    Settle();
    EXPECT_EQ(Model().CellText(ChannelColumn::Name, 1), "");
    EXPECT_EQ(Page().Find->CountLabel->text(), "No channels");
    Page().SourceComboBox->setCurrentIndex(0);
    Page().Find->FindEdit->setText("thr");
    Settle();
    Page().SelectGridRow(1);

    QTest::keyClick(Page().Find->FindEdit, Qt::Key_Escape);
    Settle();
    EXPECT_FALSE(Page().Find->isVisible());
    EXPECT_EQ(Column(ChannelColumn::Name), (QStringList{" One", " Two", " Three", " Four", " Mine"}));
    // The channel found stays selected and highlighted in the whole grid.
    EXPECT_EQ(form->Table().Selected().Name, "Three");
    EXPECT_EQ(Page().CurrentGridRow(), 3);
}

TEST_F(MainWindow, SaveWritesTheLocalListAndReloadsTheSame) {
    WriteCatalogue();
    Start();
    messages.Answer(false);
    Page().SaveButton->click();
    EXPECT_EQ(ReadFile(dir / "local.dat").substr(0, 10), "02.12.2026");

    messages.Answer(true);
    Page().SaveButton->click();
    EXPECT_EQ(messages.shown.back().text, "Channel list successfully saved.");
    ChannelTable back;
    LoadChannelList(back, 1, dir.path());
    ASSERT_EQ(back.ChannelCount, 1);  // the duplicate of a global channel is gone
    EXPECT_EQ(back.Channels[1].Name, "Mine");
    EXPECT_EQ(back.Channels[1].Url, "http://mine");

    // Deleting the last local channel and saving leaves an empty local list, so it stays deleted.
    Page().SelectGridRow(5);
    messages.Answer(true);
    Page().DeleteButton->click();
    Settle();
    messages.Answer(true);
    Page().SaveButton->click();
    EXPECT_EQ(messages.shown.back().text, "Channel list successfully saved.");
    ChannelTable again;
    LoadChannelList(again, 1, dir.path());
    EXPECT_EQ(again.ChannelCount, 0);
}

TEST_F(MainWindow, ALocalListThatLoadedWithAnErrorIsKeptBeforeTheFirstSave) {
    namespace fs = std::filesystem;
    const std::string good =
        ListFileBytes("02.12.2026", {Channel("Radio 1", "http://r1", 2, 1, 3, "64"), Channel("Radio 2", "http://r2"),
                                     Channel("Radio 3", "http://r3")});
    std::string missingLine = good;
    missingLine.erase(missingLine.find("\r\n64\r\n") + 2, 4);  // the first record's bitrate line
    const struct Case {
        const char* what;
        std::function<void(const fs::path&)> plant;
        QString loadMessage;
    } cases[] = {
        {"a line missing", [&](const fs::path& p) { WriteFile(p, missingLine); },
         "local.dat, record 2: 'Radio 2' is not a valid integer value."},
        {"a link to nothing", [](const fs::path& p) { fs::create_symlink(p.string() + "-gone", p); },
         "Can't read local.dat: it is a link to a file that does not exist."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        form.reset();
        for (const auto& entry : fs::directory_iterator(dir.path())) fs::remove_all(entry.path());
        WriteCatalogue();
        fs::remove(dir / "local.dat");
        c.plant(dir / "local.dat");
        const auto before = fs::symlink_status(dir / "local.dat").type();
        const std::string bytes = fs::is_symlink(dir / "local.dat") ? "" : ReadFile(dir / "local.dat");
        messages.Clear();
        Start();
        ASSERT_EQ(messages.Texts(), QStringList{c.loadMessage});

        // No; then Yes: the question says where the list is kept, and it is kept there before the save.
        messages.Answer(false);
        Page().SaveButton->click();
        EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "local.dat.bak")));
        messages.Answer(true);
        Page().SaveButton->click();
        const QString asked = "Do you want to save the local channel list?\n"
                              "The damaged local.dat will be kept as local.dat.bak.";
        EXPECT_EQ(messages.Texts().mid(1), (QStringList{asked, asked, "Channel list successfully saved."}));
        EXPECT_EQ(fs::symlink_status(dir / "local.dat.bak").type(), before);
        if (!bytes.empty()) {
            EXPECT_EQ(ReadFile(dir / "local.dat.bak"), bytes);
        }
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / "local.dat")));

        // What loads now is good: the next save asks as always and leaves the kept list alone.
        messages.Clear();
        messages.Answer(true);
        Page().SaveButton->click();
        EXPECT_EQ(messages.Texts(),
                  (QStringList{"Do you want to save the local channel list?", "Channel list successfully saved."}));
        if (!bytes.empty()) {
            EXPECT_EQ(ReadFile(dir / "local.dat.bak"), bytes);
        }
        EXPECT_EQ(fs::symlink_status(dir / "local.dat.bak").type(), before);
    }
}

TEST_F(MainWindow, SaveFailureIsReported) {
    WriteCatalogue();
    Start();
    std::filesystem::create_directory(dir / "local_tmp.dat");
    messages.Answer(true);
    Page().SaveButton->click();
    EXPECT_EQ(messages.shown.back().text, "Can't save the channel list.");
    EXPECT_EQ(ReadFile(dir / "local.dat").substr(0, 10), "02.12.2026");
}

TEST_F(MainWindow, PageButtonsUnderlineTheirPageAndUpdateResetsItsPage) {
    WriteCatalogue();
    TMainForm& w = Start();
    PartOf<PageButton>(w, "ChannelsButton").click();
    EXPECT_EQ(PartOf<QStackedWidget>(w, "Notebook1").currentIndex(), TMainForm::ChannelsPageIndex);
    EXPECT_TRUE(PartOf<PageButton>(w, "ChannelsButton").Underlined());
    EXPECT_FALSE(PartOf<PageButton>(w, "AboutButton").Underlined());
    PartOf<UpdatePage>(w, "Update").Gauge1->SetMax(10);
    PartOf<UpdatePage>(w, "Update").Gauge1->SetPos(7);
    PartOf<PageButton>(w, "UpdatingButton").click();
    EXPECT_EQ(PartOf<QStackedWidget>(w, "Notebook1").currentIndex(), TMainForm::UpdatePageIndex);
    EXPECT_EQ(PartOf<UpdatePage>(w, "Update").Gauge1->Pos(), 0);
    EXPECT_EQ(PartOf<UpdatePage>(w, "Update").UpdateStatusPanel->text(),
              "Please press the necessary button to update the channel list");
    PartOf<PageButton>(w, "ScreenButton").click();
    EXPECT_EQ(PartOf<QStackedWidget>(w, "Notebook1").currentIndex(), TMainForm::PlayPageIndex);
    EXPECT_TRUE(PartOf<PageButton>(w, "ScreenButton").Underlined());
    EXPECT_FALSE(PartOf<PageButton>(w, "UpdatingButton").Underlined());
}

TEST_F(MainWindow, ProgressReachesBothDisplays) {
    WriteCatalogue();
    TMainForm& w = Start();
    // The last phase of start-up was the grid fill.
    EXPECT_EQ(PartOf<TSplashForm>(w, "SplashForm").TextPanel->text(), "Loading channel list ...");
    EXPECT_EQ(PartOf<UpdatePage>(w, "Update").Gauge1->Max(), 5);
    w.ShowProgressPhase("Loading global channels ...", Red, 100);
    w.ShowProgress(40);
    EXPECT_EQ(PartOf<UpdatePage>(w, "Update").UpdateStatusPanel->text(), "Loading global channels ...");
    EXPECT_EQ(PartOf<TSplashForm>(w, "SplashForm").Gauge->Pos(), 40);
    EXPECT_EQ(PartOf<UpdatePage>(w, "Update").Gauge1->Pos(), 40);
    w.ShowProgressPhase("x", Blue, 10);  // a smaller maximum pulls the position down
    EXPECT_EQ(PartOf<UpdatePage>(w, "Update").Gauge1->Pos(), 10);
}

TEST_F(MainWindow, ClosingAsksFirst) {
    WriteCatalogue();
    TMainForm& w = Start();
    w.show();
    messages.Answer(false);
    EXPECT_FALSE(w.close());
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(messages.shown.back().text, "Are you sure you want to quit?");
    messages.Answer(true);
    EXPECT_TRUE(w.close());
}

TEST_F(MainWindow, KeyboardPlaysDeletesSavesAndFindsChannels) {
    WriteCatalogue();
    TMainForm& w = Start();
    // Shortcuts reach only the active window.
    w.show();
    w.activateWindow();
    Activate();
    w.ChannelsButtonClick();
    QTableView* grid = Page().ChannelGrid;
    int activated = 0;
    QObject::connect(&Page(), &ChannelsPage::channelActivated, [&] { ++activated; });
    const auto press = [](QWidget* target, int key, Qt::KeyboardModifiers mods = Qt::NoModifier, QString text = {}) {
        QKeyEvent event(QEvent::KeyPress, key, mods, text);
        QApplication::sendEvent(target, &event);
    };

    grid->keyboardSearch("th");
    EXPECT_EQ(w.Table().Selected().Name, "Three");
    grid->keyboardSearch("f");
    EXPECT_EQ(w.Table().Selected().Name, "Four");
    grid->keyboardSearch("T");  // a repeated single letter moves on, wrapping round
    EXPECT_EQ(w.Table().Selected().Name, "Two");
    grid->keyboardSearch("\u043c");
    EXPECT_EQ(w.Table().Selected().Name, "Two");  // no name starts with it: the selection stays

    press(grid, Qt::Key_Return);
    EXPECT_EQ(activated, 1);
    messages.Answer(false);
    press(grid, Qt::Key_Delete);
    EXPECT_EQ(messages.Texts().last(), "Do you want to delete the channel?");
    messages.Answer(false);
    grid->setFocus();
    QTest::keyClick(grid, Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(messages.Texts().last(), "Do you want to save the local channel list?");

    Page().AddButton->click();
    ASSERT_EQ(PartOf<QStackedWidget>(w, "Notebook1").currentIndex(), TMainForm::EditPageIndex);
    PartOf<EditPage>(w, "Edit").NameEdit->setFocus();
    QTest::keyClick(PartOf<EditPage>(w, "Edit").NameEdit, Qt::Key_Escape);
    EXPECT_EQ(PartOf<QStackedWidget>(w, "Notebook1").currentIndex(), TMainForm::ChannelsPageIndex);
    EXPECT_EQ(w.Table().ChannelCount, 5);
}

TEST(ErrorText, AppendsAFullStopAfterCharactersThatSortAfterIt) {
    EXPECT_EQ(ErrorText("Disk full"), "Disk full.");
    EXPECT_EQ(ErrorText("Done."), "Done.");
    EXPECT_EQ(ErrorText("Why?"), "Why?.");  // "?" sorts after ".", so it still gets one
    EXPECT_EQ(ErrorText("(x)"), "(x)");     // ')' sorts before '.'
    EXPECT_EQ(ErrorText(""), "");
}

}  // namespace

TEST_F(MainWindow, DamagedChannelNotesAreReportedOnceAndLeftAlone) {
    WriteCatalogue();
    WriteFile(dir / NotesFileName, "not the program's notes\n");
    TMainForm& w = Start();
    EXPECT_EQ(messages.Texts(), QStringList{"Can't read channels.meta: the file is damaged."});
    EXPECT_EQ(w.Table().ChannelCount, 5);  // the lists load all the same
    EXPECT_EQ(ReadFile(dir / NotesFileName), "not the program's notes\n");
}
