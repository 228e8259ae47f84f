#pragma once
// Keeping the programme guide: its sources (addresses and files) read into one index, cached, and
// refreshed when older than a day's half or on demand.
//
// The cache directory holds the merged index ("guide.cache", read at start-up) and, under "sources",
// each address's last download as it came with what identifies it on the server, so a refresh asks
// conditionally and a changed catalogue is read again without downloading anything. A source that
// fails keeps its last good copy and does not stop the others; a guide is never required.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/GuideIndex.h"
#include "catalogue/GuideMatch.h"
#include "server/GuideDownload.h"
#include "server/WebTransfer.h"

namespace castora {

struct GuideSourceState {
    std::string location;
    enum class Status {
        Fresh,        // an address downloaded less than the maximum age ago: not asked again
        Fetched,      // downloaded now
        NotModified,  // asked, and the server's copy had not changed
        File,         // a file, read where it lies
        Failed,       // see error; usedPrevious when an earlier copy was read instead
    } status = Status::Failed;
    std::string error;
    bool usedPrevious = false;
    int64_t fetched = 0;  // when the copy read was downloaded, or the file last changed
    int32_t channels = 0;
    uint64_t programmes = 0;  // kept of it
};

struct GuideRefreshRequest {
    std::filesystem::path cacheDir;
    std::vector<std::string> sources;           // addresses (http, https) and file paths; the first has priority
    std::shared_ptr<const GuideWanted> wanted;  // null keeps every channel's programmes
    int64_t now = 0;
    bool force = false;  // ask every address again now
    std::chrono::seconds maxAge{12 * 3600};
    WebTransferOptions download;  // timeouts and progress; its maxBytes and cancel are not used
    uint64_t maxDownloadBytes = GuideDownloadLimit;
    uint64_t maxDecodedBytes = 4ull * 1024 * 1024 * 1024;
    const std::atomic<bool>* cancel = nullptr;
};

struct GuideRefreshResult {
    // The guide to show: a new one when changed, else null (the one shown stays).
    std::shared_ptr<const GuideIndex> index;
    bool changed = false;
    bool cancelled = false;
    std::vector<GuideSourceState> sources;  // one a source, in the request's order
    std::string error;                      // for the whole run (the cache could not be written, ...)
    uint64_t job = 0;                       // the keeper's number of the job that made it
};

// Runs on the calling thread (a worker); `current` is the guide shown now, if any. Never throws.
GuideRefreshResult RefreshGuide(const GuideRefreshRequest& request, std::shared_ptr<const GuideIndex> current);

// The index of the last refresh from cacheDir, or null (why says why).
std::shared_ptr<const GuideIndex> LoadGuideCache(const std::filesystem::path& cacheDir, std::string* why = nullptr);

// True for an address to download rather than a file to read.
bool IsGuideAddress(std::string_view location);

// Runs refreshes on a thread of its own, one at a time, and hands each result to `done` on that thread
// (the window forwards it to its own). The settings are taken when a job starts.
class GuideKeeper {
public:
    struct Options {
        std::filesystem::path cacheDir;
        std::chrono::seconds maxAge{12 * 3600};
        WebTransferOptions download;
        uint64_t maxDownloadBytes = GuideDownloadLimit;
        uint64_t maxDecodedBytes = 4ull * 1024 * 1024 * 1024;
        std::function<int64_t()> clock;  // seconds since 1970; the system clock when empty
        // Of the worker thread. One thread reading at a lower priority gets next to nothing on a busy
        // machine, and the window's thread, asleep most of the time, is woken ahead of it anyway.
        int niceness = 0;
    };
    using Done = std::function<void(const GuideRefreshResult&)>;

    GuideKeeper(Options options, Done done);
    // Stops the job running (its result is dropped) and waits for the thread.
    ~GuideKeeper();
    GuideKeeper(const GuideKeeper&) = delete;
    GuideKeeper& operator=(const GuideKeeper&) = delete;

    void SetSources(std::vector<std::string> sources);
    void SetWanted(std::shared_ptr<const GuideWanted> wanted);

    // Reads the cache and hands it over (changed, with an empty source list); nothing when there is none.
    // Returns the number the job's result will carry (GuideRefreshResult::job); numbers grow.
    uint64_t LoadCache();
    // Refreshes what is older than the maximum age, or every address when forced. A request made while
    // one runs is done after it; several such requests are done once (forced if any was), and share the
    // number returned.
    uint64_t Refresh(bool force);
    // Stops the job running; queued ones are dropped.
    void Cancel();
    bool Busy() const;

private:
    enum class Kind { LoadCache, Refresh, ForcedRefresh };
    struct Job {
        Kind kind;
        uint64_t number;
    };
    void Run();

    Options options_;
    Done done_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    uint64_t lastJob_ = 0;
    bool running_ = false, stopping_ = false;
    std::atomic<bool> cancel_{false};
    std::vector<std::string> sources_;
    std::shared_ptr<const GuideWanted> wanted_;
    std::shared_ptr<const GuideIndex> current_;  // the last guide handed over
    std::thread thread_;
};

}  // namespace castora
