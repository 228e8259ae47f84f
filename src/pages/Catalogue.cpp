#include "pages/Catalogue.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include <sys/resource.h>

#include "catalogue/ListFiles.h"

namespace castora {

// What the jobs share with the window's thread; it outlives the catalogue while a job still holds it.
struct Catalogue::Shared {
    std::shared_mutex lock;  // held shared by a job reading the live table, exclusively by a change
    bool closed = false;     // set under the lock when the catalogue closes; no job reads the table after it
    const ChannelTable* table = nullptr;
    const SearchIndex* index = nullptr;
};

struct Catalogue::TableResult {
    ChannelTable table;
    std::optional<ChannelNotes> notes;   // read with the lists at start-up
    NotedRecords noted;                  // where the user's lists stand in the new table
    std::vector<TChannelRec> locals;     // a reload's local records until they are in the new table
    std::shared_ptr<SearchIndex> index;  // when the filter searches
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

private:
    std::function<void(std::function<void()>)> post_;
    ProgressSink* target_;
    std::shared_ptr<std::atomic<int32_t>> latest_ = std::make_shared<std::atomic<int32_t>>(0);
    std::shared_ptr<std::atomic<bool>> pending_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace

Catalogue::Catalogue(std::filesystem::path listDir, QObject* parent)
    : QObject(parent), listDir_(std::move(listDir)), notes_(listDir_ / NotesFileName),
      shared_(std::make_shared<Shared>()), runner_([this](JobRunner::Task task) {
          QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
      }) {
    shared_->table = &table_;
    shared_->index = &index_;
}

Catalogue::~Catalogue() { Shutdown(); }

void Catalogue::SetState(CatalogueState state) {
    if (state_ == state) return;
    state_ = state;
    emit stateChanged(state);
}

void Catalogue::StartJob(JobKind kind, JobRunner::Work work) {
    // Rows are computed while the user types and clicks: below the window's thread, so a rebuild on every
    // core never delays a repaint or a key press.
    runner_.Start(std::move(work), static_cast<int>(kind), kind == JobKind::Load ? 0 : 10);
}

void Catalogue::CancelRebuilds() { runner_.CancelKind(static_cast<int>(JobKind::Rows)); }

void Catalogue::RequestRows(const RowFilter& filter) {
    filter_ = filter;
    ++request_;
    // The table on its way brings its own rows; the filter is compared when it arrives.
    if (state_ == CatalogueState::Loading || state_ == CatalogueState::Replacing) return;
    CancelRebuilds();
    StartRebuild();
    SetState(CatalogueState::Rebuilding);
}

void Catalogue::PrepareSearch() {
    if (indexed_ || indexing_ || state_ == CatalogueState::Loading || state_ == CatalogueState::Replacing) return;
    indexing_ = true;
    const uint64_t version = version_;
    // A newer row request does not cut it short, and a change waits for it.
    StartJob(JobKind::Background, [this, shared = shared_, version](const JobRunner::Context& job) {
        auto built = std::make_shared<SearchIndex>();
        {
            std::shared_lock<std::shared_mutex> reading(shared->lock);
            if (shared->closed || job.Cancelled()) return;
            built->Build(*shared->table);
        }
        job.Post([this, version, built] {
            indexing_ = false;
            InstallIndex(version, built);
            // A search that waited for the index goes on (and asks again if the table changed meanwhile).
            if (state_ == CatalogueState::Rebuilding && !filter_.query.Empty()) StartRebuild();
        });
    });
}

void Catalogue::StartRebuild() {
    // A search needs the index; the one job that builds it starts the rows once it is in place.
    if (!filter_.query.Empty() && !indexed_) {
        PrepareSearch();
        return;
    }
    const uint64_t request = request_;
    const uint64_t version = version_;
    // A narrower search tests only the rows shown now, when they are few and still describe the table.
    auto previous = std::make_shared<std::pair<RowFilter, std::vector<int32_t>>>();
    const bool narrow = !shownMatches_.empty();
    if (narrow) *previous = {shownFilter_, shownMatches_};
    StartJob(JobKind::Rows, [this, shared = shared_, request, version, filter = filter_, previous,
                             narrow](const JobRunner::Context& job) {
        std::optional<RowSet> rows;
        {
            std::shared_lock<std::shared_mutex> reading(shared->lock);
            if (shared->closed || job.Cancelled()) return;
            RowRequest req;
            req.filter = filter;
            req.cancel = &job.CancelFlag();
            if (narrow) {
                req.previousFilter = &previous->first;
                req.previousRows = &previous->second;
            }
            rows = ComputeRowSet(*shared->table, *shared->index, req);
        }
        if (!rows) return;
        auto set = std::make_shared<RowSet>(std::move(*rows));
        job.Post([this, request, version, set] { ApplyRows(request, version, std::move(*set)); });
    });
}

void Catalogue::ApplyRows(uint64_t request, uint64_t version, RowSet rows) {
    if (version != version_ || request != request_ || state_ != CatalogueState::Rebuilding) return;
    table_.SetRowMap(std::move(rows.rowMap));
    rows_ = rows.rows;
    shownFilter_ = filter_;
    shownMatches_ = std::move(rows.matches);
    SetState(CatalogueState::Idle);
    emit rowsReplaced();
}

void Catalogue::InstallIndex(uint64_t version, const std::shared_ptr<SearchIndex>& built) {
    if (version != version_ || indexed_) return;
    std::unique_lock<std::shared_mutex> writing(shared_->lock);
    index_ = std::move(*built);
    indexed_ = true;
}

void Catalogue::Change(const std::function<void(ChannelTable&, SearchIndex*)>& change) {
    CancelRebuilds();
    {
        std::unique_lock<std::shared_mutex> writing(shared_->lock);
        change(table_, indexed_ ? &index_ : nullptr);
        ++version_;
    }
    shownMatches_.clear();  // record indices may have moved
    // A rebuild cut short by the change starts again on the changed table.
    if (state_ == CatalogueState::Rebuilding) StartRebuild();
}

void Catalogue::Clear() {
    if (state_ != CatalogueState::Idle) return;
    Change([this](ChannelTable& table, SearchIndex*) {
        table.ResetChannels();
        rows_ = 0;
        indexed_ = false;
    });
}

void Catalogue::Append(const TChannelRec& rec) {
    const int32_t first = table_.ChannelCount + 1;
    Change([&rec](ChannelTable& table, SearchIndex* index) {
        table.AppendChannel(rec);
        if (index) index->Append(rec);
    });
    noted_.Appended(table_, first);
}

bool Catalogue::AppendMany(const std::vector<TChannelRec>& records) {
    if (state_ == CatalogueState::Loading || state_ == CatalogueState::Replacing) {
        held_.insert(held_.end(), records.begin(), records.end());  // copies: their texts become their own
        return false;
    }
    const int32_t first = table_.ChannelCount + 1;
    Change([&records](ChannelTable& table, SearchIndex* index) {
        table.AppendChannels(records);
        if (index)
            for (const TChannelRec& rec : records) index->Append(rec);
    });
    noted_.Appended(table_, first);
    return true;
}

void Catalogue::ChangeNotes(const std::function<void(ChannelNotes&)>& change) {
    change(notes_);
    if (!notes_.Dirty()) return;
    const std::string error = notes_.Save();
    if (!error.empty()) emit notesFailed(error);
    emit notesChanged();
}

std::vector<int32_t> Catalogue::FavouriteRecords() const {
    std::vector<int32_t> records;
    for (const std::string& url : notes_.Favourites())
        if (const int32_t r = noted_.RecordOf(url)) records.push_back(r);
    return records;
}

std::vector<int32_t> Catalogue::RecentRecords() const {
    std::vector<int32_t> records;
    for (const std::string& url : notes_.Recent(RecentCount))
        if (const int32_t r = noted_.RecordOf(url)) records.push_back(r);
    return records;
}

bool Catalogue::IsFavourite(int32_t record) const {
    return record >= 1 && record <= table_.ChannelCount && notes_.IsFavourite(table_.Channels[record].Url.view());
}

void Catalogue::SetFavourite(int32_t record, bool on) {
    if (record < 1 || record > table_.ChannelCount) return;
    const std::string url = table_.Channels[record].Url.str();
    noted_.Want(table_, url, record);
    ChangeNotes([&](ChannelNotes& notes) { notes.SetFavourite(url, on); });
}

bool Catalogue::MoveFavourite(int32_t record, int step) {
    if (!IsFavourite(record)) return false;
    // Among the favourites the table holds: one that is not here is stepped over.
    const std::vector<int32_t> shown = FavouriteRecords();
    const auto at = std::find(shown.begin(), shown.end(), record);
    if (at == shown.end()) return false;
    const auto to = at - shown.begin() + (step < 0 ? -1 : 1);
    if (to < 0 || to >= static_cast<std::ptrdiff_t>(shown.size())) return false;
    const std::string url = table_.Channels[record].Url.str();
    const std::string past = table_.Channels[shown[static_cast<size_t>(to)]].Url.str();
    ChangeNotes([&](ChannelNotes& notes) {
        for (;;) {
            const std::vector<std::string> order = notes.Favourites();
            const auto mine = std::find(order.begin(), order.end(), url);
            const auto theirs = std::find(order.begin(), order.end(), past);
            if (step < 0 ? mine < theirs : mine > theirs) break;
            if (!notes.MoveFavourite(url, step)) break;
        }
    });
    return true;
}

void Catalogue::Played(const std::string& url, int32_t record, int64_t when) {
    if (url.empty()) return;
    noted_.Want(table_, url, record);
    ChangeNotes([&](ChannelNotes& notes) { notes.Played(url, when); });
}

void Catalogue::ClearHistory() {
    ChangeNotes([](ChannelNotes& notes) { notes.ClearHistory(); });
}

void Catalogue::Store(int32_t index, const TChannelRec& rec) {
    const bool inTable = index >= 1 && index <= table_.ChannelCount;
    const std::string from = inTable ? table_.Channels[index].Url.str() : std::string();
    if (inTable && from != rec.Url.view()) ChangeNotes([&](ChannelNotes& notes) { notes.Move(from, rec.Url.view()); });
    Change([index, &rec](ChannelTable& table, SearchIndex* search) {
        table.StoreChannel(index, rec);
        if (search && index >= 1 && index <= table.ChannelCount) search->Store(index, rec);
    });
    if (inTable && from != rec.Url.view()) {
        noted_.Stored(table_, index, from);
        if (notes_.Find(rec.Url.view())) noted_.Want(table_, rec.Url.view(), index);
    }
}

void Catalogue::Delete(int32_t index) {
    if (index < 1 || index > table_.ChannelCount) return;
    Change([this, index](ChannelTable& table, SearchIndex* search) {
        // The rows as they were, less the deleted record.
        rows_ = table.DeleteChannel(index, rows_);
        if (search) search->Delete(index);
    });
    noted_.Deleted(index);
    // With newer rows on their way the grid keeps its rows (less the deleted one, which now reads as
    // empty) and its selection until they arrive.
    if (state_ != CatalogueState::Rebuilding) emit rowsReplaced();
}

void Catalogue::Load(const RowFilter& filter) {
    filter_ = filter;
    StartLoad(false, nullptr);
}

void Catalogue::Reload(const RowFilter& filter, std::function<void(bool loaded)> whenDone) {
    if (state_ == CatalogueState::Loading) {
        pendingReload_ = [this, filter, whenDone = std::move(whenDone)] { Reload(filter, whenDone); };
        return;
    }
    filter_ = filter;
    StartLoad(true, std::move(whenDone));
}

void Catalogue::StartLoad(bool reload, std::function<void(bool loaded)> whenDone) {
    CancelRebuilds();
    ++request_;
    SetState(reload ? CatalogueState::Replacing : CatalogueState::Loading);
    const std::string selectedUrl = reload && table_.HasSelection() ? table_.Selected().Url.str() : std::string();
    // A reload takes the table away from the grid, which shows no rows until the new one is in place: two
    // catalogues of a million channels would not fit in memory side by side.
    auto previous = std::make_shared<std::pair<ChannelTable, SearchIndex>>();
    if (reload) {
        {
            std::unique_lock<std::shared_mutex> writing(shared_->lock);
            std::swap(previous->first, table_);
            std::swap(previous->second, index_);
            table_.ResetChannels();
            indexed_ = false;
            rows_ = 0;
            ++version_;
        }
        shownMatches_.clear();
        emit rowsReplaced();
    }
    // The addresses of the user's lists, to be found in the new table (at start-up its notes tell them).
    std::vector<std::string> noted = noted_.Urls();
    StartJob(JobKind::Load, [this, progressTarget = progress_, dir = listDir_, filter = filter_, reload, selectedUrl,
                             whenDone, previous, noted](const JobRunner::Context& job) mutable {
        auto result = std::make_shared<TableResult>();
        result->filter = filter;
        result->outcome.reload = reload;
        PostedProgress progress([&job](std::function<void()> fn) { job.Post(std::move(fn)); }, progressTarget);
        // The user's local records as they were in memory, unsaved changes included; the rest goes now.
        for (int32_t i = 1; i <= previous->first.ChannelCount; ++i)
            if (previous->first.Channels[i].IsLocal)
                result->locals.push_back(previous->first.Channels[i]);  // own texts
        previous.reset();
        if (!reload) {
            result->notes.emplace(dir / NotesFileName);
            const ChannelNotes::ReadResult read = result->notes->Load();
            if (!read.ok) result->outcome.notesError = read.error;
            noted = result->notes->Favourites();
            for (std::string& url : result->notes->Recent(RecentCount)) noted.push_back(std::move(url));
        }
        try {
            ChannelTable& table = result->table;
            for (int list = 0; list < (reload ? 1 : 2); ++list) {
                const LoadResult loaded = LoadChannelList(table, list, dir, &progress);
                result->outcome.listDates[list] = loaded.listDate;
                if (loaded.error && !result->outcome.firstError) result->outcome.firstError = loaded.error;
                if (list == 1 && loaded.error) result->outcome.localDamaged = true;
                if (job.Cancelled()) return;
            }
            if (reload) {
                table.AppendChannels(result->locals);
                result->locals = {};
            }
            table.RemoveDuplicates(&progress);
            result->noted.Build(table, noted);
            progress.ShowProgressPhase("Loading channel list ...", Blue, table.ChannelCount);
            result->index = std::make_shared<SearchIndex>();
            if (!filter.query.Empty()) result->index->Build(table);
            RowRequest req;
            req.filter = filter;
            req.cancel = &job.CancelFlag();
            std::optional<RowSet> rows = ComputeRowSet(table, *result->index, req);
            if (!rows) return;
            result->rows = std::move(*rows);
            result->selected = selectedUrl.empty() ? 0 : table.IndexOfUrl(selectedUrl);
        } catch (const std::exception& e) {
            result->failed = true;
            if (!result->outcome.firstError) result->outcome.firstError = e.what();
            // The local records never reached the table: a save would write a list without them.
            if (!reload) result->outcome.localDamaged = true;
        }
        job.Post([this, result, whenDone] { ApplyTable(result, whenDone); });
    });
}

void Catalogue::ApplyTable(std::shared_ptr<TableResult> result, std::function<void(bool loaded)> whenDone) {
    if (!result->failed) {
        CancelRebuilds();
        auto old = std::make_shared<std::pair<ChannelTable, SearchIndex>>();
        {
            std::unique_lock<std::shared_mutex> writing(shared_->lock);
            std::swap(old->first, table_);
            std::swap(old->second, index_);
            table_ = std::move(result->table);
            table_.SetRowMap(std::move(result->rows.rowMap));
            rows_ = result->rows.rows;
            table_.SelectedChannel = result->selected;
            index_ = std::move(*result->index);
            indexed_ = !result->filter.query.Empty();
            ++version_;
        }
        if (result->notes) notes_ = std::move(*result->notes);
        noted_ = std::move(result->noted);
        shownFilter_ = result->filter;
        shownMatches_ = std::move(result->rows.matches);
        // A million records take tens of milliseconds to free: not on the window's thread.
        StartJob(JobKind::Background, [old = std::move(old)](const JobRunner::Context&) mutable { old.reset(); });
    } else if (!result->locals.empty()) {
        // A reload that failed still gives back the user's own channels it had taken.
        std::unique_lock<std::shared_mutex> writing(shared_->lock);
        table_.AppendChannels(result->locals);
        noted_.Build(table_, noted_.Urls());
        ++version_;
    }
    if (result->filter == filter_ && !result->failed) {
        SetState(CatalogueState::Idle);
    } else {
        // The filter changed while the table was on its way.
        StartRebuild();
        SetState(CatalogueState::Rebuilding);
    }
    if (!held_.empty()) {
        // Channels that came while the table was on its way join the one now in place.
        AppendMany(std::exchange(held_, {}));
        if (state_ == CatalogueState::Idle) {
            StartRebuild();
            SetState(CatalogueState::Rebuilding);
        }
    }
    emit rowsReplaced();
    emit loaded(result->outcome);
    // A list that could not be read is no list in place, even where the table still took the rest.
    if (whenDone) whenDone(!result->failed && !result->outcome.firstError);
    if (pendingReload_ && state_ != CatalogueState::Loading) std::exchange(pendingReload_, nullptr)();
}

std::function<void(const std::function<void(const ChannelTable&)>&)> Catalogue::Reader() {
    return [shared = shared_](const std::function<void(const ChannelTable&)>& read) {
        std::shared_lock<std::shared_mutex> reading(shared->lock);
        if (!shared->closed) read(*shared->table);
    };
}

void Catalogue::Shutdown() {
    if (!shared_) return;
    runner_.Close();
    {
        std::unique_lock<std::shared_mutex> writing(shared_->lock);
        shared_->closed = true;
    }
    // A job still reading a file into its own table after this touches nothing of ours.
    runner_.Shutdown(std::chrono::seconds(1));
    shared_.reset();
}

}  // namespace castora
