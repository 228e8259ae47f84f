// castora-bench-logos: channel logos in a 100,000-channel grid.
//   cold:   a fresh cache, a loopback server: from showing the grid to every logo in view in memory, with
//           the longest event-loop pause meanwhile; beside the same with one fetch at a time.
//   scroll: every logo cached on disk, none in memory: the longest frame on the window's thread while
//           scrolling (wheel steps and a dragged thumb), and how many of the cells in view had their logo
//           when painted; beside the same scroll without logos.
// Prints FIG lines as castora-perf does.
#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QImage>
#include <QPainter>
#include <QScrollBar>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <time.h>
#include <unordered_map>
#include <unistd.h>
#include <vector>

#include "BenchSupport.h"
#include "pages/ChannelGrid.h"
#include "pages/ChannelModel.h"
#include "pages/LogoCache.h"

using namespace castora;
using namespace castora::bench;

namespace {

constexpr int32_t kChannels = 100000;

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

// A logo as playlists name them: a 200 x 200 PNG of some kilobytes.
std::string LogoBytes(int side = 200) {
    QImage image(side, side, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(side / 200.0, side / 200.0);
    for (int i = 0; i < 12; ++i) {
        p.setBrush(QColor::fromHsv(i * 30, 200, 230));
        p.drawEllipse(QPointF(100 + 60 * std::cos(i), 100 + 60 * std::sin(i)), 30, 30);
    }
    p.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes.toStdString();
}

// Answers every GET with the logo; a few threads share the listening socket, one request per connection.
class LogoServer {
public:
    explicit LogoServer(std::string body) : body_(std::move(body)) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listen_, 64) != 0)
            throw std::runtime_error("cannot listen on 127.0.0.1");
        socklen_t len = sizeof addr;
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        for (int i = 0; i < 8; ++i) threads_.emplace_back([this] { Run(); });
    }
    ~LogoServer() {
        stop_ = true;
        ::shutdown(listen_, SHUT_RDWR);
        for (auto& t : threads_) t.join();
        ::close(listen_);
    }
    std::string Url(int32_t n) const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/logos/" + std::to_string(n) + ".png";
    }
    long Requests() const { return requests_; }

private:
    void Run() {
        const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nETag: \"1\"\r\nContent-Length: " +
                                 std::to_string(body_.size()) + "\r\nConnection: close\r\n\r\n";
        const std::string answer = head + body_;
        while (!stop_) {
            const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            std::string request;
            char buf[4096];
            while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
                const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0) break;
                request.append(buf, static_cast<size_t>(n));
            }
            ++requests_;
            for (size_t sent = 0; sent < answer.size();) {
                const ssize_t n = ::send(fd, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += static_cast<size_t>(n);
            }
            ::shutdown(fd, SHUT_WR);
            while (::recv(fd, buf, sizeof buf, 0) > 0) {}
            ::close(fd);
        }
    }

    std::string body_;
    int listen_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<long> requests_{0};
    std::vector<std::thread> threads_;
};

// The longest stretch without the window's event loop running, from a 1 ms timer on its thread.
class GapMeter : public QObject {
public:
    GapMeter() {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(1);
        connect(&timer_, &QTimer::timeout, this, [this] {
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

// The Channels page's grid, as that page sets it up, over a table of kChannels records.
struct Grid {
    ChannelTable table;
    ChannelModel model{table};
    QWidget window;
    TChannelGrid* grid = nullptr;
    std::vector<std::string> urls;

    explicit Grid(const LogoServer& server) {
        std::vector<TChannelRec> records(kChannels);
        std::vector<int32_t> rows(kChannels + 2, 0);
        for (int32_t i = 1; i <= kChannels; ++i) {
            TChannelRec& rec = records[i - 1];
            rec.Name = "Channel " + std::to_string(i);
            rec.Url = "http://stream.example.net/live/" + std::to_string(i);
            rec.Bitrate = "128";
            rec.Comments = "comment " + std::to_string(i);
            rows[i] = i;
            urls.push_back(server.Url(i));
        }
        table.AppendChannels(records);
        table.SetRowMap(std::move(rows));
        grid = new TChannelGrid(model, &window);
        grid->setFixedSize(497, 315);
        grid->setFrameShape(QFrame::NoFrame);
        grid->setSelectionBehavior(QAbstractItemView::SelectRows);
        grid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        grid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        grid->setWordWrap(false);
        grid->verticalHeader()->hide();
        grid->horizontalHeader()->setFixedHeight(20);
        window.resize(497, 315);
        model.SetRows(kChannels);
    }
    void SetLogos(LogoCache* cache) {
        grid->SetLogos(cache, [this](int32_t record) { return LogoAddress{urls[record - 1]}; });
    }
    std::vector<LogoAddress> InView() const {
        std::vector<LogoAddress> out;
        const int first = grid->rowAt(0);
        int last = grid->rowAt(grid->viewport()->height() - 1);
        if (last < 0) last = model.FilledRows() - 1;
        for (int r = first; r >= 0 && r <= last; ++r) out.push_back(model.LogoAt(r + 1));
        return out;
    }
};

LogoCacheOptions Options(const std::filesystem::path& dir, int fetches) {
    LogoCacheOptions options;
    options.directory = QString::fromStdString(dir.string());
    options.maxFetches = fetches;
    return options;
}

bool AllReady(LogoCache& cache, const std::vector<LogoAddress>& logos) {
    return std::all_of(logos.begin(), logos.end(), [&](const LogoAddress& a) {
        return cache.State(a, ChannelModel::LogoSize) == LogoState::Ready;
    });
}

// From show() to every logo in view decoded in memory (the cells repaint on that signal).
void Cold(int reps) {
    LogoServer server(LogoBytes());
    ScratchDir scratch("castora-bench-logos-cold");
    for (int fetches : {4, 1}) {
        std::vector<double> times, gaps;
        for (int rep = 0; rep < reps; ++rep) {
            Grid grid(server);
            LogoCache cache(
                Options(scratch.Path() / ("cold" + std::to_string(fetches) + "-" + std::to_string(rep)), fetches));
            GapMeter meter;
            const auto t0 = Clock::now();
            meter.Start();
            grid.SetLogos(&cache);
            grid.window.show();
            const std::vector<LogoAddress> inView = grid.InView();
            while (!AllReady(cache, inView)) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
            times.push_back(MsSince(t0));
            QCoreApplication::processEvents();
            gaps.push_back(meter.Stop());
        }
        const std::string tag = fetches == 4 ? "" : "_one_at_a_time";
        Fig("logos.cold_visible_ms" + tag, times, "ms");
        Fig("logos.cold_max_gap_ms" + tag, gaps, "ms");
    }
    // The same window without logos, its event loop watched as long.
    std::vector<double> gaps;
    for (int rep = 0; rep < reps; ++rep) {
        Grid grid(server);
        GapMeter meter;
        meter.Start();
        grid.window.show();
        const auto t0 = Clock::now();
        while (MsSince(t0) < 100) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        gaps.push_back(meter.Stop());
    }
    Fig("logos.cold_max_gap_ms_without_logos", gaps, "ms");
}

// Puts every logo on disk through the cache itself, a few hundred rows at a time.
void Fill(const LogoServer& server, const std::filesystem::path& dir) {
    Grid grid(server);
    LogoCache cache(Options(dir, 4));
    const auto t0 = Clock::now();
    constexpr int32_t batch = 400;
    for (int32_t first = 0; first < kChannels; first += batch) {
        std::vector<LogoRequest> wanted;
        std::vector<LogoAddress> addresses;
        for (int32_t i = first; i < std::min(kChannels, first + batch); ++i) {
            wanted.push_back({LogoAddress{grid.urls[i]}, ChannelModel::LogoSize});
            addresses.push_back(wanted.back().address);
        }
        cache.Want(wanted);
        while (!AllReady(cache, addresses)) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    const double ms = MsSince(t0);
    Fig("logos.fill_per_second", {kChannels / (ms / 1000)}, "logos/s");
}

double MemoryMiB(const char* field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0) return std::atof(line.c_str() + std::strlen(field)) / 1024;
    return NAN;
}

// CPU time of the calling thread: what a frame costs the window's thread whatever else runs on the machine.
double ThreadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

struct ScrollResult {
    double longestFrame = 0;  // wall time
    double p99Frame = 0;
    double longestFrameCpu = 0;  // the window thread's CPU time
    double p99FrameCpu = 0;
    double shownAtScroll = 0;  // of the cells in view, those that had their logo when the scroll painted them
    double shownAtEnd = 0;     // ... and when the frame ended
};

// Times every event the window's thread handles, from its outermost delivery: a frame's work without the
// time the thread sleeps waiting for the next event.
class TimedApp : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        if (depth_ > 0 || !measuring || QThread::currentThread() != thread()) {
            ++depth_;
            const bool done = QApplication::notify(receiver, event);
            --depth_;
            return done;
        }
        ++depth_;
        const auto t0 = Clock::now();
        const double c0 = ThreadCpuMs();
        const bool done = QApplication::notify(receiver, event);
        cpu += ThreadCpuMs() - c0;
        wall += MsSince(t0);
        --depth_;
        return done;
    }
    bool measuring = false;
    double wall = 0;
    double cpu = 0;

private:
    int depth_ = 0;
};

TimedApp* timedApp = nullptr;

// Scrolls by `step` rows per frame for `frames` frames, one frame each 16 ms as a display would pace it. A
// frame's work on the window's thread is the scroll with its repaint, then every event its 16 ms bring
// (logos arriving, their cells repainting); the waiting in between is not work.
ScrollResult Scroll(Grid& grid, LogoCache* cache, int step, int frames) {
    QScrollBar* bar = grid.grid->verticalScrollBar();
    bar->setValue(0);
    QCoreApplication::processEvents();
    std::vector<double> work, cpu;
    double atScroll = 0, atEnd = 0, cells = 0;
    const auto ready = [&] {
        double n = 0;
        for (const LogoAddress& a : grid.InView()) n += cache->State(a, ChannelModel::LogoSize) == LogoState::Ready;
        return n;
    };
    for (int f = 0; f < frames; ++f) {
        const auto frameStart = Clock::now();
        const double cpuStart = ThreadCpuMs();
        bar->setValue(bar->value() + step > bar->maximum() ? 0 : bar->value() + step);
        grid.grid->viewport()->repaint();
        const double scrollWall = MsSince(frameStart);
        const double scrollCpu = ThreadCpuMs() - cpuStart;
        if (cache) {
            atScroll += ready();
            cells += static_cast<double>(grid.InView().size());
        }
        timedApp->wall = timedApp->cpu = 0;
        timedApp->measuring = true;
        QEventLoop rest;
        QTimer::singleShot(std::max(1, 16 - static_cast<int>(MsSince(frameStart))), Qt::PreciseTimer, &rest,
                           &QEventLoop::quit);
        rest.exec();
        timedApp->measuring = false;
        if (cache) atEnd += ready();
        work.push_back(scrollWall + timedApp->wall);
        cpu.push_back(scrollCpu + timedApp->cpu);
    }
    ScrollResult r;
    std::sort(work.begin(), work.end());
    r.longestFrame = work.back();
    r.p99Frame = work[work.size() * 99 / 100];
    std::sort(cpu.begin(), cpu.end());
    r.longestFrameCpu = cpu.back();
    r.p99FrameCpu = cpu[cpu.size() * 99 / 100];
    r.shownAtScroll = cells > 0 ? atScroll / cells : 0;
    r.shownAtEnd = cells > 0 ? atEnd / cells : 0;
    return r;
}

void ScrollFigures(int reps) {
    // The thumbnails on disk are 24 pixels whatever the logos were: small ones fill the cache sooner.
    LogoServer server(LogoBytes(48));
    ScratchDir scratch("castora-bench-logos-warm");
    const std::filesystem::path dir = scratch.Path() / "logos";
    Fill(server, dir);
    std::printf("NOTE\tlogos: memory after filling the cache: VmRSS %.0f MiB, VmHWM %.0f MiB\n", MemoryMiB("VmRSS:"),
                MemoryMiB("VmHWM:"));
    const long fetchedWhenFull = server.Requests();
    struct Kind {
        const char* name;
        int step;
        int frames;
    } kinds[] = {{"wheel", 3, 600}, {"thumb", 160, 625}};
    for (const Kind& kind : kinds) {
        std::vector<double> with, p99, without, withoutP99, atScroll, atEnd, withCpu, p99Cpu, withoutCpu, withoutP99Cpu;
        for (int rep = 0; rep < reps; ++rep) {
            {
                Grid grid(server);
                grid.window.show();
                QCoreApplication::processEvents();
                const ScrollResult r = Scroll(grid, nullptr, kind.step, kind.frames);
                without.push_back(r.longestFrame);
                withoutP99.push_back(r.p99Frame);
                withoutCpu.push_back(r.longestFrameCpu);
                withoutP99Cpu.push_back(r.p99FrameCpu);
            }
            Grid grid(server);
            LogoCache cache(Options(dir, 4));  // nothing in memory, everything on disk
            grid.SetLogos(&cache);
            grid.window.show();
            QCoreApplication::processEvents();
            const ScrollResult r = Scroll(grid, &cache, kind.step, kind.frames);
            with.push_back(r.longestFrame);
            p99.push_back(r.p99Frame);
            withCpu.push_back(r.longestFrameCpu);
            p99Cpu.push_back(r.p99FrameCpu);
            atScroll.push_back(100 * r.shownAtScroll);
            atEnd.push_back(100 * r.shownAtEnd);
        }
        const std::string base = std::string("logos.scroll_") + kind.name;
        Fig(base + "_longest_frame_ms", with, "ms");
        Fig(base + "_p99_frame_ms", p99, "ms");
        Fig(base + "_longest_frame_ms_without_logos", without, "ms");
        Fig(base + "_p99_frame_ms_without_logos", withoutP99, "ms");
        Fig(base + "_longest_frame_cpu_ms", withCpu, "ms");
        Fig(base + "_p99_frame_cpu_ms", p99Cpu, "ms");
        Fig(base + "_longest_frame_cpu_ms_without_logos", withoutCpu, "ms");
        Fig(base + "_p99_frame_cpu_ms_without_logos", withoutP99Cpu, "ms");
        Fig(base + "_cells_with_logo_at_scroll_pct", atScroll, "%");
        Fig(base + "_cells_with_logo_at_frame_end_pct", atEnd, "%");
    }
    // Every logo was on disk and fresh: scrolling asked the server for nothing.
    Fig("logos.scroll_requests", {static_cast<double>(server.Requests() - fetchedWhenFull)}, "requests");
    std::printf("NOTE\tlogos: memory after scrolling: VmRSS %.0f MiB, VmHWM %.0f MiB\n", MemoryMiB("VmRSS:"),
                MemoryMiB("VmHWM:"));
}

}  // namespace

// A filter change shows rows none of which has a logo: the model reads every row's address to learn that.
// The provider looks the channel's address up in a hash map, as a store keyed by address would; beside it
// the same rows without a provider.
void RowsWithoutLogos(int reps) {
    LogoServer server(LogoBytes(48));
    Grid grid(server);
    std::unordered_map<std::string, std::string> store;
    for (int32_t i = 1; i <= 1000; ++i)
        store.emplace("http://elsewhere.example.net/" + std::to_string(i), grid.urls[i]);
    ScratchDir scratch("castora-bench-logos-none");
    LogoCache cache(Options(scratch.Path() / "logos", 4));
    std::vector<double> with, without;
    for (int rep = 0; rep < reps; ++rep) {
        for (bool provider : {false, true}) {
            grid.grid->SetLogos(provider ? &cache : nullptr, [&](int32_t record) {
                const auto it = store.find(std::string(grid.table.Channels[record].Url.view()));
                return it == store.end() ? LogoAddress{} : LogoAddress{it->second};
            });
            const auto t0 = Clock::now();
            grid.model.SetRows(kChannels);
            (provider ? with : without).push_back(MsSince(t0));
        }
    }
    Fig("logos.rows_without_logos_ms", with, "ms");
    Fig("logos.rows_without_logos_ms_no_provider", without, "ms");
}

int main(int argc, char** argv) {
    TimedApp app(argc, argv);
    timedApp = &app;
    const std::string what = argc > 1 ? argv[1] : "all";
    const int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    if (what == "cold" || what == "all") Cold(reps);
    if (what == "rows" || what == "all") RowsWithoutLogos(reps);
    if (what == "scroll" || what == "all") ScrollFigures(reps);
    return 0;
}
