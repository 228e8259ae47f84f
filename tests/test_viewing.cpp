// Watching in a real window under an X server: a window that grows, full screen, zapping, remembered
// settings. Geometry and pixels are read back from the X server.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
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
#include "support/Catalogues.h"
#include "support/Patience.h"
#include "support/WindowFixture.h"
#include "support/XGeometry.h"

void PrintTo(const QSize& s, std::ostream* os) { *os << s.width() << "x" << s.height(); }
void PrintTo(const QRect& r, std::ostream* os) {
    *os << r.width() << "x" << r.height() << "+" << r.x() << "+" << r.y();
}

using namespace castora;
using namespace castora::test;

namespace {

class Viewing : public WindowFixture {
protected:
    AppConfig Config() const override {
        AppConfig config = WindowFixture::Config();
        config.nullMediaOutputs = false;  // the picture is a GL window of its own, as the user gets it
        config.settingsFile = QString::fromStdString((dir.path() / "settings.ini").string());
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
    void WriteChannels(int count) {
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

}  // namespace
