#include "server/Extract.h"
#include "support/Patience.h"
#include "support/ZipBuilder.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <sys/stat.h>
#include <sys/time.h>

#include <atomic>
#include <set>
#include <thread>

namespace fs = std::filesystem;
using namespace castora;
using namespace castora::test;

namespace {

struct FileStamp {
    std::string bytes;
    struct timespec mtime;
};

FileStamp Stamp(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return {ReadFileBytes(path), st.st_mtim};
}

class ExtractTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/castora-extract-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path Path(const std::string& name) const { return dir_ / name; }
    std::string Content(const std::string& name) const { return ReadFileBytes(Path(name)); }
    void Put(const std::string& name, const std::string& bytes) const { WriteFileBytes(Path(name), bytes); }

    // The archive gets an old mtime so that any rewrite would show.
    void PutArchive(const std::string& bytes) const {
        Put("updates.zip", bytes);
        const struct timeval times[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(::utimes(Path("updates.zip").c_str(), times), 0);
    }
    void PutRaw(const std::vector<RawEntry>& entries, const RawOptions& options = {}) const {
        PutArchive(BuildRawZip(entries, options));
    }

    // Runs the extractor; whatever the outcome, the archive must be untouched and no temporary file left.
    void Run(const ExtractOptions& opts = {}) const { Run(dir_, opts); }
    void Run(const fs::path& target, const ExtractOptions& opts) const {
        const bool hadArchive = fs::is_regular_file(Path("updates.zip"));
        FileStamp before = hadArchive ? Stamp(Path("updates.zip")) : FileStamp{};
        auto check = [&] {
            if (hadArchive) {
                FileStamp after = Stamp(Path("updates.zip"));
                EXPECT_EQ(after.bytes, before.bytes);
                EXPECT_EQ(after.mtime.tv_sec, before.mtime.tv_sec);
                EXPECT_EQ(after.mtime.tv_nsec, before.mtime.tv_nsec);
            }
            for (const auto& name : Files())
                EXPECT_EQ(name.find(".update:"), std::string::npos) << "temporary file left: " << name;
        };
        try {
            ExtractUpdate(dir_, dir_, opts);
        } catch (...) {
            check();
            throw;
        }
        check();
    }

    // Everything in the program directory besides the archive.
    std::set<std::string> Files() const {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_))
            if (e.path().filename() != "updates.zip") names.insert(e.path().filename().string());
        return names;
    }

    fs::path dir_;
};

using Names = std::set<std::string>;

TEST_F(ExtractTest, WithoutArchiveNothingHappens) {
    Put("global.dat", "old");
    int gaugeCalls = 0;
    ExtractOptions opts;
    opts.setGaugeMaximum = [&](int) { ++gaugeCalls; };

    Run(opts);
    fs::create_directory(Path("updates.zip"));  // a directory of that name is no archive
    Run(opts);

    EXPECT_EQ(gaugeCalls, 0);
    EXPECT_EQ(Content("global.dat"), "old");
    EXPECT_EQ(Files(), (Names{
                           "global.dat",
                       }));
}

TEST_F(ExtractTest, ArchiveFailuresThrowBeforeAnyEntryIsWritten) {
    const std::string good =
        BuildRawZip({{.name = "global.dat", .data = "new global"}, {.name = "genre.dat", .data = "new genre"}});
    const size_t central = good.find("PK\x01\x02");
    const size_t end = good.find("PK\x05\x06");
    ASSERT_NE(central, std::string::npos);
    ASSERT_NE(end, std::string::npos);

    std::string badCentralSignature = good;
    badCentralSignature[central + 3] = 0x03;
    std::string badSecondRecord = good;
    badSecondRecord[good.find("PK\x01\x02", central + 4) + 2] = 'X';
    std::string wrongOffset = good;
    wrongOffset[end + 16] += 1;
    std::string wrongSize = good;
    wrongSize[end + 12] += 1;
    std::string moreEntries = good;
    moreEntries[end + 8] = moreEntries[end + 10] = 3;
    std::string fewerEntries = good;
    fewerEntries[end + 8] = fewerEntries[end + 10] = 1;

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"empty file", ""},
        {"HTML page", "<html><head><title>404 Not Found</title></head><body>Not Found</body></html>\r\n"},
        {"cut inside central directory", good.substr(0, central + 30)},
        {"cut inside end record", good.substr(0, end + 10)},
        {"bad central signature", badCentralSignature},
        {"bad second central signature", badSecondRecord},
        {"wrong directory offset", wrongOffset},
        {"wrong directory size", wrongSize},
        {"end record counts more entries", moreEntries},
        {"end record counts fewer entries", fewerEntries},
    };
    for (const auto& [what, bytes] : cases) {
        SCOPED_TRACE(what);
        Put("global.dat", "old global");
        PutArchive(bytes);
        std::vector<int> gauge;
        ExtractOptions opts;
        opts.setGaugeMaximum = [&](int max) { gauge.push_back(max); };
        EXPECT_THROW(Run(opts), EExtractError);
        EXPECT_EQ(gauge, std::vector<int>{0});
        EXPECT_EQ(Content("global.dat"), "old global");
        EXPECT_EQ(Files(), (Names{"global.dat"}));
    }

    // A failed run leaves nothing behind that would disturb the next one.
    PutArchive(good);
    Run();
    EXPECT_EQ(Content("global.dat"), "new global");
    EXPECT_EQ(Content("genre.dat"), "new genre");
}

TEST_F(ExtractTest, EmptyArchiveCommentsAndTrailingBytesAreFine) {
    PutRaw({});
    EXPECT_NO_THROW(Run());
    EXPECT_TRUE(Files().empty());

    // A comment that itself looks like an end record must not be taken for one.
    std::string fakeEnd = BuildRawZip({}).substr(0, 20) + "xx";
    PutRaw({{.name = "global.dat", .data = "g"}}, {.comment = "PK\x05\x06 list of " + fakeEnd, .trailing = "junk"});
    Run();
    EXPECT_EQ(Content("global.dat"), "g");
}

TEST_F(ExtractTest, EntriesLandUnderTheirLastNameComponent) {
    for (const std::string name : {"lists/global.dat", "../global.dat", "C:\\temp\\global.dat", "x:global.dat",
                                   "/abs/global.dat", "a/b\\c:global.dat"}) {
        SCOPED_TRACE(name);
        fs::remove(Path("global.dat"));
        PutRaw({{.name = name, .data = name}});
        Run();
        EXPECT_EQ(Content("global.dat"), name);
        EXPECT_EQ(Files(), (Names{"global.dat"}));
    }
    EXPECT_FALSE(fs::exists(dir_.parent_path() / "global.dat"));
}

TEST_F(ExtractTest, LaterEntryWinsAndCaseIsKept) {
    PutRaw({{.name = "a/x.dat", .data = "from a"},
            {.name = "b/x.dat", .data = "from b"},
            {.name = "GLOBAL.DAT", .data = "upper", .method = 0}});
    Run();
    EXPECT_EQ(Files(), (Names{"x.dat", "GLOBAL.DAT"}));
    EXPECT_EQ(Content("x.dat"), "from b");
    EXPECT_EQ(Content("GLOBAL.DAT"), "upper");
}

TEST_F(ExtractTest, OnlyListAndTextFilesAreWritten) {
    const Names written = {"global.dat", "source.dat", "country.dat", "genre.dat",
                           "notes.txt",  "Genre.DAT",  "READ ME.Txt"};
    const Names skipped = {"qt.conf", "libcastora.so",  "libz.so.1", "castora.desktop", ".hidden.dat", ".dat", ".txt",
                           "README",  "global.dat.bak", "run.sh",    "tab\t.dat",       "global.dat~"};
    std::vector<RawEntry> entries;
    for (const auto* names : {&written, &skipped})
        for (const auto& name : *names) entries.push_back({.name = "lists/" + name, .data = name});
    PutRaw(entries);
    Run();
    EXPECT_EQ(Files(), written);
    for (const auto& name : written) EXPECT_EQ(Content(name), name);
}

TEST_F(ExtractTest, LeftoversOfAKilledRunAreRemoved) {
    const fs::path outside = dir_.string() + "-outside";
    WriteFileBytes(outside, "outside");
    Put(".update:0123456789abcdef.tmp", std::string(100000, 'x'));
    Put(".update:FEDCBA9876543210.tmp", "");
    fs::create_symlink(outside, Path(".update:00000000ffffffff.tmp"));
    Put("notes.tmp", "the user's");
    PutRaw({{.name = "global.dat", .data = "g"}});
    Run();
    EXPECT_EQ(ReadFileBytes(outside), "outside");
    fs::remove(outside);
    EXPECT_EQ(Files(), (Names{"notes.tmp", "global.dat"}));
}

TEST_F(ExtractTest, CancelEndsTheRunAndLeavesNoPartialEntry) {
    Put("global.dat", "old global");
    // Zeros deflate a thousandfold: a small archive whose entry takes many blocks to write.
    const std::string big(64u << 20, '\0');
    WriteLibzipArchive(Path("updates.zip"), {{.name = "global.dat", .data = big}, {.name = "genre.dat", .data = "g"}});

    std::atomic<bool> cancel{true};
    ExtractOptions opts;
    opts.cancel = &cancel;
    Run(opts);
    EXPECT_EQ(Files(), (Names{"global.dat"}));

    // Cancelled while the big entry is being written: its temporary file grows by a block at most, then goes.
    cancel = false;
    fs::path temp;
    off_t grown = -1;
    std::thread watcher([&] {
        const auto until = std::chrono::steady_clock::now() + kPatience;
        while (temp.empty() && std::chrono::steady_clock::now() < until) {
            std::error_code ec;
            for (fs::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec))
                if (it->path().filename().string().starts_with(".update:")) temp = it->path();
        }
        struct stat st {};
        const off_t atCancel = ::stat(temp.c_str(), &st) == 0 ? st.st_size : 0;
        cancel = true;
        off_t most = atCancel;
        while (!temp.empty() && ::stat(temp.c_str(), &st) == 0) most = std::max(most, st.st_size);
        grown = most - atCancel;
    });
    Run(opts);
    watcher.join();
    ASSERT_FALSE(temp.empty());
    EXPECT_LE(grown, off_t(256 * 1024));
    EXPECT_EQ(Files(), (Names{"global.dat"}));
    EXPECT_EQ(Content("global.dat"), "old global");
}

TEST_F(ExtractTest, DirectoriesAndEmptyOrDotNamesCreateNothing) {
    PutRaw({{.name = "data/", .data = ""},
            {.name = "win\\", .data = ""},
            {.name = "flagged", .data = "", .externalAttributes = 0x10},
            {.name = "unixdir", .data = "", .versionMadeBy = 0x0314, .externalAttributes = 0040755u << 16},
            {.name = "a:", .data = "no last component"},
            {.name = "/", .data = ""},
            {.name = "", .data = "nameless"},
            {.name = "evil/..", .data = "dotdot"},
            {.name = ".", .data = "dot"},
            {.name = "ok.dat", .data = "ok"}});
    Run();
    EXPECT_EQ(Files(), (Names{"ok.dat"}));
}

TEST_F(ExtractTest, BadEntriesAreSkippedAndTheRunGoesOn) {
    PutRaw({{.name = "v45.dat", .data = "x", .versionNeeded = 45},
            {.name = "unix20.dat", .data = "low byte counts", .versionNeeded = 0x0314},
            {.name = "badsig.dat", .data = "x", .localSignature = 0x04034B51},
            {.name = "localbzip2.dat", .data = "x", .localMethod = 12},
            {.name = "localstored.dat", .data = "deflated, local header says stored", .localMethod = 0},
            {.name = "lzma.dat", .data = "raw bytes", .method = 14},
            {.name = "flagged.dat", .data = "x", .flags = 1},
            {.name = "good.dat", .data = "good"}});
    Run();
    EXPECT_EQ(Files(), (Names{"unix20.dat", "good.dat"}));
    EXPECT_EQ(Content("unix20.dat"), "low byte counts");

    // The same with real bzip2 and real encryption, which libzip itself could decode.
    fs::remove_all(Path("unix20.dat"));
    fs::remove_all(Path("good.dat"));
    const std::string text(5000, 'b');
    WriteLibzipArchive(Path("updates.zip"), {{.name = "bzip2.dat", .data = text, .method = ZIP_CM_BZIP2},
                                             {.name = "aes.dat", .data = text, .encryption = ZIP_EM_AES_256},
                                             {.name = "pkware.dat", .data = text, .encryption = ZIP_EM_TRAD_PKWARE},
                                             {.name = "stored.dat", .data = text, .method = ZIP_CM_STORE},
                                             {.name = "deflated.dat", .data = text}});
    Run();
    EXPECT_EQ(Files(), (Names{"stored.dat", "deflated.dat"}));
    EXPECT_EQ(Content("deflated.dat"), text);
}

TEST_F(ExtractTest, CrcMismatchKeepsTheOldFileAndTheRunGoesOn) {
    Put("global.dat", "old global");
    Put("genre.dat", "old genre");
    PutRaw({{.name = "global.dat", .data = "corrupt deflated", .crc = 0x12345678},
            {.name = "genre.dat", .data = "corrupt stored", .method = 0, .crc = 0x12345678},
            {.name = "country.dat", .data = "fine"}});
    Run();
    EXPECT_EQ(Content("global.dat"), "old global");
    EXPECT_EQ(Content("genre.dat"), "old genre");
    EXPECT_EQ(Content("country.dat"), "fine");
}

TEST_F(ExtractTest, DamagedDataLeavesNothingAtTheTarget) {
    std::string text;
    for (int i = 0; text.size() < 200000; ++i) text += "channel " + std::to_string(i * 7919 % 100003) + "\r\n";
    Put("source.dat", "untouched");
    PutRaw({{.name = "global.dat", .data = text, .keepCompressedBytes = 20000},
            {.name = "genre.dat", .data = text, .keepCompressedBytes = 1},
            {.name = "short.dat", .data = text, .method = 0, .uncompressedSize = 300000},
            {.name = "shortdeflate.dat", .data = text, .uncompressedSize = uint32_t(text.size() + 1)},
            {.name = "country.dat", .data = "after"}});
    Run();
    EXPECT_EQ(Files(), (Names{"source.dat", "country.dat"}));
    EXPECT_EQ(Content("source.dat"), "untouched");
}

TEST_F(ExtractTest, LinksAreNeverCreatedNorFollowed) {
    const fs::path outside = dir_.string() + "-outside";
    WriteFileBytes(outside, "outside");
    fs::create_symlink(outside, Path("global.dat"));

    WriteLibzipArchive(
        Path("updates.zip"),
        {{.name = "link.dat", .data = outside.string(), .host = ZIP_OPSYS_UNIX, .attributes = 0120777u << 16},
         {.name = "global.dat", .data = "new global"}});
    Run();
    EXPECT_EQ(ReadFileBytes(outside), "outside");
    fs::remove(outside);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Path("global.dat"))));
    EXPECT_EQ(Content("global.dat"), "new global");
    EXPECT_FALSE(fs::is_symlink(Path("link.dat")));
    EXPECT_EQ(Files(), (Names{"global.dat"}));
}

TEST_F(ExtractTest, ProgramFileUserListAndArchiveAreNeverReplaced) {
    Put("castora-player", "program");
    Put("local.dat", "mine");
    Put("local_tmp.dat", "buffer");
    PutRaw({{.name = "castora-player", .data = "evil program"},
            {.name = "lists/local.dat", .data = "theirs"},
            {.name = "LOCAL.DAT", .data = "theirs"},
            {.name = "local_tmp.dat", .data = "theirs"},
            {.name = "x/updates.zip", .data = "not a zip"},
            {.name = "global.dat", .data = "new global"}});
    ExtractOptions opts;
    opts.programFileName = "castora-player";
    Run(opts);
    EXPECT_EQ(Files(), (Names{"castora-player", "local.dat", "local_tmp.dat", "global.dat"}));
    EXPECT_EQ(Content("castora-player"), "program");
    EXPECT_EQ(Content("local.dat"), "mine");
    EXPECT_EQ(Content("local_tmp.dat"), "buffer");
    EXPECT_EQ(Content("global.dat"), "new global");
}

TEST_F(ExtractTest, OversizedEntriesAreDroppedWithoutTrace) {
    const std::string zeros(100000, '\0');
    PutRaw({{.name = "bomb.dat", .data = zeros},
            {.name = "liar.dat", .data = zeros, .uncompressedSize = 1000},
            {.name = "small.dat", .data = std::string(4096, 's')}});
    ExtractOptions opts;
    opts.maxEntryBytes = 4096;
    Run(opts);
    EXPECT_EQ(Files(), (Names{"small.dat"}));
}

TEST_F(ExtractTest, ReplacesExistingFileWithTheStoredTime) {
    Put("global.dat", "old");
    const uint16_t date = DosDate(2021, 3, 14), time = DosTime(15, 9, 26);
    PutRaw({{.name = "global.dat", .data = "new", .dosDate = date, .dosTime = time},
            {.name = "genre.dat", .data = "g", .dosDate = DosDate(1999, 12, 31), .dosTime = DosTime(23, 59, 58)}});
    Run();
    EXPECT_EQ(Content("global.dat"), "new");
    struct stat st {};
    ASSERT_EQ(::stat(Path("global.dat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, DosToLocal(date, time));
    ASSERT_EQ(::stat(Path("genre.dat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, DosToLocal(DosDate(1999, 12, 31), DosTime(23, 59, 58)));
}

TEST_F(ExtractTest, StoredAttributesOnlyTakePermissionsAway) {
    const mode_t umask = ::umask(022);
    PutRaw({{.name = "dos.dat", .data = "x", .externalAttributes = 0x20},
            {.name = "dosro.dat", .data = "x", .externalAttributes = 0x21},
            {.name = "exec.dat", .data = "x", .versionMadeBy = 0x0314, .externalAttributes = 0106777u << 16},
            {.name = "private.dat", .data = "x", .versionMadeBy = 0x0314, .externalAttributes = 0100600u << 16},
            {.name = "writeonly.dat", .data = "x", .versionMadeBy = 0x0314, .externalAttributes = 0100200u << 16},
            {.name = "othersro.dat", .data = "x", .versionMadeBy = 0x0314, .externalAttributes = 0100004u << 16},
            {.name = "unixro.dat", .data = "x", .versionMadeBy = 0x0314, .externalAttributes = 0100044u << 16}});
    Run();
    ::umask(umask);
    auto mode = [&](const std::string& name) {
        struct stat st {};
        EXPECT_EQ(::stat(Path(name).c_str(), &st), 0);
        return st.st_mode & 07777;
    };
    EXPECT_EQ(mode("dos.dat"), 0644u);
    EXPECT_EQ(mode("dosro.dat"), 0444u);
    EXPECT_EQ(mode("exec.dat"), 0644u);
    EXPECT_EQ(mode("private.dat"), 0600u);
    // The owner can always read a list and, unless it is marked read-only, replace it.
    EXPECT_EQ(mode("writeonly.dat"), 0600u);
    EXPECT_EQ(mode("othersro.dat"), 0404u);
    EXPECT_EQ(mode("unixro.dat"), 0444u);
}

TEST_F(ExtractTest, TargetsThatCannotBeReplacedStayAndTheRunGoesOn) {
    Put("global.dat", "old global");
    fs::permissions(Path("global.dat"), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::create_directory(Path("country.dat"));
    PutRaw({{.name = "global.dat", .data = "new global"},
            {.name = "country.dat", .data = "c"},
            {.name = "genre.dat", .data = "g"}});
    EXPECT_NO_THROW(Run());
    EXPECT_EQ(Content("global.dat"), "old global");
    EXPECT_TRUE(fs::is_directory(Path("country.dat")));
    EXPECT_EQ(Content("genre.dat"), "g");
}

TEST_F(ExtractTest, Zip64ArchiveIsRead) {
    RawOptions zip64;
    zip64.zip64 = true;
    PutRaw({{.name = "global.dat", .data = "sixty-four"}, {.name = "genre.dat", .data = "g", .method = 0}}, zip64);
    Run();
    EXPECT_EQ(Content("global.dat"), "sixty-four");
    EXPECT_EQ(Content("genre.dat"), "g");
}

}  // namespace
