#include "server/GuideRefresh.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <system_error>

#include "catalogue/GuideReader.h"

namespace castora {

namespace fs = std::filesystem;

namespace {

constexpr const char* CacheFile = "guide.cache";
constexpr const char* MetaHeader = "castora-guide-source 1";

struct Meta {
    std::string location;
    GuideValidators validators;
    int64_t fetched = 0;
};

std::string SourceStem(std::string_view location) {
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(GuideHash(location, 7)));
    return hex;
}

bool OneLine(const std::string& s) { return s.find_first_of("\r\n") == std::string::npos; }

Meta ReadMeta(const fs::path& file) {
    Meta m;
    std::ifstream in(file);
    std::string line;
    if (!std::getline(in, line) || line != MetaHeader) return {};
    while (std::getline(in, line)) {
        const size_t space = line.find(' ');
        if (space == std::string::npos) continue;
        const std::string key = line.substr(0, space), value = line.substr(space + 1);
        if (key == "location") m.location = value;
        else if (key == "etag") m.validators.etag = value;
        else if (key == "last-modified") m.validators.lastModified = value;
        else if (key == "fetched") m.fetched = std::strtoll(value.c_str(), nullptr, 10);
    }
    return m;
}

void WriteMeta(const fs::path& file, const Meta& m) {
    fs::path temp = file;
    temp += ".part";
    {
        std::ofstream out(temp, std::ios::trunc);
        out << MetaHeader << "\nlocation " << m.location << "\n";
        // A header value with a line break would end the entry early: such a validator is not kept.
        if (OneLine(m.validators.etag)) out << "etag " << m.validators.etag << "\n";
        if (OneLine(m.validators.lastModified)) out << "last-modified " << m.validators.lastModified << "\n";
        out << "fetched " << m.fetched << "\n";
        if (!out.flush())
            throw GuideError("The guide's source list could not be written in " + file.parent_path().string() + ".");
    }
    std::error_code ec;
    fs::rename(temp, file, ec);
    if (ec) throw GuideError("The guide's source list could not be written: " + ec.message() + ".");
}

// What a read copy is known by: its size and when it last changed.
std::string Identity(const fs::path& file) {
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    if (ec) return "none";
    const auto time = fs::last_write_time(file, ec);
    return std::to_string(size) + "@" + std::to_string(time.time_since_epoch().count());
}

int64_t ModifiedSeconds(const fs::path& file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_mtime) : 0;
}

// One source in the middle of a refresh.
struct Work {
    GuideSourceState state;
    fs::path body, part, meta;  // an address's files in the cache
    fs::path read;              // what is read: the file, the new download, or the last copy
    bool fresh = false;         // `read` is a new download
    Meta stored;
    GuideValidators validators;
};

}  // namespace

bool IsGuideAddress(std::string_view location) {
    const auto starts = [&](std::string_view scheme) {
        if (location.size() < scheme.size()) return false;
        for (size_t i = 0; i < scheme.size(); ++i)
            if (std::tolower(static_cast<unsigned char>(location[i])) != scheme[i]) return false;
        return true;
    };
    return starts("http://") || starts("https://");
}

std::shared_ptr<const GuideIndex> LoadGuideCache(const fs::path& cacheDir, std::string* why) {
    return GuideIndex::Load(cacheDir / CacheFile, why);
}

GuideRefreshResult RefreshGuide(const GuideRefreshRequest& request, std::shared_ptr<const GuideIndex> current) {
    GuideRefreshResult result;
    const fs::path sourcesDir = request.cacheDir / "sources";
    std::error_code ec;
    fs::create_directories(sourcesDir, ec);
    const auto cancelled = [&] { return request.cancel && request.cancel->load(); };

    if (request.sources.empty()) {
        fs::remove(request.cacheDir / CacheFile, ec);
        fs::remove_all(sourcesDir, ec);
        result.changed = current != nullptr;
        if (result.changed) result.index = std::make_shared<GuideIndex>();
        return result;
    }

    WebTransferOptions download = request.download;
    download.maxBytes = request.maxDownloadBytes;
    download.cancel = request.cancel;

    std::vector<Work> work;
    bool anyNew = false;
    for (const std::string& location : request.sources) {
        Work w;
        w.state.location = location;
        if (cancelled()) {
            result.cancelled = true;
            return result;
        }
        if (!IsGuideAddress(location)) {
            w.state.status = GuideSourceState::Status::File;
            w.read = location;
            w.state.fetched = ModifiedSeconds(location);
            work.push_back(std::move(w));
            continue;
        }
        const std::string stem = SourceStem(location);
        w.body = sourcesDir / (stem + ".body");
        w.part = sourcesDir / (stem + ".part");
        w.meta = sourcesDir / (stem + ".meta");
        w.stored = ReadMeta(w.meta);
        const bool haveBody = w.stored.location == location && fs::exists(w.body, ec);
        if (!haveBody) w.stored = {};
        const bool due = request.force || !haveBody || request.now - w.stored.fetched >= request.maxAge.count() ||
                         request.now < w.stored.fetched;
        if (!due) {
            w.state.status = GuideSourceState::Status::Fresh;
            w.state.fetched = w.stored.fetched;
            w.read = w.body;
            work.push_back(std::move(w));
            continue;
        }
        const GuideDownload d = DownloadGuide(location, w.part, w.stored.validators, download);
        if (d.outcome == GuideDownload::Outcome::Cancelled) {
            result.cancelled = true;
            return result;
        }
        if (d.outcome == GuideDownload::Outcome::Fetched) {
            w.state.status = GuideSourceState::Status::Fetched;
            w.state.fetched = request.now;
            w.read = w.part;
            w.fresh = true;
            w.validators = d.validators;
            anyNew = true;
        } else if (d.outcome == GuideDownload::Outcome::NotModified) {
            w.state.status = GuideSourceState::Status::NotModified;
            w.state.fetched = request.now;
            w.read = w.body;
            w.stored.fetched = request.now;
            try {
                WriteMeta(w.meta, w.stored);
            } catch (const GuideError& e) {
                result.error = e.what();
            }
        } else {
            w.state.status = GuideSourceState::Status::Failed;
            w.state.error = d.error;
            if (haveBody) {
                w.state.usedPrevious = true;
                w.state.fetched = w.stored.fetched;
                w.read = w.body;
            }
        }
        work.push_back(std::move(w));
    }

    const GuideSpan span = GuideKeepSpan(request.now);
    const uint64_t wantedStamp = request.wanted ? request.wanted->Stamp() : 0;
    const auto stamp = [&] {
        std::string identities;
        for (const Work& w : work)
            identities += w.state.location + "|" + (w.read.empty() ? "none" : Identity(w.read)) + "\n";
        return GuideHash(identities, 11);
    };
    if (!anyNew && current) {
        const GuideInfo& info = current->Info();
        if (info.sourcesStamp == stamp() && info.wantedStamp == wantedStamp && request.now >= info.created &&
            request.now - info.created < request.maxAge.count()) {
            for (const Work& w : work) result.sources.push_back(w.state);
            return result;
        }
    }

    GuideReadOptions options;
    options.keepFrom = span.from;
    options.keepTo = span.to;
    options.wanted = request.wanted.get();
    options.decode.maxDecodedBytes = request.maxDecodedBytes;
    options.decode.cancel = request.cancel;
    std::vector<std::shared_ptr<GuideIndex>> parts;
    for (Work& w : work) {
        if (w.read.empty()) continue;
        std::shared_ptr<GuideIndex> index;
        try {
            index = ReadGuideFile(w.read, options);
        } catch (const GuideCancelled&) {
            for (Work& v : work)
                if (v.fresh) fs::remove(v.part, ec);
            result.cancelled = true;
            return result;
        } catch (const GuideError& e) {
            w.state.status = GuideSourceState::Status::Failed;
            w.state.error = e.what();
            if (w.fresh) {
                // A new download that cannot be read: the copy before it stays, and is read instead.
                fs::remove(w.part, ec);
                w.fresh = false;
                w.read.clear();
                if (!w.stored.location.empty() && fs::exists(w.body, ec)) {
                    w.read = w.body;
                    w.state.usedPrevious = true;
                    w.state.fetched = w.stored.fetched;
                    try {
                        index = ReadGuideFile(w.body, options);
                    } catch (const GuideCancelled&) {
                        result.cancelled = true;
                        return result;
                    } catch (const GuideError&) {
                        w.read.clear();
                        w.state.usedPrevious = false;
                    }
                }
            } else {
                w.read.clear();
            }
            if (!index) continue;
        }
        if (w.fresh) {
            fs::rename(w.part, w.body, ec);
            w.read = w.body;
            try {
                WriteMeta(w.meta, {w.state.location, w.validators, request.now});
            } catch (const GuideError& e) {
                result.error = e.what();
            }
        }
        w.state.channels = index->ChannelCount();
        w.state.programmes = index->ProgrammeCount();
        parts.push_back(std::move(index));
    }
    for (const Work& w : work) result.sources.push_back(w.state);

    if (parts.empty()) {
        if (result.error.empty()) result.error = "No guide could be read.";
        return result;
    }
    GuideInfo info;
    info.created = request.now;
    info.keepFrom = span.from;
    info.keepTo = span.to;
    info.wantedStamp = wantedStamp;
    info.sourcesStamp = stamp();
    std::shared_ptr<GuideIndex> merged;
    if (parts.size() == 1) {
        merged = std::move(parts.front());
        merged->Info() = info;
    } else {
        merged = MergeGuides(std::vector<std::shared_ptr<const GuideIndex>>(parts.begin(), parts.end()), info);
    }
    parts.clear();
    try {
        merged->Save(request.cacheDir / CacheFile);
    } catch (const GuideError& e) {
        result.error = e.what();
    }
    // Copies of addresses no longer listed go.
    std::vector<std::string> keep;
    for (const Work& w : work)
        if (!w.body.empty()) keep.push_back(w.body.stem().string());
    for (const auto& entry : fs::directory_iterator(sourcesDir, ec)) {
        const std::string stem = entry.path().stem().string();
        if (std::find(keep.begin(), keep.end(), stem) == keep.end()) fs::remove(entry.path(), ec);
    }
    result.index = std::move(merged);
    result.changed = true;
    return result;
}

// ------------------------------------------------------------------------------------------------ keeper

GuideKeeper::GuideKeeper(Options options, Done done) : options_(std::move(options)), done_(std::move(done)) {
    thread_ = std::thread([this] { Run(); });
}

GuideKeeper::~GuideKeeper() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        jobs_.clear();
        cancel_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void GuideKeeper::SetSources(std::vector<std::string> sources) {
    std::lock_guard lock(mutex_);
    sources_ = std::move(sources);
}

void GuideKeeper::SetWanted(std::shared_ptr<const GuideWanted> wanted) {
    std::lock_guard lock(mutex_);
    wanted_ = std::move(wanted);
}

uint64_t GuideKeeper::LoadCache() {
    uint64_t number;
    {
        std::lock_guard lock(mutex_);
        number = ++lastJob_;
        jobs_.push_back({Kind::LoadCache, number});
    }
    wake_.notify_all();
    return number;
}

uint64_t GuideKeeper::Refresh(bool force) {
    uint64_t number = 0;
    {
        std::lock_guard lock(mutex_);
        for (Job& j : jobs_) {
            if (j.kind == Kind::LoadCache) continue;
            if (force) j.kind = Kind::ForcedRefresh;
            number = j.number;
        }
        if (number == 0) {
            number = ++lastJob_;
            jobs_.push_back({force ? Kind::ForcedRefresh : Kind::Refresh, number});
        }
    }
    wake_.notify_all();
    return number;
}

void GuideKeeper::Cancel() {
    std::lock_guard lock(mutex_);
    jobs_.clear();
    cancel_ = true;
}

bool GuideKeeper::Busy() const {
    std::lock_guard lock(mutex_);
    return running_ || !jobs_.empty();
}

void GuideKeeper::Run() {
    // Per thread on Linux: the window's thread keeps its priority.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), options_.niceness);
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
        if (stopping_) return;
        const Job job = jobs_.front();
        jobs_.pop_front();
        running_ = true;
        cancel_ = false;
        GuideRefreshRequest request;
        request.cacheDir = options_.cacheDir;
        request.sources = sources_;
        request.wanted = wanted_;
        request.maxAge = options_.maxAge;
        request.download = options_.download;
        request.maxDownloadBytes = options_.maxDownloadBytes;
        request.maxDecodedBytes = options_.maxDecodedBytes;
        request.force = job.kind == Kind::ForcedRefresh;
        request.cancel = &cancel_;
        std::shared_ptr<const GuideIndex> current = current_;
        lock.unlock();

        request.now = options_.clock ? options_.clock() : static_cast<int64_t>(std::time(nullptr));
        GuideRefreshResult result;
        if (job.kind == Kind::LoadCache) {
            std::string why;
            result.index = LoadGuideCache(options_.cacheDir, &why);
            result.changed = result.index != nullptr;
            if (!result.index && fs::exists(options_.cacheDir / CacheFile))
                result.error = "The guide cache was not read: " + why + ".";
        } else {
            result = RefreshGuide(request, std::move(current));
        }
        result.job = job.number;
        current.reset();

        lock.lock();
        running_ = false;
        if (result.changed) current_ = result.index;
        if (stopping_) return;
        lock.unlock();
        done_(result);
        result = {};
        lock.lock();
    }
}

}  // namespace castora
