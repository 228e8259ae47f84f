#include <gtest/gtest.h>

#include <QComboBox>
#include <QElapsedTimer>

#include "catalogue/Rows.h"
#include "pages/Catalogue.h"
#include "pages/ChannelModel.h"
#include "pages/ChannelsPage.h"
#include "pages/EditPage.h"
#include "support/Catalogues.h"
#include "support/WindowFixture.h"

using namespace castora;
using namespace castora::test;

namespace {

constexpr int32_t Big = 200'000;

// A catalogue large enough that a rebuild is still running when the next request arrives.
class CatalogueJobs : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        WriteLookups(dir.path(), {"TV", "Radio", "Webcam"}, {"Russia", "USA"}, {"News", "Music", "Talk"});
        WriteFile(dir / "global.dat", Generated("g", Big, 0));
        WriteFile(dir / "local.dat", Generated("l", 10, Big));
    }
    static std::string Generated(const std::string& prefix, int32_t count, int32_t first) {
        std::vector<TChannelRec> records;
        records.reserve(count);
        for (int32_t i = first; i < first + count; ++i)
            records.push_back(Channel(prefix + std::to_string(i), "http://h/" + std::to_string(i), i % 3 + 1, i % 2 + 1,
                                      i / 7 % 3 + 1));
        return ListFileBytes("d", records);
    }
    Catalogue& Owner() { return form->CatalogueOwner(); }
    ChannelsPage& Page() { return PartOf<ChannelsPage>(*form, "Channels"); }
    // The grid's rows are exactly the records that pass the filters the lists show, in table order.
    void ExpectRowsMatchFilters() {
        const ChannelTable& t = form->Table();
        RowRequest plain;
        plain.filter = Page().Filter();
        const std::optional<RowSet> expected = ComputeRowSet(t, SearchIndex(), plain);
        ASSERT_TRUE(expected);
        ASSERT_EQ(Owner().Rows(), expected->rows);
        EXPECT_EQ(Page().Model().FilledRows(), expected->rows);
        EXPECT_TRUE(
            std::equal(expected->rowMap.begin(), expected->rowMap.begin() + expected->rows + 2, t.RowMap.begin()));
        // The highlighted row is the selected channel, or nothing is either.
        const int32_t row = Page().CurrentGridRow();
        EXPECT_EQ(row > 0 ? t.RowMap[row] : 0, t.SelectedIndex());
    }
};

TEST_F(CatalogueJobs, ANewerFilterReplacesAnOlderOneStillRunning) {
    Start();
    int shown = 0;
    QObject::connect(&Owner(), &Catalogue::rowsReplaced, form.get(), [&shown] { ++shown; });

    // Two changes with no event in between: only the second one's rows ever reach the grid.
    Page().SourceComboBox->setCurrentIndex(1);
    Page().SourceComboBox->setCurrentIndex(2);
    EXPECT_EQ(Owner().State(), CatalogueState::Rebuilding);
    Settle();
    EXPECT_EQ(shown, 1);
    ExpectRowsMatchFilters();

    // A change while the previous rebuild has started and may be half-way.
    shown = 0;
    Page().GenreComboBox->setCurrentIndex(3);
    QCoreApplication::processEvents();
    Page().CountryComboBox->setCurrentIndex(1);
    Settle();
    EXPECT_LE(shown, 2);
    ExpectRowsMatchFilters();
    EXPECT_EQ(Page().Model().CellText(ChannelColumn::Name, 1).trimmed().toStdString(),
              form->Table().Channels[form->Table().RowMap[1]].Name);
}

TEST_F(CatalogueJobs, AChangeOfTheTableDuringARebuildGivesRowsOfTheChangedTable) {
    Start();
    Page().SourceComboBox->setCurrentIndex(2);
    Settle();
    Page().SelectGridRow(3);
    const int32_t deleted = form->Table().SelectedChannel;
    const std::string next = form->Table().Channels[deleted + 1].Name;
    Page().SourceComboBox->setCurrentIndex(0);  // a rebuild is on its way
    messages.Answer(true);
    Page().DeleteButtonClick();
    Settle();
    EXPECT_EQ(form->Table().ChannelCount, Big + 10 - 1);
    ExpectRowsMatchFilters();
    // The record after the deleted one moved into its place and is what stays selected.
    EXPECT_EQ(form->Table().Selected().Name, next);
}

TEST_F(CatalogueJobs, AnUpdateDuringARebuildReplacesTheTableWithRowsForTheCurrentFilters) {
    Start();
    WriteFile(dir / "global.dat", Generated("new", 1000, 0));
    Page().SourceComboBox->setCurrentIndex(2);  // rebuild running over the old table
    bool done = false;
    form->ReloadCatalogue([&done](bool) { done = true; });
    EXPECT_EQ(Owner().State(), CatalogueState::Replacing);
    // The pages that could change the table are locked until the new one is in place.
    EXPECT_FALSE(Page().isEnabled());
    EXPECT_FALSE(PartOf<EditPage>(*form, "Edit").isEnabled());
    Settle();
    EXPECT_TRUE(done);
    EXPECT_TRUE(Page().isEnabled());
    EXPECT_TRUE(PartOf<EditPage>(*form, "Edit").isEnabled());
    EXPECT_EQ(form->Table().ChannelCount, 1000 + 10);
    EXPECT_EQ(form->Table().Channels[1].Name, "new0");
    ExpectRowsMatchFilters();
}

TEST_F(CatalogueJobs, AFilterChangeDuringAReloadRunsOnTheNewTable) {
    Start();
    WriteFile(dir / "global.dat", Generated("new", 5000, 0));
    bool done = false;
    form->ReloadCatalogue([&done](bool) { done = true; });
    Page().GenreComboBox->setCurrentIndex(2);  // the page is locked for the user, not for the program
    Settle();
    EXPECT_TRUE(done);
    EXPECT_EQ(form->Table().ChannelCount, 5000 + 10);
    ExpectRowsMatchFilters();
}

// Channels added while a table is on its way (an import finishing during an update) join the new table.
TEST_F(CatalogueJobs, ChannelsAddedDuringAReloadJoinTheNewTable) {
    Start();
    WriteFile(dir / "global.dat", Generated("new", 1000, 0));
    form->ReloadCatalogue(nullptr);
    ASSERT_EQ(Owner().State(), CatalogueState::Replacing);
    TChannelRec imported = Channel("Imported", "http://imported/", 1, 1, 1);
    imported.IsLocal = true;
    EXPECT_FALSE(Owner().AppendMany({imported}));
    Settle();
    ASSERT_EQ(form->Table().ChannelCount, 1000 + 10 + 1);
    EXPECT_EQ(form->Table().Channels[1000 + 10 + 1].Name, "Imported");
    ExpectRowsMatchFilters();
    EXPECT_TRUE(Owner().AppendMany({Channel("Later", "http://later/", 1, 1, 1)}));  // at once when idle
    EXPECT_EQ(form->Table().ChannelCount, 1000 + 10 + 2);
}

TEST_F(CatalogueJobs, AnUpdateDuringTheStartUpLoadWaitsForItAndKeepsItsLocalChannels) {
    form = std::make_unique<TMainForm>(Config(), messages);
    ASSERT_EQ(Owner().State(), CatalogueState::Loading);
    WriteFile(dir / "global.dat", Generated("new", 100, 0));
    bool done = false;
    form->ReloadCatalogue([&done](bool) { done = true; });
    Settle();
    while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_EQ(form->Table().ChannelCount, 100 + 10);
    EXPECT_EQ(form->Table().Channels[101].Name, "l" + std::to_string(Big));
    ExpectRowsMatchFilters();
}

TEST_F(CatalogueJobs, ClosingDuringALoadOrAReloadTakesLessThanASecond) {
    form = std::make_unique<TMainForm>(Config(), messages);
    ASSERT_EQ(form->CatalogueOwner().State(), CatalogueState::Loading);
    QElapsedTimer timer;
    timer.start();
    form.reset();
    EXPECT_LT(timer.elapsed(), 1000);

    Start();
    form->ReloadCatalogue([](bool) {});
    QCoreApplication::processEvents();
    timer.restart();
    form.reset();
    EXPECT_LT(timer.elapsed(), 1000);
}

}  // namespace
