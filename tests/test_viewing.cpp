// Watching in a real window under an X server: a window that grows, full screen, zapping, remembered
// settings. Geometry and pixels are read back from the X server.
#include <gtest/gtest.h>

#include <QApplication>
#include <filesystem>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QStackedWidget>
#include <QTest>
#include <QWindow>

#include "app/Gauge.h"
#include "app/UpdatePage.h"
#include "pages/ChannelGrid.h"
#include "pages/ChannelModel.h"
#include "pages/ChannelsPage.h"
#include "pages/EditPage.h"
#include "player/MediaPlayer.h"
#include "player/VideoWidget.h"
#include "pages/FullScreenStrip.h"
#include "pages/PlayPage.h"
#include "support/Catalogues.h"
#include "support/Clips.h"
#include "support/HandlerServer.h"
#include "support/StaticHttpServer.h"
#include "support/Wav.h"
#include "support/XInput.h"
#include "support/Patience.h"
#include "support/WindowFixture.h"
#include "support/XGeometry.h"

void PrintTo(const QSize& s, std::ostream* os) { *os << s.width() << "x" << s.height(); }
void PrintTo(const QRect& r, std::ostream* os) {
    *os << r.width() << "x" << r.height() << "+" << r.x() << "+" << r.y();
}

using namespace castora;
using namespace castora::test;
using namespace std::string_literals;

namespace {

class Viewing : public WindowFixture {
protected:
    AppConfig Config() const override {
        AppConfig config = WindowFixture::Config();
        config.nullMediaOutputs = false;  // the picture is a GL window of its own, as the user gets it
        return config;
    }
    TMainForm& ShowWindow() {
        TMainForm& w = Start();
        w.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&w, kPatienceMs));
        return w;
    }
    bool WaitX(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, kPatienceMs); }
    QRect XFrame() const { return XGeometryOf(form->winId()); }
    QWindow* PictureWindow() const {
        auto* video = qobject_cast<MpvVideoWidget*>(&Part<QWidget>("Player"));
        return video ? video->VideoWindow() : nullptr;
    }
    QRect XPicture() const {
        QWindow* picture = PictureWindow();
        return picture ? XGeometryOf(picture->winId()) : QRect();
    }
    TChannelGrid& Grid() const { return *Part<ChannelsPage>("Channels").ChannelGrid; }
    PlayPage& Page() const { return Part<PlayPage>("Play"); }
    TMediaPlayer& Player() const { return Part<TMediaPlayer>("Player"); }
    // Shortcuts and the X server's key events reach only the active window.
    void Activate() {
        form->activateWindow();
        ASSERT_TRUE(WaitX([&] { return QApplication::activeWindow() == form.get(); }));
    }
    // The screen as the X server holds it.
    QImage Screen() const { return form->screen()->grabWindow(0).toImage(); }
    QPoint PictureCentre() const {
        QWidget& video = Part<QWidget>("Player");
        return video.mapToGlobal(video.rect().center());
    }
    void PlayRow(int row) {
        Part<ChannelsPage>("Channels").SelectGridRow(row);
        Page().PlaySelected();
    }
    bool WaitPlaying() {
        return WaitX([&] { return Player().playState() == PlayState::Playing; });
    }
    void WriteChannels(int count) {
        WriteLookups(dir.path(), {"TV"}, {"Here"}, {"News"});
        std::vector<TChannelRec> records;
        for (int i = 1; i <= count; ++i)
            records.push_back(Channel("Channel " + std::to_string(i), "http://127.0.0.1:9/" + std::to_string(i)));
        WriteFile(dir / "global.dat", ListFileBytes("01.12.2026", records));
    }
};

// What a page keeps whatever the window's size: the rectangle of each of these parts, in the window.
QList<QPair<QString, QRect>> FixedParts(TMainForm& w) {
    auto& channels = *w.findChild<ChannelsPage*>("Channels");
    auto& edit = *w.findChild<EditPage*>("Edit");
    auto& update = *w.findChild<UpdatePage*>("Update");
    const auto in = [&w](QWidget* part) { return QRect(part->mapTo(&w, QPoint(0, 0)), part->size()); };
    QList<QPair<QString, QRect>> parts;
    for (const char* name : {"ScreenButton", "ChannelsButton", "PlayButton"})
        parts << qMakePair(QString(name), in(w.findChild<QWidget*>(name)));
    const auto show = [&w](int page) {
        w.findChild<QStackedWidget*>("Notebook1")->setCurrentIndex(page);
        QCoreApplication::processEvents();
    };
    show(TMainForm::ChannelsPageIndex);
    for (QWidget* part :
         {static_cast<QWidget*>(channels.SourceComboBox), static_cast<QWidget*>(channels.CountryComboBox),
          static_cast<QWidget*>(channels.GenreComboBox), static_cast<QWidget*>(channels.AddButton),
          static_cast<QWidget*>(channels.EditButton), static_cast<QWidget*>(channels.DeleteButton)})
        parts << qMakePair(part->accessibleName() + "/" + part->metaObject()->className(), in(part));
    show(TMainForm::EditPageIndex);
    for (QLineEdit* field : edit.findChildren<QLineEdit*>()) parts << qMakePair(QString("edit field"), in(field));
    for (QComboBox* list : edit.findChildren<QComboBox*>()) parts << qMakePair(QString("edit list"), in(list));
    show(TMainForm::UpdatePageIndex);
    parts << qMakePair(QString("Gauge1"), in(update.Gauge1)) << qMakePair(QString("Free"), in(update.FreeUpdateButton))
          << qMakePair(QString("Full"), in(update.FullUpdateButton));
    show(TMainForm::AboutPageIndex);
    return parts;
}

TEST_F(Viewing, TheWindowOpensAtItsDesignedSizeAndGrowsTheGridAndThePicture) {
    WriteChannels(100);
    TMainForm& w = ShowWindow();
    ASSERT_TRUE(WaitX([&] { return XFrame().size() == QSize(512, 474); }))
        << XFrame().width() << "x" << XFrame().height();
    const XSizeHints hints = XNormalHints(w.winId());
    EXPECT_EQ(hints.minimum, QSize(512, 474));
    EXPECT_TRUE(hints.maximum.isEmpty() || hints.maximum.width() > 512) << "the window can be made larger";

    w.ScreenButtonClick();
    ASSERT_TRUE(WaitX([&] { return XPicture().size() == QSize(512, 384); }))
        << XPicture().width() << "x" << XPicture().height() << " " << (PictureWindow() != nullptr) << " "
        << Part<QWidget>("Player").width() << "x" << Part<QWidget>("Player").height();
    const QRect picture = XPicture();
    EXPECT_EQ(picture.topLeft() - XFrame().topLeft(), QPoint(0, 41 + 20));
    w.ChannelsButtonClick();
    QCoreApplication::processEvents();
    EXPECT_EQ(Grid().size(), QSize(497, 315));
    const int nameWidth = Grid().columnWidth(ColumnIndex(ChannelColumn::Name));
    const int commentsWidth = Grid().columnWidth(ColumnIndex(ChannelColumn::Comments));
    const int rowsShown = Grid().rowAt(Grid().viewport()->height() - 1);
    const auto designed = FixedParts(w);

    const QSize larger(900, 700);
    w.resize(larger);
    ASSERT_TRUE(WaitX([&] { return XFrame().size() == larger; }));
    const QSize extra = larger - QSize(512, 474);
    w.ChannelsButtonClick();
    QCoreApplication::processEvents();
    EXPECT_EQ(Grid().size(), QSize(497, 315) + extra);
    EXPECT_EQ(Grid().columnWidth(ColumnIndex(ChannelColumn::Name)) +
                  Grid().columnWidth(ColumnIndex(ChannelColumn::Comments)),
              nameWidth + commentsWidth + extra.width());
    EXPECT_GT(Grid().columnWidth(ColumnIndex(ChannelColumn::Name)), nameWidth);
    EXPECT_GT(Grid().columnWidth(ColumnIndex(ChannelColumn::Comments)), commentsWidth);
    EXPECT_GT(Grid().rowAt(Grid().viewport()->height() - 1), rowsShown) << "more rows show";
    w.ScreenButtonClick();
    EXPECT_TRUE(WaitX([&] { return XPicture().size() == QSize(512, 384) + extra; }))
        << XPicture().width() << "x" << XPicture().height();
    EXPECT_EQ(XPicture().topLeft() - XFrame().topLeft(), QPoint(0, 41 + 20));

    const auto grown = FixedParts(w);
    ASSERT_EQ(grown.size(), designed.size());
    for (int i = 0; i < designed.size(); ++i)
        EXPECT_EQ(grown[i].second, designed[i].second) << designed[i].first.toStdString() << " moved or changed size";
}

bool Light(QRgb c) { return qGray(c) > 150; }
bool Dark(QRgb c) { return qGray(c) < 40; }

// Grid points over a rectangle of the image, a ninth of its size apart.
std::vector<QPoint> Samples(const QRect& area) {
    std::vector<QPoint> points;
    for (int i = 0; i <= 8; ++i)
        for (int j = 0; j <= 8; ++j)
            points.emplace_back(area.left() + (area.width() - 1) * i / 8, area.top() + (area.height() - 1) * j / 8);
    return points;
}

bool AllOf(const QImage& image, const QRect& area, bool (*test)(QRgb)) {
    for (const QPoint& p : Samples(area))
        if (!test(image.pixel(p))) return false;
    return true;
}

constexpr unsigned long kF11 = 0xffc8, kEscape = 0xff1b, kLetterF = 0x66, kSpace = 0x20, kLetterM = 0x6d, kUp = 0xff52,
                        kDown = 0xff54, kPageDown = 0xff56, kPageUp = 0xff55, kControl = 0xffe3;

TEST_F(Viewing, FullScreenShowsOnlyThePictureOnTheWholeScreenAndLeavingRestoresTheWindow) {
    XInput input;
    ASSERT_TRUE(input.Available()) << "the X server's XTEST extension and libXtst are needed";
    StaticHttpServer server;
    // The screen's own aspect (1280x1024), so that the scaled picture covers it whole.
    server.Add("/tv.y4m", MakeY4m(160, 128, 300, 5), "video/x-yuv4mpegpipe");
    WriteFile(dir / "global.dat", ListFileBytes("01.12.2026", {Channel("TV", server.Url("/tv.y4m"))}));
    TMainForm& w = ShowWindow();
    const QRect windowed(100, 60, 700, 560);
    w.setGeometry(windowed);
    ASSERT_TRUE(WaitX([&] { return XFrame() == windowed; })) << ::testing::PrintToString(XFrame());
    const QRect screen = w.screen()->geometry();

    struct Case {
        const char* name;
        std::function<void()> enter, leave;
    } cases[] = {
        {"F11", [&] { input.Key(kF11); }, [&] { input.Key(kEscape); }},
        {"double-click", [&] { input.DoubleClick(PictureCentre()); }, [&] { input.DoubleClick(PictureCentre()); }},
        {"F", [&] { input.Key(kLetterF); }, [&] { input.Key(kEscape); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PlayRow(1);
        ASSERT_TRUE(WaitPlaying());
        Activate();
        ASSERT_TRUE(WaitX([&] { return Light(Screen().pixel(PictureCentre())); })) << "the picture shows in the window";
        c.enter();
        ASSERT_TRUE(WaitX([&] { return XFrame() == screen; })) << ::testing::PrintToString(XFrame());
        EXPECT_TRUE(w.FullScreen());
        // Only the picture, scaled to the screen; the strip may show along the bottom after a click.
        const QRect above(0, 0, screen.width(), screen.height() - FullScreenStrip::StripHeight);
        EXPECT_TRUE(WaitX([&] { return AllOf(Screen(), above, Light); }));
        Activate();
        c.leave();
        EXPECT_TRUE(WaitX([&] { return XFrame() == windowed; })) << ::testing::PrintToString(XFrame());
        EXPECT_FALSE(w.FullScreen());
        EXPECT_TRUE(WaitX([&] { return XPicture().height() == windowed.height() - 41 - 20 - 28 - 1; }))
            << "the toolbar, the header and the bar are back";
    }
}

TEST_F(Viewing, InFullScreenTheStripFollowsThePointerAndTheKeysWork) {
    XInput input;
    ASSERT_TRUE(input.Available());
    StaticHttpServer server;
    server.Add("/tv.y4m", MakeY4m(160, 128, 300, 5), "video/x-yuv4mpegpipe");
    WriteFile(dir / "global.dat", ListFileBytes("01.12.2026", {Channel("News TV", server.Url("/tv.y4m"))}));
    TMainForm& w = ShowWindow();
    PlayRow(1);
    ASSERT_TRUE(WaitPlaying());
    Activate();
    w.SetFullScreen(true);
    const QRect screen = w.screen()->geometry();
    ASSERT_TRUE(WaitX([&] { return XFrame() == screen; }));
    FullScreenStrip& strip = *Page().Strip();

    input.Move(screen.center());
    input.Move(screen.center() + QPoint(10, 10));
    ASSERT_TRUE(WaitX([&] { return XMapped(strip.winId()); })) << "a move shows the strip";
    EXPECT_EQ(XGeometryOf(strip.winId()),
              QRect(0, screen.height() - FullScreenStrip::StripHeight, screen.width(), FullScreenStrip::StripHeight));
    QImage shot = Screen();
    EXPECT_TRUE(WaitX([&] {
        shot = Screen();
        return Dark(shot.pixel(screen.width() / 2, screen.height() - FullScreenStrip::StripHeight / 2 - 12));
    })) << "the strip lies over the picture";
    EXPECT_EQ(strip.findChild<QLabel*>("StripChannel")->text(), "News TV");
    EXPECT_EQ(strip.PlayStopButton()->text(), "Stop");
    EXPECT_TRUE(strip.ProgrammeLine().isEmpty());
    EXPECT_TRUE(WaitX([&] { return !XMapped(strip.winId()); })) << "and hides by itself";
    EXPECT_TRUE(WaitX([&] { return Page().cursor().shape() == Qt::BlankCursor; })) << "so does the pointer";
    input.Move(screen.center());
    EXPECT_TRUE(WaitX([&] { return Page().cursor().shape() != Qt::BlankCursor; }));

    // The window's keys and the wheel, as the bar's controls would have it.
    QSlider& volume = *Page().TrackBar1();
    volume.setValue(50);
    struct Case {
        const char* name;
        std::function<void()> act;
        std::function<bool()> done;
    } cases[] = {
        {"Up", [&] { input.Key(kUp); }, [&] { return volume.value() == 55 && Player().volume() == 55; }},
        {"Down", [&] { input.Key(kDown); }, [&] { return volume.value() == 50 && Player().volume() == 50; }},
        {"wheel up", [&] { input.Wheel(screen.center(), true); }, [&] { return Player().volume() == 55; }},
        {"wheel down", [&] { input.Wheel(screen.center(), false); }, [&] { return Player().volume() == 50; }},
        {"M", [&] { input.Key(kLetterM); }, [&] { return Player().mute() && strip.MuteBox()->isChecked(); }},
        {"M again", [&] { input.Key(kLetterM); }, [&] { return !Player().mute(); }},
        {"Space stops", [&] { input.Key(kSpace); },
         [&] { return Player().playState() == PlayState::Stopped && strip.PlayStopButton()->text() == "Play"; }},
        {"Space plays", [&] { input.Key(kSpace); }, [&] { return Player().playState() == PlayState::Playing; }},
    };
    for (const Case& c : cases) {
        Activate();
        c.act();
        EXPECT_TRUE(WaitX(c.done)) << c.name;
    }
    EXPECT_EQ(XFrame(), screen) << "still full screen";
}

TEST_F(Viewing, RadioInFullScreenShowsTheNameAndTitleCentredOnBlack) {
    StaticHttpServer server;
    server.Add("/tv.y4m", MakeY4m(160, 128, 300, 5), "video/x-yuv4mpegpipe");
    server.Add("/radio.wav", MakeWav(30), "audio/wav");
    WriteFile(dir / "global.dat", ListFileBytes("01.12.2026", {Channel("TV", server.Url("/tv.y4m")),
                                                               Channel("Radio One", server.Url("/radio.wav"))}));
    TMainForm& w = ShowWindow();
    PlayRow(1);
    ASSERT_TRUE(WaitPlaying());
    w.SetFullScreen(true);
    const QRect screen = w.screen()->geometry();
    ASSERT_TRUE(WaitX([&] { return XFrame() == screen && AllOf(Screen(), QRect(0, 0, 1280, 900), Light); }));
    PlayRow(2);
    ASSERT_TRUE(WaitPlaying());
    QLabel& panel = Part<QLabel>("FullScreenRadio");
    ASSERT_TRUE(WaitX([&] { return XMapped(panel.winId()); }));
    EXPECT_EQ(XGeometryOf(panel.winId()), screen);
    EXPECT_EQ(panel.text(), "Radio One\n" + Player().currentMediaName());
    EXPECT_EQ(panel.alignment(), Qt::AlignCenter);
    // No frame of the TV channel is left: black, and the text in the middle.
    const QRect corner(0, 0, screen.width() / 4, screen.height() / 4);
    EXPECT_TRUE(WaitX([&] { return AllOf(Screen(), corner, Dark); }));
    const QImage shot = Screen();
    bool text = false;
    for (int x = screen.width() / 4; x < screen.width() * 3 / 4 && !text; ++x)
        text = Light(shot.pixel(x, screen.height() / 2 - 14)) || Light(shot.pixel(x, screen.height() / 2 + 14));
    EXPECT_TRUE(text) << "the name and title show in the middle";
}

TEST_F(Viewing, PageDownAndUpPlayTheNextAndPreviousShownChannelAndWrap) {
    XInput input;
    ASSERT_TRUE(input.Available());
    HandlerServer server([](const HttpRequest&) {
        HttpReply reply;
        reply.headers = {"Content-Type: audio/wav"};
        reply.body = MakeWav(20);
        return reply;
    });
    WriteLookups(dir.path(), {"Radio"}, {"Here"}, {"News", "Music"});
    // The News filter shows A, C and D; B is never played.
    WriteFile(dir / "global.dat", ListFileBytes("01.12.2026", {Channel("A", server.Url("/a.wav"), 1, 1, 1),
                                                               Channel("B", server.Url("/b.wav"), 1, 1, 2),
                                                               Channel("C", server.Url("/c.wav"), 1, 1, 1),
                                                               Channel("D", server.Url("/d.wav"), 1, 1, 1)}));
    TMainForm& w = ShowWindow();
    ChannelsPage& channels = Part<ChannelsPage>("Channels");
    channels.GenreComboBox->setCurrentIndex(1);
    ASSERT_TRUE(WaitX([&] { return channels.Model().FilledRows() == 3; }));
    PlayRow(1);
    ASSERT_TRUE(WaitPlaying());
    ASSERT_EQ(server.Count("/a.wav"), 1);

    struct Case {
        const char* name;
        unsigned long key, modifier;
        bool fullScreen;
        int row;  // shown afterwards
        const char* path;
        const char* channel;
    } cases[] = {
        {"Page Down", kPageDown, 0, false, 2, "/c.wav", "C"},
        {"Ctrl+Down", kDown, kControl, false, 3, "/d.wav", "D"},
        {"Page Down at the end wraps", kPageDown, 0, false, 1, "/a.wav", "A"},
        {"Page Up at the start wraps", kPageUp, 0, false, 3, "/d.wav", "D"},
        {"Ctrl+Up", kUp, kControl, false, 2, "/c.wav", "C"},
        {"Page Down in full screen", kPageDown, 0, true, 3, "/d.wav", "D"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        w.SetFullScreen(c.fullScreen);
        Activate();
        const int before = server.Count(c.path);
        input.Key(c.key, c.modifier);
        EXPECT_TRUE(WaitX([&] { return server.Count(c.path) > before; })) << "the server sees the request";
        EXPECT_TRUE(WaitX([&] {
            return Player().URL() == QString::fromStdString(server.Url(c.path)) &&
                   Player().playState() == PlayState::Playing;
        }));
        EXPECT_EQ(channels.CurrentGridRow(), c.row) << "the selection follows";
        EXPECT_EQ(form->Table().Selected().Name, c.channel);
        EXPECT_EQ(w.windowTitle().toStdString(), std::string(c.channel) + " \u2013 Castora Player");
    }
    EXPECT_EQ(server.Count("/b.wav"), 0);

    // A quick series of presses opens only the channel it ends on.
    const int skipped = server.Count("/a.wav");
    const int last = server.Count("/c.wav");
    input.Key(kPageDown);
    input.Key(kPageDown);
    EXPECT_TRUE(WaitX([&] { return server.Count("/c.wav") > last && Player().playState() == PlayState::Playing; }));
    EXPECT_EQ(channels.CurrentGridRow(), 2);
    EXPECT_EQ(server.Count("/a.wav"), skipped) << "the channel passed over was never opened";
    EXPECT_EQ(server.Count("/b.wav"), 0);
}

TEST_F(Viewing, VolumeMuteZoomTheMaximisedWindowAndTheLastChannelAreRestoredAtTheNextStart) {
    StaticHttpServer server;
    server.Add("/one.wav", MakeWav(20), "audio/wav");
    server.Add("/two.wav", MakeWav(20), "audio/wav");
    WriteFile(dir / "global.dat", ListFileBytes("01.12.2026", {Channel("One", server.Url("/one.wav")),
                                                               Channel("Two", server.Url("/two.wav")),
                                                               Channel("Three", "http://127.0.0.1:9/3")}));
    WriteLookups(dir.path(), {"TV"}, {"Here"}, {"News"});
    // Another part of the program keeps its own keys in the same file.
    WriteFile(dir / "settings.ini", "[guide]\nsources=http://guide.example/epg.xml\n");
    const std::string lists = ReadFile(dir / "global.dat");
    {
        TMainForm& w = ShowWindow();
        EXPECT_EQ(Page().TrackBar1()->value(), 50) << "the first start is as ever";
        PlayRow(2);
        ASSERT_TRUE(WaitPlaying());
        Page().TrackBar1()->setValue(30);
        QTest::mouseClick(Page().MuteCheckBox(), Qt::LeftButton);
        QTest::mouseClick(Page().ZoomCheckBox(), Qt::LeftButton);
        w.ChannelsButtonClick();
        Part<ChannelsPage>("Channels").SelectGridRow(3);  // selected, never played
        w.showMaximized();
        // Written when changed, not only at the end.
        EXPECT_TRUE(WaitX([&] {
            const std::string text = ReadFile(dir / "settings.ini");
            return text.find("volume=30") != std::string::npos && text.find("maximised=true") != std::string::npos;
        })) << ReadFile(dir / "settings.ini");
    }
    form.reset();
    const std::string saved = ReadFile(dir / "settings.ini");
    EXPECT_NE(saved.find("sources=http://guide.example/epg.xml"), std::string::npos) << saved;
    EXPECT_EQ(ReadFile(dir / "global.dat"), lists) << "the list files are not touched";

    TMainForm& w = Start();
    w.ShowWhenReady();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w, kPatienceMs));
    EXPECT_EQ(Page().TrackBar1()->value(), 30);
    EXPECT_EQ(Player().volume(), 30);
    EXPECT_TRUE(Page().MuteCheckBox()->isChecked());
    EXPECT_TRUE(Player().mute());
    EXPECT_TRUE(Page().ZoomCheckBox()->isChecked());
    EXPECT_TRUE(Player().stretchToFit());
    EXPECT_TRUE(w.isMaximized());
    const QStringList state = XNetWmState(w.winId());
    EXPECT_TRUE(state.contains("_NET_WM_STATE_MAXIMIZED_VERT") && state.contains("_NET_WM_STATE_MAXIMIZED_HORZ"))
        << state.join(" ").toStdString();
    EXPECT_EQ(form->Table().Selected().Name, "Two") << "the channel played last is selected";
    EXPECT_EQ(Part<ChannelsPage>("Channels").CurrentGridRow(), 2);
    EXPECT_NE(Player().playState(), PlayState::Playing);
    EXPECT_TRUE(Player().URL().isEmpty()) << "and not played";
    EXPECT_TRUE(messages.shown.empty()) << messages.Texts().join(" | ").toStdString();
}

TEST_F(Viewing, ABadSettingsFileFallsBackToTheDefaultsSilently) {
    WriteChannels(3);
    const std::string lists = ReadFile(dir / "global.dat");
    const std::filesystem::path file = dir / "settings.ini";
    struct Case {
        const char* name;
        std::function<void()> make;
        QRect windowed;  // empty: centred at the designed size
    } cases[] = {
        {"garbage", [&] { WriteFile(file, "\x00\xff[[\x01=\x02\n\xfe\xfe=\n"s); }, {}},
        {"out of range",
         [&] {
             WriteFile(file, "[view]\nvolume=900\nmute=maybe\nzoom=2\nlastChannel=http://nowhere/\n"
                             "[window]\nx=9000\ny=9000\nwidth=800\nheight=600\nmaximised=perhaps\n");
         },
         {}},
        {"below the smallest size",
         [&] { WriteFile(file, "[view]\nvolume=-5\n[window]\nx=10\ny=10\nwidth=100\nheight=40\n"); },
         {}},
        {"not numbers", [&] { WriteFile(file, "[view]\nvolume=loud\n[window]\nx=a\ny=b\nwidth=c\nheight=d\n"); }, {}},
        {"a directory", [&] { std::filesystem::create_directory(file); }, {}},
        {"one good value among bad ones",
         [&] { WriteFile(file, "[view]\nvolume=900\n[window]\nx=40\ny=30\nwidth=600\nheight=500\n"); },
         QRect(40, 30, 600, 500)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ec;
        std::filesystem::remove_all(file, ec);
        c.make();
        messages.shown.clear();
        TMainForm& w = ShowWindow();
        const QRect available = w.screen()->availableGeometry();
        const QRect expected =
            c.windowed.isEmpty() ? QRect(available.center() - QPoint(256, 237), QSize(512, 474)) : c.windowed;
        EXPECT_TRUE(WaitX([&] { return XFrame() == expected; })) << ::testing::PrintToString(XFrame());
        EXPECT_FALSE(w.isMaximized());
        EXPECT_EQ(Page().TrackBar1()->value(), 50);
        EXPECT_EQ(Player().volume(), 50);
        EXPECT_FALSE(Player().mute());
        EXPECT_FALSE(Page().MuteCheckBox()->isChecked());
        EXPECT_FALSE(Player().stretchToFit());
        EXPECT_EQ(form->Table().SelectedChannel, 0);
        EXPECT_TRUE(messages.shown.empty()) << messages.Texts().join(" | ").toStdString();
        form.reset();
        EXPECT_EQ(ReadFile(dir / "global.dat"), lists);
    }
}

QStringList Items(const QMenu& menu, bool checkedOnly = false) {
    QStringList items;
    for (const QAction* action : menu.actions())
        if (!action->isSeparator() && (!checkedOnly || action->isChecked())) items << action->text();
    return items;
}

TEST_F(Viewing, ThePicturesMenuListsTheStreamsTracksAndAChoiceAppliesAtOnce) {
    XInput input;
    ASSERT_TRUE(input.Available());
    StaticHttpServer server;
    server.Add("/two-languages.mkv",
               MakeMkv({{"eng", "English", 440},
                        {"fra",
                         "Fran\xc3\xa7"
                         "ais",
                         660}},
                       30),
               "video/x-matroska");
    server.Add("/radio.wav", MakeWav(30), "audio/wav");
    WriteLookups(dir.path(), {"TV"}, {"Here"}, {"News"});
    WriteFile(dir / "global.dat", ListFileBytes("01.12.2026", {Channel("Film", server.Url("/two-languages.mkv")),
                                                               Channel("Radio", server.Url("/radio.wav"))}));
    ShowWindow();
    QMenu& audio = Part<QMenu>("AudioMenu");
    QMenu& subtitles = Part<QMenu>("SubtitlesMenu");
    QMenu& aspect = Part<QMenu>("AspectMenu");
    PlayRow(1);
    ASSERT_TRUE(WaitPlaying());
    const QStringList both{"Track 1 (eng, English)", QString::fromUtf8("Track 2 (fra, Français)")};
    ASSERT_TRUE(WaitX([&] { return Items(audio) == both; })) << Items(audio).join(" | ").toStdString();
    EXPECT_EQ(Items(audio, true), QStringList{both[0]});
    EXPECT_EQ(Items(subtitles), QStringList{"Off"});
    EXPECT_EQ(Items(subtitles, true), QStringList{"Off"});

    // A right click on the picture, through the X server, opens the menu there.
    Activate();
    input.Click(PictureCentre(), 3);
    ASSERT_TRUE(WaitX([&] { return Part<QMenu>("PictureMenu").isVisible(); }));
    EXPECT_EQ(Items(Part<QMenu>("PictureMenu")), (QStringList{"Audio", "Subtitles", "Aspect", "Add to favourites"}));
    Part<QMenu>("PictureMenu").close();

    audio.actions()[1]->trigger();
    const auto selected = [&] {
        for (const MediaTrack& t : Player().tracks())
            if (t.kind == MediaTrack::Kind::Audio && t.selected) return t.id;
        return 0;
    };
    EXPECT_TRUE(WaitX([&] { return selected() == 2; })) << "the engine plays the second track";
    EXPECT_TRUE(WaitX([&] { return Items(audio, true) == QStringList{both[1]}; }));
    EXPECT_EQ(Player().playState(), PlayState::Playing);

    // Aspect: Auto, the two ratios and Stretch, which is the Zoom switch.
    EXPECT_EQ(Items(aspect), (QStringList{"Auto", "16:9", "4:3", "Stretch"}));
    aspect.actions()[1]->trigger();
    EXPECT_EQ(Player().aspect(), "16:9");
    aspect.actions()[3]->trigger();
    EXPECT_TRUE(Player().stretchToFit());
    EXPECT_TRUE(Page().ZoomCheckBox()->isChecked());
    aspect.actions()[0]->trigger();
    EXPECT_EQ(Player().aspect(), "");
    EXPECT_FALSE(Player().stretchToFit());
    EXPECT_FALSE(Page().ZoomCheckBox()->isChecked());

    // Another stream, another list.
    PlayRow(2);
    ASSERT_TRUE(WaitPlaying());
    EXPECT_TRUE(WaitX([&] { return Items(audio).size() == 1; })) << Items(audio).join(" | ").toStdString();

    // Actions the window adds show in the picture's menu and in the full-screen strip's.
    auto* extra = new QAction("Programme guide", form.get());
    Page().AddMenuActions({extra});
    Page().Strip()->AddMenuAction(new QAction("Strip only", form.get()));
    EXPECT_EQ(Items(*Page().PictureMenu()),
              (QStringList{"Audio", "Subtitles", "Aspect", "Add to favourites", "Programme guide"}));
    QMenu stripMenu;
    Page().Strip()->FillMenu(stripMenu);
    EXPECT_EQ(Items(stripMenu),
              (QStringList{"Audio", "Subtitles", "Aspect", "Add to favourites", "Programme guide", "Strip only"}));
}

}  // namespace
