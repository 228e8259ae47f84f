#pragma once
// Playlist import and export as pieces the window wires to its menu, drop and command line: the window
// supplies the table, the lookup lists and what to do with the result.

#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "catalogue/ChannelTable.h"
#include "catalogue/ImportPlan.h"
#include "catalogue/JobRunner.h"
#include "catalogue/Lookup.h"

class QMimeData;

namespace castora {

class Messages;

// The three lookup lists as their files hold them (Windows-1251, entry 0 the placeholder), and the
// directory the lists are read from (empty: the working directory), which file addresses stored
// relative are relative to.
struct ImportLookups {
    LookupList sources, countries, genres;
    std::filesystem::path listDir = {};
};

// True for what Start takes as a download rather than a file.
bool IsPlaylistUrl(const QString& location);

// The playlist named on the command line (after QApplication took its own options): an http(s) URL as it
// stands, a file:// URL or a path as an absolute path. Empty when there is none.
QString PlaylistArgument(const QStringList& arguments);
// The playlist a drop carries: its first URL (a file or an http(s) address) or a link dropped as text.
QString PlaylistFromDrop(const QMimeData* data);

// Reads or downloads a playlist and plans the import on a worker thread, asks the question on the
// window's thread and hands the records over. One import at a time.
class PlaylistImport : public QObject {
    Q_OBJECT
public:
    // The plan as answered: its records with the chosen source, what the playlist said of each, its guides.
    using Deliver = std::function<void(ImportPlan plan)>;
    // Runs its argument with the table, from the worker, at a moment nobody changes the table.
    using TableReader = std::function<void(const std::function<void(const ChannelTable&)>&)>;

    PlaylistImport(TableReader reader, Messages& messages, QObject* parent = nullptr);
    // A table that nothing changes while the import runs.
    PlaylistImport(const ChannelTable& table, Messages& messages, QObject* parent = nullptr);
    // Cancels a running import and waits for its worker.
    ~PlaylistImport() override;

    // `location` is a file path, a file:// URL or an http(s) URL. The worker reads the table through the
    // reader; deliver runs just before finished(). False when an import is running.
    bool Start(const QString& location, ImportLookups lookups, Deliver deliver);
    void Cancel();
    bool Busy() const { return busy_; }
    // While the table is not in place (the start-up load), an import reads and prepares its records but
    // waits before it looks at the table or reports anything. Ready at construction.
    void SetTableReady(bool ready);

    uint64_t MaxBytes = 64ull * 1024 * 1024;

signals:
    // While a download runs, at most every 50 ms: bytes so far, announced total (0 when unknown).
    void progress(qint64 received, qint64 total);
    // The download is over (done, failed or cancelled); what follows is the question or the message.
    void downloaded();
    // After the records were delivered (true), or after an error, Cancel or nothing to add (false).
    void finished(bool imported);

private:
    struct Outcome;
    void Work(const JobRunner::Context& job, QString location, bool fromUrl);
    void Conclude(std::shared_ptr<Outcome> outcome);
    void WaitForTable(const JobRunner::Context& job);

    TableReader reader_;
    Messages& messages_;
    ImportLookups lookups_;
    Deliver deliver_;
    bool busy_ = false;
    bool cancelled_ = false;  // the user cancelled the import running now
    std::mutex gateMutex_;
    std::condition_variable gate_;
    bool tableReady_ = true;
    uint64_t job_ = 0;
    JobRunner runner_;  // last: its jobs use the members above
};

// Writes the records the grid shows (the callback's indices) as extended M3U.
class PlaylistExport {
public:
    PlaylistExport(const ChannelTable& table, Messages& messages, std::function<std::vector<int32_t>()> shownRecords)
        : table_(table), messages_(messages), shown_(std::move(shownRecords)) {}

    // Reports the outcome in a message; true when the file was written.
    bool Export(const QString& file, const ImportLookups& lookups);

private:
    const ChannelTable& table_;
    Messages& messages_;
    std::function<std::vector<int32_t>()> shown_;
};

}  // namespace castora
