// The guide index: overlaps, queries with shifts, matching catalogue channels, merging sources, and
// the cache file with every kind of damage.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "catalogue/GuideIndex.h"
#include "catalogue/GuideMatch.h"
#include "catalogue/GuideReader.h"
#include "support/Guides.h"
#include "support/TempDir.h"

using namespace castora;
using namespace castora::test;

namespace {

// Minutes after 2026-12-09 00:00 UTC.
int64_t M(int minutes) { return At("20261209000000") + minutes * 60; }
std::string X(int minutes) {
    const int64_t t = M(minutes);
    int64_t y;
    unsigned mo, d;
    CivilFromDays(t / 86400, y, mo, d);
    char s[32];
    std::snprintf(s, sizeof s, "%04lld%02u%02u%02lld%02lld00 +0000", static_cast<long long>(y), mo, d,
                  static_cast<long long>(t % 86400 / 3600), static_cast<long long>(t % 3600 / 60));
    return s;
}

std::string Schedule(const GuideIndex& g, int32_t channel) {
    std::string out;
    for (const GuideProgramme& p : g.Programmes(channel))
        out += std::string(g.Text(p.title)) + "@" + std::to_string((p.start - M(0)) / 60) + "-" +
               std::to_string((p.stop - M(0)) / 60) + " ";
    return out;
}

struct Record {
    std::string manual, tvgId, tvgName, name;
    int32_t shift = 0;
};

GuideKeysAt KeysOf(const std::vector<Record>& records) {
    return [&records](int32_t r) {
        const Record& x = records[r - 1];
        return GuideChannelKeys{x.manual, x.tvgId, x.tvgName, x.name, x.shift};
    };
}

std::string SmallGuide() {
    return Xmltv(XmlChannel("a", {"A"}, "http://l/a") + XmlChannel("b", {"B"}) + XmlProgramme("a", X(0), X(60), "one") +
                 XmlProgramme("a", X(60), X(90), "two") + XmlProgramme("b", X(0), X(30), "three"));
}

// The cache's header fields, where the file format puts them.
struct CacheLayout {
    uint64_t channels, programmes, keys, pool;
    explicit CacheLayout(const std::string& file) {
        std::memcpy(&channels, file.data() + 64, 8);
        std::memcpy(&programmes, file.data() + 72, 8);
        std::memcpy(&keys, file.data() + 80, 8);
        std::memcpy(&pool, file.data() + 88, 8);
    }
    size_t ChannelsAt() const { return 104; }
    size_t ProgrammesAt() const { return ChannelsAt() + channels * sizeof(GuideChannel); }
    size_t KeysAt() const { return ProgrammesAt() + programmes * sizeof(GuideProgramme); }
    size_t PoolAt() const { return KeysAt() + keys * 4; }
    // Writes the checksum the damaged contents have, so that only the structure checks can refuse them.
    void Reseal(std::string& file) const {
        uint64_t h = GuideHash(std::string_view(file).substr(ChannelsAt(), ProgrammesAt() - ChannelsAt()));
        h = GuideHash(std::string_view(file).substr(ProgrammesAt(), KeysAt() - ProgrammesAt()), h);
        h = GuideHash(std::string_view(file).substr(KeysAt(), PoolAt() - KeysAt()), h);
        h = GuideHash(std::string_view(file).substr(PoolAt()), h);
        std::memcpy(file.data() + 96, &h, 8);
    }
};

template <class T>
void Put(std::string& file, size_t at, T value) {
    std::memcpy(file.data() + at, &value, sizeof value);
}

}  // namespace

TEST(GuideIndex, LaterStartWinsWhereProgrammesOverlap) {
    // Written out of order, one pair starting together, one without an end, one ending after the next
    // starts, one ending before it.
    const std::string guide = Xmltv(XmlChannel("a", {"A"}) + XmlProgramme("a", X(120), X(180), "C") +
                                    XmlProgramme("a", X(0), X(90), "A") + XmlProgramme("a", X(60), X(100), "B") +
                                    XmlProgramme("a", X(120), X(150), "C2") + XmlProgramme("a", X(180), "", "D") +
                                    XmlProgramme("a", X(200), X(210), "E") + XmlProgramme("a", X(300), "", "F"));
    const auto g = ReadGuideText(guide, {});
    EXPECT_EQ(Schedule(*g, 0), "A@0-60 B@60-100 C2@120-150 D@180-200 E@200-210 F@300-300 ");
}

TEST(GuideIndex, AnswersWhatIsOnNowNextAndInASpan) {
    const auto g = ReadGuideText(Xmltv(XmlChannel("a", {"A"}) + XmlProgramme("a", X(0), X(60), "A") +
                                       XmlProgramme("a", X(60), X(90), "B") + XmlProgramme("a", X(120), X(180), "C")),
                                 {});
    struct Case {
        int minute;
        const char* onAir;  // "" for nothing
        const char* next;
    } cases[] = {
        {-1, "", "A"}, {0, "A", "B"}, {59, "A", "B"}, {60, "B", "C"}, {95, "", "C"}, {120, "C", ""}, {180, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.minute);
        const GuideProgramme* on = g->OnAir(0, M(c.minute) + (c.minute == 59 ? 59 : 0));
        const GuideProgramme* next = g->After(0, M(c.minute));
        EXPECT_EQ(on ? g->Text(on->title) : "", c.onAir);
        EXPECT_EQ(next ? g->Text(next->title) : "", c.next);
    }
    const auto titles = [&](int from, int to) {
        std::string s;
        for (const GuideProgramme& p : g->Between(0, M(from), M(to))) s += g->Text(p.title);
        return s;
    };
    EXPECT_EQ(titles(-60, 0), "");
    EXPECT_EQ(titles(30, 61), "AB");
    EXPECT_EQ(titles(60, 120), "B");
    EXPECT_EQ(titles(95, 500), "C");
    EXPECT_EQ(titles(-100, 500), "ABC");
    EXPECT_EQ(titles(100, 100), "");
}

TEST(GuideMatch, TakesTheChoiceThenTheIdThenTheNames) {
    const auto g =
        ReadGuideText(Xmltv(XmlChannel("first.id", {"First"}) + XmlChannel("Second.ID", {"Второй канал", "Second"}) +
                            XmlChannel("third", {"Third HD+"}) + XmlChannel("twin", {"First"}) +
                            XmlProgramme("twin", X(0), X(60), "twin's")),
                      {});
    const std::vector<Record> records = {
        {"third", "first.id", "Second", "Second"},  // the user's choice wins
        {"", "first.id", "Second", "Second"},       // then tvg-id
        {"", "second.id", "", ""},                  // an id ignoring case
        {"", "nothing", "Second", "Third"},         // then tvg-name
        {"", "", "", "third hd"},                   // then the name, without blanks and punctuation
        {"", "", "", "ВТОРОЙ-канал"},               // Cyrillic folded on both sides (UTF-8 guide, 1251 name)
        {"missing", "", "", "THIRD.HD"},            // a choice the guide no longer has falls back
        {"", "", "", "Fourth"},                     // no guide channel
        {"", "", "", "first"},                      // two guide channels have the name: the one with programmes
    };
    // The Windows-1251 spelling of the Cyrillic name above.
    std::vector<Record> r = records;
    r[5].name = "\xc2\xd2\xce\xd0\xce\xc9-\xea\xe0\xed\xe0\xeb";
    const GuideLookup lookup(g, static_cast<int32_t>(r.size()), KeysOf(r));
    const int32_t expected[] = {2, 0, 1, 1, 2, 1, 2, -1, 3};
    for (size_t i = 0; i < r.size(); ++i) EXPECT_EQ(lookup.ChannelOf(static_cast<int32_t>(i) + 1), expected[i]) << i;
    EXPECT_EQ(lookup.Matched(), 8);
    EXPECT_EQ(lookup.ChannelOf(0), -1);
    EXPECT_EQ(lookup.ChannelOf(100), -1);
}

TEST(GuideLookup, ShowsEachChannelShiftedByItsOwnAndTheGlobalShift) {
    const auto g = ReadGuideText(Xmltv(XmlChannel("a", {"A"}) + XmlProgramme("a", X(0), X(60), "Morning") +
                                       XmlProgramme("a", X(60), X(120), "Noon")),
                                 {});
    const std::vector<Record> records = {{"", "a", "", "", 0}, {"", "a", "", "", 3600}, {"", "a", "", "", -1800}};
    const GuideLookup plain(g, 3, KeysOf(records));
    EXPECT_EQ(plain.NowTitle(1, M(30)), "Morning");
    EXPECT_EQ(plain.NowTitle(2, M(30)), "");  // an hour later: nothing yet
    EXPECT_EQ(plain.NowTitle(2, M(90)), "Morning");
    EXPECT_EQ(plain.NowTitle(3, M(30)), "Noon");
    const GuideShow next = plain.Next(2, M(90));
    ASSERT_TRUE(next);
    EXPECT_EQ(next.title, "Noon");
    EXPECT_EQ(next.start, M(120));
    EXPECT_EQ(next.stop, M(180));

    const GuideLookup global(g, 3, KeysOf(records), 1800);
    EXPECT_EQ(global.NowTitle(1, M(20)), "");
    EXPECT_EQ(global.NowTitle(1, M(40)), "Morning");
    EXPECT_EQ(global.OnAir(3, M(40)).title, "Morning");
    const std::vector<GuideShow> day = global.Between(2, M(0), M(24 * 60));
    ASSERT_EQ(day.size(), 2u);
    EXPECT_EQ(day[0].start, M(90));
    EXPECT_EQ(day[1].stop, M(210));
    EXPECT_EQ(GuideLookup().NowTitle(1, M(0)), "");

    // A grid's rebuild asks for all its rows at once, and gets what it would one by one.
    const std::vector<int32_t> rows = {3, 1, 2, 1, 7, 0, 2};
    std::vector<std::string_view> titles;
    for (int minute : {-40, 30, 59, 90, 150}) {
        global.NowTitles(rows, M(minute), titles);
        ASSERT_EQ(titles.size(), rows.size());
        for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(titles[i], global.NowTitle(rows[i], M(minute))) << minute;
    }
    global.NowTitles(rows, M(40), titles);
    EXPECT_EQ(titles, (std::vector<std::string_view>{"Morning", "Morning", "", "Morning", "", "", ""}));
}

TEST(GuideWanted, KeepsOnlyProgrammesACatalogueChannelCanShow) {
    std::string body;
    for (int c = 0; c < 6; ++c) {
        const std::string id = "ch" + std::to_string(c);
        body += XmlChannel(id, {"Channel " + std::to_string(c)});
    }
    for (int c = 0; c < 6; ++c) body += XmlProgramme("ch" + std::to_string(c), X(0), X(60), "p");
    const std::vector<Record> records = {{"", "CH1", "", ""},
                                         {"ch4", "", "", ""},
                                         {"", "", "channel-5", ""},
                                         {"", "", "", "Channel  2"},
                                         {"", "", "", "Nothing"}};
    const GuideWanted wanted = GuideWanted::Of(5, KeysOf(records));
    GuideReadOptions options;
    options.wanted = &wanted;
    const auto g = ReadGuideText(Xmltv(body), options);
    std::string kept;
    for (int32_t c = 0; c < g->ChannelCount(); ++c)
        if (!g->Programmes(c).empty()) kept += std::string(g->Text(g->Channel(c).id)) + " ";
    EXPECT_EQ(kept, "ch1 ch2 ch4 ch5 ");
    EXPECT_EQ(g->Info().wantedStamp, wanted.Stamp());

    // The stamp tells sets apart, not orders.
    std::vector<Record> reversed(records.rbegin(), records.rend());
    EXPECT_EQ(GuideWanted::Of(5, KeysOf(reversed)).Stamp(), wanted.Stamp());
    EXPECT_NE(GuideWanted::Of(4, KeysOf(records)).Stamp(), wanted.Stamp());
    EXPECT_TRUE(GuideWanted().Everything());
}

TEST(MergeGuides, JoinsChannelsByIdAndTheFirstSourceWinsATie) {
    const auto first =
        ReadGuideText(Xmltv(XmlChannel("a", {"A"}, "http://first/a.png") + XmlChannel("b", {"B"}) +
                            XmlProgramme("a", X(0), X(60), "first 0") + XmlProgramme("a", X(60), X(120), "first 60")),
                      {});
    const auto second =
        ReadGuideText(Xmltv(XmlChannel("c", {"C"}) + XmlChannel("a", {"Alpha"}, "http://second/a.png") +
                            XmlProgramme("a", X(60), X(120), "second 60") +
                            XmlProgramme("a", X(120), X(180), "second 120") + XmlProgramme("c", X(0), X(60), "c")),
                      {});
    GuideInfo info;
    info.created = 42;
    const auto merged = MergeGuides({first, second}, info);
    ASSERT_EQ(merged->ChannelCount(), 3);
    EXPECT_EQ(Dump(*merged).substr(0, Dump(*merged).find('\n')),
              "channel a name=A icon=http://first/a.png keys=a,alpha,");
    EXPECT_EQ(Schedule(*merged, 0), "first 0@0-60 first 60@60-120 second 120@120-180 ");
    EXPECT_EQ(merged->FindId("c"), 2);
    EXPECT_EQ(merged->FindNameKey("alpha"), 0);
    EXPECT_EQ(merged->Info().created, 42);
}

TEST(GuideIndex, CacheReadsBackTheSameGuide) {
    TempDir dir;
    std::string body;
    for (int c = 0; c < 30; ++c)
        body += XmlChannel("ch" + std::to_string(c), {"Канал " + std::to_string(c)}, "http://l/" + std::to_string(c));
    for (int c = 0; c < 30; ++c)
        for (int i = 0; i < 40; ++i)
            body += XmlProgramme("ch" + std::to_string(c), X(i * 30), X(i * 30 + 30), "Show " + std::to_string(i % 7),
                                 "<desc>" + std::string(static_cast<size_t>(i * 37 % 500), 'd') + "</desc>");
    auto g = ReadGuideText(Xmltv(body), {});
    g->Info() = {1, 2, 3, 4, 5};
    g->Save(dir / "guide.cache");
    std::string why;
    const auto back = GuideIndex::Load(dir / "guide.cache", &why);
    ASSERT_TRUE(back) << why;
    EXPECT_EQ(Dump(*back), Dump(*g));
    EXPECT_EQ(back->Info(), g->Info());
    EXPECT_EQ(back->FindId("ch7"), 7);
    EXPECT_EQ(back->FindNameKey(GuideNameKeyUtf8("Канал 7")), 7);

    // An empty guide too.
    GuideBuilder empty;
    empty.Finish()->Save(dir / "empty.cache");
    const auto none = GuideIndex::Load(dir / "empty.cache", &why);
    ASSERT_TRUE(none) << why;
    EXPECT_EQ(none->ChannelCount(), 0);
}

TEST(GuideIndex, DamagedCacheIsIgnored) {
    TempDir dir;
    const auto g = ReadGuideText(SmallGuide(), {});
    g->Save(dir / "good");
    const std::string good = ReadFile(dir / "good");
    ASSERT_TRUE(GuideIndex::Load(dir / "good"));

    const auto flipped = [&](size_t at) {
        std::string s = good;
        s[at] = static_cast<char>(s[at] ^ 0x40);
        return s;
    };
    struct Case {
        const char* what;
        std::string bytes;
        const char* why;
    } cases[] = {
        {"empty", "", "too short"},
        {"cut in its header", good.substr(0, 50), "too short"},
        {"cut in its pool", good.substr(0, good.size() - 3), "sizes do not match the file"},
        {"longer", good + "x", "sizes do not match the file"},
        {"another file", "CSTGUIDX" + good.substr(8), "not a guide cache"},
        {"another version", flipped(8), "another version"},
        {"a count changed", flipped(72), "sizes do not match the file"},
        {"a programme changed", flipped(104 + 2 * sizeof(GuideChannel) + 3), "damaged (checksum)"},
        {"a text changed", flipped(good.size() - 2), "damaged (checksum)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(dir / "bad", c.bytes);
        std::string why;
        EXPECT_FALSE(GuideIndex::Load(dir / "bad", &why));
        EXPECT_EQ(why, c.why);
    }
    std::string why;
    EXPECT_FALSE(GuideIndex::Load(dir / "missing", &why));
    EXPECT_EQ(why, "No such file or directory");
}

TEST(GuideIndex, CacheWithAMatchingChecksumButBadContentsIsIgnored) {
    // Damage that a checksum would not catch, had it been written with the damage: nothing may then
    // point outside the arrays.
    TempDir dir;
    ReadGuideText(SmallGuide(), {})->Save(dir / "good");
    const std::string good = ReadFile(dir / "good");
    const CacheLayout at(good);
    ASSERT_EQ(at.channels, 2u);
    ASSERT_EQ(at.programmes, 3u);
    const size_t p0 = at.ProgrammesAt(), p1 = p0 + sizeof(GuideProgramme), c1 = at.ChannelsAt() + sizeof(GuideChannel);
    struct Case {
        const char* what;
        size_t offset;
        uint64_t value;
        size_t size;
        const char* why;
    } cases[] = {
        {"a title beyond the pool", p0 + offsetof(GuideProgramme, title), at.pool, 4, "damaged (programmes)"},
        {"an end before its start", p0 + offsetof(GuideProgramme, stop), 0, 8, "damaged (programmes)"},
        {"programmes out of order", p1 + offsetof(GuideProgramme, start), 0, 8, "damaged (programmes)"},
        {"a programme of another channel", p1 + offsetof(GuideProgramme, channel), 1, 4, "damaged (programmes)"},
        {"a channel's programmes beyond the array", c1 + offsetof(GuideChannel, count), 5, 4, "damaged (channels)"},
        {"a channel's id beyond the pool", c1 + offsetof(GuideChannel, id), 1u << 31, 4, "damaged (channels)"},
        {"a channel's keys beyond the array", c1 + offsetof(GuideChannel, keys), 1000, 4, "damaged (channels)"},
        {"a key beyond the pool", at.KeysAt(), at.pool + 100, 4, "damaged (keys)"},
        {"a pool not ending in a NUL", good.size() - 1, 'x', 1, "damaged (pool)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string bad = good;
        if (c.size == 8) Put<uint64_t>(bad, c.offset, c.value);
        else if (c.size == 4) Put<uint32_t>(bad, c.offset, static_cast<uint32_t>(c.value));
        else bad[c.offset] = static_cast<char>(c.value);
        at.Reseal(bad);
        WriteFile(dir / "bad", bad);
        std::string why;
        EXPECT_FALSE(GuideIndex::Load(dir / "bad", &why));
        EXPECT_EQ(why, c.why);
    }
    // Resealing alone changes nothing.
    std::string same = good;
    at.Reseal(same);
    EXPECT_EQ(same, good);
}

TEST(SplitGuideUrls, TakesEveryAddressOnce) {
    EXPECT_EQ(SplitGuideUrls(" http://a/epg.xml.gz, http://b/e.xml,,http://a/epg.xml.gz ,"),
              (std::vector<std::string>{"http://a/epg.xml.gz", "http://b/e.xml"}));
    EXPECT_TRUE(SplitGuideUrls("").empty());
    EXPECT_EQ(SplitGuideUrls("http://only"), std::vector<std::string>{"http://only"});
}
