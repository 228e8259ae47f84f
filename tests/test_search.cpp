#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "catalogue/ChannelTable.h"
#include "catalogue/Search.h"

using namespace castora;

namespace {

// Windows-1251 bytes of the Cyrillic words used below.
const std::string RadioUpper = "\xD0\xC0\xC4\xC8\xCE";  // РАДИО
const std::string RadioLower = "\xF0\xE0\xE4\xE8\xEE";  // радио
const std::string YoUpper = "\xA8\xCB\xCA\xC0";         // ЁЛКА
const std::string YoLower = "\xB8\xEB\xEA\xE0";         // ёлка
const std::string YeLower = "\xE5\xEB\xEA\xE0";         // елка

TChannelRec Rec(std::string name, std::string comments, int32_t source = 1, int32_t country = 1, int32_t genre = 1) {
    TChannelRec r;
    r.Name = std::move(name);
    r.Comments = std::move(comments);
    r.Source = source;
    r.Country = country;
    r.Genre = genre;
    return r;
}

std::vector<int32_t> Reference(const ChannelTable& t, const RowFilter& f) {
    std::vector<int32_t> rows;
    for (int32_t k = 1; k <= t.ChannelCount; ++k) {
        const TChannelRec& r = t.Channels[k];
        if ((f.source == 0 || f.source == r.Source) && (f.country == 0 || f.country == r.Country) &&
            (f.genre == 0 || f.genre == r.Genre) && MatchesChannel(r, f.query))
            rows.push_back(k);
    }
    return rows;
}

// A table of `n` records built from a few words, codes cycling, so every query has hits and misses.
ChannelTable MixedTable(int32_t n) {
    const char* words[] = {"Radio", "Jazz", "Blue", "Rock", "Deep", "\xD0\xE0\xE4\xE8\xEE", "\xC4\xE6\xE0\xE7"};
    ChannelTable t;
    for (int32_t i = 0; i < n; ++i) {
        const unsigned h = static_cast<unsigned>(i) * 2654435761u;
        t.AppendChannel(Rec(std::string(words[h % 7]) + " " + words[(h >> 8) % 7],
                            (h >> 16) % 3 ? words[(h >> 20) % 7] : "", 1 + i % 3, 1 + i % 5, 1 + i % 4));
    }
    return t;
}

}  // namespace

TEST(Search, FoldsLatinAndCyrillicCapitalsOnly) {
    const struct {
        unsigned char in, out;
    } cases[] = {{'A', 'a'},   {'Z', 'z'},   {'a', 'a'},   {'5', '5'},   {'@', '@'},   {'[', '['},
                 {0xC0, 0xE0}, {0xDF, 0xFF}, {0xE0, 0xE0}, {0xA8, 0xB8}, {0xB8, 0xB8},  // А, Я, а, Ё, ё
                 {0xB2, 0xB3}, {0xAA, 0xBA}, {0xA5, 0xB4}, {0x80, 0x90},                // І, Є, Ґ, Ђ
                 {0xB9, 0xB9}, {0xA0, 0xA0}, {0xBB, 0xBB}};                             // №, nbsp, »
    for (const auto& c : cases) EXPECT_EQ(FoldByte(c.in), c.out) << int(c.in);
}

// Every kernel finds the first occurrence, also across the edges of its 16- and 32-byte blocks.
TEST(Search, KernelsFindTheFirstOccurrence) {
    std::string text(200, 'a');
    for (size_t i = 0; i < text.size(); ++i) text[i] = "ab\xF0\xE0"[i * 7 % 5 % 4];
    const std::vector<std::string> words = {"ab", "aab", "bab", "\xF0\xE0", "a\xE0\xF0", "b", "zz", "abcdefgh"};
    for (size_t at : {0, 13, 15, 16, 30, 31, 32, 33, 63, 190, 194}) {
        std::string hay = text;
        hay.replace(at, 6, "zzQzz!");
        for (size_t len : {hay.size(), at + 5, at + 6}) {
            const std::string_view view(hay.data(), len);
            for (const std::string& w : words) {
                const size_t expected = view.find(w);
                for (SearchKernel k :
                     {SearchKernel::Best, SearchKernel::Plain, SearchKernel::Sse2, SearchKernel::Avx2}) {
                    const char* hit = FindWord(k, view, w);
                    EXPECT_EQ(hit ? size_t(hit - hay.data()) : std::string_view::npos, expected)
                        << int(k) << " " << w << " at " << at << " len " << len;
                }
            }
            for (SearchKernel k : {SearchKernel::Plain, SearchKernel::Sse2, SearchKernel::Avx2})
                EXPECT_EQ(FindWord(k, view, "zzQzz!"), view.size() >= at + 6 ? hay.data() + at : nullptr);
        }
    }
}

TEST(Search, ParsesWordsAtBlanksAndDropsWordsInsideOthers) {
    const struct {
        std::string typed;
        std::vector<std::string> words;
    } cases[] = {
        {"", {}},
        {"  \t ", {}},
        {"Blue", {"blue"}},
        {"  blue\tJAZZ  ", {"blue", "jazz"}},
        {"jazz blue", {"jazz", "blue"}},
        {"ra radio", {"radio"}},
        {"blue BLUE", {"blue"}},
        {"fm Radio", {"radio", "fm"}},
        {RadioUpper + "\xA0" + "x", {RadioLower, "x"}},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseSearch(c.typed).words, c.words) << c.typed;
}

TEST(Search, RecordMatchesWhenNameOrCommentsHoldEveryWord) {
    const struct {
        std::string name, comments, typed;
        bool match;
    } cases[] = {
        {"Blue Jazz FM", "", "blue", true},
        {"Blue Jazz FM", "", "jazz blue", true},
        {"Blue Jazz FM", "", "JAZZ fm bl", true},
        {"Blue Jazz FM", "", "blue rock", false},
        {"Deep House", "all the blues", "blue house", true},
        {"Deep House", "jazz", "deep jazz", true},
        {"Jazz", "live", "zzli", false},  // a word never spans name and comments
        {"Jazz", "live", "", true},
        {RadioUpper + " 101", "", RadioLower, true},
        {RadioLower, "", RadioUpper, true},
        {"x", RadioUpper, "\xC4\xE8", true},  // "Ди" inside РАДИО
        {YoUpper, "", YoLower, true},
        {YoLower, "", YoUpper, true},
        {YoLower, "", YeLower, false},  // ё and е are different letters
        {"Radio", "", RadioLower, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MatchesChannel(Rec(c.name, c.comments), ParseSearch(c.typed)), c.match)
            << c.name << " | " << c.comments << " | " << c.typed;
        ChannelTable t;
        t.AppendChannel(Rec(c.name, c.comments));
        SearchIndex index;
        index.Build(t);
        EXPECT_EQ(index.Matches(1, ParseSearch(c.typed)), c.match) << c.typed;
    }
}

TEST(Search, RefinesWhenEveryOldWordLiesInsideANewOne) {
    const struct {
        std::string narrower, wider;
        bool refines;
    } cases[] = {{"ra", "r", true},
                 {"radio", "rad", true},
                 {"radio jazz", "radio", true},
                 {"jazz radio", "rad", true},
                 {"rad", "radio", false},
                 {"r", "", true},
                 {"", "r", false},
                 {"blue", "jazz", false}};
    for (const auto& c : cases)
        EXPECT_EQ(Refines(ParseSearch(c.narrower), ParseSearch(c.wider)), c.refines) << c.narrower << " / " << c.wider;
}

// Every path (whole scan, one or two threads, narrowing, no usable index) gives the plain rule's rows.
TEST(Search, ComputedRowsEqualThePlainRuleOnEveryPath) {
    const ChannelTable t = MixedTable(70000);
    SearchIndex index;
    index.Build(t);
    SearchIndex stale;  // empty: its count does not fit the table
    const std::vector<RowFilter> filters = {{},
                                            {2, 0, 0, {}},
                                            {1, 3, 2, {}},
                                            {0, 0, 0, ParseSearch("r")},
                                            {0, 0, 0, ParseSearch("RADIO")},
                                            {0, 0, 0, ParseSearch(RadioUpper)},
                                            {0, 0, 0, ParseSearch("jazz blue")},
                                            {2, 0, 3, ParseSearch("rock")},
                                            {0, 0, 0, ParseSearch("nothing")}};
    for (const RowFilter& f : filters) {
        const std::vector<int32_t> expected = Reference(t, f);
        for (int threads : {1, 2}) {
            std::vector<int32_t> rows;
            RowRequest req{f};
            req.threads = threads;
            ASSERT_EQ(ComputeRows(t, index, req, rows), RowsStatus::Done);
            EXPECT_EQ(rows, expected) << threads;
            rows.clear();
            ASSERT_EQ(ComputeRows(t, stale, req, rows), RowsStatus::Done);
            EXPECT_EQ(rows, expected) << "without index";
        }
    }
    // Keystrokes narrowing the previous result, filters tightened on the way.
    RowFilter previous{};
    std::vector<int32_t> previousRows = Reference(t, previous);
    for (const RowFilter& f : {RowFilter{0, 0, 0, ParseSearch("r")}, RowFilter{0, 0, 0, ParseSearch("ro")},
                               RowFilter{0, 2, 0, ParseSearch("roc")}, RowFilter{0, 2, 0, ParseSearch("rock j")},
                               RowFilter{0, 2, 0, ParseSearch("rock jazz")}}) {
        std::vector<int32_t> rows;
        RowRequest req{f, &previous, &previousRows};
        ASSERT_EQ(ComputeRows(t, index, req, rows), RowsStatus::Done);
        EXPECT_EQ(rows, Reference(t, f));
        previous = f;
        previousRows = std::move(rows);
    }
}

// A few previous rows are all that a narrowing keystroke looks at; a wider filter starts afresh.
TEST(Search, NarrowingTestsOnlyThePreviousRows) {
    const ChannelTable t = MixedTable(70000);
    SearchIndex index;
    index.Build(t);
    const RowFilter previous{0, 0, 0, ParseSearch("r")};
    const std::vector<int32_t> all = Reference(t, previous);
    const std::vector<int32_t> few(all.begin(), all.begin() + 40);
    const struct {
        RowFilter filter;
        bool narrows;
    } cases[] = {{{0, 0, 0, ParseSearch("ro")}, true},
                 {{0, 1, 0, ParseSearch("r")}, true},
                 {{0, 0, 0, ParseSearch("r d")}, true},
                 {{0, 0, 0, ParseSearch("d")}, false},
                 {{0, 0, 0, ParseSearch("")}, false}};
    for (const auto& c : cases) {
        std::vector<int32_t> expected = Reference(t, c.filter);
        if (c.narrows)
            std::erase_if(expected, [&](int32_t k) { return !std::binary_search(few.begin(), few.end(), k); });
        std::vector<int32_t> rows;
        RowRequest req{c.filter, &previous, &few};
        ASSERT_EQ(ComputeRows(t, index, req, rows), RowsStatus::Done);
        EXPECT_EQ(rows, expected);
        EXPECT_FALSE(rows.empty());
    }
}

TEST(Search, CancelledJobLeavesNoRows) {
    const ChannelTable t = MixedTable(70000);
    SearchIndex index;
    index.Build(t);
    std::atomic<bool> cancel{true};
    for (const RowFilter& f : {RowFilter{}, RowFilter{0, 0, 0, ParseSearch("r")}}) {
        std::vector<int32_t> rows = {1, 2, 3};
        RowRequest req{f};
        req.cancel = &cancel;
        EXPECT_EQ(ComputeRows(t, index, req, rows), RowsStatus::Cancelled);
        EXPECT_TRUE(rows.empty());
    }
}

// The index kept in step with appends, stores and deletes is the one a fresh build makes.
TEST(Search, IndexFollowsTableChanges) {
    ChannelTable t = MixedTable(50);
    SearchIndex index;
    index.Build(t);
    const auto change = [&](auto onTable, auto onIndex) {
        onTable();
        onIndex();
        SearchIndex fresh;
        fresh.Build(t);
        ASSERT_EQ(index.Count(), t.ChannelCount);
        EXPECT_EQ(index.Buffer(), fresh.Buffer());
        EXPECT_EQ(index.Offsets(), fresh.Offsets());
        for (int32_t k = 1; k <= t.ChannelCount; ++k) EXPECT_EQ(index.CodesOf(k).genre, t.Channels[k].Genre) << k;
        RowRequest req{{0, 0, 0, ParseSearch("blue")}};
        std::vector<int32_t> rows;
        ComputeRows(t, index, req, rows);
        EXPECT_EQ(rows, Reference(t, req.filter));
    };
    const TChannelRec longer = Rec("A much longer Blue name than before", "with comments", 2, 2, 9);
    const TChannelRec shorter = Rec("B", "", 3, 3, 7);
    change([&] { t.AppendChannel(longer); }, [&] { index.Append(longer); });
    change([&] { t.StoreChannel(3, longer); }, [&] { index.Store(3, longer); });
    change([&] { t.StoreChannel(4, shorter); }, [&] { index.Store(4, shorter); });
    change([&] { t.StoreChannel(t.ChannelCount, shorter); }, [&] { index.Store(t.ChannelCount, shorter); });
    change([&] { t.DeleteChannel(1); }, [&] { index.Delete(1); });
    const int32_t last = t.ChannelCount;
    change([&] { t.DeleteChannel(last); }, [&] { index.Delete(last); });
    change([&] { t.DeleteChannel(last); }, [&] { index.Delete(last); });  // now out of range
    change([&] { t.ResetChannels(); }, [&] { index.Clear(); });
    change([&] { t.AppendChannel(shorter); }, [&] { index.Append(shorter); });
}
