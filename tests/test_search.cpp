#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "catalogue/ChannelTable.h"
#include "catalogue/Search.h"

using namespace castora;

namespace {

// Windows-1251 bytes: РАДИО, радио, ЁЛКА, ёлка, елка, І, і.
const std::string RadioUp = "\xD0\xC0\xC4\xC8\xCE", Radio = "\xF0\xE0\xE4\xE8\xEE";
const std::string YolkaUp = "\xA8\xCB\xCA\xC0", Yolka = "\xB8\xEB\xEA\xE0", Yelka = "\xE5\xEB\xEA\xE0";

TChannelRec Rec(std::string name, std::string comments, int32_t source = 1, int32_t country = 1) {
    TChannelRec r;
    r.Name = std::move(name);
    r.Comments = std::move(comments);
    r.Source = source;
    r.Country = country;
    r.Genre = source + country;
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

// Enough records for two threads; names from a few Latin and Cyrillic words, codes cycling.
ChannelTable MixedTable(int32_t n) {
    const std::string words[] = {"Radio", "Jazz", "Blue", "Rock", "Deep", Radio, "\xC4\xE6\xE0\xE7"};
    ChannelTable t;
    for (int32_t i = 0; i < n; ++i) {
        const unsigned h = static_cast<unsigned>(i) * 2654435761u;
        t.AppendChannel(Rec(words[h % 7] + " " + words[(h >> 8) % 7], (h >> 16) % 3 ? words[(h >> 20) % 7] : "",
                            1 + i % 3, 1 + i % 5));
    }
    return t;
}

RowFilter Typed(const std::string& text, int32_t country = 0) {
    return {0, country, 0, ParseSearch(text), RowView::All, {}};
}

}  // namespace

TEST(Search, TypedWordsSplitAtBlanksAndFoldCase) {
    const struct {
        std::string typed;
        std::vector<std::string> words;
    } cases[] = {{"  \t ", {}},
                 {" Blue\tJAZZ ", {"blue", "jazz"}},
                 {"ra radio RADIO", {"radio"}},  // a word inside another adds nothing
                 {RadioUp + "\xA0" + "\xB2", {Radio, "\xB3"}}};
    for (const auto& c : cases) EXPECT_EQ(ParseSearch(c.typed).words, c.words) << c.typed;
}

TEST(Search, RecordMatchesWhenNameOrCommentsHoldEveryWord) {
    const struct {
        std::string name, comments, typed;
        bool match;
    } cases[] = {
        {"Blue Jazz FM", "", "jazz BLUE", true},
        {"Blue Jazz FM", "", "JAZZ fm bl", true},
        {"Blue Jazz FM", "", "blue rock", false},
        {"Deep House", "all the blues", "blue house", true},
        {"Jazz", "live", "zzli", false},  // a word never spans name and comments
        {"Jazz", "live", "", true},
        {RadioUp + " 101", "", Radio, true},
        {Radio, "", RadioUp, true},
        {"x", RadioUp, "\xC4\xE8", true},  // "Ди" inside РАДИО
        {YolkaUp, "", Yolka, true},
        {Yolka, "", YolkaUp, true},
        {Yolka, "", Yelka, false},  // ё and е are different letters
        {"Radio", "", Radio, false},
        {"\xB2\xEB\xE0", "", "\xB3", true},  // І folds to і
    };
    for (const auto& c : cases) {
        ChannelTable t;
        t.AppendChannel(Rec(c.name, c.comments));
        SearchIndex index;
        index.Build(t);
        EXPECT_EQ(MatchesChannel(t.Channels[1], ParseSearch(c.typed)), c.match) << c.name << "|" << c.typed;
        EXPECT_EQ(index.Matches(1, ParseSearch(c.typed)), c.match) << c.name << "|" << c.typed;
    }
}

// Every kernel finds the first occurrence, also across the edges of its 16- and 32-byte blocks.
TEST(Search, KernelsFindTheFirstOccurrence) {
    std::string text(200, 'a');
    for (size_t i = 0; i < text.size(); ++i) text[i] = "ab\xF0\xE0"[i * 7 % 5 % 4];
    const std::string words[] = {"ab", "aab", "\xF0\xE0", "a\xE0\xF0", "b", "zz", "zzQzz!", "abcdefgh"};
    for (size_t at : {0, 15, 16, 30, 31, 32, 33, 194}) {
        std::string hay = text;
        hay.replace(at, 6, "zzQzz!");
        for (size_t len : {hay.size(), at + 5, at + 6}) {
            const std::string_view view(hay.data(), len);
            for (const std::string& w : words)
                for (SearchKernel k :
                     {SearchKernel::Best, SearchKernel::Plain, SearchKernel::Sse2, SearchKernel::Avx2}) {
                    const char* hit = FindWord(k, view, w);
                    EXPECT_EQ(hit ? size_t(hit - hay.data()) : std::string_view::npos, view.find(w))
                        << int(k) << " " << w << " at " << at << " len " << len;
                }
        }
    }
}

// Every path (whole scan, one or two threads, no usable index, cancelled) agrees with the plain rule.
TEST(Search, ComputedRowsFollowThePlainRule) {
    const ChannelTable t = MixedTable(70000);
    SearchIndex index, stale;  // stale is empty: its count does not fit the table
    index.Build(t);
    const RowFilter filters[] = {{},
                                 {2, 0, 0, {}, RowView::All, {}},
                                 {1, 3, 4, {}, RowView::All, {}},
                                 Typed("r"),
                                 Typed("RADIO"),
                                 Typed(RadioUp),
                                 Typed("jazz blue"),
                                 {2, 0, 0, ParseSearch("rock"), RowView::All, {}},
                                 Typed("nothing")};
    std::atomic<bool> cancel{false};
    for (const RowFilter& f : filters)
        for (const SearchIndex* ix : {&index, &stale})
            for (int threads : {1, 2}) {
                RowRequest req{f};
                req.threads = threads;
                req.cancel = &cancel;
                std::vector<int32_t> rows;
                ASSERT_EQ(ComputeRows(t, *ix, req, rows), RowsStatus::Done);
                EXPECT_EQ(rows, Reference(t, f)) << threads << (ix == &stale ? " without index" : "");
                cancel = true;
                EXPECT_EQ(ComputeRows(t, *ix, req, rows), RowsStatus::Cancelled);
                EXPECT_TRUE(rows.empty());
                cancel = false;
            }
}

// A narrowing keystroke tests only the previous rows (here a few of them, to see it); one that widens
// the words or the filters scans again.
TEST(Search, NarrowingTestsOnlyThePreviousRows) {
    const ChannelTable t = MixedTable(70000);
    SearchIndex index;
    index.Build(t);
    const RowFilter previous = Typed("r");
    const std::vector<int32_t> all = Reference(t, previous);
    const std::vector<int32_t> few(all.begin(), all.begin() + 40);
    const struct {
        RowFilter filter;
        bool narrows;
    } cases[] = {{Typed("ro"), true}, {Typed("r", 1), true}, {Typed("d r"), true},
                 {Typed("d"), false}, {Typed(""), false},    {{1, 0, 0, ParseSearch("ro"), RowView::All, {}}, true}};
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

// The index kept in step with appends, stores and deletes is the one a fresh build makes.
TEST(Search, IndexFollowsTableChanges) {
    ChannelTable t = MixedTable(50);
    SearchIndex index;
    index.Build(t);
    const TChannelRec longer = Rec("A much longer Blue name than before", "with comments", 2, 2);
    const TChannelRec shorter = Rec("B", "", 3, 3);
    const int32_t last = t.ChannelCount + 1;
    const struct {
        char op;
        int32_t at;
        const TChannelRec* rec;
    } steps[] = {{'a', 0, &longer},        {'s', 3, &longer}, {'s', 4, &shorter},
                 {'s', last, &shorter},    {'d', 1, nullptr}, {'d', last - 1, nullptr},
                 {'d', last - 1, nullptr}, {'r', 0, nullptr}, {'a', 0, &shorter}};
    for (const auto& s : steps) {
        switch (s.op) {
        case 'a':
            t.AppendChannel(*s.rec), index.Append(*s.rec);
            break;
        case 's':
            t.StoreChannel(s.at, *s.rec), index.Store(s.at, *s.rec);
            break;
        case 'd':
            t.DeleteChannel(s.at), index.Delete(s.at);
            break;
        default:
            t.ResetChannels(), index.Clear();
        }
        SearchIndex fresh;
        fresh.Build(t);
        ASSERT_EQ(index.Count(), t.ChannelCount) << s.op << s.at;
        EXPECT_EQ(index.Buffer(), fresh.Buffer()) << s.op << s.at;
        EXPECT_EQ(index.Offsets(), fresh.Offsets()) << s.op << s.at;
        for (int32_t k = 1; k <= t.ChannelCount; ++k) EXPECT_EQ(index.CodesOf(k).genre, t.Channels[k].Genre) << k;
    }
}
