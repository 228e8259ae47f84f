#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QKeyEvent>

#include "catalogue/ChannelNotes.h"
#include "catalogue/ListFiles.h"
#include "pages/ChannelModel.h"
#include "pages/ChannelsPage.h"
#include "pages/EditPage.h"
#include "support/Catalogues.h"
#include "support/WindowFixture.h"

using namespace castora;
using namespace castora::test;

namespace {

// Types text as key presses carrying characters, as a keyboard with any layout would.
void Type(QWidget* widget, const QString& text) {
    for (QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &release);
    }
}

class Editor : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        WriteLookups(dir.path(), {"TV", "Radio"}, {"Russia", "USA"}, {"News", "Music"});
        WriteFile(dir / "global.dat", ListFileBytes("g", {Channel("One", "http://one", 1, 1, 1),
                                                          Channel("Two", "http://two", 2, 2, 2, "64", "c")}));
        Start();
    }
    EditPage& Page() { return PartOf<EditPage>(*form, "Edit"); }
    ChannelsPage& Channels() { return PartOf<ChannelsPage>(*form, "Channels"); }
    void Fill(int source, int country, int genre, const QString& name, const QString& url) {
        Page().AddSourceComboBox->setCurrentIndex(source);
        Page().AddCountryComboBox->setCurrentIndex(country);
        Page().AddGenreComboBox->setCurrentIndex(genre);
        Page().NameEdit->setText(name);
        Page().UrlEdit->setText(url);
    }
};

TEST_F(Editor, EmptyFormListsEveryMissingFieldInOneMessage) {
    Channels().AddButton->click();
    EXPECT_EQ(PartOf<QStackedWidget>(*form, "Notebook1").currentIndex(), TMainForm::EditPageIndex);
    EXPECT_EQ(Page().Title(), "Add channel");
    EXPECT_EQ(Page().ApplyButton->text(), "Add");
    EXPECT_EQ(Page().AddFormatComboBox->currentText(), "MediaPlayer");
    EXPECT_EQ(Page().AddSourceComboBox->itemText(0), "not selected");
    Page().ApplyButton->click();
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text.split('\n'),
              (QStringList{"Select a source", "Select a channel country", "Select a channel genre",
                           "Enter a channel name", "Enter a channel URL"}));
    EXPECT_EQ(PartOf<QStackedWidget>(*form, "Notebook1").currentIndex(), TMainForm::EditPageIndex);
    EXPECT_EQ(form->Table().ChannelCount, 2);

    // Blanks count as text; only the lists are still missing.
    messages.Clear();
    Fill(0, 1, 0, " ", " ");
    Page().ApplyButton->click();
    EXPECT_EQ(messages.shown[0].text.split('\n'), (QStringList{"Select a source", "Select a channel genre"}));
}

TEST_F(Editor, AddRefusesAKnownUrlButSaveAcceptsIt) {
    Channels().AddButton->click();
    Fill(1, 1, 1, "Again", "http://one");
    Page().ApplyButton->click();
    EXPECT_EQ(messages.Texts(), QStringList{"Channel already exists in database"});
    Page().UrlEdit->setText("http://ONE");  // exact, case-sensitive match only
    messages.Answer(false);
    Page().ApplyButton->click();
    EXPECT_EQ(form->Table().ChannelCount, 3);
    EXPECT_EQ(PartOf<QStackedWidget>(*form, "Notebook1").currentIndex(), TMainForm::ChannelsPageIndex);

    // "Save" mode: the same URL as another record is accepted.
    Channels().SelectGridRow(2);
    Channels().EditButton->click();
    EXPECT_EQ(Page().Title(), "Edit Channel");
    EXPECT_EQ(Page().ApplyButton->text(), "Save");
    Page().UrlEdit->setText("http://one");
    messages.Clear();
    messages.Answer(false);
    Page().ApplyButton->click();
    EXPECT_EQ(messages.Texts(), QStringList{"Do you want to send this information to the server?"});
    EXPECT_EQ(form->Table().Channels[2].Url, "http://one");
    EXPECT_EQ(form->Table().ChannelCount, 3);
}

TEST_F(Editor, EditingAGlobalChannelMakesItLocalInPlace) {
    Channels().SelectGridRow(2);
    Channels().EditButton->click();
    EXPECT_EQ(Page().AddSourceComboBox->currentIndex(), 2);
    EXPECT_EQ(Page().AddGenreComboBox->currentText(), "Music");
    EXPECT_EQ(Page().NameEdit->text(), "Two");
    EXPECT_EQ(Page().UrlEdit->text(), "http://two");
    EXPECT_EQ(Page().BitrateEdit->text(), "64");
    Page().NameEdit->setText("Two (edited)");
    messages.Answer(false);
    Page().ApplyButton->click();
    const TChannelRec& rec = form->Table().Channels[2];
    EXPECT_EQ(rec.Name, "Two (edited)");
    EXPECT_TRUE(rec.IsLocal);
    EXPECT_EQ(rec.Comments, "c");
    // The grid shows the change only after a rebuild.
    EXPECT_EQ(Channels().Model().CellText(ChannelColumn::Name, 2),
              " Two (edited)");  // the grid reads the table directly
    Channels().RefreshButton->click();
    EXPECT_EQ(Channels().Model().CellText(ChannelColumn::Comments, 2), "[local] c");
}

TEST_F(Editor, CodesTheUserLeavesAloneAreKeptEvenBeyondTheLists) {
    // Format 7, source 5, country 6 and genre 9 have no entry in the lists: those show no selection.
    const struct {
        const char* what;
        int pickedGenre;  // -1: the genre list is left alone
        std::string codes;
    } cases[] = {
        {"name only", -1, "7\r\n5\r\n6\r\n9\r\n"},
        {"genre picked", 2, "7\r\n5\r\n6\r\n2\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        form.reset();
        TChannelRec four = Channel("Four", "http://four", 5, 6, 9);
        four.Format = 7;
        WriteFile(dir / "global.dat", ListFileBytes("g", {four}));
        std::filesystem::remove(dir / "local.dat");
        Start();
        Channels().SelectGridRow(1);
        Channels().EditButton->click();
        EXPECT_EQ(Page().AddGenreComboBox->currentIndex(), -1);
        if (c.pickedGenre >= 0) Page().AddGenreComboBox->setCurrentIndex(c.pickedGenre);
        Page().NameEdit->setText("Four (edited)");
        messages.Answer(false);
        Page().ApplyButton->click();
        messages.Answer(true);
        Channels().SaveButton->click();
        const std::string saved = ReadFile(dir / "local.dat");
        EXPECT_NE(saved.find(c.codes + "Four (edited)\r\n"), std::string::npos) << saved;
    }
}

TEST_F(Editor, EditWithoutSelectionDoesNothing) {
    form->ChannelsButtonClick();
    Channels().SelectGridRow(0);
    Channels().EditButton->click();
    EXPECT_EQ(PartOf<QStackedWidget>(*form, "Notebook1").currentIndex(), TMainForm::ChannelsPageIndex);
}

TEST_F(Editor, AddedChannelSurvivesSaveAndReloadWithCyrillicText) {
    Channels().AddButton->click();
    Fill(2, 1, 2, QString(), "http://radio.example/\u0441\u0442\u0440\u0438\u043c");
    Type(Page().NameEdit, QString::fromUtf8("Радио Пример"));
    Page().BitrateEdit->setText("128");
    Page().CommentsEdit->setText(QString::fromUtf8("Тест"));
    messages.Answer(false);
    Page().ApplyButton->click();
    ASSERT_EQ(form->Table().ChannelCount, 3);
    const TChannelRec added = form->Table().Channels[3];
    EXPECT_EQ(added.Name, "\xd0\xe0\xe4\xe8\xee \xcf\xf0\xe8\xec\xe5\xf0");
    EXPECT_TRUE(added.IsLocal);
    EXPECT_EQ(added.Format, 1);

    messages.Answer(true);
    Channels().SaveButton->click();
    EXPECT_EQ(messages.shown.back().text, "Channel list successfully saved.");
    ChannelTable back;
    LoadChannelList(back, 1, dir.path());
    ASSERT_EQ(back.ChannelCount, 1);
    EXPECT_EQ(back.Channels[1], added);

    // Shown back unchanged in the editor.
    Channels().RefreshButton->click();
    Channels().SelectGridRow(3);
    Channels().EditButton->click();
    EXPECT_EQ(Page().NameEdit->text(), QString::fromUtf8("Радио Пример"));
    EXPECT_EQ(Page().CommentsEdit->text(), QString::fromUtf8("Тест"));
}

TEST_F(Editor, LineBreaksBecomeBlanksAndLimitsHold) {
    Page().NameEdit->setText("a\r\nb\nc");
    EXPECT_EQ(Page().NameEdit->text(), "a  b c");
    QApplication::clipboard()->setText("x\ny");
    Page().CommentsEdit->clear();
    Page().CommentsEdit->paste();
    EXPECT_FALSE(Page().CommentsEdit->text().contains('\n'));
    EXPECT_EQ(Page().NameEdit->maxLength(), 64);
    EXPECT_EQ(Page().UrlEdit->maxLength(), 128);
    EXPECT_EQ(Page().BitrateEdit->maxLength(), 32);
    EXPECT_EQ(Page().CommentsEdit->maxLength(), 128);
    Type(Page().BitrateEdit, QString(40, QChar(0x0416)));
    EXPECT_EQ(Page().Values().bitrate.size(), 32u);
}

TEST_F(Editor, LongerStoredValuesAreShownWholeAndKeptBySave) {
    TChannelRec two = form->Table().Channels[2];
    two.Url = "http://two/live.m3u8?token=" + std::string(400, 't') + "|User-Agent=Mozilla/5.0 (X11; Linux)";
    two.Name = std::string(70, 'n');
    two.Comments = "Group: " + std::string(200, 'g');
    form->CatalogueOwner().Store(2, two);
    const TChannelRec before = two;
    Channels().SelectGridRow(2);
    Channels().EditButton->click();
    EXPECT_EQ(Page().UrlEdit->text().toStdString(), before.Url);
    messages.Answer(false);
    Page().ApplyButton->click();
    const TChannelRec& after = form->Table().Channels[2];
    EXPECT_EQ(std::tie(after.Name, after.Url, after.Comments), std::tie(before.Name, before.Url, before.Comments));

    // Typing still stops at the limit, and a new channel starts with the plain limits again.
    Channels().SelectGridRow(2);
    Channels().EditButton->click();
    Type(Page().NameEdit, "more");
    EXPECT_EQ(Page().NameEdit->text().size(), 70);
    Channels().AddButton->click();
    Type(Page().NameEdit, QString(80, 'x'));
    EXPECT_EQ(Page().NameEdit->text().size(), 64);
}

}  // namespace

// What the program knows of a channel follows an edit of its address, and is written at once.
TEST_F(Editor, AnAddressEditCarriesTheChannelsNoteAlong) {
    form->CatalogueOwner().ChangeNotes([](ChannelNotes& notes) {
        notes.SetFavourite("http://two", true);
        notes.Change("http://two", [](ChannelNote& n) { n.tvgId = "two.tv"; });
    });
    Channels().SelectGridRow(2);
    Channels().EditButton->click();
    Page().UrlEdit->setText("http://two.example/live");
    messages.Answer(false);  // no submission
    Page().ApplyButton->click();
    ChannelNotes written(dir / NotesFileName);
    ASSERT_TRUE(written.Load().ok);
    EXPECT_EQ(written.Find("http://two"), nullptr);
    ASSERT_NE(written.Find("http://two.example/live"), nullptr);
    EXPECT_EQ(written.Find("http://two.example/live")->tvgId, "two.tv");
    EXPECT_EQ(written.Favourites(), std::vector<std::string>{"http://two.example/live"});
}
