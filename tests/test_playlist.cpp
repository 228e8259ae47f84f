#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <unicode/uchar.h>

#include "catalogue/Playlist.h"
#include "support/TempDir.h"

using namespace castora;
using castora::test::ReadFile;
using castora::test::TempDir;
using castora::test::WriteFile;

namespace {

struct Want {
    std::string url, title;
    std::vector<std::string> groups;
    std::string country;
    // tvg-id, tvg-name, tvg-logo, tvg-shift
    std::vector<std::string> tvg = {"", "", "", ""};
};

std::string Utf16(const std::u16string& s, bool bigEndian) {
    std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t c : s) {
        const char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
        out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
    }
    return out;
}

const LookupList kSources = {"*", "Online TV", "Radio", "Webcam"};
const LookupList kCountries = {"*",       "International",     "USA", "United Kingdom", "France",
                               "Germany", "Russian Federation"};
// "Новости" in Windows-1251.
const LookupList kGenres = {"*", "General", "News", "Music", "\xcd\xee\xe2\xee\xf1\xf2\xe8"};

}  // namespace

TEST(ReadPlaylist, ReadsEntriesFromEveryFormEncodingAndLineEnd) {
    const std::string ua = "Mozilla/5.0 (X11; Linux)";
    const std::string longPath = "http://long.example/" + std::string(AddressLimit, 'a');
    struct Case {
        const char* what;
        std::string bytes;
        std::string location;
        bool fromUrl;
        std::vector<Want> want;
        int unusable;
        std::vector<std::string> guides = {};
    } cases[] = {
        {"extended, CR LF, quoted attributes with commas, title with commas",
         "#EXTM3U x-tvg-url=\"http://e/epg.xml\"\r\n"
         "#EXTINF:-1 tvg-ID=\"a\" tvg-logo=\"http://l/logo,small.png\" group-title=\"News;Info\" tvg-country=\"RU;UA\","
         "News, Weather and Sport\r\nhttp://a.example/live.m3u8\r\n"
         "#EXTINF: -1,Blank after colon\r\n  \thttps://b.example/x  \r\n#EXTM3U\r\n"
         "#EXTINF:0 tvg-name=\"Tvg only\",\r\nrtmp://c.example/app\r\n",
         "/tmp/p.m3u",
         false,
         {{"http://a.example/live.m3u8",
           "News, Weather and Sport",
           {"News"},
           "RU",
           {"a", "", "http://l/logo,small.png", ""}},
          {"https://b.example/x", "Blank after colon", {}, ""},
          {"rtmp://c.example/app", "", {}, "", {"", "Tvg only", "", ""}}},
         0,
         {"http://e/epg.xml"}},
        {"plain M3U with LF, comments, headings, control bytes and foreign schemes",
         "# a comment\nhttp://one/\n------ Sports ------\n>>> NEWS <<<\n===== Music =====\njavascript:alert(1)\n"
         "http://t\x01wo/\nudp://@239.0.0.1:1234\n#EXTFOO:bar\nmms://three/\n",
         "/tmp/p.m3u",
         false,
         {{"http://one/", "", {}, ""}, {"udp://@239.0.0.1:1234", "", {}, ""}, {"mms://three/", "", {}, ""}},
         2},
        {"CR only, UTF-8 BOM, #EXTGRP and request headers from every place",
         "\xEF\xBB\xBF#EXTM3U\r#EXTINF:-1,One\r#EXTGRP:Music\r#EXTVLCOPT:http-user-agent=" + ua +
             "\r#EXTVLCOPT:http-referrer=http://r/\rhttp://one/\r"
             "#EXTINF:-1 http-user-agent=\"UA2\" group-title=\"News\",Two\r#EXTGRP:Other\rhttp://two/\r"
             "#EXTINF:-1 user-agent=\"Ignored\",Three\rhttp://three/|User-Agent=Kodi 1.0&Referer=http://x/?a=1&b=2\r",
         "/tmp/p.m3u",
         false,
         {{"http://one/|User-Agent=" + ua + "&Referer=http://r/", "One", {"Music"}, ""},
          {"http://two/|User-Agent=UA2", "Two", {"News", "Other"}, ""},
          {"http://three/|User-Agent=Kodi 1.0&Referer=http://x/?a=1&b=2", "Three", {}, ""}},
         0},
        {"quoted option values, header values with control bytes",
         "#EXTM3U\n#EXTINF:-1,Quoted\n#EXTVLCOPT:http-user-agent=\"Mozilla/5.0 (X11; Linux x86_64)\"\n"
         "#EXTVLCOPT:http-referrer=\" http://r/ \"\nhttp://q/\n"
         "#EXTINF:-1,Suffix\nhttp://s/|User-Agent=\"Kodi 1.0\"&Referer=\"http://r/ \"\n"
         "#EXTINF:-1,Control\n#EXTVLCOPT:http-user-agent=Bad\x7f"
         "Agent\nhttp://c/|Referer=http://r/\x1b[0m&Origin=http://o/\n"
         "#EXTINF:-1,Tab\nhttp://t/|User-Agent=A\tB\n",
         "/tmp/p.m3u",
         false,
         {{"http://q/|User-Agent=Mozilla/5.0 (X11; Linux x86_64)&Referer=http://r/", "Quoted", {}, ""},
          {"http://s/|User-Agent=Kodi 1.0&Referer=http://r/", "Suffix", {}, ""},
          {"http://c/|Origin=http://o/", "Control", {}, ""},
          {"http://t/", "Tab", {}, ""}},
         0},
        {"titles without a comma, unquoted logo, shift, a heading between an entry and its address",
         "#EXTM3U\n#EXTINF:-1 tvg-id=\"city.us\" tvg-logo=http://x/a.png tvg-shift=\"-1.5\" City News (720p)\n"
         "http://city/\n#EXTINF:-1 Plain Title\nhttp://plain/\n#EXTINF:-1 tvg-shift=+2\nhttp://shift/\n"
         "#EXTINF:-1,Sports One\n----------\nhttp://sports/\n",
         "/tmp/p.m3u",
         false,
         {{"http://city/", "City News (720p)", {}, "", {"city.us", "", "http://x/a.png", "-1.5"}},
          {"http://plain/", "Plain Title", {}, ""},
          {"http://shift/", "", {}, "", {"", "", "", "+2"}},
          {"http://sports/", "Sports One", {}, ""}},
         0},
        {"a channel list with stray stream tags, guides in two headers",
         "#EXTM3U x-tvg-url=\"http://g/a.xml, http://g/b.xml\" url-tvg=\"http://g/b.xml\"\n"
         "#EXTINF:-1 tvg-id=\"one\",One\nhttp://one/\n#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"a\",NAME=\"x\"\n"
         "#EXT-X-STREAM-INF:BANDWIDTH=1280000\nhttp://variant/low.m3u8\n"
         "#EXTM3U url-tvg=\"http://g/c.xml\"\n#EXTINF:-1,Two\nhttp://two/\n",
         "/tmp/p.m3u",
         false,
         {{"http://one/", "One", {}, "", {"one", "", "", ""}},
          {"http://variant/low.m3u8", "", {}, ""},
          {"http://two/", "Two", {}, ""}},
         0,
         {"http://g/a.xml", "http://g/b.xml", "http://g/c.xml"}},
        {"an address longer than any server takes",
         "#EXTINF:-1,Long\n" + longPath + "\n#EXTINF:-1,Short\nhttp://short/\n",
         "/tmp/p.m3u",
         false,
         {{"http://short/", "Short", {}, ""}},
         1},
        {"Windows-1251 without BOM",
         "#EXTM3U\r\n#EXTINF:-1,\xcf\xe5\xf0\xe2\xfb\xe9 \xea\xe0\xed\xe0\xeb\r\nhttp://one/\r\n",
         "/tmp/p.m3u",
         false,
         {{"http://one/", "Первый канал", {}, ""}},
         0},
        {"UTF-16 LE with BOM",
         Utf16(u"#EXTM3U\r\n#EXTINF:-1,Радио ★\r\nhttp://one/\r\n", false),
         "/tmp/p.m3u",
         false,
         {{"http://one/", "Радио ★", {}, ""}},
         0},
        {"PLS in UTF-16 BE, keys in any order and case, numbering with gaps",
         Utf16(u"[Playlist]\nTitle3=Third\nfile3=http://three/\nFILE1=http://one/\nNumberOfEntries=2\n"
               u"Length1=-1\nVersion=2\n",
               true),
         "/tmp/p.pls",
         false,
         {{"http://one/", "", {}, ""}, {"http://three/", "Third", {}, ""}},
         0},
        {"relative entries against a file's directory; local files and sockets from a file",
         "live/index.m3u8\n../up/clip.mp4\n/abs/file.mp3\nsub\\win.mp3\nfile:///dev/zero\nudp://@:1234\n"
         "tcp://h.example:9000?listen\nudp://@:1235?listen=1\n",
         "/data/lists/p.m3u",
         false,
         {{"/data/lists/live/index.m3u8", "", {}, ""},
          {"/data/up/clip.mp4", "", {}, ""},
          {"/abs/file.mp3", "", {}, ""},
          {"/data/lists/sub/win.mp3", "", {}, ""},
          {"file:///dev/zero", "", {}, ""},
          {"udp://@:1234", "", {}, ""}},
         2},
        {"relative entries against a URL",
         "live/index.m3u8\n../up/clip.mp4|User-Agent=X\n/root.mp3\n//cdn.example/a.mp3\n",
         "https://h.example:8443/lists/tv.m3u?token=1",
         true,
         {{"https://h.example:8443/lists/live/index.m3u8", "", {}, ""},
          {"https://h.example:8443/up/clip.mp4|User-Agent=X", "", {}, ""},
          {"https://h.example:8443/root.mp3", "", {}, ""},
          {"https://cdn.example/a.mp3", "", {}, ""}},
         0},
        {"a downloaded playlist keeps network addresses only",
         "file:///dev/zero\nFILE:/etc/passwd\nfile:clip.mp3\ntcp://h.example:9000?listen\ntcp://h.example:9001\n"
         "udp://0.0.0.0:1234\nudp://@:1234\nudp://:1234\nrtp://@:5004\nudp://@239.0.0.1:1234\n"
         "rtp://@[ff15::1]:5004\nudp://10.0.0.1:1234\nsrt://h.example:7000?mode=listener\nsrt://h.example:7001\n"
         "rtsp://cam.example/live\nhttp://h.example/x?listen=1\n",
         "http://h.example/tv.m3u",
         true,
         {{"tcp://h.example:9001", "", {}, ""},
          {"udp://@239.0.0.1:1234", "", {}, ""},
          {"rtp://@[ff15::1]:5004", "", {}, ""},
          {"srt://h.example:7001", "", {}, ""},
          {"rtsp://cam.example/live", "", {}, ""},
          {"http://h.example/x?listen=1", "", {}, ""}},
         10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Playlist p = ReadPlaylist(c.bytes, c.location, c.fromUrl);
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_EQ(p.unusable, c.unusable);
        EXPECT_EQ(p.guideUrls, c.guides);
        ASSERT_EQ(p.entries.size(), c.want.size());
        for (size_t i = 0; i < c.want.size(); ++i) {
            const PlaylistEntry& e = p.entries[i];
            EXPECT_EQ(e.url, c.want[i].url) << i;
            EXPECT_EQ(e.title, c.want[i].title) << i;
            EXPECT_EQ(e.groups, c.want[i].groups) << i;
            EXPECT_EQ(e.country, c.want[i].country) << i;
            EXPECT_EQ((std::vector<std::string>{e.tvgId, e.tvgName, e.tvgLogo, e.tvgShift}), c.want[i].tvg) << i;
        }
    }
}

TEST(ReadPlaylist, RefusesWhatIsNotAChannelListWithAClearText) {
    const std::string hls = "#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXTINF:6,\nseg1.ts\n";
    struct Case {
        const char* what;
        std::string bytes;
        std::string error;
    } cases[] = {
        {"empty", "", "The playlist is empty."},
        {"blank lines only", "\r\n \r\n\t", "The playlist is empty."},
        {"ZIP", std::string("PK\x03\x04\x14\0\0\0", 8) + "http://x/", "This file is a ZIP archive, not a playlist."},
        {"binary",
         std::string("\x7f"
                     "ELF\x02\x01\x01\0\0\0",
                     10),
         "This file holds binary data, not a playlist."},
        {"HTML", "  <!DOCTYPE html>\n<html><body><a href=\"http://x/\">x</a></body></html>",
         "This is a web page, not a playlist."},
        {"HLS from a file", hls, "This is the playlist of a single stream (HLS), not a list of channels."},
        {"HLS segments with titles", "#EXTM3U\n#EXT-X-MEDIA-SEQUENCE:7\n#EXTINF:6,Part one\nseg7.ts\n",
         "This is the playlist of a single stream (HLS), not a list of channels."},
        {"HLS variants", "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nlow.m3u8\n#EXT-X-STREAM-INF:BANDWIDTH=2\nhi.m3u8\n",
         "This is the playlist of a single stream (HLS), not a list of channels."},
        {"no usable entry", "#EXTM3U\n#EXTINF:-1,x\nfoo:bar\n---\n",
         "The playlist holds no channel that can be played (1 unusable entries)."},
        {"headings only", "===== Sports =====\n------ News ------\n", "The playlist holds no channel."},
        {"directives only", "#EXTM3U\n#EXTINF:-1,x\n", "The playlist holds no channel."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Playlist p = ReadPlaylist(c.bytes, "/tmp/list.m3u", false);
        EXPECT_FALSE(p.ok);
        EXPECT_EQ(p.error, c.error);
    }
    // From a URL the same HLS playlist is one stream.
    const Playlist stream = ReadPlaylist(hls, "http://h/live/index.m3u8", true);
    ASSERT_TRUE(stream.ok);
    EXPECT_TRUE(stream.stream);
    ASSERT_EQ(stream.entries.size(), 1u);
    EXPECT_EQ(stream.entries[0].url, "http://h/live/index.m3u8");
}

TEST(ReadPlaylist, ABigListReadInTwoHalvesReadsAsOne) {
    // Over 4 MB: the second half is read on a thread of its own, from an #EXTINF line past the middle.
    const int count = 60000;
    std::string text = "#EXTM3U url-tvg=\"http://g/a.xml\"\n#EXT-X-STREAM-INF:BANDWIDTH=1\n";
    for (int i = 0; i < count; ++i) {
        if (i == count / 2 + 10) text += "#PLAYLIST:Late name\n#EXTM3U url-tvg=\"http://g/b.xml,http://g/a.xml\"\n";
        if (i % 1000 == 999) text += "not an address\n===== Heading =====\n";
        text += "#EXTINF:-1 tvg-id=\"c" + std::to_string(i) + "\" group-title=\"News\",Channel " + std::to_string(i) +
                "\n#EXTGRP:Extra\nhttp://h.example/live/" + std::to_string(i) + std::string(40, 'x') + "\n";
    }
    ASSERT_GT(text.size(), 4u << 20);
    const Playlist p = ReadPlaylist(text, "/tmp/big.m3u", false);
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.name, "Late name");
    EXPECT_EQ(p.unusable, count / 1000);
    EXPECT_EQ(p.guideUrls, (std::vector<std::string>{"http://g/a.xml", "http://g/b.xml"}));
    ASSERT_EQ(p.entries.size(), static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        const PlaylistEntry& e = p.entries[static_cast<size_t>(i)];
        ASSERT_EQ(e.url, "http://h.example/live/" + std::to_string(i) + std::string(40, 'x')) << i;
        ASSERT_EQ(e.title, "Channel " + std::to_string(i)) << i;
        ASSERT_EQ(e.tvgId, "c" + std::to_string(i)) << i;
        ASSERT_EQ(e.groups, (std::vector<std::string>{"News", "Extra"})) << i;
    }
    // Segments in the second half make the whole a stream's playlist.
    const Playlist stream = ReadPlaylist(text + "#EXT-X-TARGETDURATION:6\n", "/tmp/big.m3u", false);
    EXPECT_FALSE(stream.ok);
    EXPECT_EQ(stream.error, "This is the playlist of a single stream (HLS), not a list of channels.");
}

TEST(HeaderSuffix, SplitsAndJoinsTheKodiForm) {
    struct Case {
        std::string url, address;
        std::vector<std::pair<std::string, std::string>> headers;
    } cases[] = {
        {"http://h/x", "http://h/x", {}},
        {"http://h/a|b", "http://h/a|b", {}},  // not a header: the bar belongs to the address
        {"http://h/x.m3u8|User-Agent=Mozilla/5.0 (X11; Linux x86_64)&Referer=http://r/?a=1&b=2",
         "http://h/x.m3u8",
         {{"User-Agent", "Mozilla/5.0 (X11; Linux x86_64)"}, {"Referer", "http://r/?a=1&b=2"}}},
        {"http://h/x|Origin=http://o", "http://h/x", {{"Origin", "http://o"}}},
        {"http://h/a|b|Referer=http://r/", "http://h/a|b", {{"Referer", "http://r/"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        const HeaderSuffix s = SplitHeaderSuffix(c.url);
        EXPECT_EQ(s.address, c.address);
        EXPECT_EQ(s.headers, c.headers);
        EXPECT_EQ(JoinHeaderSuffix(s), c.url);
    }
}

TEST(ToRecordText, KeepsWhatWindows1251HoldsAndSpellsTheRestInLatin) {
    const std::pair<std::string, std::string> cases[] = {
        {"Телеканал Ё", "\xd2\xe5\xeb\xe5\xea\xe0\xed\xe0\xeb \xa8"},
        {"中央电视台", "zhong yang dian shi tai"},
        {"Café Müller", "Cafe Muller"},
        {"★ Sports HD ★", "Sports HD"},
        {"قناة", "qnat"},
        {"Радио № 1 — «Хит»", "\xd0\xe0\xe4\xe8\xee \xb9 1 \x97 \xab\xd5\xe8\xf2\xbb"},
    };
    for (const auto& [in, want] : cases) {
        EXPECT_EQ(ToRecordText(in), want) << in;
        EXPECT_EQ(ToRecordText(in).find('?'), std::string::npos) << in;
    }
    // The reverse table agrees with the system's converter for every byte.
    std::string all;
    for (int b = 0x80; b < 0x100; ++b)
        if (b != 0x98) all.push_back(static_cast<char>(b));
    EXPECT_EQ(ToRecordText(Cp1251ToUtf8(all)), all);
}

TEST(Text, Windows1251FoldingAgreesWithUnicodeLowerCase) {
    // Every byte against ICU's small letter of the character it stands for.
    for (int b = 0; b < 256; ++b) {
        const std::string byte(1, static_cast<char>(b));
        size_t at = 0;
        const std::string utf8 = Cp1251ToUtf8(byte);
        const auto lower = static_cast<char32_t>(u_tolower(static_cast<UChar32>(NextCodePoint(utf8, at))));
        const int want = EncodeCp1251(lower);
        EXPECT_EQ(FoldByte(static_cast<unsigned char>(b)), want < 0 ? b : want) << b;
    }
    EXPECT_TRUE(StartsWithFolded("\xa8\xeb\xea\xe0 FM", "\xb8\xcb\xca"));  // "Ёлка" typed as "ёЛК"
    EXPECT_FALSE(StartsWithFolded("\xe5\xeb\xea\xe0", "\xb8"));            // е is not ё
    // The ASCII tests see nothing in bytes above 0x7F, whatever the locale.
    for (int b = 0x80; b < 0x100; ++b) {
        const char c = static_cast<char>(b);
        EXPECT_FALSE(IsDigit(c) || IsAlpha(c) || IsAlnum(c) || IsBlank(c) || IsControl(c)) << b;
        EXPECT_EQ(LowerAscii(c), c);
    }
    EXPECT_EQ(Trim("\t x \f", " \t\f"), "x");
    EXPECT_EQ(Trim("\t x \f"), "x \f");
    EXPECT_TRUE(EqualNoCase("User-Agent", "user-AGENT"));
    EXPECT_FALSE(EqualNoCase("\xc0", "\xe0"));  // ASCII only: А and а are different bytes here
}

TEST(MatchCountry, FindsCodesNamesAndAliases) {
    const std::pair<const char*, int32_t> cases[] = {
        {"RU", 6},    {"ru;ua", 6},         {"Russia", 6}, {"Russian Federation", 6},
        {"US", 2},    {"United States", 2}, {"UK", 3},     {"GB", 3},
        {"de", 5},    {"INT", 1},           {"XX", 0},     {"", 0},
        {"Japan", 0},
    };
    for (const auto& [value, code] : cases) EXPECT_EQ(MatchCountry(value, kCountries), code) << value;
    EXPECT_EQ(CountryIsoCode("Russian Federation"), "RU");
    EXPECT_EQ(CountryIsoCode("USA"), "US");
    EXPECT_EQ(CountryIsoCode("International"), "INT");
    EXPECT_EQ(CountryIsoCode("Atlantis"), "");
}

TEST(PlanImport, MapsNamesCodesAndSkipsDuplicates) {
    ChannelTable table;
    for (const char* url : {"http://old/", "tone.wav", "./sub/../clip.mp3|User-Agent=X"}) {
        TChannelRec existing;
        existing.Name = "Old";
        existing.Url = url;
        table.AppendChannel(existing);
    }
    const std::string longTitle(70, 'x');
    const std::string m3u =
        "#EXTM3U url-tvg=\"http://g/guide.xml\"\n"
        "#EXTINF:-1 tvg-country=\"RU\" group-title=\"news\" tvg-id=\"one.ru\" tvg-logo=\"http://l/1.png\" "
        "tvg-shift=\"+3\" tvg-name=\"Первый HD\",Первый\nhttp://one/\n"
        "#EXTINF:-1 tvg-country=\"Russia\" group-title=\"НОВОСТИ\",中央电视台\nhttp://two/\n"
        "#EXTINF:-1 group-title=\"Kids;Family\",\nhttp://three.example/live/stream.m3u8?t=1\n"
        "#EXTINF:-1 tvg-name=\"From tvg\",\nhttp://four/\n"
        "#EXTINF:-1," +
        longTitle +
        "\nhttp://five/\n#EXTINF:-1 radio=\"true\",R\nhttp://six/\n"
        "http://old/\nhttp://one/\nnot a url\nhttp://seven/путь\nhttp://eight/路\n"
        "#EXTINF:-1 group-title=\"Kids\",Second group matches\n#EXTGRP:Music\nhttp://nine/\n"
        "#EXTINF:-1 group-title=\"Kids\",Neither matches\n#EXTGRP:Family\nhttp://ten/\n"
        "#EXTINF:-1 group-title=\"News\",Both match\n#EXTGRP:music\nhttp://eleven/\n"
        // The catalogue's own files, written absolute as an export writes them.
        "/data/lists/tone.wav\n/data/lists/clip.mp3|User-Agent=X\n/data/lists/clip.mp3\n";
    const Playlist p = ReadPlaylist(m3u, "/tmp/My list.m3u", false);
    ASSERT_TRUE(p.ok);
    const ImportPlan plan = PlanImport(p, table, kSources, kCountries, kGenres, "/data/lists");
    EXPECT_EQ(plan.name, "My list");
    EXPECT_EQ(plan.duplicates, 4);
    EXPECT_EQ(plan.unusable, 1);
    EXPECT_EQ(plan.source, 1);  // "Online TV": most entries are not radio
    EXPECT_EQ(plan.guideUrls, std::vector<std::string>{"http://g/guide.xml"});
    struct Expect {
        std::string name, url, comments;
        int32_t country, genre, source;
    } want[] = {
        {"\xcf\xe5\xf0\xe2\xfb\xe9", "http://one/", "", 6, 2, 0},
        {"zhong yang dian shi tai", "http://two/", "", 6, 4, 0},
        {"three.example/stream.m3u8", "http://three.example/live/stream.m3u8?t=1", "Group: Kids", 0, 0, 0},
        {"From tvg", "http://four/", "", 0, 0, 0},
        {std::string(64, 'x'), "http://five/", "", 0, 0, 0},
        {"R", "http://six/", "", 0, 0, 2},
        {"seven/\xef\xf3\xf2\xfc", "http://seven/\xef\xf3\xf2\xfc", "", 0, 0, 0},
        {"eight/lu", "http://eight/%E8%B7%AF", "", 0, 0, 0},
        {"Second group matches", "http://nine/", "Group: Kids", 0, 3, 0},
        {"Neither matches", "http://ten/", "Group: Kids; Family", 0, 0, 0},
        {"Both match", "http://eleven/", "Group: music", 0, 2, 0},
        {"clip.mp3", "/data/lists/clip.mp3", "", 0, 0, 0},  // the stored one asks for a header: another channel
    };
    ASSERT_EQ(plan.records.size(), std::size(want));
    ASSERT_EQ(plan.info.size(), plan.records.size());
    for (size_t i = 0; i < std::size(want); ++i) {
        SCOPED_TRACE(i);
        const TChannelRec& r = plan.records[i];
        EXPECT_EQ(r.Url, want[i].url);
        EXPECT_EQ(r.Comments, want[i].comments);
        EXPECT_EQ(r.Country, want[i].country);
        EXPECT_EQ(r.Genre, want[i].genre);
        EXPECT_EQ(r.Source, want[i].source);
        EXPECT_TRUE(r.IsLocal);
        EXPECT_EQ(r.Name, want[i].name);
    }
    // What the playlist said beyond the record goes with it, in UTF-8.
    EXPECT_EQ(plan.info[0].tvgId, "one.ru");
    EXPECT_EQ(plan.info[0].tvgName, "Первый HD");
    EXPECT_EQ(plan.info[0].tvgLogo, "http://l/1.png");
    EXPECT_EQ(plan.info[0].tvgShift, "+3");
    EXPECT_EQ(plan.info[3].tvgName, "From tvg");
    EXPECT_EQ(plan.info[1].tvgId, "");
    std::vector<TChannelRec> records = plan.records;
    ApplySource(records, 3);
    EXPECT_EQ(records[0].Source, 3);
    EXPECT_EQ(records[5].Source, 2);  // classified by the playlist: kept

    // A radio list preselects the radio source.
    const Playlist pls = ReadPlaylist("[playlist]\nFile1=http://r/\n", "/tmp/r.pls", false);
    EXPECT_EQ(PlanImport(pls, table, kSources, kCountries, kGenres).source, 2);
}

TEST(ExportM3U, WritesUtf8ExtendedM3UThatImportsBackUnchanged) {
    ChannelTable table;
    const auto add = [&](std::string name, std::string url, int32_t country, int32_t genre) {
        TChannelRec r;
        r.Format = 1;
        r.Name = std::move(name);
        r.Url = std::move(url);
        r.Country = country;
        r.Genre = genre;
        r.IsLocal = true;
        table.AppendChannel(r);
    };
    add("\xcf\xe5\xf0\xe2\xfb\xe9, \"HD\"", "http://one/|User-Agent=Mozilla/5.0 (X)&Referer=http://r/?a=1&b=2", 6, 4);
    add("Hidden by the filter", "http://hidden/", 0, 0);
    add("Int", "rtmp://two/app", 1, 2);
    add("Plain", "/media/music/clip.mp3", 0, 0);
    add("Long", "http://long/" + std::string(3000, 'a'), 2, 1);
    add("Broken\r\nline", "http://x/a\nb", 0, 0);
    const std::vector<int32_t> shown = {1, 3, 4, 5, 6};

    TempDir dir;
    const auto file = dir / "out.m3u";
    ASSERT_EQ(ExportM3U(table, shown, kCountries, kGenres, file), "");
    const std::string bytes = ReadFile(file);
    EXPECT_TRUE(bytes.starts_with("#EXTM3U\n#EXTINF:-1 tvg-country=\"RU\" group-title=\"Новости\",Первый, \"HD\"\n"
                                  "http://one/|User-Agent=Mozilla/5.0 (X)&Referer=http://r/?a=1&b=2\n"
                                  "#EXTINF:-1 tvg-country=\"INT\" group-title=\"News\",Int\nrtmp://two/app\n"
                                  "#EXTINF:-1,Plain\n/media/music/clip.mp3\n"))
        << bytes.substr(0, 400);
    EXPECT_FALSE(std::filesystem::exists(dir / "out.m3u.part"));

    // A line break inside a record's text cannot start a line of its own.
    EXPECT_TRUE(bytes.ends_with("#EXTINF:-1,Broken  line\nhttp://x/a%0Ab\n")) << bytes.substr(bytes.size() - 60);
    const Playlist back = ReadPlaylist(bytes, file.string(), false);
    ASSERT_TRUE(back.ok);
    const ImportPlan plan = PlanImport(back, ChannelTable(), kSources, kCountries, kGenres);
    ASSERT_EQ(plan.records.size(), shown.size());
    EXPECT_EQ(plan.records.back().Url, "http://x/a%0Ab");
    for (size_t i = 0; i + 1 < shown.size(); ++i) {
        const TChannelRec& a = table.Channels[shown[i]];
        const TChannelRec& b = plan.records[i];
        EXPECT_EQ(std::tie(a.Name, a.Url, a.Genre, a.Country), std::tie(b.Name, b.Url, b.Genre, b.Country)) << i;
    }
    // A directory that cannot be written is an error text, and no file appears.
    EXPECT_NE(ExportM3U(table, shown, kCountries, kGenres, dir / "missing" / "x.m3u"), "");
    // A link planted under the buffer's name is replaced, not written through.
    WriteFile(dir / "victim", "keep");
    std::filesystem::create_symlink(dir / "victim", dir / "out.m3u.part");
    ASSERT_EQ(ExportM3U(table, shown, kCountries, kGenres, file), "");
    EXPECT_EQ(ReadFile(dir / "victim"), "keep");
    EXPECT_EQ(ReadFile(file), bytes);
}

TEST(ExportM3U, ImportsBackToTheSameChannelsFromAnywhere) {
    TempDir lists;
    TempDir elsewhere;
    ChannelTable table;
    const auto add = [&](std::string name, std::string url, int32_t country, int32_t genre, std::string comments) {
        TChannelRec r;
        r.Format = 1;
        r.Name = std::move(name);
        r.Url = std::move(url);
        r.Country = country;
        r.Genre = genre;
        r.Comments = std::move(comments);
        r.IsLocal = true;
        table.AppendChannel(r);
    };
    add("Tone", "tone.wav", 0, 0, "Group: Offline");
    add("Clip", "media/../media/clip.mp3|User-Agent=Mozilla/5.0 (X11; Linux x86_64)", 2, 3, "");
    add("Web", "http://w/live.m3u8|User-Agent=Kodi 1.0&Referer=http://r/?a=1&b=2", 6, 2, "Group: Kids; Family");
    add("Two groups", "http://two/", 0, 0, "Group: Kids; Family");
    add("Odd group", "rtmp://odd/app", 1, 0, "Group: A;B, \"C\"");
    add("Absolute", "/srv/radio/a b.mp3", 0, 4, "");
    std::vector<int32_t> all;
    for (int32_t i = 1; i <= table.ChannelCount; ++i) all.push_back(i);

    const auto file = elsewhere / "export.m3u";
    ASSERT_EQ(ExportM3U(table, all, kCountries, kGenres, file, lists.path()), "");
    const std::string bytes = ReadFile(file);
    const std::string dir = lists.path().string();
    EXPECT_NE(bytes.find("#EXTINF:-1 group-title=\"Offline\",Tone\n" + dir + "/tone.wav\n"), std::string::npos)
        << bytes;
    EXPECT_NE(bytes.find("group-title=\"News\",Web\n#EXTGRP:Kids\n#EXTGRP:Family\nhttp://w/"), std::string::npos);
    EXPECT_NE(bytes.find("#EXTINF:-1 tvg-country=\"INT\",Odd group\n#EXTGRP:A;B, \"C\"\n"), std::string::npos);

    // Into a fresh catalogue: every channel again, files at the same place.
    const Playlist back = ReadPlaylist(bytes, file.string(), false);
    ASSERT_TRUE(back.ok) << back.error;
    EXPECT_EQ(back.unusable, 0);
    const ImportPlan fresh = PlanImport(back, ChannelTable(), kSources, kCountries, kGenres, elsewhere.path());
    ASSERT_EQ(fresh.records.size(), all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        SCOPED_TRACE(i);
        const TChannelRec& a = table.Channels[all[i]];
        const TChannelRec& b = fresh.records[i];
        EXPECT_EQ(b.Url, AbsoluteAddress(a.Url, lists.path()));
        EXPECT_EQ(std::tie(a.Name, a.Genre, a.Country, a.Comments), std::tie(b.Name, b.Genre, b.Country, b.Comments));
    }
    EXPECT_EQ(fresh.records[0].Url, dir + "/tone.wav");
    EXPECT_EQ(fresh.records[1].Url, dir + "/media/clip.mp3|User-Agent=Mozilla/5.0 (X11; Linux x86_64)");

    // Into the catalogue it came from: nothing new, relative addresses included.
    const ImportPlan same = PlanImport(back, table, kSources, kCountries, kGenres, lists.path());
    EXPECT_TRUE(same.records.empty());
    EXPECT_EQ(same.duplicates, static_cast<int32_t>(all.size()));
}
