// castora-bench-guide: the programme guide's timings and memory, for scripts/bench-guide.sh, which runs
// the npm parsers on the same files in the same run. Every figure is one tab-separated line
//   FIG <name> <median> <min> <max> <unit> <samples>
// Guides come from ../shared/tools/gen_xmltv.py: channel ids ch<i>.<cc>, display names "Channel <i>".
//
//   parse FILE NOW CHANNELS      read as the program does: span around NOW, a catalogue of CHANNELS
//                                channels (even ones matched by tvg-id, odd ones by name)
//   parse-all FILE               keep every programme of every channel, as the npm parsers do
//   keeper FILE NOW CHANNELS [NICE]  the whole refresh on the keeper's thread (at that niceness) beside a
//                                window-like event loop, then a start from the cache it wrote
//   now FILE NOW RECORDS [REPS]  the Now column at NOW: the guide read, cached and loaded again, a lookup
//                                for RECORDS catalogue channels, then one title a channel, all of them
#include <QCoreApplication>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "catalogue/GuideMatch.h"
#include "catalogue/GuideReader.h"
#include "server/GuideRefresh.h"

using namespace castora;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Median(std::vector<double> v) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void Fig(const std::string& name, const std::vector<double>& samples, const char* unit) {
    if (samples.empty()) {
        std::printf("FIG\t%s\tnan\tnan\tnan\t%s\t0\n", name.c_str(), unit);
    } else {
        const auto [lo, hi] = std::minmax_element(samples.begin(), samples.end());
        std::printf("FIG\t%s\t%.3f\t%.3f\t%.3f\t%s\t%zu\n", name.c_str(), Median(samples), *lo, *hi, unit,
                    samples.size());
    }
    std::fflush(stdout);
}
void Fig(const std::string& name, double value, const char* unit) { Fig(name, std::vector<double>{value}, unit); }

double MsSince(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

// VmRSS or VmHWM of this process, MiB.
double StatusMiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::strtod(line.c_str() + std::strlen(field) + 1, nullptr) / 1024.0;
    return NAN;
}

// The catalogue: record i takes guide channel i - 1, by tvg-id when i is even, else by name.
struct Catalogue {
    std::vector<std::string> ids, names;
    explicit Catalogue(int32_t channels, int32_t guideChannels = 0) {
        static const char* countries[] = {"us", "gb", "ru", "ua", "de", "fr", "tr", "in", "br", "cn"};
        for (int32_t r = 1; r <= channels; ++r) {
            const int32_t c = (r - 1) % (guideChannels > 0 ? guideChannels : channels);
            ids.push_back(r % 2 == 0 ? "ch" + std::to_string(c) + "." + countries[c % 10] : "");
            names.push_back(r % 2 == 0 ? "Local " + std::to_string(r) : "Channel " + std::to_string(c));
        }
    }
    int32_t Count() const { return static_cast<int32_t>(ids.size()); }
    GuideKeysAt Keys() const {
        return [this](int32_t r) {
            GuideChannelKeys k;
            k.tvgId = ids[r - 1];
            k.name = names[r - 1];
            return k;
        };
    }
};

int Parse(const fs::path& file, int64_t now, int32_t channels, bool all) {
    Catalogue catalogue(channels);
    const GuideWanted wanted = GuideWanted::Of(catalogue.Count(), catalogue.Keys());
    GuideReadOptions options;
    if (!all) {
        const GuideSpan span = GuideKeepSpan(now);
        options.keepFrom = span.from;
        options.keepTo = span.to;
        options.wanted = &wanted;
    }
    const double before = StatusMiB("VmRSS:");
    GuideReadStats stats;
    const auto t0 = Clock::now();
    const auto index = ReadGuideFile(file, options, &stats);
    const double ms = MsSince(t0);
    const std::string tag = all ? "guide.parse_all" : "guide.parse";
    Fig(tag + "_ms", ms, "ms");
    Fig(tag + "_rss_peak", StatusMiB("VmHWM:"), "MiB");
    Fig(tag + "_rss_growth", StatusMiB("VmHWM:") - before, "MiB");
    Fig(tag + "_read", static_cast<double>(stats.programmes), "programmes");
    Fig(tag + "_kept", static_cast<double>(index->ProgrammeCount()), "programmes");
    Fig(tag + "_index", index->MemoryBytes() / 1048576.0, "MiB");
    return 0;
}

// The longest stretch without the event loop running, from a 1 ms timer on the main thread.
class GapMeter {
public:
    GapMeter() {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(1);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const auto now = Clock::now();
            max_ = std::max(max_, std::chrono::duration<double, std::milli>(now - last_).count());
            last_ = now;
        });
    }
    void Start() {
        max_ = 0;
        last_ = Clock::now();
        timer_.start();
    }
    double Stop() {
        timer_.stop();
        return max_;
    }

private:
    QTimer timer_;
    Clock::time_point last_;
    double max_ = 0;
};

// Runs the event loop until `done` holds.
void LoopUntil(const std::function<bool()>& done) {
    while (!done()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

int Keeper(const fs::path& file, int64_t now, int32_t channels, int niceness) {
    int argc = 1;
    char name[] = "castora-bench-guide";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    const Catalogue catalogue(channels);
    const fs::path cache = fs::temp_directory_path() / ("castora-bench-guide-" + std::to_string(::getpid()));
    fs::remove_all(cache);

    // What the window holds: the lookup for its table, swapped in on its thread.
    std::shared_ptr<const GuideLookup> shown;
    std::shared_ptr<const GuideLookup> arrived;
    GuideKeeper::Options options;
    options.cacheDir = cache;
    options.clock = [now] { return now; };
    if (niceness >= 0) options.niceness = niceness;
    QObject receiver;
    const auto done = [&](const GuideRefreshResult& r) {
        // On the keeper's thread: the lookup is built there too, then handed over.
        auto lookup = std::make_shared<const GuideLookup>(r.index, catalogue.Count(), catalogue.Keys());
        QMetaObject::invokeMethod(
            &receiver, [&arrived, lookup] { arrived = lookup; }, Qt::QueuedConnection);
    };
    GapMeter meter;

    // The idle loop's own gaps, as the reference.
    meter.Start();
    const auto idle = Clock::now();
    LoopUntil([&] { return MsSince(idle) > 1000; });
    Fig("guide.idle_max_gap_ms", meter.Stop(), "ms");

    {
        GuideKeeper keeper(options, done);
        keeper.SetSources({file.string()});
        keeper.SetWanted(std::make_shared<GuideWanted>(GuideWanted::Of(catalogue.Count(), catalogue.Keys())));
        const double before = StatusMiB("VmRSS:");
        meter.Start();
        const auto t0 = Clock::now();
        keeper.Refresh(false);
        LoopUntil([&] { return arrived != nullptr; });
        shown = std::move(arrived);
        const double ms = MsSince(t0);
        Fig("guide.keeper_max_gap_ms", meter.Stop(), "ms");
        Fig("guide.keeper_ms", ms, "ms");
        Fig("guide.keeper_rss_growth", StatusMiB("VmHWM:") - before, "MiB");
        Fig("guide.keeper_kept", static_cast<double>(shown->Index()->ProgrammeCount()), "programmes");
        Fig("guide.keeper_matched", shown->Matched(), "channels");
    }
    std::error_code ec;
    Fig("guide.cache_bytes", fs::file_size(cache / "guide.cache", ec) / 1048576.0, "MiB");

    // Start-up: the cache read on the keeper's thread and the lookup built, until the window has it;
    // first with the file in the page cache, then with its pages dropped.
    shown.reset();
    std::vector<double> warm, cold;
    for (int round = 0; round < 6; ++round) {
        if (round % 2 == 1) {
            const int fd = ::open((cache / "guide.cache").c_str(), O_RDONLY);
            ::fdatasync(fd);
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
            ::close(fd);
        }
        GuideKeeper keeper(options, done);
        const auto t0 = Clock::now();
        keeper.LoadCache();
        LoopUntil([&] { return arrived != nullptr; });
        (round % 2 ? cold : warm).push_back(MsSince(t0));
        arrived.reset();
    }
    Fig("guide.cache_start_ms", warm, "ms");
    Fig("guide.cache_start_cold_ms", cold, "ms");
    fs::remove_all(cache, ec);
    return 0;
}

int Now(const fs::path& file, int64_t now, int32_t records, int reps) {
    // The index as a start-up has it: read, written to the cache and read back.
    GuideReadOptions options;
    const GuideSpan span = GuideKeepSpan(now);
    options.keepFrom = span.from;
    options.keepTo = span.to;
    const fs::path cacheFile = fs::temp_directory_path() / ("castora-bench-now-" + std::to_string(::getpid()));
    ReadGuideFile(file, options)->Save(cacheFile);
    std::string why;
    const auto index = GuideIndex::Load(cacheFile, &why);
    fs::remove(cacheFile);
    if (!index) {
        std::fprintf(stderr, "castora-bench-guide: the cache was refused: %s\n", why.c_str());
        return 1;
    }
    const Catalogue catalogue(records, index->ChannelCount());
    std::vector<double> build;
    std::shared_ptr<GuideLookup> lookup;
    for (int r = 0; r < 3; ++r) {
        const auto t0 = Clock::now();
        lookup = std::make_shared<GuideLookup>(index, catalogue.Count(), catalogue.Keys());
        build.push_back(MsSince(t0));
    }
    const int64_t t = now;
    std::vector<double> pass;
    size_t bytes = 0;
    for (int r = 0; r < reps; ++r) {
        const auto t0 = Clock::now();
        for (int32_t i = 1; i <= catalogue.Count(); ++i) bytes += lookup->NowTitle(i, t + r * 60).size();
        pass.push_back(MsSince(t0));
    }
    // The same as a grid's rebuild asks for it: every row at once.
    std::vector<int32_t> rows(static_cast<size_t>(catalogue.Count()));
    for (int32_t i = 0; i < catalogue.Count(); ++i) rows[i] = i + 1;
    std::vector<std::string_view> titles;
    std::vector<double> batch;
    size_t batchBytes = 0;
    for (int r = 0; r < reps; ++r) {
        const auto t0 = Clock::now();
        lookup->NowTitles(rows, t + r * 60, titles);
        batch.push_back(MsSince(t0));
        for (std::string_view title : titles) batchBytes += title.size();
    }
    if (batchBytes != bytes) std::fprintf(stderr, "castora-bench-guide: the two passes found other titles\n");
    std::vector<double> wanted;
    for (int r = 0; r < 3; ++r) {
        const auto t0 = Clock::now();
        const GuideWanted w = GuideWanted::Of(catalogue.Count(), catalogue.Keys());
        wanted.push_back(MsSince(t0));
    }
    const std::string n = "[" + std::to_string(records) + "]";
    Fig("guide.wanted_build_ms" + n, wanted, "ms");
    Fig("guide.lookup_build_ms" + n, build, "ms");
    Fig("guide.now_pass_ms" + n, pass, "ms");
    Fig("guide.now_rows_ms" + n, batch, "ms");
    Fig("guide.now_matched" + n, lookup->Matched(), "channels");
    Fig("guide.now_title_bytes" + n, static_cast<double>(bytes / reps), "bytes");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> a(argv + 1, argv + argc);
    try {
        if (a.size() == 4 && a[0] == "parse") return Parse(a[1], std::stoll(a[2]), std::stoi(a[3]), false);
        if (a.size() == 2 && a[0] == "parse-all") return Parse(a[1], 0, 0, true);
        if (a.size() >= 4 && a[0] == "keeper")
            return Keeper(a[1], std::stoll(a[2]), std::stoi(a[3]), a.size() > 4 ? std::stoi(a[4]) : -1);
        if (a.size() >= 4 && a[0] == "now")
            return Now(a[1], std::stoll(a[2]), std::stoi(a[3]), a.size() > 4 ? std::stoi(a[4]) : 50);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "castora-bench-guide: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: castora-bench-guide parse FILE NOW CHANNELS | parse-all FILE | "
                         "keeper FILE NOW CHANNELS [NICE] | now FILE NOW RECORDS [REPS]\n");
    return 2;
}
