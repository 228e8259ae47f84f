#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace castora {

// Runs the long jobs of one owner (the catalogue, the window's workers, an import, the player's start), each
// on a thread of its own. A job works on its own data, watches its cancel flag and hands results to the
// owner's thread through Post; the owner says how a task reaches its thread (its event loop). Closing
// cancels every job and stops their posts; Shutdown then waits for them, and a job still running after the
// wait is left to finish on its own: nothing it posts reaches the owner any more.
class JobRunner {
public:
    using Task = std::function<void()>;
    // Runs a task on the owner's thread, later. Never called once the runner has closed.
    using Poster = std::function<void(Task)>;

    class Context {
    public:
        bool Cancelled() const { return cancel_->load(); }
        const std::atomic<bool>& CancelFlag() const { return *cancel_; }
        // Hands fn to the owner's thread; false (and fn dropped) once the runner has closed.
        bool Post(Task fn) const;
        // Runs fn on the owner's thread and waits for it; false when the job is cancelled or the runner
        // closes first (fn then may never run).
        bool Call(Task fn) const;

    private:
        friend class JobRunner;
        struct Shared;
        std::shared_ptr<Shared> shared_;
        std::shared_ptr<std::atomic<bool>> cancel_;
    };

    using Work = std::function<void(const Context&)>;

    explicit JobRunner(Poster post);
    // Shutdown without a time limit.
    ~JobRunner();
    JobRunner(const JobRunner&) = delete;
    JobRunner& operator=(const JobRunner&) = delete;

    // `niceness` above 0 runs the job below the owner's thread in priority (threads it starts inherit it).
    // `kind` is the owner's own label, for CancelKind. Returns the job's number.
    uint64_t Start(Work work, int kind = 0, int niceness = 0);
    void Cancel(uint64_t job);
    void CancelKind(int kind);
    // Jobs that have not finished yet.
    size_t Running();
    bool Closed() const;
    // Cancels every job and stops their posts; Start does nothing after it.
    void Close();
    // Close, then waits up to `wait` for the jobs (for ever when negative) and lets the rest go.
    void Shutdown(std::chrono::milliseconds wait = std::chrono::milliseconds(-1));

private:
    struct Job {
        uint64_t id = 0;
        int kind = 0;
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> cancel;
        std::shared_ptr<std::atomic<bool>> finished;
    };
    void Reap();

    std::shared_ptr<Context::Shared> shared_;
    std::vector<Job> jobs_;
    uint64_t next_ = 0;
};

}  // namespace castora
