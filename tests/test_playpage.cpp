// The Play page with a real player (null outputs) on the offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>

#include <memory>

#include "catalogue/ChannelTable.h"
#include "pages/HeaderStrip.h"
#include "pages/Messages.h"
#include "pages/PlayPage.h"
#include "player/MediaPlayer.h"
#include "support/Patience.h"
#include "support/PlayStates.h"
#include "support/ScriptedServer.h"
#include "support/QtApp.h"
#include "support/StaticHttpServer.h"
#include "support/Wav.h"

using namespace castora;
using castora::test::MakeWav;
using castora::test::StaticHttpServer;

namespace {

struct RecordingMessages : Messages {
    bool Ask(const QString&) override { return false; }
    void Inform(const QString& text) override { informed << text; }
    void Error(const QString& text) override { errors << text; }
    QStringList informed, errors;
};

// "Радио" and "Музыка" in Windows-1251, as the list files hold them.
const std::string kRadio = "\xD0\xE0\xE4\xE8\xEE";
const std::string kMusic = "\xCC\xF3\xE7\xFB\xEA\xE0";

class PlayPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        castora::test::EnsureApp();
        server.Add("/radio.wav", MakeWav(20), "audio/wav");
        server.Add("/music.wav", MakeWav(20, 8000, 880), "audio/wav");
        server.Add("/end.wav", MakeWav(0.8), "audio/wav");
        AddChannel(kRadio, server.Url("/radio.wav"));
        AddChannel(kMusic, server.Url("/music.wav"));
        player = std::make_unique<TMediaPlayer>(PlayerOptions{true, 3});
        page = std::make_unique<PlayPage>(table, *player, messages, "castora-player.org");
        page->SetPlayButton(&button);
        // Seen by the page first: record what the status line says after each report.
        QObject::connect(player.get(), &TMediaPlayer::PlayStateChange, [this](castora::PlayState state) {
            const int s = StateCode(state);
            states.push_back(s);
            statuses << page->StatusPanel()->text();
        });
        QObject::connect(page.get(), &PlayPage::captionChanged, [this](const QString& c) { captions << c; });
        QObject::connect(page.get(), &PlayPage::screenRequested, [this] { ++screens; });
    }
    void TearDown() override {
        page.reset();
        player.reset();
    }
    void AddChannel(const std::string& name, const std::string& url) {
        TChannelRec rec;
        rec.Name = name;
        rec.Url = url;
        table.AppendChannel(rec);
    }
    bool WaitState(int s, int ms = kPatienceMs) {
        return QTest::qWaitFor([&] { return std::count(states.begin(), states.end(), s) > 0; }, ms);
    }
    QString Status() const { return page->StatusPanel()->text(); }

    struct AppFirst {
        AppFirst() { castora::test::EnsureApp(); }
    } appFirst;  // widgets below need the application
    StaticHttpServer server;
    ChannelTable table;
    RecordingMessages messages;
    QPushButton button{"Play"};
    std::unique_ptr<TMediaPlayer> player;
    std::unique_ptr<PlayPage> page;
    std::vector<int> states;
    QStringList statuses, captions;
    int screens = 0;
};

const QString kRadioName = QString::fromUtf8("Радио");
const QString kMusicName = QString::fromUtf8("Музыка");

TEST_F(PlayPageTest, LayoutAndStartUpVolume) {
    // At the designed size of the page, every part where the window's design puts it.
    page->resize(512, 433);
    page->show();
    QSlider* slider = page->TrackBar1();
    const struct {
        const char* part;
        QWidget* widget;
        QRect rect;
    } geometry[] = {{"status", page->StatusPanel(), QRect(0, 0, 329, 20)},
                    {"picture", page->Player(), QRect(0, 20, 512, 384)},
                    {"bar", slider->parentWidget(), QRect(0, 20 + 384, 512, 28)}};
    for (const auto& g : geometry)
        EXPECT_EQ(QRect(g.widget->mapTo(page.get(), QPoint(0, 0)), g.widget->size()), g.rect) << g.part;
    EXPECT_EQ(slider->width(), 105);
    EXPECT_EQ(page->StatusPanel()->alignment(), Qt::AlignRight | Qt::AlignVCenter);
    EXPECT_EQ(slider->minimum(), 0);
    EXPECT_EQ(slider->maximum(), 100);
    EXPECT_EQ(slider->tickPosition(), QSlider::NoTicks);
    EXPECT_EQ(slider->toolTip(), "Volume");
    EXPECT_EQ(slider->accessibleName(), "Volume");
    EXPECT_EQ(page->MuteCheckBox()->text(), " Mute ");
    EXPECT_EQ(page->ZoomCheckBox()->text(), " Zoom ");
    EXPECT_EQ(page->ZoomCheckBox()->layoutDirection(), Qt::RightToLeft);
    EXPECT_LT(page->MuteCheckBox()->x(), slider->x());
    EXPECT_GT(page->ZoomCheckBox()->x(), slider->x());

    player->setVolume(37);  // shows that the slider takes the player's value, not a constant
    page->InitVolumeFromPlayer();
    EXPECT_EQ(slider->value(), 37);
    EXPECT_EQ(player->volume(), 37);
}

TEST_F(PlayPageTest, PlayShowsConnectingThenTheMediaAndStopStops) {
    table.SelectedChannel = 1;
    page->PlayButtonClick();
    EXPECT_EQ(screens, 1);
    EXPECT_EQ(player->URL(), QString::fromStdString(server.Url("/radio.wav")));
    EXPECT_TRUE(player->enabled());
    ASSERT_FALSE(captions.isEmpty());  // the title is set at once
    EXPECT_EQ(captions.last(), kRadioName + QString::fromUtf8(" – Castora Player"));

    ASSERT_TRUE(WaitState(3));
    ASSERT_GE(states.size(), 2u);
    EXPECT_EQ(states[0], 9);
    EXPECT_EQ(statuses[0], "Connecting to " + kRadioName);
    EXPECT_EQ(Status(), "radio.wav");
    EXPECT_EQ(button.text(), "Stop");
    EXPECT_EQ(captions.last(), kRadioName + QString::fromUtf8(" – Castora Player"));

    page->PlayButtonClick();
    EXPECT_EQ(button.text(), "Play");
    EXPECT_EQ(screens, 1);
    ASSERT_TRUE(WaitState(1));
    EXPECT_EQ(Status(), "Stopped");
    EXPECT_EQ(button.text(), "Play");
    EXPECT_TRUE(messages.errors.isEmpty()) << messages.errors.join('\n').toStdString();
}

TEST_F(PlayPageTest, AnEngineAddressStopsWhatPlaysAndSaysWhy) {
    AddChannel("Tone", "av://lavfi:sine=frequency=440");
    table.SelectedChannel = 1;
    page->PlayButtonClick();
    ASSERT_TRUE(WaitState(3, 30000));
    // A double click on the channel whose address the player does not open.
    table.SelectedChannel = 3;
    page->ChannelGridDblClick();
    EXPECT_EQ(
        messages.errors,
        QStringList{"Can't play \"av://lavfi:sine=frequency=440\": the player opens only network streams and files."});
    ASSERT_TRUE(WaitState(1, 30000));
    EXPECT_EQ(Status(), "Stopped");
    EXPECT_EQ(button.text(), "Play");
    EXPECT_TRUE(player->URL().isEmpty());
}

TEST_F(PlayPageTest, EndOfFileShowsMediaEndedAndKeepsStop) {
    AddChannel("End", server.Url("/end.wav"));
    table.SelectedChannel = 3;
    page->PlayButtonClick();
    ASSERT_TRUE(WaitState(8));
    EXPECT_EQ(Status(), "MediaEnded");
    EXPECT_EQ(button.text(), "Stop");  // only the user's Stop turns it back
    page->PlayButtonClick();
    EXPECT_EQ(button.text(), "Play");
    ASSERT_TRUE(WaitState(1));
}

TEST_F(PlayPageTest, UnreachableChannelsLeaveConnecting) {
    AddChannel("Missing", server.Url("/missing.wav"));
    table.SelectedChannel = 3;
    page->PlayButtonClick();
    ASSERT_TRUE(WaitState(10)) << ::testing::PrintToString(states);
    EXPECT_EQ(statuses.first(), "Connecting to Missing");
    EXPECT_EQ(Status(), "Ready");
    EXPECT_EQ(button.text(), "Play");

    // A port where nobody listens.
    uint16_t port;
    {
        StaticHttpServer gone;
        port = gone.Port();
    }
    AddChannel("Closed", "http://127.0.0.1:" + std::to_string(port) + "/x.wav");
    table.SelectedChannel = 4;
    states.clear();
    page->PlayButtonClick();
    ASSERT_TRUE(WaitState(10)) << ::testing::PrintToString(states);
    EXPECT_FALSE(Status().startsWith("Connecting to"));
}

TEST_F(PlayPageTest, DoubleClickSwitchesChannelsInOneStep) {
    table.SelectedChannel = 1;
    page->ChannelGridDblClick();
    ASSERT_TRUE(WaitState(3));
    EXPECT_EQ(button.text(), "Stop");
    EXPECT_EQ(screens, 1);

    table.SelectedChannel = 2;
    states.clear();
    statuses.clear();
    page->ChannelGridDblClick();
    EXPECT_EQ(screens, 2);
    EXPECT_EQ(player->URL(), QString::fromStdString(server.Url("/music.wav")));
    ASSERT_TRUE(WaitState(3)) << ::testing::PrintToString(states);
    EXPECT_EQ(states, (std::vector<int>{9, 3}));
    EXPECT_EQ(statuses.first(), "Connecting to " + kMusicName);
    EXPECT_EQ(Status(), "music.wav");
    EXPECT_EQ(button.text(), "Stop");
    // The double click itself does not retitle; reaching state 3 does.
    EXPECT_EQ(captions.last(), kMusicName + QString::fromUtf8(" – Castora Player"));
}

TEST_F(PlayPageTest, PlayWithoutSelectionOrWhilePlayingStartsNothing) {
    table.SelectedChannel = 0;
    page->PlayButtonClick();
    EXPECT_EQ(captions.last(), "Castora Player");
    EXPECT_TRUE(player->URL().isEmpty());
    QTest::qWait(400);
    EXPECT_EQ(std::count(states.begin(), states.end(), 9), 0);
    EXPECT_EQ(std::count(states.begin(), states.end(), 3), 0);
    EXPECT_EQ(button.text(), "Play");
    EXPECT_EQ(server.Requests(), 0);

    // The page still says "Play" while the player plays (it has not heard of the start): pressing it then
    // changes nothing.
    QObject::disconnect(player.get(), &TMediaPlayer::PlayStateChange, page.get(), &PlayPage::PlayerPlayStateChange);
    player->setURL(QString::fromStdString(server.Url("/radio.wav")));
    player->setEnabled(true);
    ASSERT_TRUE(WaitState(3));
    ASSERT_EQ(button.text(), "Play");
    table.SelectedChannel = 2;
    const int screensBefore = screens;
    const auto captionsBefore = captions.size();
    states.clear();
    page->PlayButtonClick();
    QTest::qWait(300);
    EXPECT_EQ(screens, screensBefore);
    EXPECT_EQ(captions.size(), captionsBefore);
    EXPECT_EQ(player->URL(), QString::fromStdString(server.Url("/radio.wav")));
    EXPECT_TRUE(states.empty()) << ::testing::PrintToString(states);
    EXPECT_EQ(button.text(), "Play");
}

TEST_F(PlayPageTest, StatusTextsForEveryState) {
    table.SelectedChannel = 0;
    page->PlayerPlayStateChange(PlayState::Connecting);
    EXPECT_EQ(Status(), "Connecting to default");
    table.SelectedChannel = 99;  // out of range counts as no selection
    page->PlayerPlayStateChange(PlayState::Connecting);
    EXPECT_EQ(Status(), "Connecting to default");
    table.SelectedChannel = 2;
    page->PlayerPlayStateChange(PlayState::Connecting);
    EXPECT_EQ(Status(), "Connecting to " + kMusicName);

    const std::pair<int, const char*> fixed[] = {
        // every code the player's control had, and beyond
        {0, "Undefined"}, {1, "Stopped"}, {2, "Paused"},     {4, "ScanForward"}, {5, "ScanReverse"},
        {6, "Buffering"}, {7, "Waiting"}, {8, "MediaEnded"}, {10, "Ready"},      {11, "Reconnecting"},
        {12, "Last"},     {13, "*****"},  {14, ""},          {-1, ""},
    };
    for (auto [state, text] : fixed) {
        page->PlayerPlayStateChange(static_cast<PlayState>(state));
        EXPECT_EQ(Status(), text) << state;
    }
    EXPECT_EQ(button.text(), "Play");  // only state 3 changes the caption
    EXPECT_TRUE(captions.isEmpty());
}

TEST_F(PlayPageTest, NameFailureInStateThreeShowsErrorAndChangesNothing) {
    page->PlayerPlayStateChange(PlayState::Ready);
    page->PlayerPlayStateChange(PlayState::Playing);  // nothing was ever opened: the name cannot be read
    ASSERT_EQ(messages.errors.size(), 1);
    EXPECT_EQ(Status(), "Ready");
    EXPECT_EQ(button.text(), "Play");
    EXPECT_TRUE(captions.isEmpty());
}

TEST_F(PlayPageTest, VolumeMuteAndZoomReachThePlayer) {
    page->TrackBar1()->setValue(23);
    EXPECT_EQ(player->volume(), 23);
    page->TrackBar1()->setValue(100);
    EXPECT_EQ(player->volume(), 100);

    page->MuteCheckBox()->click();
    EXPECT_TRUE(player->mute());
    page->MuteCheckBox()->click();
    EXPECT_FALSE(player->mute());

    page->ZoomCheckBox()->click();
    EXPECT_TRUE(player->stretchToFit());
    // The box and the player disagree: a click still flips the player's own state.
    player->setStretchToFit(false);
    ASSERT_TRUE(page->ZoomCheckBox()->isChecked());
    page->ZoomCheckBox()->click();
    EXPECT_TRUE(player->stretchToFit());
    EXPECT_FALSE(page->ZoomCheckBox()->isChecked());
}

// Internet radio retitles the stream while it plays; the status line follows without a state change.
TEST_F(PlayPageTest, StatusFollowsTheStreamTitle) {
    // A paced ICY stream: 0.1 s of 48 kHz audio every 100 ms, a title tag after each piece.
    const size_t piece = 9600;
    auto meta = [](const std::string& title) {
        std::string text = title.empty() ? "" : "StreamTitle='" + title + "';";
        text.resize((text.size() + 15) / 16 * 16, '\0');
        return std::string(1, static_cast<char>(text.size() / 16)) + text;
    };
    const std::string wav = MakeWav(7, 48000);
    castora::test::ScriptedServer radio;
    radio.Send("HTTP/1.1 200 OK\r\nContent-Type: audio/wav\r\nicy-metaint: 9600\r\n\r\n");
    for (size_t n = 0; (n + 1) * piece <= wav.size(); ++n) {
        radio.Send(wav.substr(n * piece, piece) + meta(n == 0 ? "Song A" : n == 30 ? "Song B" : ""));
        radio.Pause(std::chrono::milliseconds(100));
    }
    radio.Start();
    AddChannel("Radio", radio.Url("/stream"));
    table.SelectedChannel = 3;
    page->PlayButtonClick();
    ASSERT_TRUE(WaitState(3)) << ::testing::PrintToString(states);
    const auto reports = states.size();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Status() == "Song B"; }, kPatienceMs))
        << Status().toStdString() << ::testing::PrintToString(states);
    EXPECT_EQ(states.size(), reports) << ::testing::PrintToString(states);
    EXPECT_EQ(button.text(), "Stop");
    page->PlayButtonClick();
    ASSERT_TRUE(WaitState(1));
}

}  // namespace
