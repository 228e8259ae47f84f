// The job runner every long job goes through: results reach the owner's thread, cancelling reaches the
// jobs, and closing stops both without waiting for ever on a job that will not end.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <sys/resource.h>

#include "catalogue/JobRunner.h"

using castora::JobRunner;
using namespace std::chrono_literals;

namespace {

// The owner's thread: tasks wait here until the test runs them.
struct Owner {
    std::mutex lock;
    std::condition_variable cv;
    std::deque<JobRunner::Task> tasks;

    JobRunner::Poster Poster() {
        return [this](JobRunner::Task task) {
            std::lock_guard<std::mutex> guard(lock);
            tasks.push_back(std::move(task));
            cv.notify_all();
        };
    }
    // Runs the tasks that arrive until `done` holds, for at most 30 s.
    bool RunUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            JobRunner::Task task;
            {
                std::unique_lock<std::mutex> waiting(lock);
                if (!cv.wait_for(waiting, 5ms, [&] { return !tasks.empty(); })) continue;
                task = std::move(tasks.front());
                tasks.pop_front();
            }
            task();
        }
        return true;
    }
    size_t Waiting() {
        std::lock_guard<std::mutex> guard(lock);
        return tasks.size();
    }
};

bool Eventually(const std::function<bool()>& holds) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!holds()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

}  // namespace

TEST(JobRunner, ResultsReachTheOwnerAndPrioritiesApply) {
    Owner owner;
    JobRunner runner(owner.Poster());
    std::vector<int> results;
    for (int niceness : {0, 10})
        runner.Start(
            [&results, niceness](const JobRunner::Context& job) {
                const int priority = ::getpriority(PRIO_PROCESS, 0);
                job.Post([&results, niceness, priority] { results.push_back(niceness == 0 ? 0 : priority); });
            },
            0, niceness);
    ASSERT_TRUE(owner.RunUntil([&] { return results.size() == 2; }));
    std::sort(results.begin(), results.end());
    EXPECT_EQ(results, (std::vector<int>{0, 10}));
    EXPECT_TRUE(Eventually([&] { return runner.Running() == 0; }));
}

TEST(JobRunner, CancelReachesOnlyTheJobsAskedFor) {
    struct Case {
        const char* what;
        std::function<void(JobRunner&, uint64_t first)> cancel;
        std::vector<bool> cancelled;  // of the jobs of kind 1, 1, 2
    } cases[] = {
        {"one job", [](JobRunner& r, uint64_t first) { r.Cancel(first); }, {true, false, false}},
        {"a kind", [](JobRunner& r, uint64_t) { r.CancelKind(1); }, {true, true, false}},
        {"closing", [](JobRunner& r, uint64_t) { r.Close(); }, {true, true, true}},
    };
    for (const Case& c : cases) {
        Owner owner;
        JobRunner runner(owner.Poster());
        std::atomic<bool> go{false};
        std::vector<std::atomic<int>> seen(3);
        uint64_t first = 0;
        int kinds[] = {1, 1, 2};
        for (int i = 0; i < 3; ++i) {
            const uint64_t id = runner.Start(
                [&, i](const JobRunner::Context& job) {
                    while (!go) std::this_thread::sleep_for(1ms);
                    seen[i] = job.Cancelled() ? 1 : 2;
                },
                kinds[i]);
            if (i == 0) first = id;
        }
        c.cancel(runner, first);
        go = true;
        ASSERT_TRUE(Eventually([&] { return seen[0] && seen[1] && seen[2]; })) << c.what;
        runner.Shutdown();
        for (int i = 0; i < 3; ++i) EXPECT_EQ(seen[i] == 1, c.cancelled[i]) << c.what << " job " << i;
    }
}

TEST(JobRunner, AfterClosingNothingReachesTheOwnerAndCallsGiveUp) {
    Owner owner;
    JobRunner runner(owner.Poster());
    std::atomic<bool> closed{false};
    std::atomic<int> posted{-1}, called{-1};
    runner.Start([&](const JobRunner::Context& job) {
        while (!closed) std::this_thread::sleep_for(1ms);
        posted = job.Post([] {}) ? 1 : 0;
        called = job.Call([] {}) ? 1 : 0;
    });
    runner.Close();
    closed = true;
    runner.Shutdown();
    EXPECT_EQ(posted, 0);
    EXPECT_EQ(called, 0);
    EXPECT_EQ(owner.Waiting(), 0u);
    EXPECT_EQ(runner.Start([](const JobRunner::Context&) {}), 0u);  // no new job once closed
}

TEST(JobRunner, CallWaitsForTheOwnerUnlessTheJobIsCancelled) {
    Owner owner;
    JobRunner runner(owner.Poster());
    std::atomic<int> answer{0};
    std::atomic<int> result{-1};
    runner.Start([&](const JobRunner::Context& job) {
        int value = 0;
        result = job.Call([&] { value = 42; }) ? 1 : 0;
        answer = value;
    });
    ASSERT_TRUE(owner.RunUntil([&] { return result != -1; }));
    EXPECT_EQ(result, 1);
    EXPECT_EQ(answer, 42);

    // The owner never runs this one: cancelling lets the job go on.
    result = -1;
    const uint64_t id = runner.Start([&](const JobRunner::Context& job) { result = job.Call([] {}) ? 1 : 0; });
    ASSERT_TRUE(Eventually([&] { return owner.Waiting() == 1; }));
    runner.Cancel(id);
    runner.Shutdown();
    EXPECT_EQ(result, 0);
}

TEST(JobRunner, ShutdownLeavesAJobThatOverrunsItsWait) {
    Owner owner;
    auto release = std::make_shared<std::atomic<bool>>(false);
    auto finished = std::make_shared<std::atomic<bool>>(false);
    {
        JobRunner runner(owner.Poster());
        runner.Start([release, finished](const JobRunner::Context& job) {
            while (!*release) std::this_thread::sleep_for(1ms);  // ignores its cancel flag
            job.Post([] {});
            *finished = true;
        });
        runner.Shutdown(50ms);
        EXPECT_FALSE(*finished);
    }
    // The runner is gone; the job ends on its own and its post reaches nobody.
    *release = true;
    EXPECT_TRUE(Eventually([&] { return finished->load(); }));
    EXPECT_EQ(owner.Waiting(), 0u);
}
