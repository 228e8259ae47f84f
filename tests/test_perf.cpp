// The catalogue's fast paths checked against the plain versions they replace: the chunked file reader
// against the in-memory parser, the duplicate pass against the pairwise one, the URL scrambling
// against its formula.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <unordered_set>

#include "CatalogueGen.h"
#include "catalogue/ListFiles.h"
#include "support/Catalogues.h"
#include "support/TempDir.h"

using namespace castora;

namespace {

void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Checks at every progress report that the table being loaded is consistent.
struct CheckingSink : ProgressSink {
    explicit CheckingSink(const ChannelTable& t) : table(t) {}
    void ShowProgressPhase(const std::string&, Rgb, int32_t) override {}
    void ShowProgress(int32_t) override {
        ++reports;
        if (static_cast<size_t>(table.ChannelCount) + 1 != table.Channels.size()) ++inconsistent;
        if (table.RowMap.size() < static_cast<size_t>(table.ChannelCount) + 2) ++inconsistent;
    }
    const ChannelTable& table;
    int reports = 0;
    int inconsistent = 0;
};

// Loads the bytes every way the program can, through a file (on one thread and split at a record
// boundary whatever the size) and from memory split, against the plain one-thread parse, as list 0 and
// then appended as list 1.
void ExpectSameEveryWay(const std::string& bytes) {
    test::TempDir dir;
    WriteBytes(dir.path() / "global.dat", bytes);
    WriteBytes(dir.path() / "local.dat", bytes);
    ChannelTable plain;
    const LoadResult b0 = ParseChannelList(plain, 0, bytes);
    const LoadResult b1 = ParseChannelList(plain, 1, bytes);
    const struct {
        const char* way;
        bool file;
        LoadOptions options;
    } ways[] = {{"file, one thread", true, {1, 0}}, {"file, split", true, {2, 0}}, {"memory, split", false, {2, 0}}};
    for (const auto& way : ways) {
        SCOPED_TRACE(way.way);
        ChannelTable t;
        const LoadResult a0 = way.file ? LoadChannelList(t, 0, dir.path(), nullptr, way.options)
                                       : ParseChannelList(t, 0, bytes, nullptr, way.options);
        const LoadResult a1 = way.file ? LoadChannelList(t, 1, dir.path(), nullptr, way.options)
                                       : ParseChannelList(t, 1, bytes, nullptr, way.options);
        EXPECT_EQ(a0.listDate, b0.listDate);
        EXPECT_EQ(a0.error, b0.error);
        EXPECT_EQ(a1.error, b1.error);
        ASSERT_EQ(t.ChannelCount, plain.ChannelCount);
        EXPECT_EQ(t.RowMap.size(), plain.RowMap.size());
        for (int32_t i = 0; i <= t.ChannelCount; ++i) ASSERT_EQ(t.Channels[i], plain.Channels[i]) << i;
    }
}

}  // namespace

TEST(ChunkedLoad, MatchesInMemoryParseAcrossChunkEdgesAndOddFiles) {
    // Records of growing size so that lines straddle the reader's chunk boundaries at every offset.
    std::vector<TChannelRec> records;
    for (int i = 0; i < 45000; ++i)
        records.push_back(test::Channel("name " + std::to_string(i) + std::string(i % 97, 'x'),
                                        "http://h" + std::to_string(i) + "/" + std::string(i % 61, 's'), i % 4, i % 9,
                                        i % 7, std::to_string(i % 300), std::string(i % 173, 'c')));
    const std::string many = test::ListFileBytes("01.02.2024", records);
    ASSERT_GT(many.size(), 8u << 20);  // more than two chunks
    ExpectSameEveryWay(many);

    // One line longer than a whole chunk.
    ExpectSameEveryWay(
        test::ListFileBytes("d", {test::Channel("long", "http://x/", 1, 1, 1, "", std::string(9 << 20, 'L')),
                                  test::Channel("after", "http://y/")}));
    // No final CR LF, bare CRs, bare LFs, no CR at all, empty, a bad number line.
    ExpectSameEveryWay(many.substr(0, many.size() - 2));
    ExpectSameEveryWay("date\r1\r2\r3\r4\rname\rurl\rbit\rcom\r1\r2\r3\r4\rn\ru\rb\rc\r");
    ExpectSameEveryWay("date\n1\n2\n3\n4\nname\nurl\nbit\ncom\n");
    ExpectSameEveryWay("just a date");
    ExpectSameEveryWay("");
    ExpectSameEveryWay("date\r\nx1\r\n2\r\n3\r\n4\r\nn\r\nu\r\nb\r\nc\r\n");
}

TEST(ChunkedLoad, SplitReadingMatchesAtEveryMiddleAndOddLine) {
    // A short list cut at every length puts the middle, where the second thread starts looking for a
    // record, at every place in a record; odd lines in either half must read as the plain parse reads them.
    std::vector<TChannelRec> records;
    for (int i = 0; i < 12; ++i)
        records.push_back(test::Channel("n" + std::to_string(i), "http://u/" + std::string(i * 7, 'p'), i, i % 3, 1,
                                        std::to_string(i * 16), i % 2 ? "" : "comment"));
    const std::string base = test::ListFileBytes("date", records);
    for (size_t cut = 0; cut <= base.size(); cut += 3) ExpectSameEveryWay(base.substr(0, cut));
    const size_t half = base.size() / 2;
    // A number line from `from` on that no longer reads as a number.
    auto spoil = [](std::string bytes, size_t from, const char* text) {
        return bytes.replace(bytes.find("\r\n1\r\n", from) + 2, 1, text);
    };
    const struct {
        const char* what;
        std::string bytes;
    } odd[] = {
        {"bad numbers in both halves", spoil(spoil(base, half, "zz"), 0, "x")},
        {"bad number in the second half only", spoil(base, half, "q")},
        {"CR pair in the first half", base.substr(0, 30) + "\r\r" + base.substr(30)},
        {"CR pair in the second half", base.substr(0, half + 20) + "\r\r" + base.substr(half + 20)},
        {"bare LF lines in the second half", base.substr(0, half) + "1\n2\n3\n" + base.substr(half)},
    };
    for (const auto& c : odd) {
        SCOPED_TRACE(c.what);
        ExpectSameEveryWay(c.bytes);
    }
}

TEST(ChunkedLoad, KeepsTheTableConsistentAtEveryProgressReport) {
    test::TempDir dir;
    bench::CatalogueSpec spec;
    spec.channels = 200000;
    bench::CatalogueGenerator(spec).Write(dir.path());
    ChannelTable table;
    CheckingSink sink(table);
    for (int round = 0; round < 2; ++round) {  // the second round frees a full table first, as a reload does
        LoadChannelList(table, 0, dir.path(), &sink);
        LoadChannelList(table, 1, dir.path(), &sink);
    }
    EXPECT_EQ(table.ChannelCount, 200000);
    EXPECT_GT(sink.reports, 0);
    EXPECT_EQ(sink.inconsistent, 0);
}

TEST(RemoveDuplicates, AgreesWithThePairwisePass) {
    std::mt19937 rng(7);
    for (int round = 0; round < 20; ++round) {
        ChannelTable table;
        const int n = 1 + static_cast<int>(rng() % 3000);
        const int distinct = 1 + static_cast<int>(rng() % (n + 1));
        for (int i = 0; i < n; ++i) {
            // Short and long URLs (inside and outside the string's own buffer), many repeats.
            const int u = static_cast<int>(rng() % distinct);
            TChannelRec rec = test::Channel("n" + std::to_string(i),
                                            (u % 2 ? "u" : "http://long.example/stream/") + std::to_string(u));
            rec.IsLocal = rng() % 2;
            table.AppendChannel(rec);
        }
        ChannelTable reference = table;
        for (int32_t i = 1; i < reference.ChannelCount; ++i)
            for (int32_t j = i + 1; j <= reference.ChannelCount;)
                if (reference.Channels[j].Url == reference.Channels[i].Url) reference.DeleteChannel(j);
                else ++j;
        table.RemoveDuplicates();
        ASSERT_EQ(table.ChannelCount, reference.ChannelCount) << "round " << round;
        EXPECT_EQ(table.RowMap.size(), reference.RowMap.size());
        for (int32_t i = 1; i <= table.ChannelCount; ++i) ASSERT_EQ(table.Channels[i], reference.Channels[i]) << i;
    }
}

TEST(RemoveDuplicates, AgreesWithASetAboveTheTwoThreadSize) {
    std::mt19937 rng(11);
    ChannelTable table;
    std::vector<std::string> want;
    std::unordered_set<std::string> seen;
    for (int i = 0; i < 150000; ++i) {
        const std::string url = "http://s" + std::to_string(rng() % 120000) + (i % 3 ? "/stream" : "");
        table.AppendChannel(test::Channel("n" + std::to_string(i), url));
        if (seen.insert(url).second) want.push_back("n" + std::to_string(i));
    }
    table.RemoveDuplicates();
    ASSERT_EQ(table.ChannelCount, static_cast<int32_t>(want.size()));
    for (int32_t i = 1; i <= table.ChannelCount; ++i) ASSERT_EQ(table.Channels[i].Name, want[i - 1]) << i;
}

TEST(ScrambleUrl, FollowsTheFormulaForAnyKeyAndTextLength) {
    std::mt19937 rng(3);
    for (size_t keyLen : std::initializer_list<size_t>{1, 2, 3, 15, 16, 17, 40}) {
        std::string key(keyLen, '\0');
        for (char& c : key) c = static_cast<char>(rng());
        for (size_t len : std::initializer_list<size_t>{0, 1, keyLen - 1, keyLen, keyLen + 1, 3 * keyLen + 5, 200}) {
            std::string text(len, '\0');
            for (char& c : text) c = static_cast<char>(rng());
            for (bool decode : {false, true}) {
                std::string expected = text;
                const unsigned m = decode ? 255u : 1u;
                for (size_t i = 0; i < len; ++i)
                    expected[i] = static_cast<char>(
                        (static_cast<unsigned char>(text[i]) + m * static_cast<unsigned char>(key[(i + 1) % keyLen])) %
                        256);
                EXPECT_EQ(ScrambleUrl(text, key, decode), expected) << keyLen << "/" << len << "/" << decode;
            }
        }
    }
}
