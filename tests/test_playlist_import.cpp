// The import flow (worker thread, question, hand-over) and export, with scripted answers and the real dialog.
#include <gtest/gtest.h>

#include <functional>

#include <QComboBox>
#include <QDir>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMimeData>
#include <QProgressDialog>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include "app/ImportProgress.h"
#include "app/MainForm.h"
#include "app/PlaylistImport.h"
#include "catalogue/Text.h"
#include "pages/ImportDialog.h"
#include "catalogue/ChannelNotes.h"
#include "pages/ChannelModel.h"
#include "pages/ChannelsPage.h"
#include "support/Patience.h"
#include "support/Catalogues.h"
#include "support/QtApp.h"
#include "support/ScriptedMessages.h"
#include "support/ScriptedServer.h"
#include "support/TempDir.h"
#include "support/WindowFixture.h"

using namespace castora;
using namespace castora::test;
using namespace std::chrono_literals;

namespace {

const std::string kPlaylist = "#EXTM3U\n"
                              "#EXTINF:-1 group-title=\"news\" tvg-country=\"US\",First\nhttp://first/\n"
                              "#EXTINF:-1 radio=\"true\",Radio One\nhttp://radio/\n"
                              "#EXTINF:-1,Known\nhttp://known/\n"
                              "------ Sports ------\n"
                              "#EXTINF:-1,Local file\nfile:///dev/zero\n";

class ImportFlow : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApp();
        table.AppendChannel(Channel("Known", "http://known/"));
        QObject::connect(&import, &PlaylistImport::finished, [this](bool ok) { results.push_back(ok); });
    }
    ImportLookups Lookups() const {
        return {{"*", "Online TV", "Radio"}, {"*", "USA", "France"}, {"*", "General", "News"}};
    }
    // Starts an import and waits for its end; returns what was delivered.
    std::vector<TChannelRec> Run(const QString& location) {
        delivered.clear();
        const size_t before = results.size();
        EXPECT_TRUE(import.Start(location, Lookups(), [this](ImportPlan p) { delivered = p.records; }));
        EXPECT_TRUE(QTest::qWaitFor([&] { return results.size() > before; }, kPatienceMs));
        EXPECT_FALSE(import.Busy());
        return delivered;
    }

    TempDir dir;
    ChannelTable table;
    ScriptedMessages messages;
    PlaylistImport import{table, messages};
    std::vector<TChannelRec> delivered;
    std::vector<bool> results;
};

}  // namespace

TEST_F(ImportFlow, FileImportAsksOnceAndDeliversRecordsWithTheChosenSource) {
    WriteFile(dir / "news list.m3u", kPlaylist);
    messages.AnswerImport(2);
    const auto records = Run(QString::fromStdString((dir / "news list.m3u").string()));
    ASSERT_EQ(messages.importQuestions.size(), 1u);
    const ImportQuestion& q = messages.importQuestions[0];
    EXPECT_EQ(messages.shown[0].text, "Import the playlist \"news list\"?\n\nChannels to add: 3\n"
                                      "Already in the catalogue: 1\nUnusable entries: 0");
    EXPECT_EQ(q.sources, (QStringList{"not selected", "Online TV", "Radio"}));
    EXPECT_EQ(q.preselected, 1);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].Name, "First");
    EXPECT_EQ(records[0].Source, 2);
    EXPECT_EQ(records[0].Country, 1);
    EXPECT_EQ(records[0].Genre, 2);
    EXPECT_EQ(records[1].Source, 2);  // radio="true" classifies it whatever the choice
    EXPECT_EQ(results, std::vector<bool>{true});

    // Cancel delivers nothing; a file:// URL is a file.
    messages.AnswerImport(std::nullopt);
    EXPECT_TRUE(Run(QUrl::fromLocalFile(QString::fromStdString((dir / "news list.m3u").string())).toString()).empty());
    EXPECT_EQ(messages.importQuestions.size(), 2u);
    EXPECT_EQ(results.back(), false);
}

TEST_F(ImportFlow, BadInputShowsOneErrorAndDeliversNothing) {
    WriteFile(dir / "page.m3u", "<html><body>Not found</body></html>");
    WriteFile(dir / "stream.m3u8", "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nlow.m3u8\n");
    WriteFile(dir / "known.m3u", "http://known/\n");
    ScriptedServer missing;
    missing.Send("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n").Start();
    const auto path = [&](const char* name) { return QString::fromStdString((dir / name).string()); };
    struct Case {
        QString location;
        ScriptedMessages::Shown::Kind kind;
        QString text;
    } cases[] = {
        {path("none.m3u"), ScriptedMessages::Shown::Error,
         "The playlist \"" + path("none.m3u") +
             "\" can't be imported.\n\n"
             "The playlist file can't be read: No such file or directory."},
        {path("page.m3u"), ScriptedMessages::Shown::Error,
         "The playlist \"" + path("page.m3u") + "\" can't be imported.\n\nThis is a web page, not a playlist."},
        {path("stream.m3u8"), ScriptedMessages::Shown::Error,
         "The playlist \"" + path("stream.m3u8") +
             "\" can't be imported.\n\nThis is the playlist of a single stream (HLS), not a list of channels."},
        {QString::fromStdString(missing.Url("/tv.m3u")), ScriptedMessages::Shown::Error,
         "The playlist \"" + QString::fromStdString(missing.Url("/tv.m3u")) +
             "\" can't be imported.\n\nThe playlist could not be downloaded: the server answered 404."},
        {path("known.m3u"), ScriptedMessages::Shown::Info,
         "The playlist \"known\" adds no channel: its 1 channels are already in the catalogue."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.location.toStdString());
        messages.Clear();
        messages.AnswerImport(1);
        EXPECT_TRUE(Run(c.location).empty());
        ASSERT_EQ(messages.shown.size(), 1u);
        EXPECT_EQ(messages.shown[0].kind, c.kind);
        EXPECT_EQ(messages.shown[0].text, c.text);
        EXPECT_EQ(results.back(), false);
    }
}

TEST_F(ImportFlow, DownloadReportsProgressResolvesAgainstTheUrlAndCanBeCancelled) {
    // A web playlist names no local file and no socket for anyone to send to.
    const std::string body = "#EXTM3U\n#EXTINF:-1,Relative\nlive/index.m3u8\nfile:///etc/passwd\nudp://@:1234\n" +
                             std::string(200000, '#') + "\n";
    ScriptedServer server;
    server
        .Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body.substr(0, 100000))
        .Pause(300ms)
        .Send(body.substr(100000))
        .Start();
    qint64 lastProgress = 0;
    QObject::connect(&import, &PlaylistImport::progress, [&](qint64 got, qint64) { lastProgress = got; });
    messages.AnswerImport(1);
    const auto records = Run(QString::fromStdString(server.Url("/lists/tv.m3u")));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Url, server.Url("/lists/live/index.m3u8"));
    ASSERT_EQ(messages.importQuestions.size(), 1u);
    EXPECT_EQ(messages.importQuestions[0].unusable, 2);
    EXPECT_GT(lastProgress, 0);

    // A second import waits for the first; Cancel ends a stalled download without a message.
    ScriptedServer stalled;
    stalled.Send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n#EXTM3U\n").Pause(20s).Start();
    messages.Clear();
    ASSERT_TRUE(import.Start(QString::fromStdString(stalled.Url("/x.m3u")), Lookups(), [](auto) {}));
    EXPECT_FALSE(import.Start("/tmp/other.m3u", Lookups(), [](auto) {}));
    QTest::qWait(200);
    const auto start = std::chrono::steady_clock::now();
    import.Cancel();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !import.Busy(); }, kPatienceMs));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(results.back(), false);
}

TEST_F(ImportFlow, ASlowDownloadShowsHowFarItGotAndCancelEndsIt) {
    QWidget window;
    ImportProgress shown(import, &window);
    const std::function<void(QProgressDialog*)> cancels[] = {
        [](QProgressDialog* dialog) {
            for (QPushButton* b : dialog->findChildren<QPushButton*>())
                if (b->text() == "Cancel") b->click();
        },
        [](QProgressDialog* dialog) { QTest::keyClick(dialog, Qt::Key_Escape); },
    };
    for (const auto& cancel : cancels) {
        results.clear();
        ScriptedServer slow;
        slow.Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n#EXTM3U\n" + std::string(3000, '#'))
            .Pause(120s)
            .Start();
        ASSERT_TRUE(import.Start(QString::fromStdString(slow.Url("/slow.m3u")), Lookups(), [](auto) {}));
        ASSERT_TRUE(QTest::qWaitFor([&] { return shown.Dialog() && shown.Dialog()->isVisible(); }, 30000));
        QProgressDialog* dialog = shown.Dialog();
        EXPECT_EQ(dialog->windowTitle(), "Castora Player");
        ASSERT_TRUE(QTest::qWaitFor([&] { return dialog->labelText().contains(" of 98 KiB"); }, 30000));
        EXPECT_EQ(dialog->labelText(), "Downloading the playlist: 3 of 98 KiB.");
        EXPECT_EQ(dialog->maximum(), 1000);
        EXPECT_EQ(dialog->value(), 30);
        cancel(dialog);
        // Well before the server's pause is over.
        ASSERT_TRUE(QTest::qWaitFor([&] { return !import.Busy(); }, 60000));
        EXPECT_EQ(results, std::vector<bool>{false});
        EXPECT_TRUE(messages.shown.empty()) << messages.Texts().join('|').toStdString();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !shown.Dialog(); }, 30000));
    }
}

class ImportThroughTheWindow : public WindowFixture {};

TEST_F(ImportThroughTheWindow, AnImportAskedForWhileOneRunsWaitsItsTurn) {
    WriteFile(dir / "second.m3u", "#EXTM3U\n#EXTINF:-1,Second\nhttp://second/\n");
    const std::string body = "#EXTM3U\n#EXTINF:-1,First\nhttp://first/\n" + std::string(5000, '#') + "\n";
    ScriptedServer slow;
    slow.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body.substr(0, 100))
        .Pause(2s)
        .Send(body.substr(100))
        .Start();
    TMainForm& w = Start();
    messages.Clear();
    w.ImportPlaylist(QString::fromStdString(slow.Url("/first.m3u")));
    w.ImportPlaylist(QString::fromStdString((dir / "second.m3u").string()));
    // The first shows its progress while it downloads, and goes on to its question when it is done.
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.findChild<QProgressDialog*>() != nullptr; }, 30000));
    messages.AnswerImport(0);
    messages.AnswerImport(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return messages.importQuestions.size() == 2; }, 30000));
    EXPECT_EQ(messages.importQuestions[0].playlistName, "first");
    EXPECT_EQ(messages.importQuestions[1].playlistName, "second");
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.Table().ChannelCount == 2; }, 30000));
    EXPECT_EQ(w.Table().Channels[1].Name, "First");
    EXPECT_EQ(w.Table().Channels[2].Name, "Second");
    EXPECT_EQ(messages.shown.size(), 2u) << messages.Texts().join('|').toStdString();
}

// What the playlist knew of each channel is kept in the channel notes at once, its logo shows in the grid,
// and its header's guides are handed on.
TEST_F(ImportThroughTheWindow, KeepsWhatThePlaylistKnewOfEachChannel) {
    WriteFile(dir / "tv.m3u",
              "#EXTM3U x-tvg-url=\"http://guide.example/a.xml.gz, http://guide.example/b.xml\"\n"
              "#EXTINF:-1 tvg-id=\"news.uk\" tvg-name=\"News UK\" tvg-logo=http://logo.example/n.png tvg-shift=\"+1\","
              "News\nhttp://news/live\n#EXTINF:-1,Plain\nhttp://plain/live\n");
    TMainForm& w = Start();
    std::vector<std::string> guides;
    QObject::connect(&w, &TMainForm::guideSourcesImported,
                     [&](const std::vector<std::string>& urls) { guides = urls; });
    messages.AnswerImport(0);
    w.ImportPlaylist(QString::fromStdString((dir / "tv.m3u").string()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.Table().ChannelCount == 2; }, kPatienceMs));
    EXPECT_EQ(guides, (std::vector<std::string>{"http://guide.example/a.xml.gz", "http://guide.example/b.xml"}));
    ChannelNotes notes(dir / NotesFileName);
    ASSERT_TRUE(notes.Load().ok);
    ASSERT_NE(notes.Find("http://news/live"), nullptr);
    const ChannelNote& news = *notes.Find("http://news/live");
    EXPECT_EQ(news.tvgId, "news.uk");
    EXPECT_EQ(news.tvgName, "News UK");
    EXPECT_EQ(news.tvgLogo, "http://logo.example/n.png");
    EXPECT_EQ(news.tvgShift, "+1");
    EXPECT_EQ(notes.Find("http://plain/live"), nullptr);  // the playlist said nothing of it
    // The grid asks for the playlist's logo, as an address from the web, not a file of the user's.
    PartOf<ChannelsPage>(w, "Channels").ShowChannels();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return PartOf<ChannelsPage>(w, "Channels").Model().FilledRows() == 2; }, kPatienceMs));
    EXPECT_EQ(PartOf<ChannelsPage>(w, "Channels").Model().LogoAt(1).url, "http://logo.example/n.png");
    EXPECT_FALSE(PartOf<ChannelsPage>(w, "Channels").Model().LogoAt(1).localFileAllowed);
}

TEST_F(ImportFlow, WaitsForTheTableAndPlansAgainstItAsItStandsThen) {
    WriteFile(dir / "late.m3u", "#EXTM3U\n#EXTINF:-1,Late\nhttp://late/\n#EXTINF:-1,Known\nhttp://known/\n"
                                "#EXTINF:-1,New\nhttp://new/\n");
    import.SetTableReady(false);
    messages.AnswerImport(1);
    ASSERT_TRUE(import.Start(QString::fromStdString((dir / "late.m3u").string()), Lookups(),
                             [this](ImportPlan p) { delivered = p.records; }));
    // Whatever the worker has done by now, it neither asks nor reports while the table is not in place.
    QTest::qWait(300);
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_TRUE(import.Busy());
    table.AppendChannel(Channel("Late", "http://late/"));
    import.SetTableReady(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !results.empty(); }, 30000));
    ASSERT_EQ(messages.importQuestions.size(), 1u);
    EXPECT_EQ(messages.importQuestions[0].alreadyKnown, 2);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].Name, "New");

    // Cancel ends a waiting import without a word.
    import.SetTableReady(false);
    messages.Clear();
    ASSERT_TRUE(import.Start(QString::fromStdString((dir / "late.m3u").string()), Lookups(), [](auto) {}));
    import.Cancel();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !import.Busy(); }, 30000));
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(results.back(), false);
}

// As the program starts with a playlist named: the import begins before the catalogue is in place.
TEST(PlaylistAtStartUp, IsAskedAboutOnceTheWindowIsUpAgainstTheLoadedCatalogue) {
    EnsureApp();
    TempDir dir;
    WriteLookups(dir.path(), {"TV", "Radio"}, {"USA"}, {"News"});
    // A catalogue that takes longer to load than the playlist to read, the spelling in Latin ready.
    std::vector<TChannelRec> channels;
    for (int i = 0; i < 50000; ++i)
        channels.push_back(Channel("Channel " + std::to_string(i), "http://c/" + std::to_string(i)));
    channels.push_back(Channel("Known", "http://known.example/a"));
    WriteFile(dir / "global.dat", ListFileBytes("01.12.2026", channels));
    PrepareRecordText();
    WriteFile(dir / "start.m3u", "#EXTM3U\n#EXTINF:-1,Known again\nhttp://known.example/a\n"
                                 "#EXTINF:-1 group-title=\"news\",New\nhttp://new.example/\n");
    struct Watching : ScriptedMessages {
        TMainForm* form = nullptr;
        bool upWhenAsked = false;
        std::optional<int> AskImport(const ImportQuestion& question) override {
            upWhenAsked = form && form->Ready() && form->isVisible();
            return ScriptedMessages::AskImport(question);
        }
    } messages;
    messages.AnswerImport(1);
    AppConfig config;
    config.listDir = QString::fromStdString(dir.path().string());
    config.programDir = config.listDir;
    config.nullMediaOutputs = true;
    config.updateHost = "127.0.0.1:9";
    TMainForm form(config, messages);
    messages.form = &form;
    form.ShowWhenReady();
    form.ImportPlaylist(QString::fromStdString((dir / "start.m3u").string()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.Table().ChannelCount == 50002; }, 30000));
    ASSERT_EQ(messages.importQuestions.size(), 1u);
    EXPECT_TRUE(messages.upWhenAsked);
    EXPECT_EQ(messages.importQuestions[0].alreadyKnown, 1);
    EXPECT_EQ(messages.importQuestions[0].added, 1);
    EXPECT_EQ(form.Table().Channels[50002].Name, "New");
    EXPECT_EQ(form.Table().Channels[50002].Genre, 1);
}

TEST(ImportQuestionDialog, ShowsTheCountsAndTheSourceChoice) {
    EnsureApp();
    ImportQuestion q{"My list", 12, 3, 1, {"not selected", "Online TV", "Radio"}, 2};
    ImportDialog dialog(q);
    EXPECT_EQ(dialog.windowTitle(), "Castora Player");
    EXPECT_EQ(dialog.TextLabel->text(), ImportQuestionText(q));
    EXPECT_EQ(dialog.TextLabel->accessibleName(), dialog.TextLabel->text());
    EXPECT_EQ(dialog.SourceComboBox->accessibleName(), dialog.SourceLabel->text());
    EXPECT_EQ(dialog.SourceComboBox->currentText(), "Radio");
    for (QAbstractButton* b : dialog.Buttons->buttons()) EXPECT_EQ(b->accessibleName(), b->text().remove('&'));
    EXPECT_EQ(dialog.Source(), 2);

    // The real box: OK returns the chosen source, Cancel nothing.
    MessageBoxes boxes;
    for (const bool ok : {true, false}) {
        QTimer::singleShot(50, [ok] {
            auto* shown = qobject_cast<ImportDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(shown, nullptr);
            shown->SourceComboBox->setCurrentIndex(1);
            shown->Buttons->button(ok ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)->click();
        });
        EXPECT_EQ(boxes.AskImport(q), ok ? std::optional<int>(1) : std::nullopt);
    }
}

TEST(PlaylistExportFlow, WritesTheShownRecordsAndSaysSo) {
    EnsureApp();
    TempDir dir;
    ChannelTable table;
    table.AppendChannel(Channel("One", "http://one/", 1, 1, 2));
    table.AppendChannel(Channel("Two", "http://two/", 1, 2, 1));
    table.AppendChannel(Channel("Tone", "tone.wav", 1, 0, 0));
    ScriptedMessages messages;
    PlaylistExport exporter(table, messages, [] { return std::vector<int32_t>{2, 3}; });
    const ImportLookups lookups{{"*", "TV"}, {"*", "USA", "France"}, {"*", "General", "News"}, "/data/lists"};
    const QString file = QString::fromStdString((dir / "shown.m3u").string());
    EXPECT_TRUE(exporter.Export(file, lookups));
    // A file the lists name relative to their directory opens from wherever the export goes.
    EXPECT_EQ(ReadFile(dir / "shown.m3u"), "#EXTM3U\n#EXTINF:-1 tvg-country=\"FR\" group-title=\"General\",Two\n"
                                           "http://two/\n#EXTINF:-1,Tone\n/data/lists/tone.wav\n");
    EXPECT_EQ(messages.Texts(), QStringList{"Channels exported to shown.m3u: 2."});
    EXPECT_FALSE(exporter.Export(QString::fromStdString((dir / "no" / "x.m3u").string()), lookups));
    EXPECT_EQ(messages.shown.back().kind, ScriptedMessages::Shown::Error);
}

TEST(PlaylistLocation, FromTheCommandLineAndFromADrop) {
    EnsureApp();
    const QString cwd = QDir::currentPath();
    const std::pair<QStringList, QString> arguments[] = {
        {{"castora-player"}, ""},
        {{"castora-player", "list.m3u"}, cwd + "/list.m3u"},
        {{"castora-player", "/data/r.pls"}, "/data/r.pls"},
        {{"castora-player", "file:///data/my%20list.m3u"}, "/data/my list.m3u"},
        {{"castora-player", "-x", "HTTPS://h.example/tv.m3u?t=1"}, "HTTPS://h.example/tv.m3u?t=1"},
        {{"castora-player", "ftp://h/x.m3u"}, ""},
    };
    for (const auto& [args, want] : arguments) EXPECT_EQ(PlaylistArgument(args), want) << args.join(' ').toStdString();

    QMimeData files;
    files.setUrls({QUrl("mailto:x@y"), QUrl::fromLocalFile("/data/a b.m3u")});
    EXPECT_EQ(PlaylistFromDrop(&files), "/data/a b.m3u");
    QMimeData link;
    link.setText(" http://h/list.m3u \n");
    EXPECT_EQ(PlaylistFromDrop(&link), "http://h/list.m3u");
    QMimeData prose;
    prose.setText("some words");
    EXPECT_EQ(PlaylistFromDrop(&prose), "");
    EXPECT_EQ(PlaylistFromDrop(nullptr), "");
}
