// The channel notes file: what it keeps survives a round trip whatever the addresses hold, favourites keep
// the user's order, a file that cannot be read is never lost, and two copies of the program writing in turn
// keep each other's notes.
#include <gtest/gtest.h>

#include <filesystem>

#include "catalogue/ChannelNotes.h"
#include "catalogue/NotedRecords.h"
#include "support/TempDir.h"

using namespace castora;
namespace fs = std::filesystem;

namespace {

struct Notes : ::testing::Test {
    test::TempDir dir;
    fs::path File() const { return dir.path() / NotesFileName; }
    ChannelNotes Open() {
        ChannelNotes notes(File());
        EXPECT_TRUE(notes.Load().ok);
        return notes;
    }
};

}  // namespace

TEST_F(Notes, EverythingKeptComesBackWhateverTheAddressHolds) {
    const std::string urls[] = {
        "http://a/x.m3u8|User-Agent=Mozilla/5.0 (X11; Linux)&Referer=http://b/",
        "http://a/\xC0\xE1\xE2 100%25 done",  // Windows-1251 bytes and a percent sign
        "http://a/\t\r\nX-Injected: 1\x01",
        "tone.wav",
    };
    ChannelNotes notes(File());
    ASSERT_TRUE(notes.Load().ok);  // no file: no notes
    for (const std::string& url : urls) {
        notes.Change(url, [&](ChannelNote& n) {
            n.tvgId = "id." + std::to_string(url.size());
            n.tvgName = "Name\twith tab";
            n.tvgLogo = "http://logo/a,b.png";
            n.tvgShift = "-1.5";
            n.guideId = "guide%id";
            n.logo = "/home/u/logo.png";
            n.played = 1765000000 + static_cast<int64_t>(url.size());
        });
        notes.SetFavourite(url, true);
    }
    ASSERT_EQ(notes.Save(), "");
    ChannelNotes again = Open();
    for (const std::string& url : urls) {
        ASSERT_NE(again.Find(url), nullptr) << url;
        EXPECT_EQ(*again.Find(url), *notes.Find(url)) << url;
    }
    EXPECT_EQ(again.Favourites(), notes.Favourites());
    // One line per address in the file, whatever the bytes were.
    const std::string text = test::ReadFile(File());
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5);
}

TEST_F(Notes, FavouritesKeepTheUsersOrderThroughMovesAndRemovals) {
    ChannelNotes notes = Open();
    for (const char* url : {"a", "b", "c", "d"}) notes.SetFavourite(url, true);
    EXPECT_TRUE(notes.MoveFavourite("c", -1));
    EXPECT_FALSE(notes.MoveFavourite("c", -1) && notes.MoveFavourite("c", -1));  // stops at the top
    EXPECT_FALSE(notes.MoveFavourite("d", +1));
    EXPECT_FALSE(notes.MoveFavourite("x", +1));
    notes.SetFavourite("b", false);
    notes.SetFavourite("e", true);
    const std::vector<std::string> order{"c", "a", "d", "e"};
    EXPECT_EQ(notes.Favourites(), order);
    ASSERT_EQ(notes.Save(), "");
    EXPECT_EQ(Open().Favourites(), order);
    // An edited address takes its place with it.
    notes.Move("a", "a2");
    EXPECT_EQ(notes.Favourites(), (std::vector<std::string>{"c", "a2", "d", "e"}));
    EXPECT_EQ(notes.Find("a"), nullptr);
}

TEST_F(Notes, RecentIsNewestFirstAndClearedOnRequest) {
    ChannelNotes notes = Open();
    notes.Played("old", 100);
    notes.Played("new", 300);
    notes.Played("mid", 200);
    notes.Played("old", 400);  // played again
    EXPECT_EQ(notes.Recent(2), (std::vector<std::string>{"old", "new"}));
    notes.SetFavourite("mid", true);
    notes.ClearHistory();
    EXPECT_TRUE(notes.Recent(50).empty());
    EXPECT_NE(notes.Find("mid"), nullptr);  // still a favourite
    EXPECT_EQ(notes.Find("new"), nullptr);  // nothing left of it
}

TEST_F(Notes, AFileThatCannotBeReadIsKeptUntilTheUserChangesSomething) {
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> make;
        bool ok;
    } cases[] = {
        {"missing", [](const fs::path&) {}, true},
        {"empty", [](const fs::path& f) { test::WriteFile(f, ""); }, true},
        {"header only", [](const fs::path& f) { test::WriteFile(f, "# Castora Player channel notes 1\n"); }, true},
        {"not ours", [](const fs::path& f) { test::WriteFile(f, "favourite list\nhttp://a\n"); }, false},
        {"binary",
         [](const fs::path& f) { test::WriteFile(f, std::string("# Castora Player channel notes 1\n\0\1", 35)); },
         false},
        {"bad escape",
         [](const fs::path& f) { test::WriteFile(f, "# Castora Player channel notes 1\nhttp://a%G\tfavourite=1\n"); },
         false},
        {"bad number",
         [](const fs::path& f) { test::WriteFile(f, "# Castora Player channel notes 1\nhttp://a\tfavourite=x\n"); },
         false},
        {"dangling link", [](const fs::path& f) { fs::create_symlink(f.parent_path() / "gone", f); }, false},
        {"directory", [](const fs::path& f) { fs::create_directory(f); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir here;
        const fs::path file = here.path() / NotesFileName;
        c.make(file);
        const auto before =
            fs::exists(fs::symlink_status(file)) && fs::is_regular_file(file) ? test::ReadFile(file) : "";
        ChannelNotes notes(file);
        const ChannelNotes::ReadResult read = notes.Load();
        EXPECT_EQ(read.ok, c.ok);
        if (!c.ok) {
            EXPECT_NE(read.error.find(NotesFileName), std::string::npos) << read.error;
        }
        EXPECT_TRUE(notes.Favourites().empty());
        EXPECT_EQ(notes.Save(), "");  // nothing changed: nothing written
        if (fs::is_regular_file(file)) {
            EXPECT_EQ(test::ReadFile(file), before);
        }
        if (c.ok || !fs::is_regular_file(fs::symlink_status(file))) continue;
        // The user changes something: the unreadable file moves aside, once, and the new one is written.
        notes.SetFavourite("http://mine", true);
        EXPECT_EQ(notes.Save(), "");
        EXPECT_EQ(test::ReadFile(here.path() / (std::string(NotesFileName) + ".bak")), before);
        ChannelNotes again(file);
        ASSERT_TRUE(again.Load().ok);
        EXPECT_EQ(again.Favourites(), std::vector<std::string>{"http://mine"});
    }
}

TEST_F(Notes, TwoCopiesWritingInTurnKeepEachOthersNotes) {
    ChannelNotes first = Open();
    ChannelNotes second = Open();
    first.SetFavourite("http://one", true);
    first.Change("http://shared", [](ChannelNote& n) { n.tvgId = "first"; });
    ASSERT_EQ(first.Save(), "");
    second.SetFavourite("http://two", true);
    second.Change("http://shared", [](ChannelNote& n) { n.tvgLogo = "second.png"; });
    ASSERT_EQ(second.Save(), "");
    ChannelNotes read = Open();
    EXPECT_EQ(read.Favourites(), (std::vector<std::string>{"http://one", "http://two"}));
    // The address both changed holds what the last writer made of it.
    ASSERT_NE(read.Find("http://shared"), nullptr);
    EXPECT_EQ(read.Find("http://shared")->tvgLogo, "second.png");
    // And the first copy, writing again, keeps the second's favourite.
    first.Played("http://one", 5);
    ASSERT_EQ(first.Save(), "");
    EXPECT_EQ(Open().Favourites(), (std::vector<std::string>{"http://one", "http://two"}));
}

// The records of the user's lists stay found through every change of the table, without a new scan.
TEST(NotedRecords, FollowTheTableThroughEveryChange) {
    ChannelTable table;
    for (const char* url : {"a", "b", "c", "d"}) {
        TChannelRec rec;
        rec.Url = url;
        table.AppendChannel(rec);
    }
    NotedRecords noted;
    noted.Build(table, {"b", "d", "gone"});
    const auto records = [&] {
        return std::vector<int32_t>{noted.RecordOf("b"), noted.RecordOf("d"), noted.RecordOf("gone")};
    };
    EXPECT_EQ(records(), (std::vector<int32_t>{2, 4, 0}));
    struct Case {
        const char* what;
        std::function<void()> change;
        std::vector<int32_t> expected;
    } cases[] = {
        {"a delete before them moves them down",
         [&] {
             table.DeleteChannel(1);
             noted.Deleted(1);
         },
         {1, 3, 0}},
        {"an address that comes back is found",
         [&] {
             TChannelRec rec;
             rec.Url = "gone";
             table.AppendChannel(rec);
             noted.Appended(table, table.ChannelCount);
         },
         {1, 3, 4}},
        {"an address edit moves it",
         [&] {
             TChannelRec rec;
             rec.Url = "b2";
             table.StoreChannel(1, rec);
             noted.Stored(table, 1, "b");
         },
         {0, 3, 4}},
        {"deleting it leaves it unfound",
         [&] {
             table.DeleteChannel(3);
             noted.Deleted(3);
         },
         {0, 0, 3}},
    };
    for (const Case& c : cases) {
        c.change();
        EXPECT_EQ(records(), c.expected) << c.what;
    }
    noted.Want(table, "c", 2);  // told where it is
    EXPECT_EQ(noted.RecordOf("c"), 2);
    noted.Want(table, "b2", 3);  // told wrong: looked up
    EXPECT_EQ(noted.RecordOf("b2"), 1);
}
