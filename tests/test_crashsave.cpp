// A save killed at any moment leaves local.dat holding exactly the old list or exactly the new one.
#include "catalogue/ListFiles.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>

using namespace castora;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

ChannelTable MakeList(int count, const std::string& tag) {
    ChannelTable t;
    for (int i = 1; i <= count; ++i) {
        TChannelRec r;
        r.Format = 1 + i % 2;
        r.Source = i % 7;
        r.Country = i % 13;
        r.Genre = i % 5;
        r.Name = tag + " channel " + std::to_string(i);
        r.Url = "http://stream.example/" + tag + "/" + std::to_string(i) + "\xD0\xE9";
        r.Bitrate = std::to_string(32 * (1 + i % 8));
        r.Comments = "comment " + std::to_string(i);
        r.IsLocal = true;
        t.AppendChannel(r);
    }
    return t;
}

}  // namespace

TEST(CrashSafeSave, KilledSaveLeavesOldOrNewListWhole) {
    constexpr int Channels = 20000;
    const ChannelTable oldList = MakeList(Channels, "old");
    const ChannelTable newList = MakeList(Channels, "new");
    const std::string oldBytes = FormatLocalList(oldList, "01.01.2026");
    const std::string newBytes = FormatLocalList(newList, "02.01.2026");

    castora::test::TempDir dir;
    ASSERT_TRUE(SaveLocalList(oldList, dir.path(), "01.01.2026").ok);

    std::mt19937 rng(20260102);
    int rounds = 0, sawOld = 0, sawNew = 0, killedMidWrite = 0;
    const auto end = Clock::now() + std::chrono::seconds(8);
    while (Clock::now() < end) {
        ++rounds;
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Alternate, so a kill can land in a save of either list over the other.
            for (bool next = true;; next = !next) {
                if (next) SaveLocalList(newList, dir.path(), "02.01.2026");
                else SaveLocalList(oldList, dir.path(), "01.01.2026");
            }
        }
        ::usleep(std::uniform_int_distribution<useconds_t>(0, 60000)(rng));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status));

        killedMidWrite += fs::exists(dir / "local_tmp.dat") ? 1 : 0;
        const std::string now = castora::test::ReadFile(dir / "local.dat");
        if (now == oldBytes) ++sawOld;
        else if (now == newBytes) ++sawNew;
        else FAIL() << "round " << rounds << ": local.dat holds " << now.size() << " bytes, neither list";
    }
    // The list that is there loads whole, and the leftover buffer does not disturb the next save.
    ChannelTable loaded;
    const LoadResult r = LoadChannelList(loaded, 1, dir.path());
    EXPECT_TRUE(r.found);
    EXPECT_FALSE(r.error);
    EXPECT_EQ(loaded.ChannelCount, Channels);
    ASSERT_TRUE(SaveLocalList(oldList, dir.path(), "01.01.2026").ok);
    EXPECT_EQ(castora::test::ReadFile(dir / "local.dat"), oldBytes);
    EXPECT_FALSE(fs::exists(dir / "local_tmp.dat"));

    RecordProperty("rounds", rounds);
    std::printf("%d kills: %d left the old list, %d the new one, %d interrupted a write\n", rounds, sawOld, sawNew,
                killedMidWrite);
    EXPECT_GT(rounds, 20);
    // Without kills inside a write the test would prove nothing.
    EXPECT_GT(killedMidWrite, 0);
    EXPECT_GT(sawNew, 0);
}

// A save that cannot write its buffer (a directory is in the way, which stops root as well) reports
// failure and leaves the old list as it was.
TEST(CrashSafeSave, FailedSaveKeepsTheOldList) {
    castora::test::TempDir dir;
    const ChannelTable oldList = MakeList(10, "old");
    ASSERT_TRUE(SaveLocalList(oldList, dir.path(), "01.01.2026").ok);
    const std::string before = castora::test::ReadFile(dir / "local.dat");
    fs::create_directory(dir / "local_tmp.dat");
    EXPECT_FALSE(SaveLocalList(MakeList(10, "new"), dir.path(), "02.01.2026").ok);
    EXPECT_EQ(castora::test::ReadFile(dir / "local.dat"), before);
    EXPECT_TRUE(fs::is_directory(dir / "local_tmp.dat"));
}
