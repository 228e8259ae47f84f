#include "pages/LogoCache.h"

#include <algorithm>
#include <chrono>
#include <unordered_set>

#include <QFile>
#include <QStandardPaths>

namespace castora {

namespace fs = std::filesystem;

namespace {

// Thumbnails shown from disk and waiting to be asked for again; more are forgotten, oldest first, and
// asked for when next read from disk.
constexpr size_t MaxRevalidations = 256;

fs::path CacheDirectory(const QString& given) {
    const QString dir =
        given.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + "/logos" : given;
    return fs::path(QFile::encodeName(dir).toStdString());
}

int64_t SystemNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

LogoCache::LogoCache(LogoCacheOptions options, QObject* parent)
    : QObject(parent), options_(std::move(options)), closing_(std::make_shared<std::atomic<bool>>(false)) {
    if (!options_.now) options_.now = &SystemNow;
    options_.maxFetches = std::max(1, options_.maxFetches);
    options_.maxReads = std::max(1, options_.maxReads);
    options_.memoryImages = std::max<size_t>(1, options_.memoryImages);
    store_ = std::make_shared<LogoStore>(CacheDirectory(options_.directory), options_.now, options_.limits);
    // One more thread for deleting a cleared cache, so that never holds up a read or a fetch.
    pool_.setMaxThreadCount(options_.maxFetches + options_.maxReads + 1);
    for (const fs::path& old : store_->Leftovers()) Remove(old);
}

LogoCache::~LogoCache() {
    closing_->store(true);
    for (auto& [ident, job] : fetching_) job.cancel->store(true);
    pool_.waitForDone();
}

QString LogoCache::Directory() const { return QFile::decodeName(store_->Directory().c_str()); }

std::string LogoCache::Key(const std::string& ident, int size) { return std::to_string(size) + ' ' + ident; }

const LogoCache::Entry* LogoCache::Find(const std::string& key) const {
    const auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : &*it->second;
}

LogoCache::Entry* LogoCache::Touch(const std::string& key) {
    const auto it = entries_.find(key);
    if (it == entries_.end()) return nullptr;
    lru_.splice(lru_.begin(), lru_, it->second);
    return &*it->second;
}

void LogoCache::Remember(const std::string& key, const QImage& image, const QString& file, bool failed) {
    Entry entry{key, image.isNull() ? QPixmap() : QPixmap::fromImage(image), file, failed, options_.now()};
    const auto it = entries_.find(key);
    if (it != entries_.end()) {
        *it->second = std::move(entry);
        lru_.splice(lru_.begin(), lru_, it->second);
        return;
    }
    lru_.push_front(std::move(entry));
    entries_[key] = lru_.begin();
    while (lru_.size() > options_.memoryImages) {
        entries_.erase(lru_.back().key);
        lru_.pop_back();
    }
}

void LogoCache::Evict(const std::string& key) {
    const auto it = entries_.find(key);
    if (it == entries_.end()) return;
    lru_.erase(it->second);
    entries_.erase(it);
}

bool LogoCache::Wanted(const std::string& key) const { return wanted_.count(key) > 0; }

void LogoCache::RebuildOrder() {
    order_ = pinned_;
    wanted_.clear();
    wanted_.insert(pinned_.begin(), pinned_.end());
    for (const std::string& key : gridOrder_)
        if (wanted_.insert(key).second) order_.push_back(key);
}

void LogoCache::Resolved(const std::string& key) {
    pending_.erase(key);
    const auto pin = std::find(pinned_.begin(), pinned_.end(), key);
    if (pin != pinned_.end()) {
        pinned_.erase(pin);
        RebuildOrder();
    }
}

void LogoCache::Want(const std::vector<LogoRequest>& requests) {
    lastWant_ = requests;
    const int64_t now = options_.now();
    std::vector<std::string> grid;
    grid.reserve(requests.size());
    std::unordered_set<std::string> seen;
    for (const LogoRequest& r : requests) {
        if (r.address.Empty() || r.pixelSize <= 0) continue;
        const std::string ident = LogoStore::Ident(r.address);
        const std::string key = Key(ident, r.pixelSize);
        if (!seen.insert(key).second) continue;
        if (Entry* e = Touch(key)) {
            if (!e->failed) {
                // Shown for a month without a look at disk: asked for again, while it stays shown.
                if (now - e->checkedAt >= options_.limits.freshSeconds) {
                    e->checkedAt = now;
                    QueueRevalidation(ident, r.address);
                }
                continue;
            }
            if (now - e->checkedAt < options_.limits.failureSeconds) continue;
            Evict(key);
        }
        grid.push_back(key);
        pending_.try_emplace(key, Pending{r.address, ident, r.pixelSize, Stage::Read});
    }
    gridOrder_ = std::move(grid);
    RebuildOrder();
    // What scrolled away and has not started gives way; what runs finishes into the cache.
    for (auto it = pending_.begin(); it != pending_.end();) {
        const bool idle = it->second.stage == Stage::Read || it->second.stage == Stage::Fetch;
        if (idle && !Wanted(it->first)) {
            it = pending_.erase(it);
        } else {
            ++it;
        }
    }
    Pump();
}

void LogoCache::Request(const LogoAddress& address, int pixelSize) {
    if (address.Empty() || pixelSize <= 0) return;
    const std::string ident = LogoStore::Ident(address);
    const std::string key = Key(ident, pixelSize);
    if (Touch(key)) return;
    if (std::find(pinned_.begin(), pinned_.end(), key) == pinned_.end()) pinned_.push_back(key);
    pending_.try_emplace(key, Pending{address, ident, pixelSize, Stage::Read});
    RebuildOrder();
    Pump();
}

QPixmap LogoCache::Pixmap(const LogoAddress& address, int logicalSize, qreal devicePixelRatio) {
    if (address.Empty()) return {};
    Entry* e = Touch(Key(LogoStore::Ident(address), qRound(logicalSize * devicePixelRatio)));
    if (!e || e->failed) return {};
    if (e->pixmap.devicePixelRatio() != devicePixelRatio) e->pixmap.setDevicePixelRatio(devicePixelRatio);
    return e->pixmap;
}

QImage LogoCache::Image(const LogoAddress& address, int pixelSize) {
    if (address.Empty()) return {};
    const Entry* e = Touch(Key(LogoStore::Ident(address), pixelSize));
    return e && !e->failed ? e->pixmap.toImage() : QImage();
}

QString LogoCache::File(const LogoAddress& address, int pixelSize) const {
    if (address.Empty()) return {};
    const Entry* e = Find(Key(LogoStore::Ident(address), pixelSize));
    return e && !e->failed ? e->file : QString();
}

LogoState LogoCache::State(const LogoAddress& address, int pixelSize) const {
    if (address.Empty()) return LogoState::Unknown;
    const std::string key = Key(LogoStore::Ident(address), pixelSize);
    if (const Entry* e = Find(key)) return e->failed ? LogoState::Failed : LogoState::Ready;
    return pending_.count(key) ? LogoState::Loading : LogoState::Unknown;
}

void LogoCache::Pump() {
    std::vector<std::string> wantedIdents;
    bool fetchWaits = false;
    for (const std::string& key : order_) {
        const auto it = pending_.find(key);
        if (it == pending_.end()) continue;
        Pending& p = it->second;
        wantedIdents.push_back(p.ident);
        if (p.stage == Stage::Read) {
            if (reads_ < options_.maxReads) StartRead(key, p);
        } else if (p.stage == Stage::Fetch && !fetching_.count(p.ident)) {
            if (fetches_ >= options_.maxFetches) {
                fetchWaits = true;
                continue;
            }
            // One fetch makes every size asked for at the time.
            std::vector<int> sizes;
            for (const std::string& other : order_) {
                const auto o = pending_.find(other);
                if (o == pending_.end() || o->second.ident != p.ident || o->second.stage != Stage::Fetch) continue;
                sizes.push_back(o->second.size);
                o->second.stage = Stage::Fetching;
            }
            StartFetch(p.ident, p.address, std::move(sizes), false);
        }
    }
    while (!fetchWaits && fetches_ < options_.maxFetches && !revalidate_.empty()) {
        auto [ident, address] = std::move(revalidate_.front());
        revalidate_.pop_front();
        if (!fetching_.count(ident)) StartFetch(ident, address, {}, true);
    }
    if (!fetchWaits) return;
    for (auto& [ident, job] : fetching_) {
        if (job.cancelled || std::find(wantedIdents.begin(), wantedIdents.end(), ident) != wantedIdents.end()) continue;
        job.cancel->store(true);
        job.cancelled = true;
    }
}

void LogoCache::StartRead(const std::string& key, Pending& pending) {
    pending.stage = Stage::Reading;
    ++reads_;
    const uint64_t generation = store_->Generation();
    pool_.start([this, store = store_, generation, key, address = pending.address, size = pending.size] {
        LogoLoad load = store->Load(address, size);
        QMetaObject::invokeMethod(
            this,
            [this, generation, key, load = std::move(load)]() mutable { ReadDone(generation, key, std::move(load)); },
            Qt::QueuedConnection);
    });
}

void LogoCache::StartFetch(const std::string& ident, const LogoAddress& address, std::vector<int> sizes,
                           bool revalidate) {
    ++fetches_;
    FetchJob& job = fetching_[ident];
    job = FetchJob{++nextJob_, std::make_shared<std::atomic<bool>>(false), false};
    const uint64_t generation = store_->Generation();
    pool_.start([this, store = store_, generation, id = job.id, cancel = job.cancel, ident, address,
                 sizes = std::move(sizes), revalidate] {
        LogoFetched fetched = store->Fetch(address, sizes, revalidate, cancel.get(), generation);
        QMetaObject::invokeMethod(
            this,
            [this, generation, id, ident, url = address.url, fetched = std::move(fetched)]() mutable {
                FetchDone(generation, id, ident, url, std::move(fetched));
            },
            Qt::QueuedConnection);
    });
}

void LogoCache::ReadDone(uint64_t generation, const std::string& key, LogoLoad load) {
    --reads_;
    const auto it = pending_.find(key);
    if (generation != store_->Generation() || it == pending_.end()) {
        Pump();
        return;
    }
    const Pending p = it->second;
    switch (load.outcome) {
    case LogoLoad::Image:
        Remember(key, load.image.image, load.image.file, false);
        Resolved(key);
        if (load.revalidate) QueueRevalidation(p.ident, p.address);
        emit logoChanged(QString::fromStdString(p.address.url));
        break;
    case LogoLoad::Failed:
        Remember(key, {}, {}, true);
        Resolved(key);
        break;
    case LogoLoad::NeedFetch:
        if (Wanted(key)) {
            it->second.stage = Stage::Fetch;
        } else {
            pending_.erase(it);
        }
        break;
    }
    Pump();
}

void LogoCache::FetchDone(uint64_t generation, uint64_t job, const std::string& ident, const std::string& url,
                          LogoFetched fetched) {
    --fetches_;
    const auto running = fetching_.find(ident);
    if (running != fetching_.end() && running->second.id == job) fetching_.erase(running);
    if (generation != store_->Generation()) {
        Pump();
        return;
    }
    for (const LogoImage& image : fetched.images) Remember(Key(ident, image.size), image.image, image.file, false);
    std::vector<std::string> done;
    for (auto& [key, p] : pending_) {
        if (p.ident != ident || (p.stage != Stage::Fetch && p.stage != Stage::Fetching)) continue;
        if (fetched.cancelled) {
            if (p.stage == Stage::Fetching) p.stage = Stage::Fetch;
            if (!Wanted(key)) done.push_back(key);
            continue;
        }
        const bool made = std::any_of(fetched.images.begin(), fetched.images.end(),
                                      [&](const LogoImage& image) { return image.size == p.size; });
        if (made) {
            done.push_back(key);
        } else if (p.stage == Stage::Fetching) {
            // Failed, or the logo is one no longer there: nothing to show at this size.
            Remember(key, {}, {}, true);
            done.push_back(key);
        }
    }
    for (const std::string& key : done) Resolved(key);
    if (!fetched.images.empty()) emit logoChanged(QString::fromStdString(url));
    Pump();
}

void LogoCache::QueueRevalidation(const std::string& ident, const LogoAddress& address) {
    for (const auto& queued : revalidate_)
        if (queued.first == ident) return;
    revalidate_.emplace_back(ident, address);
    if (revalidate_.size() > MaxRevalidations) revalidate_.pop_front();
}

void LogoCache::Forget(const LogoAddress& address) {
    if (address.Empty()) return;
    const std::string ident = LogoStore::Ident(address);
    std::vector<std::string> keys;
    for (const Entry& e : lru_)
        if (e.key.compare(e.key.find(' ') + 1, std::string::npos, ident) == 0) keys.push_back(e.key);
    for (const std::string& key : keys) Evict(key);
    std::erase_if(revalidate_, [&](const auto& queued) { return queued.first == ident; });
    store_->Forget(address);
    // What is wanted of it now is read again.
    for (const std::string& key : order_) {
        if (key.compare(key.find(' ') + 1, std::string::npos, ident) != 0) continue;
        pending_.try_emplace(key, Pending{address, ident, std::atoi(key.c_str()), Stage::Read});
    }
    emit logoChanged(QString::fromStdString(address.url));
    Pump();
}

void LogoCache::Clear() {
    for (auto& [ident, job] : fetching_) job.cancel->store(true);
    fetching_.clear();
    lru_.clear();
    entries_.clear();
    revalidate_.clear();
    const fs::path aside = store_->Clear();
    if (!aside.empty()) Remove(aside);
    // Jobs still running belong to the old cache: their results are dropped, and what is wanted now
    // starts again.
    for (auto& [key, p] : pending_) p.stage = Stage::Read;
    emit cleared();
    Want(std::vector<LogoRequest>(lastWant_));
}

void LogoCache::Remove(const fs::path& path) {
    pool_.start([path, closing = closing_] { LogoStore::RemoveTree(path, *closing); });
}

}  // namespace castora
