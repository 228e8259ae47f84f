// Google Benchmark timings of the catalogue steps at 10^4, 10^5 and 10^6 channels: list load (with the
// plain file read as the floor), duplicate removal, the grid rebuild on an offscreen main window, and the
// rows of a find-as-you-type keystroke beside the plain filter rebuild.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QComboBox>
#include <QSignalBlocker>
#include <algorithm>
#include <fcntl.h>
#include <memory>
#include <thread>
#include <unistd.h>

#include "BenchSupport.h"
#include "app/MainForm.h"
#include "catalogue/ListFiles.h"
#include "catalogue/Search.h"
#include "pages/ChannelsPage.h"
#include "pages/ChannelModel.h"

using namespace castora;
using namespace castora::bench;

namespace {

ScratchDir* scratch = nullptr;

const std::filesystem::path& Dir(const benchmark::State& state) {
    return CatalogueDir(scratch->Path(), static_cast<int32_t>(state.range(0)));
}

void SetSizeCounters(benchmark::State& state, uint64_t bytes) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["channels"] = static_cast<double>(state.range(0));
}

// The floor for loading: both list files read into memory, nothing parsed.
void BM_ReadFiles(benchmark::State& state) {
    const auto& dir = Dir(state);
    std::string buffer;
    for (auto _ : state) {
        for (const char* name : {"global.dat", "local.dat"}) {
            const int fd = ::open((dir / name).c_str(), O_RDONLY | O_CLOEXEC);
            const auto size = std::filesystem::file_size(dir / name);
            buffer.resize(size);
            size_t got = 0;
            while (got < size) {
                const ssize_t n = ::read(fd, buffer.data() + got, size - got);
                if (n <= 0) break;
                got += static_cast<size_t>(n);
            }
            ::close(fd);
            benchmark::DoNotOptimize(buffer.data());
        }
    }
    SetSizeCounters(state, ListBytes(dir));
}

void BM_LoadLists(benchmark::State& state) {
    const auto& dir = Dir(state);
    for (auto _ : state) {
        auto table = std::make_unique<ChannelTable>();
        LoadChannelList(*table, 0, dir);
        LoadChannelList(*table, 1, dir);
        benchmark::DoNotOptimize(table->ChannelCount);
        state.PauseTiming();
        table.reset();
        state.ResumeTiming();
    }
    SetSizeCounters(state, ListBytes(dir));
}

void BM_RemoveDuplicates(benchmark::State& state) {
    const auto& dir = Dir(state);
    ChannelTable loaded;
    LoadChannelList(loaded, 0, dir);
    LoadChannelList(loaded, 1, dir);
    for (auto _ : state) {
        state.PauseTiming();
        auto table = std::make_unique<ChannelTable>(loaded);
        state.ResumeTiming();
        table->RemoveDuplicates();
        benchmark::DoNotOptimize(table->ChannelCount);
        state.PauseTiming();
        state.counters["kept"] = table->ChannelCount;
        table.reset();
        state.ResumeTiming();
    }
    state.counters["channels"] = static_cast<double>(state.range(0));
}

// One window at a time: a million-channel window holds most of a gigabyte.
struct Window {
    int32_t channels = -1;
    SilentMessages messages;
    std::unique_ptr<TMainForm> form;
};
Window* window = nullptr;

TMainForm& FormFor(int32_t channels) {
    if (window->channels != channels) {
        window->form.reset();
        AppConfig config;
        config.listDir = QString::fromStdString(CatalogueDir(scratch->Path(), channels).string());
        config.nullMediaOutputs = true;
        window->form = std::make_unique<TMainForm>(config, window->messages);
        Settle(*window->form);
        window->channels = channels;
    }
    return *window->form;
}

// range(1): bit 0 source, bit 1 country, bit 2 genre filter set to code 1.
void BM_ShowChannels(benchmark::State& state) {
    TMainForm& form = FormFor(static_cast<int32_t>(state.range(0)));
    ChannelsPage& page = *form.findChild<ChannelsPage*>("Channels");
    const int combo = static_cast<int>(state.range(1));
    {
        const QSignalBlocker s(page.SourceComboBox), c(page.CountryComboBox), g(page.GenreComboBox);
        page.SourceComboBox->setCurrentIndex(combo & 1 ? 1 : 0);
        page.CountryComboBox->setCurrentIndex(combo & 2 ? 1 : 0);
        page.GenreComboBox->setCurrentIndex(combo & 4 ? 1 : 0);
    }
    for (auto _ : state) {
        page.ShowChannels();
        Settle(form);
    }
    state.counters["rows"] = page.Model().FilledRows();
    state.counters["channels"] = form.Table().ChannelCount;
}

// The favourites toggled on: 500 favourites spread over the catalogue, shown alone (the rows come from a
// worker, as every filter's do). BM_ShowChannels/…/0 in the same run is the plain rebuild beside it.
void BM_ShowFavourites(benchmark::State& state) {
    TMainForm& form = FormFor(static_cast<int32_t>(state.range(0)));
    ChannelsPage& page = *form.findChild<ChannelsPage*>("Channels");
    Catalogue& owner = form.CatalogueOwner();
    const int32_t count = form.Table().ChannelCount;
    for (int32_t i = 0; i < 500 && static_cast<int32_t>(owner.FavouriteRecords().size()) < 500; ++i)
        owner.SetFavourite(1 + static_cast<int32_t>(static_cast<int64_t>(i) * count / 500), true);
    for (auto _ : state) {
        page.FavouritesButton->setChecked(true);
        Settle(form);
        state.PauseTiming();
        page.FavouritesButton->setChecked(false);
        Settle(form);
        state.ResumeTiming();
    }
    state.counters["rows"] = static_cast<double>(owner.FavouriteRecords().size());
    state.counters["channels"] = count;
}

// A loaded, de-duplicated table and its search index, one size at a time.
struct Loaded {
    int32_t channels = -1;
    std::unique_ptr<ChannelTable> table;
    SearchIndex index;
};
Loaded* loaded = nullptr;

Loaded& LoadedFor(int32_t channels) {
    if (loaded->channels != channels) {
        loaded->table.reset();
        loaded->table = std::make_unique<ChannelTable>();
        LoadChannelList(*loaded->table, 0, CatalogueDir(scratch->Path(), channels));
        LoadChannelList(*loaded->table, 1, CatalogueDir(scratch->Path(), channels));
        loaded->table->RemoveDuplicates();
        loaded->index.Build(*loaded->table);
        loaded->channels = channels;
    }
    return *loaded;
}

void BM_BuildSearchIndex(benchmark::State& state) {
    Loaded& l = LoadedFor(static_cast<int32_t>(state.range(0)));
    for (auto _ : state) {
        SearchIndex index;
        index.Build(*l.table);
        benchmark::DoNotOptimize(index.Buffer().data());
        state.PauseTiming();
        state.counters["MiB"] = static_cast<double>(index.MemoryBytes()) / (1 << 20);
        index.Clear();
        state.ResumeTiming();
    }
    state.counters["channels"] = l.table->ChannelCount;
}

// How long the window would wait for a running row job to stop: the job for "r" is started on a thread,
// cancelled 2 ms later, and the time from the cancel to the thread's end is reported.
void BM_CancelRows(benchmark::State& state) {
    Loaded& l = LoadedFor(static_cast<int32_t>(state.range(0)));
    std::vector<double> waits;
    for (auto _ : state) {
        std::atomic<bool> cancel{false};
        RowRequest req{{0, 0, 0, ParseSearch("r"), RowView::All, {}}};
        req.cancel = &cancel;
        std::vector<int32_t> rows;
        std::thread job([&] { ComputeRows(*l.table, l.index, req, rows); });
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const auto t0 = Clock::now();
        cancel = true;
        job.join();
        waits.push_back(MsSince(t0));
    }
    std::sort(waits.begin(), waits.end());
    state.counters["median_wait_ms"] = waits[waits.size() / 2];
    state.counters["max_wait_ms"] = waits.back();
}

// Keeping the index right beside the table: range(1) 0 stores a record of another length in the middle,
// 1 deletes the middle record, 2 appends one. Each iteration changes a copy made before the loop.
void BM_SearchIndexChange(benchmark::State& state) {
    Loaded& l = LoadedFor(static_cast<int32_t>(state.range(0)));
    SearchIndex index = l.index;
    TChannelRec rec = l.table->Channels[1];
    TChannelRec longer = rec;
    longer.Name = longer.Name.str() + " (edited)";
    bool flip = false;
    for (auto _ : state) {
        const int32_t middle = index.Count() / 2;
        switch (state.range(1)) {
        case 0:
            index.Store(middle, (flip = !flip) ? longer : rec);
            break;
        case 1:
            index.Delete(middle);
            break;
        default:
            index.Append(rec);
        }
        benchmark::DoNotOptimize(index.Buffer().data());
    }
    state.counters["channels"] = index.Count();
}

// range(1): 0 is the plain filter rebuild (no text), 1..5 type "r".."radio", 6..8 "р".."рад".
// range(2): bit 0 narrows from the previous keystroke's rows, as typing does; bit 1 sets all three
// filters to code 1; bit 2 keeps to one thread. The median of single runs is reported beside the mean.
const char* const Keystrokes[] = {"", "r", "ra", "rad", "radi", "radio", "\xF0", "\xF0\xE0", "\xF0\xE0\xE4"};

void BM_FindRows(benchmark::State& state) {
    Loaded& l = LoadedFor(static_cast<int32_t>(state.range(0)));
    const int key = static_cast<int>(state.range(1));
    const int mode = static_cast<int>(state.range(2));
    const int32_t code = mode & 2 ? 1 : 0;
    RowRequest req{{code, code, code, ParseSearch(Keystrokes[key]), RowView::All, {}}};
    req.threads = mode & 4 ? 1 : 0;
    RowFilter previous{code,         code, code, ParseSearch(key == 0 || key == 6 ? "" : Keystrokes[key - 1]),
                       RowView::All, {}};
    std::vector<int32_t> previousRows;
    if (mode & 1) {
        ComputeRows(*l.table, l.index, RowRequest{previous}, previousRows);
        req.previousFilter = &previous;
        req.previousRows = &previousRows;
    }
    std::vector<int32_t> rows;
    std::vector<double> times;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        ComputeRows(*l.table, l.index, req, rows);
        times.push_back(MsSince(t0));
        benchmark::DoNotOptimize(rows.data());
    }
    std::sort(times.begin(), times.end());
    state.counters["median_ms"] = times[times.size() / 2];
    state.counters["rows"] = static_cast<double>(rows.size());
    state.counters["channels"] = l.table->ChannelCount;
}

void Sizes(benchmark::internal::Benchmark* b) {
    for (int64_t n : {10'000, 100'000, 1'000'000}) b->Arg(n);
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}
void GridSizes(benchmark::internal::Benchmark* b) {
    for (int64_t n : {10'000, 100'000, 1'000'000})
        for (int64_t combo : {0, 7}) b->Args({n, combo});
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}
void FindSizes(benchmark::internal::Benchmark* b) {
    for (int64_t n : {100'000, 1'000'000})
        for (int64_t mode : {0, 1, 2, 4})
            for (int64_t key = 0; key < 9; ++key)
                if (key > 0 || mode != 1) b->Args({n, key, mode});
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

}  // namespace

BENCHMARK(BM_ReadFiles)->Apply(Sizes);
BENCHMARK(BM_LoadLists)->Apply(Sizes);
BENCHMARK(BM_RemoveDuplicates)->Apply(Sizes);
BENCHMARK(BM_ShowChannels)->Apply(GridSizes);
BENCHMARK(BM_ShowFavourites)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BuildSearchIndex)->Apply(Sizes);
BENCHMARK(BM_FindRows)->Apply(FindSizes);
BENCHMARK(BM_CancelRows)->Arg(1'000'000)->Iterations(50)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SearchIndexChange)
    ->Args({1'000'000, 0})
    ->Args({1'000'000, 1})
    ->Args({1'000'000, 2})
    ->Iterations(1000)
    ->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    // The grid needs a window system; the offscreen platform keeps the run headless.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    int qargc = 1;
    char* qargv[] = {argv[0], nullptr};
    QApplication app(qargc, qargv);
    std::setlocale(LC_NUMERIC, "C");
    ScratchDir dir;
    scratch = &dir;
    Window win;
    window = &win;
    Loaded tables;
    loaded = &tables;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    win.form.reset();
    return 0;
}
