// The grid's logos as the X server holds them: each row's logo in its cell, nothing where a logo is dead
// or missing.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QScreen>
#include <QTest>

#include "pages/ChannelGrid.h"
#include "pages/ChannelModel.h"
#include "pages/LogoCache.h"
#include "support/Catalogues.h"
#include "support/HandlerServer.h"
#include "support/QtApp.h"
#include "support/TempDir.h"

using namespace castora;
using namespace castora::test;

namespace {

std::string Png(int size, QColor color) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes.toStdString();
}

bool Near(QRgb pixel, QColor expected) {
    return std::abs(qRed(pixel) - expected.red()) < 8 && std::abs(qGreen(pixel) - expected.green()) < 8 &&
           std::abs(qBlue(pixel) - expected.blue()) < 8;
}

}  // namespace

TEST(LogoGridOnScreen, EachRowShowsItsLogoAndNothingWhereThereIsNone) {
    EnsureApp();
    HandlerServer server([](const HttpRequest& r) {
        HttpReply reply;
        if (r.path == "/red.png") {
            reply.body = Png(24, Qt::red);
        } else if (r.path == "/blue.png") {
            reply.body = Png(12, Qt::blue);  // smaller than the cell: shown at its own size
        } else {
            reply.status = 404;
        }
        return reply;
    });
    TempDir dir;
    ChannelTable table;
    for (int i = 1; i <= 5; ++i)
        table.AppendChannel(Channel("Channel " + std::to_string(i), "http://c/" + std::to_string(i)));
    table.SetRowMap({0, 1, 2, 3, 4, 5, 0});
    const std::map<int32_t, std::string> logos{{1, server.Url("/red.png")},
                                               {2, server.Url("/blue.png")},
                                               {3, server.Url("/dead.png")},
                                               {5, server.Url("/red.png")}};

    ChannelModel model(table);
    QWidget window;
    auto* grid = new TChannelGrid(model, &window);
    grid->setFixedSize(497, 315);
    window.resize(497, 315);
    model.SetRows(5);
    LogoCacheOptions options;
    options.directory = QString::fromStdString((dir / "logos").string());
    LogoCache cache(options);
    grid->SetLogos(&cache, [&logos](int32_t record) {
        const auto it = logos.find(record);
        return it == logos.end() ? LogoAddress{} : LogoAddress{it->second};
    });
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    const auto at = [&](int row, int dx = 0) {
        const QPoint centre = grid->visualRect(model.index(row, ColumnIndex(ChannelColumn::Logo))).center();
        return grid->viewport()->mapTo(&window, centre + QPoint(dx, 0));
    };
    QImage screen;
    const auto shows = [&](int row, QColor colour, int dx = 0) {
        const QPoint p = at(row, dx);
        return Near(screen.pixel(p), colour);
    };
    const bool painted = QTest::qWaitFor(
        [&] {
            screen = window.screen()->grabWindow(window.winId()).toImage();
            return shows(0, Qt::red) && shows(1, Qt::blue) && shows(4, Qt::red);
        },
        30000);
    ASSERT_TRUE(painted) << "rows 0, 1, 4: " << std::hex << screen.pixel(at(0)) << " " << screen.pixel(at(1)) << " "
                         << screen.pixel(at(4));
    const QColor base = grid->palette().color(QPalette::Base);
    EXPECT_TRUE(shows(1, base, 9)) << "the 12-pixel logo was enlarged";
    EXPECT_TRUE(shows(2, base)) << "a dead logo";
    EXPECT_TRUE(shows(3, base)) << "a channel without a logo";
    EXPECT_TRUE(shows(0, Qt::red, 11) && shows(0, base, 14)) << "the 24-pixel logo is centred at its own size";
    EXPECT_EQ(server.Count("/red.png"), 1);
}
