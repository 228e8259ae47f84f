#pragma once
#include <QObject>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/ChannelNotes.h"
#include "catalogue/ChannelTable.h"
#include "catalogue/JobRunner.h"
#include "catalogue/NotedRecords.h"
#include "catalogue/Rows.h"
#include "catalogue/Search.h"

namespace castora {

// What the catalogue is doing. Only Idle and Rebuilding let the user change the table.
enum class CatalogueState { Idle, Loading, Rebuilding, Replacing };

// What a load or reload found, for the window to show once the new table is in place.
struct LoadOutcome {
    std::optional<std::string> listDates[2];  // the first line of each list file that was read
    std::optional<std::string> firstError;    // first read or number error of the lists
    std::optional<std::string> notesError;    // the channel notes could not be read (start-up only)
    bool localDamaged = false;                // local.dat is there but did not load without error
    bool reload = false;
};

// The one owner of the channel table. Long work runs on worker threads over data the window does not
// see, and its result is swapped in at once on the window's thread, which never holds a half-built
// table and never re-enters its event loop. The rules:
//  1. Only the window's thread changes the table (and its search index), and never while a worker reads
//     it: a change first cancels a running rebuild (which polls its flag every few thousand records) and
//     takes the lock that readers hold. A rebuild cut short by a change starts again on the changed table.
//  2. A newer row request (filters or search) replaces an older one still running; only the newest
//     request's rows are shown. A request made while a table is being loaded or replaced runs on the
//     new table. The search index is built by the first job that needs it and kept up to date after.
//  3. A load (start-up) reads both lists; a reload (after an update) reads the global list again and
//     keeps the local records in memory, unsaved ones included. Either builds a whole new table with
//     its duplicates removed and its rows computed, and swaps it in with its rows in one step; a reload
//     cancels a running rebuild, since it brings its own rows. A reload asked for during the start-up
//     load starts when that load is in place, so it keeps the local records the load brings.
//  4. Closing cancels every job and waits at most a second; a job still reading a file then is left to
//     finish on its own data and its result is dropped.
class Catalogue : public QObject {
    Q_OBJECT
public:
    explicit Catalogue(std::filesystem::path listDir, QObject* parent = nullptr);
    ~Catalogue() override;

    // Read only: every change goes through the functions below, which keep the rules.
    const ChannelTable& Table() const { return table_; }
    CatalogueState State() const { return state_; }
    // Changes with every change of the table's records (their indices may have moved).
    uint64_t Version() const { return version_; }
    // Filled rows of the table's RowMap.
    int32_t Rows() const { return rows_; }
    RowFilter Filter() const { return filter_; }
    // The search index describes the table (a search need not build it first).
    bool SearchReady() const { return indexed_; }
    // Loading and rebuild progress reaches this sink on the window's thread.
    void SetProgress(ProgressSink* progress) { progress_ = progress; }

    void Load(const RowFilter& filter);
    void Reload(const RowFilter& filter, std::function<void(bool loaded)> whenDone);
    void RequestRows(const RowFilter& filter);
    // Builds the search index ahead of the first search (when the find field opens).
    void PrepareSearch();
    // The record the user picked in the grid (0 for none); view state, which no rule guards.
    void Select(int32_t record) { table_.SelectedChannel = record; }
    int32_t Selected() const { return table_.SelectedIndex(); }
    // The record grid row `row` (1-based) shows, 0 when the row shows none.
    int32_t RecordAtRow(int32_t row) const {
        return row >= 1 && row <= rows_ && row < static_cast<int32_t>(table_.RowMap.size()) ? table_.RowMap[row] : 0;
    }
    // The records the grid shows, in its order.
    std::vector<int32_t> ShownRecords() const {
        return std::vector<int32_t>(table_.RowMap.begin() + 1, table_.RowMap.begin() + 1 + rows_);
    }
    // Empties the table; only before the first load.
    void Clear();
    // What the program knows of each channel beyond its record (read with the lists at start-up). A
    // change is written at once with SaveNotes; an edit of a channel's address carries its note along.
    const ChannelNotes& Notes() const { return notes_; }
    void ChangeNotes(const std::function<void(ChannelNotes&)>& change);
    // The user's favourites and the channels played last (newest first), as the records of the table
    // that hold them; a favourite whose channel is not in the table is kept, and shows when it comes back.
    static constexpr size_t RecentCount = 50;
    std::vector<int32_t> FavouriteRecords() const;
    std::vector<int32_t> RecentRecords() const;
    bool IsFavourite(int32_t record) const;
    void SetFavourite(int32_t record, bool on);
    // One place up (-1) or down (+1) among the favourites; false when it cannot move.
    bool MoveFavourite(int32_t record, int step);
    // The channel with this address reached playing (`record` holds it, or 0 when unknown).
    void Played(const std::string& url, int32_t record, int64_t when);
    void ClearHistory();
    // The table's own changes, made by the rules above.
    void Append(const TChannelRec& rec);
    // While a table is on its way the records wait and join it once it is in place: false then.
    bool AppendMany(const std::vector<TChannelRec>& records);
    void Store(int32_t index, const TChannelRec& rec);
    // Deletes a record and keeps the shown rows in step with the table.
    void Delete(int32_t index);
    void Shutdown();
    // For a worker that needs the table as it stands (an import's plan): runs read with it while no
    // change can happen, and not at all once the catalogue has closed.
    std::function<void(const std::function<void(const ChannelTable&)>&)> Reader();

signals:
    void stateChanged(castora::CatalogueState state);
    // A new RowMap is in place (after a rebuild, a load or a reload).
    void rowsReplaced();
    void loaded(const castora::LoadOutcome& outcome);
    // The notes could not be written (the reason, for the user).
    void notesFailed(const std::string& error);
    // The notes changed (favourites, history, what an import knew).
    void notesChanged();

private:
    struct Shared;
    // Rows: cut short by a newer request or a change. Background: work nobody waits for (an index ahead
    // of need, freeing a replaced table). Both run below the window's thread in priority.
    enum class JobKind { Load, Rows, Background };
    struct TableResult;

    void StartJob(JobKind kind, JobRunner::Work work);
    // Takes an index built on a worker, if it still describes the table.
    void InstallIndex(uint64_t version, const std::shared_ptr<SearchIndex>& built);
    void CancelRebuilds();
    void StartRebuild();
    void Change(const std::function<void(ChannelTable&, SearchIndex*)>& change);
    void StartLoad(bool reload, std::function<void(bool loaded)> whenDone);
    void ApplyRows(uint64_t request, uint64_t version, RowSet rows);
    void ApplyTable(std::shared_ptr<TableResult> result, std::function<void(bool loaded)> whenDone);
    void SetState(CatalogueState state);

    std::filesystem::path listDir_;
    ChannelTable table_;
    ChannelNotes notes_;
    NotedRecords noted_;  // where the favourites and recent channels stand in table_
    int32_t rows_ = 0;
    RowFilter filter_;
    SearchIndex index_;
    bool indexed_ = false;           // index_ describes the table
    bool indexing_ = false;          // a job builds it ahead of need
    std::vector<TChannelRec> held_;  // appended while a table was on its way
    // The last rows shown, when few, and what they were made for: a narrower search starts from them.
    RowFilter shownFilter_;
    std::vector<int32_t> shownMatches_;
    CatalogueState state_ = CatalogueState::Idle;
    ProgressSink* progress_ = nullptr;
    std::shared_ptr<Shared> shared_;
    JobRunner runner_;                     // last of the members that jobs use, so that it is destroyed first
    std::function<void()> pendingReload_;  // a reload asked for while the start-up load runs
    uint64_t request_ = 0;                 // the newest row request
    uint64_t version_ = 0;                 // bumped by every change of the table
};

}  // namespace castora
