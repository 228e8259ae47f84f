// The channel grid's "Now" column (offscreen): the titles on air for the rows shown, read again when a
// programme ends, and the column's room in the grid.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTest>
#include <limits>

#include "catalogue/GuideMatch.h"
#include "catalogue/GuideReader.h"
#include "pages/ChannelGrid.h"
#include "pages/ChannelModel.h"
#include "support/Catalogues.h"
#include "support/Guides.h"
#include "support/Patience.h"
#include "support/QtApp.h"

using namespace castora;
using namespace castora::test;

namespace {

class NowColumn : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"Alpha", "Nothing here", "Bravo", "Alpha"})
            table.AppendChannel(
                Channel(name, std::string("http://") + name + "/" + std::to_string(table.ChannelCount)));
    }
    // Grid rows 1..n show these records.
    void Show(const std::vector<int32_t>& records) {
        std::vector<int32_t> map(static_cast<size_t>(table.ChannelCount) + 2, 0);
        for (size_t i = 0; i < records.size(); ++i) map[i + 1] = records[i];
        table.SetRowMap(std::move(map));
        model.SetRows(static_cast<int32_t>(records.size()));
    }
    // Every record matched by name; record 4 an hour later than its guide.
    std::shared_ptr<const GuideLookup> Lookup(const std::string& guide, int32_t count = -1) const {
        auto index = ReadGuideText(guide, {});
        if (count < 0) count = table.ChannelCount;
        return std::make_shared<const GuideLookup>(index, count, [this](int32_t r) {
            GuideChannelKeys k;
            k.name = table.Channels[r].Name.view();
            k.shift = r == 4 ? 3600 : 0;
            return k;
        });
    }
    QStringList Titles() const {
        QStringList out;
        for (int32_t r = 1; r <= model.FilledRows(); ++r) out << model.CellText(ChannelColumn::Now, r);
        return out;
    }

    QApplication& app = EnsureApp();
    ChannelTable table;
    ChannelModel model{table};
    const int64_t base = At("20261209120000");
};

}  // namespace

TEST_F(NowColumn, ShowsTheTitleOnAirForEveryShownRow) {
    model.SetClock([this] { return base; });
    model.SetGuide(Lookup(Xmltv(XmlChannel("a", {"Alpha"}) + XmlChannel("b", {"Bravo"}) +
                                XmlProgramme("a", "20261209100000 +0000", "20261209113000 +0000", "Early") +
                                XmlProgramme("a", "20261209113000 +0000", "20261209123000 +0000", "Midday") +
                                XmlProgramme("b", "20261209130000 +0000", "20261209140000 +0000", "Later"))));
    struct Case {
        std::vector<int32_t> rows;
        QStringList titles;
    } cases[] = {
        // Bravo has nothing on air yet; record 4 is an hour behind, so Alpha's earlier programme runs.
        {{1, 2, 3, 4}, {"Midday", "", "", "Early"}},
        {{4, 1}, {"Early", "Midday"}},
        {{2}, {""}},
        {{}, {}},
    };
    for (const Case& c : cases) {
        Show(c.rows);
        EXPECT_EQ(Titles(), c.titles);
    }
}

TEST_F(NowColumn, TitlesAreReadAgainWhenAProgrammeEnds) {
    // The guide's clock starts a second before a programme ends and runs with the real one.
    QElapsedTimer running;
    running.start();
    model.SetClock([&] { return base - 1 + running.elapsed() / 1000; });
    model.SetGuide(Lookup(Xmltv(XmlChannel("a", {"Alpha"}) + XmlChannel("b", {"Bravo"}) +
                                XmlProgramme("a", "20261209110000 +0000", "20261209120000 +0000", "Ending") +
                                XmlProgramme("a", "20261209120000 +0000", "20261209130000 +0000", "Next one") +
                                XmlProgramme("b", "20261209120000 +0000", "20261209130000 +0000", "After a gap"))));
    Show({1, 3});
    EXPECT_EQ(Titles(), (QStringList{"Ending", ""}));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return Titles() == QStringList({"Next one", "After a gap"});
        },
        kPatienceMs))
        << Titles().join('|').toStdString();
}

TEST_F(NowColumn, AGuideMadeForAnotherTableShowsNothing) {
    model.SetClock([this] { return base; });
    const std::string guide =
        Xmltv(XmlChannel("a", {"Alpha"}) + XmlProgramme("a", "20261209110000 +0000", "20261209130000 +0000", "On"));
    model.SetGuide(Lookup(guide, 3));
    Show({1});
    EXPECT_EQ(Titles(), QStringList{""});
    model.SetGuide(Lookup(guide));
    EXPECT_EQ(Titles(), QStringList{"On"});
}

TEST(GuideLookupNext, TellsWhenTheNextTitleChanges) {
    const int64_t base = At("20261209120000");
    const auto index = ReadGuideText(Xmltv(XmlChannel("a", {"A"}) + XmlChannel("b", {"B"}) + XmlChannel("c", {"C"}) +
                                           XmlProgramme("a", "20261209110000 +0000", "20261209123000 +0000", "a1") +
                                           XmlProgramme("b", "20261209124500 +0000", "20261209130000 +0000", "b1") +
                                           XmlProgramme("c", "20261209100000 +0000", "20261209110000 +0000", "c1")),
                                     {});
    struct Case {
        std::vector<int32_t> records;  // 1 = a, 2 = b, 3 = c, 4 = a an hour later
        int64_t next;
    } cases[] = {
        {{1}, base + 1800},                          // a1 ends
        {{2}, base + 2700},                          // b1 starts after a gap
        {{3}, std::numeric_limits<int64_t>::max()},  // c's day is over
        {{4}, base + 1800 + 3600},                   // a1 ends an hour later
        {{3, 2, 1}, base + 1800},
        {{}, std::numeric_limits<int64_t>::max()},
    };
    const char* ids[] = {"", "a", "b", "c", "a"};
    const GuideLookup lookup(index, 4, [&](int32_t r) {
        GuideChannelKeys k;
        k.tvgId = ids[r];
        k.shift = r == 4 ? 3600 : 0;
        return k;
    });
    std::vector<std::string_view> titles;
    for (const Case& c : cases) EXPECT_EQ(lookup.NowTitles(c.records, base, titles), c.next);
}

TEST(NowColumnLayout, TheColumnShowsOnlyWithAGuideAndTakesItsRoomFromTheComments) {
    QApplication& app = EnsureApp();
    (void)app;
    ChannelTable table;
    table.AppendChannel(Channel("Alpha", "http://alpha/"));
    ChannelModel model(table);
    TChannelGrid grid(model);
    const int now = ColumnIndex(ChannelColumn::Now), comments = ColumnIndex(ChannelColumn::Comments);
    EXPECT_TRUE(grid.isColumnHidden(now));
    EXPECT_EQ(grid.columnWidth(comments), 224);
    auto index = ReadGuideText(Xmltv(XmlChannel("a", {"Alpha"})), {});
    model.SetGuide(std::make_shared<const GuideLookup>(index, 1, [](int32_t) { return GuideChannelKeys{}; }));
    EXPECT_FALSE(grid.isColumnHidden(now));
    EXPECT_EQ(grid.columnWidth(now), 120);
    EXPECT_EQ(grid.columnWidth(comments), 104);
    EXPECT_EQ(model.headerData(now, Qt::Horizontal, Qt::DisplayRole).toString(), "Now");
    model.SetGuide(nullptr);
    EXPECT_TRUE(grid.isColumnHidden(now));
    EXPECT_EQ(grid.columnWidth(comments), 224);
}
