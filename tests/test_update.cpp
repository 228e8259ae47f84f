#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTableView>
#include <QPushButton>
#include <QStackedWidget>

#include "app/Gauge.h"
#include "app/UpdatePage.h"
#include "app/Workers.h"
#include "catalogue/ListFiles.h"
#include "pages/ChannelGrid.h"
#include "pages/ChannelModel.h"
#include "pages/ChannelsPage.h"
#include "pages/EditPage.h"
#include "support/Patience.h"
#include "support/Catalogues.h"
#include "support/ScriptedServer.h"
#include "support/WindowFixture.h"
#include "support/ZipBuilder.h"

#include <QComboBox>
#include <QLineEdit>

using namespace castora;
using namespace castora::test;

namespace {

std::string Answer(const std::string& status, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

class Update : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        WriteLookups(dir.path(), {"TV", "Radio"}, {"Russia", "USA"}, {"News", "Music"});
        WriteFile(dir / "global.dat", ListFileBytes("old date", {Channel("Old", "http://old")}));
        WriteFile(dir / "local.dat",
                  ListFileBytes("l", {Channel("Mine", "http://mine"), Channel("Soon global", "http://new2")}));
    }
    void StartWith(ScriptedServer& server) {
        server.Start();
        hostPort = server.HostPort();
        Start();
        messages.Clear();
    }
    AppConfig Config() const override {
        AppConfig c = WindowFixture::Config();
        c.updateHost = QString::fromStdString(hostPort);
        return c;
    }
    // Runs the window's event loop until every worker has ended.
    void WaitForWorkers() {
        QElapsedTimer timer;
        timer.start();
        while (form->Workers().Running() > 0 && timer.elapsed() < kPatienceMs)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::processEvents();
        ASSERT_EQ(form->Workers().Running(), 0);
    }
    UpdatePage& Page() const { return Part<UpdatePage>("Update"); }
    QString Status() const { return Page().UpdateStatusPanel->text(); }
    bool ButtonsEnabled() const {
        return Page().FreeUpdateButton->isEnabled() && Page().FullUpdateButton->isEnabled() &&
               PartOf<QWidget>(*form, "Toolbar").isEnabled();
    }
    std::string hostPort = "127.0.0.1:9";
};

TEST_F(Update, NoLeavesEverythingAsItWas) {
    ScriptedServer server;
    server.Send(Answer("200 OK", "x"));
    StartWith(server);
    PartOf<PageButton>(*form, "UpdatingButton").click();
    messages.Answer(false);
    Page().FreeUpdateButton->click();
    WaitForWorkers();
    EXPECT_EQ(messages.Texts(), QStringList{"Do you want to update the free channel list?"});
    EXPECT_EQ(server.Connections(), 0u);
    EXPECT_TRUE(ButtonsEnabled());
    EXPECT_EQ(Status(), "Please press the necessary button to update the channel list");
    EXPECT_FALSE(std::filesystem::exists(dir / "updates.zip"));
}

TEST_F(Update, SecondClickWhileTheFirstUpdateAsksStartsNothing) {
    ScriptedServer server;
    server.Send(Answer("404 Not Found", ""));
    StartWith(server);
    messages.Answer(true);
    messages.Answer(true);
    Page().FreeUpdateButton->click();
    Page().FullUpdateButton->click();
    WaitForWorkers();
    EXPECT_EQ(messages.Texts(), QStringList{"Do you want to update the free channel list?"});
    EXPECT_EQ(server.Connections(), 1u);
    // Once it has ended, the next click starts an update again.
    Page().FreeUpdateButton->click();
    WaitForWorkers();
    EXPECT_EQ(server.Connections(), 2u);
}

TEST_F(Update, FailedDownloadKeepsTheCatalogue) {
    ScriptedServer server;
    server.Send(Answer("404 Not Found", "<html>gone</html>"));
    StartWith(server);
    messages.Answer(true);
    Page().FullUpdateButton->click();
    WaitForWorkers();
    EXPECT_EQ(messages.Texts(), QStringList{"Do you want to update the full channel list?"});
    EXPECT_EQ(server.Request().substr(0, 24), "GET /?key=full HTTP/1.1\r");
    EXPECT_EQ(Status(), "Can't download channel list");
    EXPECT_TRUE(ButtonsEnabled());
    EXPECT_EQ(form->Table().ChannelCount, 3);
    EXPECT_EQ(PartOf<ChannelsPage>(*form, "Channels").Model().CellText(ChannelColumn::Name, 1), " Old");
    EXPECT_EQ(ReadFile(dir / "updates.zip"), "");
}

TEST_F(Update, GoodArchiveReplacesTheGlobalListAndReloads) {
    const std::string global = ListFileBytes(
        "05.12.2026", {Channel("New one", "http://new1", 2, 2, 2), Channel("New two", "http://new2", 1, 1, 1)});
    WriteLibzipArchive(dir / "archive.zip", {{"lists/global.dat", global}});
    const std::string archive = ReadFile(dir / "archive.zip");
    ScriptedServer server;
    server.Send(Answer("200 OK", archive));
    StartWith(server);
    PartOf<ChannelsPage>(*form, "Channels").SelectGridRow(2);  // "Mine", which survives the update
    messages.Answer(true);
    Page().FreeUpdateButton->click();
    WaitForWorkers();
    EXPECT_EQ(server.Request().substr(0, 24), "GET /?key=free HTTP/1.1\r");
    EXPECT_EQ(Status(), "Free channel list is updated");
    EXPECT_TRUE(ButtonsEnabled());
    EXPECT_EQ(ReadFile(dir / "global.dat"), global);
    EXPECT_EQ(ReadFile(dir / "updates.zip"), archive);
    EXPECT_FALSE(std::filesystem::exists(dir / "lists"));
    // The local copy of a channel that is now global is gone; the grid shows the new catalogue.
    ASSERT_EQ(form->Table().ChannelCount, 3);
    EXPECT_EQ(PartOf<ChannelsPage>(*form, "Channels").Model().CellText(ChannelColumn::Name, 1), " New one");
    EXPECT_EQ(PartOf<ChannelsPage>(*form, "Channels").Model().CellText(ChannelColumn::Name, 2), " New two");
    EXPECT_EQ(PartOf<ChannelsPage>(*form, "Channels").Model().CellText(ChannelColumn::Name, 3), " Mine");
    EXPECT_EQ(PartOf<ChannelsPage>(*form, "Channels").GlobalDatePanel->text(), "Global list updated: 05.12.2026");
    EXPECT_EQ(Page().Gauge1->Max(), 3);
    // The selection followed its channel to its new place.
    EXPECT_EQ(form->Table().Selected().Name, "Mine");
    EXPECT_EQ(PartOf<ChannelsPage>(*form, "Channels").CurrentGridRow(), 3);
    EXPECT_TRUE(messages.shown.size() == 1);
}

// The archive unpacks, but its list does not read: no success is claimed, the update can be tried again.
TEST_F(Update, ListThatDoesNotReadIsNoUpdate) {
    WriteLibzipArchive(dir / "archive.zip", {{"global.dat", "d\r\nx\r\n2\r\n2\r\n2\r\nB\r\nb\r\n\r\n\r\n"}});
    ScriptedServer server;
    server.Send(Answer("200 OK", ReadFile(dir / "archive.zip")));
    StartWith(server);
    messages.Answer(true);
    Page().FreeUpdateButton->click();
    WaitForWorkers();
    EXPECT_FALSE(Status().contains("updated")) << Status().toStdString();
    EXPECT_TRUE(ButtonsEnabled());
    // The user's own channels are still there.
    EXPECT_GE(form->Table().IndexOfUrl("http://mine"), 1);
}

// The program lives elsewhere than the lists: the archive stays beside the program, its entries go to the lists.
class UpdateBesideTheProgram : public Update {
protected:
    AppConfig Config() const override {
        AppConfig c = Update::Config();
        c.programDir = QString::fromStdString(programDir.path().string());
        return c;
    }
    TempDir programDir;
};

TEST_F(UpdateBesideTheProgram, UnpacksWhereTheListsAreRead) {
    const std::string global = ListFileBytes("06.12.2026", {Channel("Fresh", "http://fresh")});
    WriteLibzipArchive(dir / "archive.zip", {{"global.dat", global}});
    const std::string archive = ReadFile(dir / "archive.zip");
    std::filesystem::remove(dir / "archive.zip");
    ScriptedServer server;
    server.Send(Answer("200 OK", archive));
    StartWith(server);
    messages.Answer(true);
    Page().FreeUpdateButton->click();
    WaitForWorkers();
    EXPECT_EQ(Status(), "Free channel list is updated");
    EXPECT_EQ(ReadFile(programDir / "updates.zip"), archive);
    EXPECT_EQ(ReadFile(dir / "global.dat"), global);
    EXPECT_FALSE(std::filesystem::exists(programDir / "global.dat"));
    EXPECT_FALSE(std::filesystem::exists(dir / "updates.zip"));
    EXPECT_EQ(PartOf<ChannelsPage>(*form, "Channels").Model().CellText(ChannelColumn::Name, 1), " Fresh");
}

TEST_F(Update, UnsavedLocalChangesSurviveTheUpdate) {
    WriteFile(dir / "local.dat", ListFileBytes("l", {Channel("Mine", "http://mine"), Channel("Gone", "http://gone"),
                                                     Channel("Soon global", "http://new2")}));
    WriteLibzipArchive(dir / "archive.zip",
                       {{"global.dat", ListFileBytes("05.12.2026", {Channel("New one", "http://new1"),
                                                                    Channel("New two", "http://new2")})}});
    ScriptedServer server;
    server.Send(Answer("200 OK", ReadFile(dir / "archive.zip")));
    StartWith(server);
    EditPage& e = PartOf<EditPage>(*form, "Edit");
    // Edited, added and deleted since the last save.
    PartOf<ChannelsPage>(*form, "Channels").SelectGridRow(2);
    PartOf<ChannelsPage>(*form, "Channels").EditButton->click();
    e.NameEdit->setText("Mine, renamed");
    messages.Answer(false);
    e.ApplyButton->click();
    PartOf<ChannelsPage>(*form, "Channels").AddButton->click();
    e.NameEdit->setText("Added");
    e.UrlEdit->setText("http://added");
    messages.Answer(false);
    e.ApplyButton->click();
    PartOf<ChannelsPage>(*form, "Channels").SelectGridRow(3);
    messages.Answer(true);
    PartOf<ChannelsPage>(*form, "Channels").DeleteButton->click();
    Settle();

    messages.Answer(true);
    Page().FreeUpdateButton->click();
    WaitForWorkers();
    Settle();
    EXPECT_EQ(Status(), "Free channel list is updated");
    QStringList names;
    for (int32_t r = 1; r <= PartOf<ChannelsPage>(*form, "Channels").Model().FilledRows(); ++r)
        names << PartOf<ChannelsPage>(*form, "Channels").Model().CellText(ChannelColumn::Name, r);
    // The local copy of what is now global goes, as at start-up; the rest is as the user left it.
    EXPECT_EQ(names, (QStringList{" New one", " New two", " Mine, renamed", " Added"}));

    messages.Answer(true);
    PartOf<ChannelsPage>(*form, "Channels").SaveButton->click();
    ChannelTable saved;
    LoadChannelList(saved, 1, dir.path());
    ASSERT_EQ(saved.ChannelCount, 2);
    EXPECT_EQ(saved.Channels[1].Name, "Mine, renamed");
    EXPECT_EQ(saved.Channels[2].Url, "http://added");
}

TEST_F(Update, PageOfTextInsteadOfAnArchiveTouchesNoList) {
    ScriptedServer server;
    server.Send(Answer("200 OK", "<html><body>Service unavailable</body></html>"));
    StartWith(server);
    const std::string before = ReadFile(dir / "global.dat");
    messages.Answer(true);
    Page().FreeUpdateButton->click();
    WaitForWorkers();
    EXPECT_EQ(Status(), "Can't unpack channel list");
    EXPECT_TRUE(ButtonsEnabled());
    EXPECT_EQ(ReadFile(dir / "global.dat"), before);
    EXPECT_EQ(form->Table().ChannelCount, 3);
}

TEST_F(Update, ClosingDuringADownloadEndsPromptly) {
    ScriptedServer server;
    server.Send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nabc").Pause(std::chrono::seconds(20));
    StartWith(server);
    messages.Answer(true);
    Page().FreeUpdateButton->click();
    QElapsedTimer timer;
    timer.start();
    while (server.Connections() == 0 && timer.elapsed() < kPatienceMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_EQ(server.Connections(), 1u);
    // While the download runs the update buttons and the toolbar are held; the grid is not.
    QCoreApplication::processEvents();
    EXPECT_FALSE(Page().FreeUpdateButton->isEnabled());
    EXPECT_FALSE(Page().FullUpdateButton->isEnabled());
    EXPECT_FALSE(PartOf<QWidget>(*form, "Toolbar").isEnabled());
    EXPECT_TRUE(PartOf<ChannelsPage>(*form, "Channels").ChannelGrid->isEnabled());
    timer.restart();
    form.reset();
    EXPECT_LT(timer.elapsed(), 3000);
}

TEST_F(Update, ClosingDuringAnUnpackLeavesNoPartialList) {
    // Zeros deflate a thousandfold: a quick download that takes many blocks to unpack.
    WriteLibzipArchive(dir / "archive.zip", {{"global.dat", std::string(64u << 20, '\0')}});
    const std::string archive = ReadFile(dir / "archive.zip");
    std::filesystem::remove(dir / "archive.zip");
    const std::string before = ReadFile(dir / "global.dat");
    ScriptedServer server;
    server.Send(Answer("200 OK", archive));
    StartWith(server);
    messages.Answer(true);
    Page().FreeUpdateButton->click();
    auto unpacking = [&] {
        for (const auto& e : std::filesystem::directory_iterator(dir.path()))
            if (e.path().filename().string().starts_with(".update:")) return true;
        return false;
    };
    QElapsedTimer timer;
    timer.start();
    while (!unpacking() && form->Workers().Running() > 0 && timer.elapsed() < kPatienceMs)
        QCoreApplication::processEvents();
    ASSERT_TRUE(unpacking());
    timer.restart();
    form.reset();
    EXPECT_LT(timer.elapsed(), 3000);
    EXPECT_FALSE(unpacking());
    EXPECT_TRUE(ReadFile(dir / "global.dat") == before) << "global.dat was replaced";
}

class Submission : public Update {
protected:
    void AddChannel(bool send) {
        PartOf<ChannelsPage>(*form, "Channels").AddButton->click();
        EditPage& e = PartOf<EditPage>(*form, "Edit");
        e.AddFormatComboBox->setCurrentIndex(1);
        e.AddSourceComboBox->setCurrentIndex(2);
        e.AddCountryComboBox->setCurrentIndex(1);
        e.AddGenreComboBox->setCurrentIndex(1);
        e.NameEdit->setText("My Radio");
        e.UrlEdit->setText("http://my.radio/stream-1");
        e.BitrateEdit->clear();
        e.CommentsEdit->clear();
        messages.Answer(send);
        e.ApplyButton->click();
    }
};

TEST_F(Submission, SendsTheEditorValuesOnYes) {
    ScriptedServer server;
    server.Send(Answer("200 OK", "thanks"));
    StartWith(server);
    AddChannel(true);
    EXPECT_EQ(PartOf<QStackedWidget>(*form, "Notebook1").currentIndex(), TMainForm::ChannelsPageIndex);
    EXPECT_EQ(form->Table().ChannelCount, 4);
    const std::string request = server.Request();
    EXPECT_EQ(request.substr(0, request.find("\r\n")),
              "GET /add.php?format=1&source=2&country=1&genre=1&name=My+Radio&url=http%3A%2F%2Fmy%2Eradio%2Fstream%2D1"
              "&bitrate=&comments= HTTP/1.1");
    WaitForWorkers();
}

TEST_F(Submission, NoSendsNothingAndFailuresStayInvisible) {
    ScriptedServer server;
    server.Send(Answer("404 Not Found", "no"));
    StartWith(server);
    AddChannel(false);
    WaitForWorkers();
    EXPECT_EQ(server.Connections(), 0u);
    EXPECT_EQ(form->Table().ChannelCount, 4);

    // A 404 answer: nothing is shown and the channel stays.
    PartOf<ChannelsPage>(*form, "Channels").SelectGridRow(1);
    PartOf<ChannelsPage>(*form, "Channels").EditButton->click();
    PartOf<EditPage>(*form, "Edit").AddFormatComboBox->setCurrentIndex(-1);
    messages.Answer(true);
    messages.Clear();
    PartOf<EditPage>(*form, "Edit").ApplyButton->click();
    const std::string request = server.Request();
    EXPECT_EQ(request.rfind("GET /add.php?format=-1&source=", 0), 0u) << request;
    WaitForWorkers();
    EXPECT_EQ(messages.Texts(), QStringList{"Do you want to send this information to the server?"});
    EXPECT_EQ(form->Table().Channels[1].Format, -1);
}

}  // namespace
