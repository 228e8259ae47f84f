#include "pages/Catalogue.h"

#include <chrono>
#include <exception>
#include <mutex>
#include <shared_mutex>

#include "catalogue/ListFiles.h"

namespace castora {

// What the jobs share with the window's thread; it outlives the catalogue while a job still holds it.
struct Catalogue::Shared {
    std::shared_mutex lock;  // held shared by a job reading the live table, exclusively by a change
    bool closed = false;     // set under the lock when the catalogue closes; no job reads the table after it
    const ChannelTable* table = nullptr;

    std::mutex postLock;
    QObject* target = nullptr;  // the catalogue, until it closes

    void Post(std::function<void()> fn) {
        std::lock_guard<std::mutex> guard(postLock);
        if (target) QMetaObject::invokeMethod(target, std::move(fn), Qt::QueuedConnection);
    }
};

struct Catalogue::TableResult {
    ChannelTable table;
    RowSet rows;
    RowFilter filter;
    int32_t selected = 0;
    LoadOutcome outcome;
    bool failed = false;
};

namespace {

// Progress of a job, carried to the window's thread. Positions are coalesced: at most one waits in the
// queue, and it shows the newest position when it runs.
class PostedProgress : public ProgressSink {
public:
    PostedProgress(std::function<void(std::function<void()>)> post, ProgressSink* target)
        : post_(std::move(post)), target_(target) {}

    void ShowProgressPhase(const std::string& text, Rgb colour, int32_t maximum) override {
        if (!target_) return;
        post_([t = target_, text, colour, maximum] { t->ShowProgressPhase(text, colour, maximum); });
    }
    void ShowProgress(int32_t position) override {
        if (!target_) return;
        latest_->store(position);
        if (pending_->exchange(true)) return;
        post_([t = target_, latest = latest_, pending = pending_] {
            pending->store(false);
            t->ShowProgress(latest->load());
        });
    }
    void Breathe() override {}

private:
    std::function<void(std::function<void()>)> post_;
    ProgressSink* target_;
    std::shared_ptr<std::atomic<int32_t>> latest_ = std::make_shared<std::atomic<int32_t>>(0);
    std::shared_ptr<std::atomic<bool>> pending_ = std::make_shared<std::atomic<bool>>(false);
};

int32_t IndexOfUrl(const ChannelTable& table, const std::string& url) {
    if (url.empty()) return 0;
    for (int32_t i = 1; i <= table.ChannelCount; ++i)
        if (table.Channels[i].Url == url) return i;
    return 0;
}

} // namespace

Catalogue::Catalogue(std::filesystem::path listDir, QObject* parent)
    : QObject(parent), listDir_(std::move(listDir)), shared_(std::make_shared<Shared>()) {
    shared_->table = &table_;
    shared_->target = this;
}

Catalogue::~Catalogue() { Shutdown(); }

void Catalogue::SetState(CatalogueState state) {
    if (state_ == state) return;
    state_ = state;
    emit stateChanged(state);
}

void Catalogue::StartJob(bool rebuild, std::function<void(const std::atomic<bool>& cancel)> work) {
    ReapFinished();
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    std::promise<void> finished;
    std::future<void> done = finished.get_future();
    std::thread thread([work = std::move(work), cancel, finished = std::move(finished)]() mutable {
        work(*cancel);
        work = nullptr;  // what the job holds is released here, on its own thread
        finished.set_value();
    });
    jobs_.push_back(Job{std::move(thread), std::move(cancel), std::move(done), rebuild});
}

void Catalogue::ReapFinished() {
    std::erase_if(jobs_, [](Job& job) {
        if (job.done.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return false;
        job.thread.join();
        return true;
    });
}

void Catalogue::CancelRebuilds() {
    for (Job& job : jobs_)
        if (job.rebuild) job.cancel->store(true);
}

void Catalogue::RequestRows(const RowFilter& filter) {
    filter_ = filter;
    ++request_;
    // The table on its way brings its own rows; the filter is compared when it arrives.
    if (state_ == CatalogueState::Loading || state_ == CatalogueState::Replacing) return;
    CancelRebuilds();
    StartRebuild();
    SetState(CatalogueState::Rebuilding);
}

void Catalogue::StartRebuild() {
    const uint64_t request = request_;
    const uint64_t version = version_;
    StartJob(true, [this, shared = shared_, request, version, filter = filter_](const std::atomic<bool>& cancel) {
        std::optional<RowSet> rows;
        {
            std::shared_lock<std::shared_mutex> reading(shared->lock);
            if (shared->closed || cancel) return;
            rows = ComputeRows(*shared->table, filter, &cancel);
        }
        if (!rows) return;
        auto set = std::make_shared<RowSet>(std::move(*rows));
        shared->Post([this, request, version, set] { ApplyRows(request, version, std::move(*set)); });
    });
}

void Catalogue::ApplyRows(uint64_t request, uint64_t version, RowSet rows) {
    ReapFinished();
    if (request != request_ || version != version_ || state_ != CatalogueState::Rebuilding) return;
    table_.RowMap = std::move(rows.rowMap);
    rows_ = rows.rows;
    SetState(CatalogueState::Idle);
    emit rowsReplaced();
}

void Catalogue::Mutate(const std::function<void(ChannelTable&)>& change) {
    CancelRebuilds();
    {
        std::unique_lock<std::shared_mutex> writing(shared_->lock);
        change(table_);
        ++version_;
    }
    // A rebuild cut short by the change starts again on the changed table.
    if (state_ == CatalogueState::Rebuilding) StartRebuild();
}

void Catalogue::Delete(int32_t index) {
    if (index < 1 || index > table_.ChannelCount) return;
    Mutate([this, index](ChannelTable& table) {
        // The rows as they were, less the deleted record, with the records after it one place down.
        std::vector<int32_t>& map = table.RowMap;
        int32_t kept = 0;
        for (int32_t r = 1; r <= rows_; ++r) {
            const int32_t record = map[r];
            if (record != index) map[++kept] = record > index ? record - 1 : record;
        }
        table.DeleteChannel(index);
        map[kept + 1] = 0;
        rows_ = kept;
    });
    // With newer rows on their way the grid keeps its rows (less the deleted one, which now reads as
    // empty) and its selection until they arrive.
    if (state_ != CatalogueState::Rebuilding) emit rowsReplaced();
}

void Catalogue::Load(const RowFilter& filter) {
    filter_ = filter;
    StartLoad(false, nullptr);
}

void Catalogue::Reload(const RowFilter& filter, std::function<void()> whenDone) {
    filter_ = filter;
    StartLoad(true, std::move(whenDone));
}

void Catalogue::StartLoad(bool reload, std::function<void()> whenDone) {
    CancelRebuilds();
    ++request_;
    SetState(reload ? CatalogueState::Replacing : CatalogueState::Loading);
    const std::string selectedUrl = reload && table_.HasSelection() ? table_.Selected().Url.str() : std::string();
    auto post = [shared = shared_](std::function<void()> fn) { shared->Post(std::move(fn)); };
    StartJob(false, [this, shared = shared_, post, progressTarget = progress_, dir = listDir_, filter = filter_,
                     reload, selectedUrl, whenDone](const std::atomic<bool>& cancel) {
        auto result = std::make_shared<TableResult>();
        result->filter = filter;
        result->outcome.reload = reload;
        PostedProgress progress(post, progressTarget);
        try {
            ChannelTable& table = result->table;
            for (int list = 0; list < (reload ? 1 : 2); ++list) {
                const LoadResult loaded = LoadChannelList(table, list, dir, &progress);
                result->outcome.listDates[list] = loaded.listDate;
                if (loaded.error && !result->outcome.firstError) result->outcome.firstError = loaded.error;
                if (cancel) return;
            }
            if (reload) {
                // The user's local records as they are in memory, unsaved changes included.
                std::shared_lock<std::shared_mutex> reading(shared->lock);
                if (shared->closed || cancel) return;
                const ChannelTable& live = *shared->table;
                for (int32_t i = 1; i <= live.ChannelCount; ++i)
                    if (live.Channels[i].IsLocal) table.AppendChannel(live.Channels[i]);
            }
            table.RemoveDuplicates(&progress);
            progress.ShowProgressPhase("Loading channel list ...", Blue, table.ChannelCount);
            std::optional<RowSet> rows = ComputeRows(table, filter, &cancel, &progress);
            if (!rows) return;
            result->rows = std::move(*rows);
            result->selected = IndexOfUrl(table, selectedUrl);
        } catch (const std::exception& e) {
            result->failed = true;
            if (!result->outcome.firstError) result->outcome.firstError = e.what();
        }
        shared->Post([this, result, whenDone] { ApplyTable(result, whenDone); });
    });
}

void Catalogue::ApplyTable(std::shared_ptr<TableResult> result, std::function<void()> whenDone) {
    ReapFinished();
    if (!result->failed) {
        CancelRebuilds();
        auto old = std::make_shared<ChannelTable>();
        {
            std::unique_lock<std::shared_mutex> writing(shared_->lock);
            std::swap(*old, table_);
            table_ = std::move(result->table);
            table_.RowMap = std::move(result->rows.rowMap);
            rows_ = result->rows.rows;
            table_.SelectedChannel = result->selected;
            ++version_;
        }
        // A million records take tens of milliseconds to free: not on the window's thread.
        StartJob(false, [old = std::move(old)](const std::atomic<bool>&) mutable { old.reset(); });
    }
    if (result->filter == filter_) {
        SetState(CatalogueState::Idle);
    } else {
        // The filter changed while the table was on its way.
        StartRebuild();
        SetState(CatalogueState::Rebuilding);
    }
    emit rowsReplaced();
    emit loaded(result->outcome);
    if (whenDone) whenDone();
}

void Catalogue::Shutdown() {
    if (!shared_) return;
    {
        std::lock_guard<std::mutex> guard(shared_->postLock);
        shared_->target = nullptr;
    }
    for (Job& job : jobs_) job.cancel->store(true);
    {
        std::unique_lock<std::shared_mutex> writing(shared_->lock);
        shared_->closed = true;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (Job& job : jobs_) {
        if (job.done.wait_until(deadline) == std::future_status::ready) job.thread.join();
        else job.thread.detach();  // still reading a file into its own table; nothing of ours is touched
    }
    jobs_.clear();
    shared_.reset();
}

} // namespace castora
