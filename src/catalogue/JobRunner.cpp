#include "catalogue/JobRunner.h"

#include <condition_variable>
#include <mutex>

#include <sys/resource.h>

namespace castora {

// What the jobs share with their runner; it outlives the runner while a job still holds it.
struct JobRunner::Context::Shared {
    std::mutex lock;  // held while a task is handed over, so that Close waits for one under way
    bool closed = false;
    Poster post;
    // Wakes the waits of Shutdown when a job ends.
    std::mutex endLock;
    std::condition_variable ended;
};

bool JobRunner::Context::Post(Task fn) const {
    std::lock_guard<std::mutex> guard(shared_->lock);
    if (shared_->closed) return false;
    shared_->post(std::move(fn));
    return true;
}

bool JobRunner::Context::Call(Task fn) const {
    struct Done {
        std::mutex lock;
        std::condition_variable cv;
        bool done = false;
    };
    auto done = std::make_shared<Done>();
    const bool posted = Post([fn = std::move(fn), done] {
        fn();
        std::lock_guard<std::mutex> guard(done->lock);
        done->done = true;
        done->cv.notify_all();
    });
    if (!posted) return false;
    // Checked in short steps: an owner that closes never runs the task, and the job must not hang on it.
    std::unique_lock<std::mutex> waiting(done->lock);
    while (!done->done) {
        if (Cancelled()) return false;
        done->cv.wait_for(waiting, std::chrono::milliseconds(50));
    }
    return true;
}

JobRunner::JobRunner(Poster post) : shared_(std::make_shared<Context::Shared>()) { shared_->post = std::move(post); }

JobRunner::~JobRunner() { Shutdown(); }

uint64_t JobRunner::Start(Work work, int kind, int niceness) {
    Reap();
    if (Closed()) return 0;
    Job job;
    job.id = ++next_;
    job.kind = kind;
    job.cancel = std::make_shared<std::atomic<bool>>(false);
    job.finished = std::make_shared<std::atomic<bool>>(false);
    Context context;
    context.shared_ = shared_;
    context.cancel_ = job.cancel;
    job.thread = std::thread([work = std::move(work), context, niceness, finished = job.finished]() mutable {
        if (niceness > 0) ::setpriority(PRIO_PROCESS, 0, niceness);  // this thread only, on Linux
        work(context);
        work = nullptr;  // what the job holds is released here, on its own thread
        std::lock_guard<std::mutex> guard(context.shared_->endLock);
        finished->store(true);
        context.shared_->ended.notify_all();
    });
    jobs_.push_back(std::move(job));
    return jobs_.back().id;
}

void JobRunner::Reap() {
    std::erase_if(jobs_, [](Job& job) {
        if (!job.finished->load()) return false;
        job.thread.join();
        return true;
    });
}

void JobRunner::Cancel(uint64_t id) {
    for (Job& job : jobs_)
        if (job.id == id) job.cancel->store(true);
}

void JobRunner::CancelKind(int kind) {
    for (Job& job : jobs_)
        if (job.kind == kind) job.cancel->store(true);
}

size_t JobRunner::Running() {
    Reap();
    return jobs_.size();
}

bool JobRunner::Closed() const {
    std::lock_guard<std::mutex> guard(shared_->lock);
    return shared_->closed;
}

void JobRunner::Close() {
    for (Job& job : jobs_) job.cancel->store(true);
    std::lock_guard<std::mutex> guard(shared_->lock);
    shared_->closed = true;
}

void JobRunner::Shutdown(std::chrono::milliseconds wait) {
    Close();
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (Job& job : jobs_) {
        {
            std::unique_lock<std::mutex> waiting(shared_->endLock);
            if (wait.count() < 0) shared_->ended.wait(waiting, [&] { return job.finished->load(); });
            else shared_->ended.wait_until(waiting, deadline, [&] { return job.finished->load(); });
        }
        if (job.finished->load()) job.thread.join();
        else job.thread.detach();  // it works on its own data; nothing of the owner's is touched
    }
    jobs_.clear();
}

}  // namespace castora
