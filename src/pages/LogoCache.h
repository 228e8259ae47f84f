#pragma once
// Channel logos for the window: decoded thumbnails in memory for what is on screen, the disk cache
// behind them (LogoStore), and the workers that read, fetch and decode. The rules:
//  1. The window's thread never waits: Pixmap() answers from memory, and what is missing is asked for.
//  2. At most maxFetches fetches run at once, one per distinct address however many channels share it;
//     reading thumbnails from disk has slots of its own, so a slow server never holds up cached logos.
//  3. Want() replaces the grid's previous list: what scrolled away and has not started is dropped, and
//     a running fetch nobody wants any more is cancelled once a wanted one waits for its slot.
//     Request() (the playing channel) goes first and stays until it is answered.
//  4. Images are built on the workers; pixmaps only here, on the window's thread.
//  5. A thumbnail older than freshSeconds is shown and asked for again in the background (conditionally),
//     and a failure is not asked for again before failureSeconds.

#include <QObject>
#include <QPixmap>
#include <QThreadPool>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "pages/LogoStore.h"

namespace castora {

// A channel's logo address by record index; an empty address means no logo.
using LogoProvider = std::function<LogoAddress(int32_t record)>;

struct LogoCacheOptions {
    QString directory;  // empty: "logos" in the user's cache directory
    // Seconds since the epoch, read on any thread; the system clock when empty.
    std::function<int64_t()> now;
    int maxFetches = 4;
    int maxReads = 2;
    size_t memoryImages = 1024;  // decoded thumbnails kept in memory
    LogoLimits limits;
};

struct LogoRequest {
    LogoAddress address;
    int pixelSize = 0;  // device pixels
};

enum class LogoState { Unknown, Loading, Ready, Failed };

class LogoCache : public QObject {
    Q_OBJECT
public:
    explicit LogoCache(LogoCacheOptions options = {}, QObject* parent = nullptr);
    ~LogoCache() override;

    // The grid's logos in order of need: the rows in view, then those a screenful ahead.
    void Want(const std::vector<LogoRequest>& requests);
    // One logo wanted whatever the grid shows (the playing channel's, for its page and the media
    // controls); logoChanged() tells when it is there.
    void Request(const LogoAddress& address, int pixelSize);
    // Decoded and in memory now, at logicalSize x devicePixelRatio device pixels (within a square of that
    // side); null while unknown, on its way or failed. Never waits.
    QPixmap Pixmap(const LogoAddress& address, int logicalSize, qreal devicePixelRatio);
    QImage Image(const LogoAddress& address, int pixelSize);
    // The thumbnail's file (for mpris:artUrl), once it is in memory; empty otherwise.
    QString File(const LogoAddress& address, int pixelSize) const;
    LogoState State(const LogoAddress& address, int pixelSize) const;
    // Drops one address from memory and disk (the user chose a new file under the same name).
    void Forget(const LogoAddress& address);
    // "Clear logo cache": memory and disk; what is wanted now is fetched again.
    void Clear();
    QString Directory() const;

signals:
    // A logo of this address was decoded or replaced: cells showing it repaint.
    void logoChanged(const QString& url);
    void cleared();

private:
    struct Entry {
        std::string key;
        QPixmap pixmap;
        QString file;
        bool failed = false;
        int64_t checkedAt = 0;
    };
    enum class Stage { Read, Reading, Fetch, Fetching };
    struct Pending {
        LogoAddress address;
        std::string ident;
        int size = 0;
        Stage stage = Stage::Read;
    };
    struct FetchJob {
        uint64_t id = 0;
        std::shared_ptr<std::atomic<bool>> cancel;
        bool cancelled = false;
    };

    static std::string Key(const std::string& ident, int size);
    const Entry* Find(const std::string& key) const;
    Entry* Touch(const std::string& key);
    void Remember(const std::string& key, const QImage& image, const QString& file, bool failed);
    void Evict(const std::string& key);
    bool Wanted(const std::string& key) const;
    void RebuildOrder();
    // The key is answered: no longer pending, nor pinned.
    void Resolved(const std::string& key);
    void Pump();
    void StartRead(const std::string& key, Pending& pending);
    void StartFetch(const std::string& ident, const LogoAddress& address, std::vector<int> sizes, bool revalidate);
    void ReadDone(uint64_t generation, const std::string& key, LogoLoad load);
    void FetchDone(uint64_t generation, uint64_t job, const std::string& ident, const std::string& url,
                   LogoFetched fetched);
    void QueueRevalidation(const std::string& ident, const LogoAddress& address);
    void Remove(const std::filesystem::path& path);

    LogoCacheOptions options_;
    std::shared_ptr<LogoStore> store_;
    std::shared_ptr<std::atomic<bool>> closing_;
    QThreadPool pool_;
    std::list<Entry> lru_;  // most recently used first
    std::unordered_map<std::string, std::list<Entry>::iterator> entries_;
    std::unordered_map<std::string, Pending> pending_;
    std::vector<std::string> pinned_;  // Request()s not answered yet
    std::vector<LogoRequest> lastWant_;
    std::vector<std::string> gridOrder_;  // the grid's last Want(), as keys
    std::vector<std::string> order_;      // wanted keys: pinned ones, then the grid's
    std::unordered_set<std::string> wanted_;
    std::unordered_map<std::string, FetchJob> fetching_;  // by ident
    std::deque<std::pair<std::string, LogoAddress>> revalidate_;
    int reads_ = 0;
    int fetches_ = 0;  // running, cancelled ones included
    uint64_t nextJob_ = 0;
};

}  // namespace castora
