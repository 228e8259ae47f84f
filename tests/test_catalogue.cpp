#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "catalogue/ChannelTable.h"
#include "catalogue/ListFiles.h"
#include "catalogue/Lookup.h"
#include "support/TempDir.h"

using namespace castora;

namespace {

TChannelRec Rec(std::string name, std::string url, bool local = false) {
    TChannelRec r;
    r.Format = 1;
    r.Name = std::move(name);
    r.Url = std::move(url);
    r.IsLocal = local;
    return r;
}

std::vector<std::string> Names(const ChannelTable& t) {
    std::vector<std::string> out;
    for (int i = 1; i <= t.ChannelCount; ++i) out.push_back(t.Channels[i].Name);
    return out;
}

void ExpectShape(const ChannelTable& t) {
    EXPECT_EQ(t.Channels.size(), static_cast<size_t>(t.ChannelCount) + 1);
    EXPECT_EQ(t.RowMap.size(), static_cast<size_t>(t.ChannelCount) + 2);
    EXPECT_EQ(t.Channels[0].Name, "default");
}

struct RecordingProgress : ProgressSink {
    std::vector<std::string> phases;
    std::vector<int32_t> maxima;
    int32_t last = -1;
    void ShowProgressPhase(const std::string& text, Rgb, int32_t maximum) override {
        phases.push_back(text);
        maxima.push_back(maximum);
    }
    void ShowProgress(int32_t position) override { last = position; }
};

}  // namespace

TEST(ChannelTable, ResetAppendStoreDeleteKeepArraysInStep) {
    ChannelTable t;
    ExpectShape(t);
    EXPECT_EQ(t.ChannelCount, 0);
    t.AppendChannel(Rec("a", "u1"));
    t.AppendChannel(Rec("b", "u2"));
    t.AppendChannel(Rec("c", "u3"));
    ExpectShape(t);
    t.StoreChannel(2, Rec("B", "u2", true));
    EXPECT_EQ(Names(t), (std::vector<std::string>{"a", "B", "c"}));
    EXPECT_TRUE(t.Channels[2].IsLocal);

    t.DeleteChannel(0);
    t.DeleteChannel(4);
    t.DeleteChannel(-1);
    EXPECT_EQ(t.ChannelCount, 3);
    t.DeleteChannel(3);  // the last record: the table only shrinks
    EXPECT_EQ(Names(t), (std::vector<std::string>{"a", "B"}));
    ExpectShape(t);
    t.DeleteChannel(1);
    EXPECT_EQ(Names(t), (std::vector<std::string>{"B"}));
    t.ResetChannels();
    EXPECT_EQ(t.ChannelCount, 0);
    ExpectShape(t);
}

TEST(ChannelTable, SelectionAboveCountNamesThePlaceholder) {
    ChannelTable t;
    t.AppendChannel(Rec("a", "u1"));
    t.AppendChannel(Rec("b", "u2"));
    t.SelectedChannel = 2;
    t.DeleteChannel(t.SelectedChannel);
    EXPECT_EQ(t.SelectedChannel, 2);  // unchanged, but now above the count
    EXPECT_FALSE(t.HasSelection());
    EXPECT_EQ(t.Selected().Name, "default");
    t.DeleteChannel(t.SelectedChannel);  // a second delete removes nothing
    EXPECT_EQ(t.ChannelCount, 1);
}

TEST(ChannelTable, ChannelExistsIsExact) {
    ChannelTable t;
    EXPECT_FALSE(t.ChannelExists(""));
    EXPECT_FALSE(t.ChannelExists("http://a"));
    t.AppendChannel(Rec("a", "http://a/x"));
    EXPECT_TRUE(t.ChannelExists("http://a/x"));
    EXPECT_FALSE(t.ChannelExists("http://a/X"));
    EXPECT_FALSE(t.ChannelExists("http://a/x "));
    EXPECT_FALSE(t.ChannelExists(""));  // the placeholder's empty URL is not a channel
}

TEST(ChannelTable, RemoveDuplicatesKeepsEarliestInOrder) {
    ChannelTable t;
    const char* urls[] = {"u1", "same", "u3", "u4", "same", "u6", "same", "U6", "u6"};
    for (int i = 0; i < 9; ++i) t.AppendChannel(Rec("n" + std::to_string(i + 1), urls[i], i >= 5));
    RecordingProgress progress;
    t.RemoveDuplicates(&progress);
    EXPECT_EQ(Names(t), (std::vector<std::string>{"n1", "n2", "n3", "n4", "n6", "n8"}));
    EXPECT_EQ(t.Channels[5].Url, "u6");
    EXPECT_EQ(t.Channels[6].Url, "U6");  // letter case makes a different URL
    ExpectShape(t);
    // The row map served the pass as scratch; no stale row may name a record.
    EXPECT_TRUE(std::all_of(t.RowMap.begin(), t.RowMap.end(), [](int32_t r) { return r == 0; }));
    ASSERT_EQ(progress.phases.size(), 1u);
    EXPECT_EQ(progress.phases[0], "Preparing channels ...");
    EXPECT_EQ(progress.maxima[0], 9);
    EXPECT_EQ(progress.last, 6);  // ends at the records kept
}

TEST(ChannelTable, RemoveDuplicatesOnEmptyAndShortUrls) {
    ChannelTable t;
    t.RemoveDuplicates();
    EXPECT_EQ(t.ChannelCount, 0);
    // Short strings live inside the records; moving records must not disturb what was seen before.
    for (int round = 0; round < 3; ++round)
        for (int i = 0; i < 50; ++i) t.AppendChannel(Rec("r" + std::to_string(round), "s" + std::to_string(i)));
    t.AppendChannel(Rec("long", std::string(100, 'x')));
    t.AppendChannel(Rec("long2", std::string(100, 'x')));
    t.RemoveDuplicates();
    ASSERT_EQ(t.ChannelCount, 51);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(t.Channels[i + 1].Url, "s" + std::to_string(i));
        EXPECT_EQ(t.Channels[i + 1].Name, "r0");
    }
    EXPECT_EQ(t.Channels[51].Name, "long");
}

TEST(ChannelTable, LoadedTextsStayInTheListBytesAndCopiesOwnTheirs) {
    std::string list = "date\r\n";
    for (const char* name : {"One", "Two", "Three"})
        list += std::string("1\r\n2\r\n3\r\n4\r\n") + name + "\r\n" +
                ScrambleUrl("http://u/" + std::string(name), UrlKey, false) + "\r\n128\r\n\r\n";
    ChannelTable t;
    ParseChannelList(t, 0, list);
    ASSERT_EQ(t.ChannelCount, 3);
    for (int32_t i = 1; i <= 3; ++i) {
        const TChannelRec& rec = t.Channels[i];
        EXPECT_FALSE(rec.Name.Owned() || rec.Url.Owned() || rec.Bitrate.Owned()) << i;
        EXPECT_EQ(std::strlen(rec.Url.c_str()), rec.Url.size()) << i;  // ends where its line ended
    }
    const TChannelRec copy = t.Channels[2];
    EXPECT_TRUE(copy.Name.Owned() && copy.Url.Owned());
    ChannelTable other = t;
    t.DeleteChannel(1);  // the records behind move down, their texts with them
    EXPECT_EQ(Names(t), (std::vector<std::string>{"Two", "Three"}));
    EXPECT_EQ(t.Channels[1], copy);
    t.Record(2).Name = std::string("Renamed");
    t.Record(2).Comments = "new";
    EXPECT_EQ(t.Channels[2].Name + " / " + t.Channels[2].Comments, "Renamed / new");
    EXPECT_EQ(t.Channels[2].Url, "http://u/Three");
    t.ResetChannels();
    EXPECT_EQ(t.ArenaCount(), 0u);
    EXPECT_EQ(copy.Url, "http://u/Two");
    EXPECT_EQ(Names(other), (std::vector<std::string>{"One", "Two", "Three"}));

    // Compared, ordered and concatenated as the strings they hold.
    const TText a = "abc", b = std::string("abd"), none;
    EXPECT_TRUE(a < b && a == std::string_view("abc") && std::string("abc") == a && none.empty());
    EXPECT_EQ(std::string("x") + a + "y", "xabcy");
    EXPECT_EQ(std::string(a), "abc");
    EXPECT_EQ(a.find('c'), 2u);
    EXPECT_STREQ(none.c_str(), "");
}

TEST(Lookup, SplitsOnEveryLineEndAndKeepsBlankLines) {
    EXPECT_EQ(SplitLookupLines("a\r\nb\nc\rd"), (LookupList{"a", "b", "c", "d"}));
    EXPECT_EQ(SplitLookupLines("x\r\n\r\ny\r\n"), (LookupList{"x", "", "y"}));
    EXPECT_EQ(SplitLookupLines("only"), (LookupList{"only"}));
    EXPECT_TRUE(SplitLookupLines("").empty());
    EXPECT_EQ(SplitLookupLines("\r\n"), (LookupList{""}));
}

TEST(Lookup, FilesPlaceholdersAndErrors) {
    test::TempDir dir;
    test::WriteFile(dir / "source.dat", "*\r\nTV\r\nRadio\r\n");
    test::WriteFile(dir / "genre.dat", "");
    test::WriteFile(dir / "country.dat", "header only\r\n");

    const LookupFile source = ReadLookupFile(SourceLookup, dir.path());
    ASSERT_TRUE(source.ok);
    EXPECT_EQ(WithPlaceholder(source.lines, FilterPlaceholders[SourceLookup]),
              (LookupList{"all sources", "TV", "Radio"}));
    const LookupFile country = ReadLookupFile(CountryLookup, dir.path());
    ASSERT_TRUE(country.ok);
    EXPECT_EQ(WithPlaceholder(country.lines, EditorPlaceholder), (LookupList{"not selected"}));

    const LookupFile genre = ReadLookupFile(GenreLookup, dir.path());
    EXPECT_FALSE(genre.ok);
    EXPECT_EQ(genre.error, "List index out of bounds (0)");

    test::TempDir empty;
    const LookupFile missing = ReadLookupFile(SourceLookup, empty.path());
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.error.rfind("Cannot open file \"source.dat\". ", 0), 0u) << missing.error;
}
