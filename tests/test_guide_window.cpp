// The guide in the main window (offscreen): its sources in the settings file, the manual match, and a
// source that fails while a guide is shown.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QTableWidget>
#include <QTest>

#include "app/ChannelGuide.h"
#include "catalogue/ChannelNotes.h"
#include "pages/ChannelGrid.h"
#include "pages/ChannelModel.h"
#include "pages/ChannelsPage.h"
#include "pages/GuideDialogs.h"
#include "support/Catalogues.h"
#include "support/ConditionalHttpServer.h"
#include "support/GuideWindow.h"
#include "support/Guides.h"
#include "support/WindowFixture.h"

using namespace castora;
using namespace castora::test;

namespace {

class GuideWindow : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        WriteLookups(dir.path(), {"TV"}, {"Russia"}, {"News"});
        WriteFile(dir / "global.dat",
                  ListFileBytes("01.12.2026", {Channel("Alpha", "http://alpha/"), Channel("Beta", "http://beta/")}));
    }
    AppConfig Config() const override {
        AppConfig config = WindowFixture::Config();
        config.settingsFile = Settings();
        return config;
    }
    QString Settings() const { return QString::fromStdString((dir / "settings.conf").string()); }
    void SetSources(const QStringList& sources) {
        QSettings settings(Settings(), QSettings::IniFormat);
        settings.setValue("guide/sources", sources);
    }

    // Two channels on air now, named so that only Alpha finds its own by name.
    std::string Guide(const std::string& alphaTitle = "Alpha show") const {
        return Xmltv(XmlChannel("a.tv", {"Alpha"}) + XmlChannel("b.tv", {"Bravo"}) +
                     XmlProgramme("a.tv", XmltvAt(now - 3600), XmltvAt(now + 3600), alphaTitle) +
                     XmlProgramme("a.tv", XmltvAt(now + 3600), XmltvAt(now + 7200), "Alpha later") +
                     XmlProgramme("b.tv", XmltvAt(now - 3600), XmltvAt(now + 3600), "Bravo now") +
                     XmlProgramme("b.tv", XmltvAt(now + 3600), XmltvAt(now + 7200), "Bravo in an hour"));
    }

    ChannelsPage& Page() const { return Part<ChannelsPage>("Channels"); }
    ChannelGuide& TheGuide() const { return Part<ChannelGuide>("Guide"); }
    QString Now(int32_t row) const { return Page().Model().CellText(ChannelColumn::Now, row); }
    bool WaitFor(const std::function<bool()>& condition) const { return QTest::qWaitFor(condition, kPatienceMs); }
    void WaitIdle() const {
        ASSERT_TRUE(WaitFor([this] { return !TheGuide().Busy(); }));
    }
    template <class Dialog>
    Dialog* Open(QAction* action) const {
        action->trigger();
        Dialog* dialog = nullptr;
        EXPECT_TRUE(WaitFor([&] { return (dialog = form->findChild<Dialog*>()) && dialog->isVisible(); }));
        return dialog;
    }

    const int64_t now = QDateTime::currentSecsSinceEpoch();
};

}  // namespace

TEST_F(GuideWindow, WithoutSourcesTheGridIsAsBefore) {
    Start();
    EXPECT_FALSE(Page().Model().ShowsGuide());
    EXPECT_TRUE(Page().ChannelGrid->isColumnHidden(ColumnIndex(ChannelColumn::Now)));
    EXPECT_EQ(Page().ChannelGrid->columnWidth(ColumnIndex(ChannelColumn::Comments)), 224);
    EXPECT_FALSE(TheGuide().Busy());
}

// A guide read, but of none of the catalogue's channels: the grid keeps its columns.
TEST_F(GuideWindow, AGuideOfOtherChannelsTakesNoRoom) {
    WriteFile(dir / "guide.xml", Xmltv(XmlChannel("x.tv", {"Xray"}) +
                                       XmlProgramme("x.tv", XmltvAt(now - 3600), XmltvAt(now + 3600), "X show")));
    SetSources({QString::fromStdString((dir / "guide.xml").string())});
    Start();
    ASSERT_TRUE(WaitFor([&] { return TheGuide().Index() && TheGuide().Lookup(); }));
    WaitIdle();
    EXPECT_EQ(TheGuide().Index()->ChannelCount(), 1);
    EXPECT_FALSE(Page().Model().ShowsGuide());
    EXPECT_TRUE(Page().ChannelGrid->isColumnHidden(ColumnIndex(ChannelColumn::Now)));
    EXPECT_EQ(Page().ChannelGrid->columnWidth(ColumnIndex(ChannelColumn::Comments)), 224);
}

// The sources the user sets are in the settings file under the guide's keys, beside another part's keys,
// and the next start reads them back.
TEST_F(GuideWindow, SourcesAreKeptInTheSettingsFile) {
    {
        QSettings other(Settings(), QSettings::IniFormat);
        other.setValue("view/zoom", 2);
    }
    WriteFile(dir / "guide.xml", Guide());
    const QString file = QString::fromStdString((dir / "guide.xml").string());
    Start();
    auto* dialog = Open<GuideSourcesDialog>(Page().GuideSourcesAction);
    ASSERT_TRUE(dialog);
    dialog->LocationEdit()->setText(file);
    dialog->AddButton()->click();
    dialog->LocationEdit()->setText("http://127.0.0.1:9/more.xml.gz");
    dialog->ShiftEdit()->setText("0.5");
    dialog->OkButton()->click();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(TheGuide().Sources(), (QStringList{file, "http://127.0.0.1:9/more.xml.gz"}));
    {
        const QSettings settings(Settings(), QSettings::IniFormat);
        EXPECT_EQ(settings.value("guide/sources").toStringList(),
                  (QStringList{file, "http://127.0.0.1:9/more.xml.gz"}));
        EXPECT_EQ(settings.value("guide/shift").toString(), "0.5");
        EXPECT_EQ(settings.value("view/zoom").toInt(), 2);
    }
    // The file's guide shows though the address fails; a change in the dialog is the user's asking, so
    // the failure is told.
    ASSERT_TRUE(WaitFor([&] { return Now(1) == "Alpha show"; }));
    WaitIdle();
    ASSERT_EQ(messages.shown.size(), 1u) << messages.Texts().join('\n').toStdString();
    EXPECT_TRUE(messages.shown[0].text.contains("http://127.0.0.1:9/more.xml.gz"))
        << messages.shown[0].text.toStdString();

    form.reset();
    Start();
    EXPECT_EQ(TheGuide().Sources(), (QStringList{file, "http://127.0.0.1:9/more.xml.gz"}));
    EXPECT_EQ(TheGuide().GlobalShift(), "0.5");
    auto* again = Open<GuideSourcesDialog>(Page().GuideSourcesAction);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->Sources(), TheGuide().Sources());
    // Removing the address leaves the file alone in the settings.
    again->SourceList()->setCurrentRow(1);
    again->RemoveButton()->click();
    again->OkButton()->click();
    const QSettings settings(Settings(), QSettings::IniFormat);
    EXPECT_EQ(settings.value("guide/sources").toStringList(), QStringList{file});
    EXPECT_EQ(settings.value("view/zoom").toInt(), 2);
}

TEST_F(GuideWindow, BadInputInTheSourcesDialogIsToldAndChangesNothing) {
    struct Case {
        const char* location;
        const char* shift;
        const char* message;
    } cases[] = {
        {"", "two", "The shift \"two\" is not a number of hours."},
        {"", "30", "The shift \"30\" is not a number of hours."},
        {"/no/such/guide.xml", "", "\"/no/such/guide.xml\" is neither a guide's web address nor a guide file."},
        {"ftp://example.com/guide.xml", "",
         "\"ftp://example.com/guide.xml\" is neither a guide's web address nor a guide file."},
    };
    Start();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        messages.Clear();
        auto* dialog = Open<GuideSourcesDialog>(Page().GuideSourcesAction);
        ASSERT_TRUE(dialog);
        dialog->LocationEdit()->setText(c.location);
        dialog->ShiftEdit()->setText(c.shift);
        dialog->OkButton()->click();
        ASSERT_EQ(messages.Texts(), QStringList{c.message});
        EXPECT_TRUE(dialog->isVisible());
        dialog->reject();
        QTest::qWait(0);
        EXPECT_TRUE(TheGuide().Sources().isEmpty());
        EXPECT_FALSE(QSettings(Settings(), QSettings::IniFormat).contains("guide/sources"));
    }
}

// A channel whose name matches no guide channel is matched by hand, with a shift of its own; the choice
// is in the notes beside the lists, and clearing it leaves the channel without a guide again.
TEST_F(GuideWindow, TheManualMatchWinsAndIsRemembered) {
    WriteFile(dir / "guide.xml", Guide());
    SetSources({QString::fromStdString((dir / "guide.xml").string())});
    Start();
    ASSERT_TRUE(WaitFor([&] { return Now(1) == "Alpha show"; }));
    WaitIdle();
    EXPECT_EQ(Now(2), "");
    EXPECT_FALSE(Page().ChannelGrid->isColumnHidden(ColumnIndex(ChannelColumn::Now)));

    Page().SelectGridRow(2);
    auto* dialog = Open<GuideMatchDialog>(Page().MatchGuideAction);
    ASSERT_TRUE(dialog);
    QStringList offered;
    for (int i = 0; i < dialog->ChannelList()->count(); ++i) offered << dialog->ChannelList()->item(i)->text();
    EXPECT_EQ(offered, (QStringList{"Alpha (a.tv)", "Bravo (b.tv)"}));
    dialog->FindEdit()->setText("brav");
    EXPECT_TRUE(dialog->ChannelList()->item(0)->isHidden());
    dialog->ChannelList()->setCurrentRow(1);
    // An hour earlier than the guide says: the programme it starts in an hour is on now.
    dialog->ShiftEdit()->setText("-1");
    dialog->OkButton()->click();
    ASSERT_TRUE(WaitFor([&] { return Now(2) == "Bravo in an hour"; })) << Now(2).toStdString();
    EXPECT_EQ(Now(1), "Alpha show");
    ChannelNotes notes(dir / "channels.meta");
    ASSERT_TRUE(notes.Load().ok);
    ASSERT_TRUE(notes.Find("http://beta/"));
    EXPECT_EQ(notes.Find("http://beta/")->guideId, "b.tv");
    EXPECT_EQ(notes.Find("http://beta/")->guideShift, "-1");

    // The next start takes the match from the notes.
    form.reset();
    Start();
    ASSERT_TRUE(WaitFor([&] { return Now(2) == "Bravo in an hour"; })) << Now(2).toStdString();

    Page().SelectGridRow(2);
    auto* clear = Open<GuideMatchDialog>(Page().MatchGuideAction);
    ASSERT_TRUE(clear);
    EXPECT_EQ(clear->ChannelList()->currentItem()->text(), "Bravo (b.tv)");
    EXPECT_EQ(clear->ShiftEdit()->text(), "-1");
    clear->ClearButton()->click();
    ASSERT_TRUE(WaitFor([&] { return Now(2).isEmpty(); }));
    ChannelNotes after(dir / "channels.meta");
    ASSERT_TRUE(after.Load().ok);
    EXPECT_FALSE(after.Find("http://beta/") && !after.Find("http://beta/")->guideId.empty());
    EXPECT_TRUE(messages.shown.empty()) << messages.Texts().join('\n').toStdString();
}

// A refresh that brings nothing readable keeps the guide shown, and says why.
TEST_F(GuideWindow, AFailingSourceKeepsThePreviousGuide) {
    struct Case {
        const char* what;
        ConditionalHttpServer::File answer;
        const char* message;  // part of the message shown
    } cases[] = {
        {"server error", {"oops", "\"2\"", "", "", 500}, "500"},
        {"not XML", {"this is no guide", "\"2\""}, "not XML"},
        {"truncated gzip", {Gzip(Guide("Changed")).substr(0, 200), "\"2\""}, "truncated"},
        {"another root", {"<?xml version=\"1.0\"?><rss></rss>", "\"2\""}, "not an XMLTV guide"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ConditionalHttpServer server;
        server.Put("/guide.xml", {Guide(), "\"1\""});
        SetSources({QString::fromStdString(server.Url("/guide.xml"))});
        Start();
        ASSERT_TRUE(WaitFor([&] { return Now(1) == "Alpha show"; }));
        WaitIdle();
        messages.Clear();

        server.Put("/guide.xml", c.answer);
        Page().RefreshGuideAction->trigger();
        ASSERT_TRUE(WaitFor([&] { return !messages.shown.empty(); }));
        WaitIdle();
        ASSERT_EQ(messages.shown.size(), 1u);
        const QString text = messages.shown[0].text;
        EXPECT_EQ(messages.shown[0].kind, ScriptedMessages::Shown::Error);
        EXPECT_TRUE(text.contains(QString::fromStdString(server.Url("/guide.xml")))) << text.toStdString();
        EXPECT_TRUE(text.contains(c.message)) << text.toStdString();
        EXPECT_TRUE(text.contains("The guide shown before stays.")) << text.toStdString();
        EXPECT_EQ(Now(1), "Alpha show");
        EXPECT_EQ(server.Requests("/guide.xml").size(), 2u);
        form.reset();
        messages.Clear();
    }
}

// Ctrl+G: the highlighted channel's programmes from yesterday to a week ahead, the one on air marked and
// described, another described when selected; programmes outside those days are left out.
TEST_F(GuideWindow, TheGuideDialogShowsTheChannelsDays) {
    const QDate today = QDate::currentDate();
    const int64_t yesterday = today.addDays(-1).startOfDay().toSecsSinceEpoch();
    const int64_t farAhead = today.addDays(9).startOfDay().toSecsSinceEpoch();
    WriteFile(dir / "guide.xml",
              Xmltv(XmlChannel("a.tv", {"Alpha"}) +
                    XmlProgramme("a.tv", XmltvAt(yesterday - 7200), XmltvAt(yesterday - 3600), "Two days ago") +
                    XmlProgramme("a.tv", XmltvAt(yesterday + 3600), XmltvAt(yesterday + 7200), "Yesterday's film") +
                    XmlProgramme("a.tv", XmltvAt(now - 3600), XmltvAt(now + 3600), "Alpha show",
                                 "    <sub-title>Part one</sub-title>\n    <desc>What happens now.</desc>\n") +
                    XmlProgramme("a.tv", XmltvAt(now + 3600), XmltvAt(now + 7200), "Alpha later",
                                 "    <desc>What happens next.</desc>\n    <category>News</category>\n") +
                    XmlProgramme("a.tv", XmltvAt(farAhead), XmltvAt(farAhead + 3600), "Too far")));
    SetSources({QString::fromStdString((dir / "guide.xml").string())});
    Start();
    ASSERT_TRUE(WaitFor([&] { return Now(1) == "Alpha show"; }));
    WaitIdle();
    Part<QPushButton>("ChannelsButton").click();
    // Shortcuts reach only the active window.
    form->show();
    form->activateWindow();
    ASSERT_TRUE(WaitFor([&] { return QApplication::activeWindow() == form.get(); }));
    Page().SelectGridRow(1);
    Page().ChannelGrid->setFocus();
    // The shortcut as the user presses it, on the grid.
    QTest::keyClick(Page().ChannelGrid, Qt::Key_G, Qt::ControlModifier);
    ProgrammesDialog* dialog = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (dialog = form->findChild<ProgrammesDialog*>()) && dialog->isVisible(); }))
        << messages.Texts().join('\n').toStdString();
    EXPECT_EQ(dialog->windowTitle(), "Guide: Alpha");
    QStringList titles;
    for (int r = 0; r < dialog->Table()->rowCount(); ++r) titles << dialog->Table()->item(r, 1)->text();
    EXPECT_EQ(titles,
              (QStringList{"Yesterday's film", QString::fromUtf8("\u25B6 Now: Alpha show: Part one"), "Alpha later"}));
    EXPECT_EQ(dialog->OnAirRow(), 1);
    EXPECT_TRUE(dialog->Table()->item(1, 1)->font().bold());
    EXPECT_FALSE(dialog->Table()->item(2, 1)->font().bold());
    EXPECT_EQ(dialog->Table()->currentRow(), 1);
    EXPECT_TRUE(dialog->Description()->toPlainText().contains("What happens now."));
    EXPECT_TRUE(dialog->Description()->toPlainText().contains("Part one"));
    dialog->Table()->setCurrentCell(2, 0);
    EXPECT_TRUE(dialog->Description()->toPlainText().contains("What happens next."));
    EXPECT_TRUE(dialog->Description()->toPlainText().contains("News"));
    EXPECT_TRUE(dialog->Description()->toPlainText().contains(ClockAt(now + 7200)));
    dialog->reject();

    // A channel the guide does not know is told so.
    WaitFor([&] { return !dialog->isVisible(); });
    Page().SelectGridRow(2);
    QTest::keyClick(Page().ChannelGrid, Qt::Key_G, Qt::ControlModifier);
    EXPECT_EQ(messages.Texts(), QStringList{"The guide has nothing for Beta."});
}
