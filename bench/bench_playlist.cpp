// Playlist import at the size of a large provider list: 100,000 extended M3U entries (about 20 MB) read and
// planned against a 100,000-channel catalogue, beside the floor of reading the file and splitting its lines.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTimer>
#include <fstream>
#include <memory>
#include <sstream>

#include "BenchSupport.h"
#include "app/MainForm.h"
#include "app/PlaylistImport.h"
#include "catalogue/Playlist.h"

using namespace castora;
using namespace castora::bench;

namespace {

constexpr int32_t kEntries = 100000;
constexpr int32_t kChannels = 100000;

ScratchDir* scratch = nullptr;

std::filesystem::path PlaylistFile() { return scratch->Path() / "provider.m3u"; }

// A provider list: mostly Latin names, a tenth Cyrillic, one in a hundred in CJK (spelt in Latin on import),
// one in twenty with request headers, and one in twenty already in the catalogue.
void WritePlaylist(const CatalogueGenerator& catalogue) {
    static const char* groups[] = {"News", "Sport", "Music", "Kids", "Movies", "Documentary", "General"};
    static const char* countries[] = {"RU", "US", "GB", "DE", "FR", "UA;RU", "INT"};
    std::ofstream out(PlaylistFile(), std::ios::binary);
    out << "#EXTM3U x-tvg-url=\"https://epg.example.com/guide.xml.gz\"\n";
    for (int32_t i = 1; i <= kEntries; ++i) {
        std::string name = i % 10 == 0 ? "Канал номер " + std::to_string(i) : "Channel " + std::to_string(i) + " HD";
        if (i % 100 == 7) name = "中央电视台 " + std::to_string(i);
        out << "#EXTINF:-1 tvg-name=\"" << name << "\" tvg-logo=\"https://logos.example.com/" << i
            << "/logo,small.png\" tvg-country=\"" << countries[i % 7] << "\" group-title=\"" << groups[i % 7] << "\","
            << name << "\n";
        if (i % 20 == 3) out << "#EXTVLCOPT:http-user-agent=Mozilla/5.0 (Windows NT 10.0; Win64; x64)\n";
        if (i % 20 == 11) out << catalogue.UniqueUrl(i) << "\n";
        else out << "https://stream" << i % 50 << ".example.net/live/ch" << i << "/index.m3u8?t=" << i << "\n";
    }
}

struct Fixture {
    std::unique_ptr<ChannelTable> table;
    LookupList sources, countries, genres;
    uint64_t bytes = 0;
};

Fixture& Data() {
    static Fixture f = [] {
        Fixture d;
        CatalogueSpec spec;
        spec.channels = kChannels;
        spec.duplicateShare = 0;
        const CatalogueGenerator gen(spec);
        d.table = std::make_unique<ChannelTable>();
        d.table->Resize(kChannels);
        for (int32_t i = 1; i <= kChannels; ++i) d.table->Record(i) = gen.Record(i);
        WritePlaylist(gen);
        d.bytes = std::filesystem::file_size(PlaylistFile());
        d.sources = {"*", "Online TV", "Radio", "Webcam"};
        d.countries = {"*", "International", "USA", "United Kingdom", "France", "Germany", "Russian Federation"};
        d.genres = {"*", "General", "News", "Music", "Sport", "Kids"};
        return d;
    }();
    return f;
}

std::string ReadAll() {
    std::ifstream in(PlaylistFile(), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return std::move(s).str();
}

void SetCounters(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Data().bytes));
    state.counters["entries"] = kEntries;
    state.counters["MB"] = static_cast<double>(Data().bytes) / 1e6;
}

// The floor: the file into memory and cut into lines, nothing parsed.
void BM_ReadAndSplitLines(benchmark::State& state) {
    Data();
    for (auto _ : state) {
        const std::string text = ReadAll();
        std::vector<std::string_view> lines;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            lines.emplace_back(text.data() + start, end - start);
            start = end + 1;
        }
        benchmark::DoNotOptimize(lines.data());
    }
    SetCounters(state);
}

void BM_ReadPlaylist(benchmark::State& state) {
    Data();
    for (auto _ : state) {
        const Playlist p = ReadPlaylist(ReadAll(), PlaylistFile().string(), false);
        if (!p.ok) state.SkipWithError(p.error.c_str());
        benchmark::DoNotOptimize(p.entries.data());
    }
    SetCounters(state);
}

// All the import does before the question: what runs on the worker thread.
void BM_ReadAndPlanImport(benchmark::State& state) {
    Fixture& d = Data();
    size_t added = 0, skipped = 0;
    for (auto _ : state) {
        const Playlist p = ReadPlaylist(ReadAll(), PlaylistFile().string(), false);
        const ImportPlan plan = PlanImport(p, *d.table, d.sources, d.countries, d.genres);
        added = plan.records.size();
        skipped = static_cast<size_t>(plan.duplicates);
        benchmark::DoNotOptimize(plan.records.data());
    }
    SetCounters(state);
    state.counters["added"] = static_cast<double>(added);
    state.counters["duplicates"] = static_cast<double>(skipped);
}

// What runs on the window's thread after "OK" before the records are handed over.
void BM_ApplySourceAndHandOver(benchmark::State& state) {
    Fixture& d = Data();
    const Playlist p = ReadPlaylist(ReadAll(), PlaylistFile().string(), false);
    const ImportPlan plan = PlanImport(p, *d.table, d.sources, d.countries, d.genres);
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<TChannelRec> records = plan.records;
        state.ResumeTiming();
        ApplySource(records, 1);
        std::vector<TChannelRec> handed = std::move(records);
        benchmark::DoNotOptimize(handed.data());
    }
    state.counters["records"] = static_cast<double>(plan.records.size());
}

// Answers the import question with the first source, and notes when: the user's "OK".
class Answering : public SilentMessages {
public:
    std::optional<int> AskImport(const ImportQuestion&) override {
        answered = Clock::now();
        return 1;
    }
    Clock::time_point answered;
};

// The whole import as the program runs it, into a window holding a 100,000-channel catalogue: from "OK"
// to a grid that shows the added channels. A 1 ms timer on the window's thread records the longest time
// its event loop went without turning, from the drop to the usable grid.
void BM_ImportIntoWindow(benchmark::State& state) {
    Data();
    Answering messages;
    double worstGap = 0;
    int32_t channels = 0;
    for (auto _ : state) {
        state.PauseTiming();
        AppConfig config;
        config.listDir = QString::fromStdString(CatalogueDir(scratch->Path(), kChannels).string());
        config.nullMediaOutputs = true;
        TMainForm form(config, messages);
        Settle(form);
        const int32_t before = form.Table().ChannelCount;
        QTimer ticker;
        auto last = Clock::now();
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            worstGap = std::max(worstGap, MsSince(last));
            last = Clock::now();
        });
        ticker.start(1);
        form.ImportPlaylist(QString::fromStdString(PlaylistFile().string()));
        while (form.Table().ChannelCount == before) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        Settle(form);
        const double fromOk = MsSince(messages.answered);
        worstGap = std::max(worstGap, MsSince(last));
        channels = form.Table().ChannelCount;
        state.SetIterationTime(fromOk / 1000);
        state.ResumeTiming();
    }
    state.counters["channels_after"] = channels;
    state.counters["worst_loop_gap_ms"] = worstGap;
}

}  // namespace

BENCHMARK(BM_ReadAndSplitLines)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadPlaylist)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadAndPlanImport)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ApplySourceAndHandOver)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ImportIntoWindow)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ScratchDir dir("castora-bench-playlist");
    scratch = &dir;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
