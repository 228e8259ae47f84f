// The benchmark catalogue generator, whose figures are only as good as it is: what it writes loads back
// as it says, with the duplicates it states, the same for the same seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>

#include "CatalogueGen.h"
#include "catalogue/ListFiles.h"
#include "support/TempDir.h"

using namespace castora;

namespace {

std::string ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

TEST(CatalogueGenerator, WritesListsThatLoadWithTheStatedDuplicates) {
    test::TempDir dir;
    bench::CatalogueSpec spec;
    spec.channels = 20000;
    const bench::CatalogueGenerator gen(spec);
    const bench::CatalogueFiles files = gen.Write(dir.path());
    EXPECT_EQ(files.layout.global, 18000);
    EXPECT_EQ(files.layout.local, 2000);
    EXPECT_EQ(files.layout.duplicates, 1000);
    EXPECT_EQ(files.globalBytes, std::filesystem::file_size(dir.path() / "global.dat"));

    ChannelTable table;
    EXPECT_FALSE(LoadChannelList(table, 0, dir.path()).error);
    EXPECT_FALSE(LoadChannelList(table, 1, dir.path()).error);
    ASSERT_EQ(table.ChannelCount, 20000);
    EXPECT_EQ(table.ListDate, bench::ListDateLine);
    bool cyrillic = false;
    for (int32_t i = 1; i <= table.ChannelCount; ++i) {
        const TChannelRec& rec = table.Channels[i];
        ASSERT_EQ(rec, gen.Record(i)) << i;  // what was written is what reads back
        EXPECT_EQ(rec.IsLocal, i > 18000);
        EXPECT_GE(rec.Country, 1);
        EXPECT_LE(rec.Country, bench::CountryCount);
        EXPECT_LE(rec.Genre, bench::GenreCount);
        for (unsigned char c : rec.Name) cyrillic |= c >= 0xC0;
    }
    EXPECT_TRUE(cyrillic);
    table.RemoveDuplicates();
    EXPECT_EQ(table.ChannelCount, 19000);
    for (int32_t i = 1; i <= 18000; ++i) ASSERT_FALSE(table.Channels[i].IsLocal);  // global copies win

    // Lookup files name every code the records use.
    const std::string countries = ReadBytes(dir.path() / "country.dat");
    EXPECT_EQ(std::count(countries.begin(), countries.end(), '\n'), bench::CountryCount + 1);
}

TEST(CatalogueGenerator, IsReproducibleAndSeedDependent) {
    bench::CatalogueSpec spec;
    spec.channels = 1000;
    const bench::CatalogueGenerator a(spec), b(spec);
    spec.seed += 1;
    const bench::CatalogueGenerator c(spec);
    int differ = 0;
    std::set<std::string> urls;
    for (int32_t i = 1; i <= 1000; ++i) {
        EXPECT_EQ(a.Record(i), b.Record(i));
        differ += a.Record(i).Url != c.Record(i).Url;
        if (!a.DuplicateOf(i)) {
            EXPECT_TRUE(urls.insert(a.Record(i).Url).second) << i;
        }
    }
    EXPECT_GT(differ, 900);
    EXPECT_EQ(bench::ToCp1251("Радио Ёж ё"), "\xD0\xE0\xE4\xE8\xEE \xA8\xE6 \xB8");
}
