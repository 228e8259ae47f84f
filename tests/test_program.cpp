#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include "support/Patience.h"
#include "support/Catalogues.h"
#include "support/TempDir.h"

#ifndef CASTORA_PLAYER_BINARY
#error "CASTORA_PLAYER_BINARY must name the program"
#endif

using namespace castora::test;

namespace {

// Starts the program in dir with its output going to dir/output.log; returns the child's pid.
pid_t Launch(const std::filesystem::path& dir, const char* platform) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(dir.c_str()) != 0) _exit(126);
        ::setenv("QT_QPA_PLATFORM", platform, 1);
        const std::string log = (dir / "output.log").string();
        if (!std::freopen(log.c_str(), "w", stdout) || !std::freopen(log.c_str(), "a", stderr)) _exit(126);
        ::execl(CASTORA_PLAYER_BINARY, CASTORA_PLAYER_BINARY, static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// Waits up to the limit; returns true with the status once the child has ended.
bool WaitFor(pid_t pid, int& status, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (::waitpid(pid, &status, WNOHANG) == pid) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

TEST(Program, RunsOnTheSampleCatalogueAndEndsCleanlyOnSigterm) {
    TempDir dir;
    CopySampleCatalogue(dir.path());
    const pid_t pid = Launch(dir.path(), "offscreen");
    ASSERT_GT(pid, 0);
    int status = 0;
    // Still running after two seconds: start-up neither crashed nor stopped at a question.
    ASSERT_FALSE(WaitFor(pid, status, std::chrono::seconds(2)))
        << "ended early with status " << status << ": " << ReadFile(dir / "output.log");
    // Downloads and the update archive open their libraries when first needed, not at start-up.
    const std::string maps = ReadFile("/proc/" + std::to_string(pid) + "/maps");
    ASSERT_NE(maps.find("/libQt6Core.so"), std::string::npos);
    EXPECT_EQ(maps.find("/libcurl"), std::string::npos);
    EXPECT_EQ(maps.find("/libzip"), std::string::npos);
    ::kill(pid, SIGTERM);
    ASSERT_TRUE(WaitFor(pid, status, kPatience)) << "did not end after SIGTERM";
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0) << ": "
                                   << ReadFile(dir / "output.log");
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // Nothing is written on the way out.
    EXPECT_FALSE(std::filesystem::exists(dir / "local.dat"));
    EXPECT_FALSE(std::filesystem::exists(dir / "local_tmp.dat"));
}

}  // namespace
