#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "catalogue/ListFiles.h"
#include "support/TempDir.h"

using namespace castora;

namespace {

// Builds list file bytes the way the format describes them, independent of the program's writer.
std::string Block(int f, int s, int c, int g, const std::string& name, const std::string& url, const std::string& br,
                  const std::string& com) {
    std::string out;
    for (int v : {f, s, c, g}) out += std::to_string(v) + "\r\n";
    out += name + "\r\n" + ScrambleUrl(url, UrlKey, false) + "\r\n" + br + "\r\n" + com + "\r\n";
    return out;
}

std::string TwoChannels() {
    return "01.02.2026\r\n" + Block(1, 2, 3, 4, "One", "http://one/", "128", "first") +
           Block(2, 1, 1, 0, "Two", "mms://two", "", "");
}

}  // namespace

TEST(ScrambleUrl, RoundTripsAndUsesKeyFromSecondCharacter) {
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    EXPECT_EQ(ScrambleUrl(ScrambleUrl(all, UrlKey, false), UrlKey, true), all);
    EXPECT_EQ(ScrambleUrl("abc", "", false), "abc");
    // Text positions 0..n-1 use key characters 1..n-1 and then 0: every key character once.
    const std::string zeros(UrlKey.size(), '\0');
    std::string expected(UrlKey.substr(1));
    expected.push_back(UrlKey[0]);
    EXPECT_EQ(ScrambleUrl(zeros, UrlKey, false), expected);
    EXPECT_EQ(ScrambleUrl(std::string(1, '\xff'), "ab", false), std::string(1, static_cast<char>('b' - 1)));
}

TEST(ParseInt32, AcceptsSignedDecimalAndHexWithin32Bits) {
    EXPECT_EQ(ParseInt32("42"), 42);
    EXPECT_EQ(ParseInt32("-7"), -7);
    EXPECT_EQ(ParseInt32("  +3"), 3);
    EXPECT_EQ(ParseInt32("$1F"), 31);
    EXPECT_EQ(ParseInt32("-2147483648"), INT32_MIN);
    EXPECT_FALSE(ParseInt32(""));
    EXPECT_FALSE(ParseInt32("12 "));
    EXPECT_FALSE(ParseInt32("x1"));
    EXPECT_FALSE(ParseInt32("2147483648"));
    EXPECT_FALSE(ParseInt32("-"));
}

TEST(ParseChannelList, ReadsRecordsFieldsAndDate) {
    ChannelTable t;
    const LoadResult r = ParseChannelList(t, 0, TwoChannels());
    EXPECT_FALSE(r.error);
    ASSERT_EQ(t.ChannelCount, 2);
    EXPECT_EQ(t.ListDate, "01.02.2026");
    EXPECT_EQ(r.listDate, "01.02.2026");
    const TChannelRec& one = t.Channels[1];
    EXPECT_EQ(one.Format, 1);
    EXPECT_EQ(one.Source, 2);
    EXPECT_EQ(one.Country, 3);
    EXPECT_EQ(one.Genre, 4);
    EXPECT_EQ(one.Name, "One");
    EXPECT_EQ(one.Url, "http://one/");
    EXPECT_EQ(one.Bitrate, "128");
    EXPECT_EQ(one.Comments, "first");
    EXPECT_FALSE(one.IsLocal);
    EXPECT_EQ(t.Channels[2].Url, "mms://two");

    // The local list appends and marks its records.
    ParseChannelList(t, 1, "d\r\n" + Block(0, 0, 0, 0, "L", "http://l", "", ""));
    ASSERT_EQ(t.ChannelCount, 3);
    EXPECT_TRUE(t.Channels[3].IsLocal);
    EXPECT_EQ(t.ListDate, "d");
    // Reading the global list again starts from an empty table.
    ParseChannelList(t, 0, "only a date\r\n");
    EXPECT_EQ(t.ChannelCount, 0);
    EXPECT_EQ(t.ListDate, "only a date");
    EXPECT_EQ(t.RowMap.size(), 2u);
}

TEST(ParseChannelList, LineEndsAndTruncation) {
    ChannelTable t;
    std::string data = TwoChannels();
    data.resize(data.size() - 2);  // last line without CR LF: one block fewer
    ParseChannelList(t, 0, data);
    EXPECT_EQ(t.ChannelCount, 1);

    std::string lf = TwoChannels();
    std::erase(lf, '\r');
    ParseChannelList(t, 0, lf);
    EXPECT_EQ(t.ChannelCount, 0);

    // Bare CRs: the byte after each CR is skipped, so every line after the first loses its first character.
    std::string cr =
        "date\r" + std::string("11\r22\r33\r44\rXname\rX") + ScrambleUrl("http://u", UrlKey, false) + "\rXbr\rXco\r";
    ParseChannelList(t, 0, cr);
    ASSERT_EQ(t.ChannelCount, 1);
    EXPECT_EQ(t.ListDate, "date");
    EXPECT_EQ(t.Channels[1].Format, 1);
    EXPECT_EQ(t.Channels[1].Name, "name");
    EXPECT_EQ(t.Channels[1].Url, "http://u");

    for (const char* odd : {"", "no line end at all", "\r", "\r\r\r\r\r\r\r\r\r", "d\r\n1\r\n2"}) {
        ChannelTable u;
        ParseChannelList(u, 0, odd);
        EXPECT_EQ(u.Channels.size(), static_cast<size_t>(u.ChannelCount) + 1) << odd;
    }
    ChannelTable crs;
    ParseChannelList(crs, 0, std::string(17, '\r'));  // two blocks of empty lines; reading stops at the end
    EXPECT_EQ(crs.ChannelCount, 2);
}

TEST(ParseChannelList, BadNumberKeepsLoadingAndReportsOnce) {
    ChannelTable t;
    std::string data = "d\r\n" + Block(1, 1, 1, 1, "A", "a", "", "");
    data += "x\r\n2\r\n2\r\n2\r\nB\r\n" + ScrambleUrl("b", UrlKey, false) + "\r\n\r\n\r\n";
    data += Block(3, 3, 3, 7, "C", "c", "", "") + "1\r\n1\r\nzz\r\n1\r\nD\r\nd\r\n\r\n\r\n";
    const LoadResult r = ParseChannelList(t, 0, data);
    ASSERT_EQ(t.ChannelCount, 4);
    ASSERT_TRUE(r.error);
    EXPECT_EQ(*r.error, "global.dat, record 2: 'x' is not a valid integer value");
    EXPECT_EQ(t.Channels[2].Name, "B");
    EXPECT_EQ(t.Channels[2].Format, 0);
    EXPECT_EQ(t.Channels[2].Source, 2);
    EXPECT_EQ(t.Channels[3].Genre, 7);
    EXPECT_EQ(t.Channels[4].Country, 0);
}

TEST(ParseChannelList, NumberErrorNamesTheFileAndRecordAndQuotesTheStartOfTheLine) {
    // A record that lacks its bitrate line: every later record is read one line out of step.
    std::string missingLine = "d\r\n" + Block(1, 1, 1, 1, "Radio 1", "http://1", "64", "first");
    missingLine.erase(missingLine.find("64\r\n"), 4);
    missingLine += Block(1, 1, 1, 1, "Radio 2", "http://2", "", "") + Block(1, 1, 1, 1, "Radio 3", "http://3", "", "");
    const std::string huge(8 << 20, '7');
    const std::string longLine = "d\r\n" + Block(1, 1, 1, 1, "A", "a", "", "") + "x" + huge +
                                 "\r\n1\r\n1\r\n1\r\nB\r\n" + ScrambleUrl("b", UrlKey, false) + "\r\n\r\n\r\n";
    std::string manyRecords = "d\r\n";
    for (int i = 0; i < 3000; ++i) manyRecords += Block(1, 1, 1, 1, "N", "u", "", "");
    manyRecords.replace(manyRecords.rfind("\r\n1\r\n1\r\n1\r\n1\r\n") + 2, 1, "q");
    const struct Case {
        const char* what;
        int list;
        std::string data;
        LoadOptions options;
        std::string error;
    } cases[] = {
        {"missing line", 1, missingLine, {1, 0}, "local.dat, record 2: 'Radio 2' is not a valid integer value"},
        {"8 MB line",
         0,
         longLine,
         {1, 0},
         "global.dat, record 2: 'x" + huge.substr(0, 39) + "\x85' is not a valid integer value"},
        {"error in the half a second thread reads",
         0,
         manyRecords,
         {2, 1024},
         "global.dat, record 3000: 'q' is not a valid integer value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ChannelTable t;
        const LoadResult r = ParseChannelList(t, c.list, c.data, nullptr, c.options);
        ASSERT_TRUE(r.error);
        EXPECT_EQ(*r.error, c.error);
    }
}

TEST(ListFiles, DamagedLocalListIsKeptUnderANameNoLaterBackupTakes) {
    namespace fs = std::filesystem;
    test::TempDir dir;
    const std::string first = "first\r\n" + Block(1, 1, 1, 1, "Old", "http://old", "", "");
    test::WriteFile(dir / "local.dat", first);
    EXPECT_EQ(DamagedListBackupName(dir.path()), "local.dat.bak");
    ASSERT_EQ(KeepLocalList(dir.path(), "local.dat.bak"), 0);
    // The list is replaced by a save; the kept name still holds the old bytes.
    ChannelTable t;
    TChannelRec rec;
    rec.IsLocal = true;
    t.AppendChannel(rec);
    ASSERT_TRUE(SaveLocalList(t, dir.path(), "new").ok);
    EXPECT_EQ(test::ReadFile(dir / "local.dat.bak"), first);

    // A second damaged list takes a dated name; the first backup stays as it was.
    const std::string second = test::ReadFile(dir / "local.dat");
    const std::string name = DamagedListBackupName(dir.path());
    EXPECT_TRUE(name.starts_with("local.dat.20") && name.ends_with(".bak")) << name;
    ASSERT_EQ(KeepLocalList(dir.path(), name), 0);
    EXPECT_EQ(test::ReadFile(dir / name), second);
    EXPECT_EQ(test::ReadFile(dir / "local.dat.bak"), first);
    EXPECT_NE(KeepLocalList(dir.path(), name), 0) << "a taken name is never replaced";
    EXPECT_EQ(test::ReadFile(dir / name), second);

    // A link is kept as the link, even one that leads nowhere; nothing there is nothing to keep.
    fs::remove(dir / "local.dat");
    fs::create_symlink(dir / "gone.dat", dir / "local.dat");
    ASSERT_EQ(KeepLocalList(dir.path(), "link.bak"), 0);
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir / "link.bak")));
    EXPECT_EQ(fs::read_symlink(dir / "link.bak"), dir / "gone.dat");
    fs::remove(dir / "local.dat");
    EXPECT_EQ(KeepLocalList(dir.path(), "none.bak"), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "none.bak")));
}

TEST(ListFiles, MissingFilesContributeNothing) {
    test::TempDir dir;
    ChannelTable t;
    t.AppendChannel({});
    const LoadResult r0 = LoadChannelList(t, 0, dir.path());
    EXPECT_FALSE(r0.found);
    EXPECT_EQ(t.ChannelCount, 0);
    test::WriteFile(dir / "global.dat", TwoChannels());
    LoadChannelList(t, 0, dir.path());
    LoadChannelList(t, 1, dir.path());
    EXPECT_EQ(t.ChannelCount, 2);
}

TEST(ListFiles, ListsThatCannotBeReadAreReportedAndTheOtherIsKept) {
    namespace fs = std::filesystem;
    const struct {
        const char* what;
        int list;
        void (*plant)(const fs::path&);
        const char* error;
    } cases[] = {
        {"directory", 0, [](const fs::path& p) { fs::create_directory(p); }, "Can't read global.dat: Is a directory"},
        {"pipe", 0, [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); },
         "Can't read global.dat: not a regular file"},
        // Opens like any file, but no read of it succeeds.
        {"failing reads", 0, [](const fs::path& p) { fs::create_symlink("/proc/self/mem", p); },
         "Can't read global.dat: Input/output error"},
        {"directory", 1, [](const fs::path& p) { fs::create_directory(p); }, "Can't read local.dat: Is a directory"},
        {"link to nothing", 1, [](const fs::path& p) { fs::create_symlink(p.string() + "-gone", p); },
         "Can't read local.dat: it is a link to a file that does not exist"},
        // Sparse: no disk is used, and no memory either, since the size is refused before any read.
        {"100 GB", 1,
         [](const fs::path& p) {
             test::WriteFile(p, "");
             fs::resize_file(p, uint64_t(100) << 30);
         },
         "Can't read local.dat: the file is larger than 2 GiB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.what) + " at list " + std::to_string(c.list));
        test::TempDir dir;
        test::WriteFile(dir / ListFiles[1 - c.list], TwoChannels());
        c.plant(dir / ListFiles[c.list]);
        ChannelTable t;
        const LoadResult r0 = LoadChannelList(t, 0, dir.path());
        const LoadResult r1 = LoadChannelList(t, 1, dir.path());
        const LoadResult& bad = c.list == 0 ? r0 : r1;
        ASSERT_TRUE(bad.error);
        EXPECT_EQ(*bad.error, c.error);
        EXPECT_FALSE((c.list == 0 ? r1 : r0).error);
        ASSERT_EQ(t.ChannelCount, 2);
        EXPECT_EQ(t.Channels[2].Name, "Two");
        EXPECT_EQ(t.Channels[2].IsLocal, c.list == 0);
    }
}

TEST(ListFiles, SaveWritesLocalRecordsAndReadsBackEveryUrlByte) {
    test::TempDir dir;
    ChannelTable t;
    TChannelRec global;
    global.Name = "global";
    global.Url = "http://g";
    t.AppendChannel(global);
    // One URL per starting position so every byte value meets every key position.
    std::vector<std::string> urls;
    for (int shift = 0; shift < 16; ++shift) {
        std::string url(shift, 'a');
        for (int b = 0; b < 256; ++b) url.push_back(static_cast<char>(b));
        urls.push_back(url);
        TChannelRec rec;
        rec.Format = shift;
        rec.Source = -shift;
        rec.Name = "\xcf\xf0\xe8\xe2\xe5\xf2 " + std::to_string(shift);  // Cyrillic in Windows-1251
        rec.Url = url;
        rec.Bitrate = "br\rwith\nbreaks";
        rec.Comments = "c";
        rec.IsLocal = true;
        t.AppendChannel(rec);
    }
    const SaveResult saved = SaveLocalList(t, dir.path(), "07.12.2026");
    ASSERT_TRUE(saved.ok);
    EXPECT_EQ(saved.written, 16);
    EXPECT_FALSE(std::filesystem::exists(dir / "local_tmp.dat"));
    const std::string bytes = test::ReadFile(dir / "local.dat");
    EXPECT_EQ(bytes.rfind("07.12.2026\r\n", 0), 0u);

    // Every CR in the file ends a line and is followed by LF; no bare LF stands inside a line.
    size_t crs = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r') {
            ++crs;
            ASSERT_LT(i + 1, bytes.size());
            EXPECT_EQ(bytes[i + 1], '\n');
        } else if (bytes[i] == '\n') {
            EXPECT_EQ(bytes[i - 1], '\r') << "bare LF at " << i;
        }
    }
    EXPECT_EQ(crs, 1u + 8u * 16u);

    ChannelTable back;
    LoadChannelList(back, 1, dir.path());
    ASSERT_EQ(back.ChannelCount, 16);
    int escaped = 0;
    for (int i = 1; i <= 16; ++i) {
        const TChannelRec& rec = back.Channels[i];
        EXPECT_TRUE(rec.IsLocal);
        EXPECT_EQ(rec.Format, i - 1);
        EXPECT_EQ(rec.Source, -(i - 1));
        EXPECT_EQ(rec.Name, t.Channels[i + 1].Name);
        EXPECT_EQ(rec.Bitrate, "br with breaks");
        EXPECT_EQ(rec.Comments, "c");
        // Bytes that would have scrambled to CR or LF at their place come back as "%XX": the same address.
        std::string expected;
        for (char c : urls[i - 1]) {
            const auto byte = static_cast<unsigned char>(c);
            const auto scrambled =
                static_cast<unsigned char>(byte + static_cast<unsigned char>(UrlKey[(expected.size() + 1) % 16]));
            if (scrambled == '\r' || scrambled == '\n') {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%%%02X", byte);
                expected += hex;
                ++escaped;
            } else {
                expected.push_back(c);
            }
        }
        EXPECT_EQ(rec.Url, expected) << "url " << i;
    }
    EXPECT_GT(escaped, 16);  // the case was really exercised
}

TEST(ListFiles, EncodeUrlLineEscapesOnlyWhatWouldBreakTheLine) {
    const std::string plain = "http://radio.example/stream?x=1&y=%41";
    EXPECT_EQ(EncodeUrlLine(plain), ScrambleUrl(plain, UrlKey, false));
    for (size_t pos = 0; pos < 32; ++pos)
        for (int b = 128; b < 256; ++b) {
            const std::string url = std::string(pos, 'h') + static_cast<char>(b) + "tail";
            const std::string line = EncodeUrlLine(url);
            ASSERT_EQ(line.find_first_of("\r\n"), std::string::npos) << pos << " " << b;
            const std::string clear = ScrambleUrl(line, UrlKey, true);
            if (clear.size() != url.size()) {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%%%02X", b);
                EXPECT_EQ(clear, std::string(pos, 'h') + hex + "tail");
            } else {
                EXPECT_EQ(clear, url);
            }
        }
}

TEST(ListFiles, SaveWithNoLocalRecordWritesAnEmptyList) {
    test::TempDir dir;
    test::WriteFile(dir / "local.dat", "old\r\n" + Block(1, 1, 1, 1, "Old", "http://old", "", ""));
    ChannelTable t;
    TChannelRec global;
    global.Url = "http://g";
    t.AppendChannel(global);
    const SaveResult r = SaveLocalList(t, dir.path(), "today");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.written, 0);
    EXPECT_EQ(test::ReadFile(dir / "local.dat"), "today\r\n");
}

TEST(ListFiles, FailedSaveLeavesTheOldListAndNoTemporaryFile) {
    test::TempDir dir;
    const std::string old = "old\r\n" + Block(1, 1, 1, 1, "Old", "http://old", "", "");
    test::WriteFile(dir / "local.dat", old);
    // A directory where the temporary file should go makes the write fail.
    std::filesystem::create_directory(dir / "local_tmp.dat");
    ChannelTable t;
    TChannelRec rec;
    rec.IsLocal = true;
    t.AppendChannel(rec);
    EXPECT_FALSE(SaveLocalList(t, dir.path(), "d").ok);
    EXPECT_EQ(test::ReadFile(dir / "local.dat"), old);
}

TEST(ListFiles, SaveNeverWritesThroughWhatStandsAtTheBufferOrTheList) {
    namespace fs = std::filesystem;
    const struct {
        const char* what;
        void (*plant)(const fs::path& dir, const fs::path& outside);
    } cases[] = {
        {"link as buffer", [](const fs::path& d, const fs::path& o) { fs::create_symlink(o, d / "local_tmp.dat"); }},
        {"dangling link as buffer",
         [](const fs::path& d, const fs::path& o) { fs::create_symlink(o.string() + "-new", d / "local_tmp.dat"); }},
        {"hard link as buffer",
         [](const fs::path& d, const fs::path& o) { fs::create_hard_link(o, d / "local_tmp.dat"); }},
        {"link as list", [](const fs::path& d, const fs::path& o) { fs::create_symlink(o, d / "local.dat"); }},
    };
    ChannelTable t;
    TChannelRec rec;
    rec.Name = "Mine";
    rec.IsLocal = true;
    t.AppendChannel(rec);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir dir;
        const fs::path outside = dir.path().string() + "-outside";
        test::WriteFile(outside, "outside");
        c.plant(dir.path(), outside);
        EXPECT_TRUE(SaveLocalList(t, dir.path(), "d").ok);
        EXPECT_EQ(test::ReadFile(outside), "outside");
        EXPECT_FALSE(fs::exists(fs::symlink_status(outside.string() + "-new")));
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / "local.dat")));
        EXPECT_EQ(test::ReadFile(dir / "local.dat"), FormatLocalList(t, "d"));
        EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "local_tmp.dat")));
        fs::remove(outside);
    }
}

TEST(ListFiles, FormatKeepsUrlClearInMemory) {
    ChannelTable t;
    TChannelRec rec;
    rec.Url = "http://x";
    rec.IsLocal = true;
    t.AppendChannel(rec);
    const std::string text = FormatLocalList(t, "d");
    EXPECT_EQ(t.Channels[1].Url, "http://x");
    EXPECT_NE(text.find(ScrambleUrl("http://x", UrlKey, false)), std::string::npos);
    EXPECT_EQ(text, "d\r\n0\r\n0\r\n0\r\n0\r\n\r\n" + ScrambleUrl("http://x", UrlKey, false) + "\r\n\r\n\r\n");
}
