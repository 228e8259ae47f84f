// castora-perf: whole-step and whole-process timings, each next to the reference it is judged by.
// Every figure is printed as one tab-separated line
//   FIG <name> <median> <min> <max> <unit> <samples>
// which scripts/bench.sh gathers into the table of docs/performance.md.
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <spawn.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zip.h>

#include "BenchSupport.h"
#include "app/MainForm.h"
#include "pages/FindBar.h"
#include "app/SplashForm.h"
#include "catalogue/ListFiles.h"
#include "catalogue/Lookup.h"
#include "catalogue/Playlist.h"
#include "pages/ChannelModel.h"
#include "pages/ChannelsPage.h"
#include "player/MediaPlayer.h"
#include "server/Download.h"
#include "server/Extract.h"

extern char** environ;

using namespace castora;
using namespace castora::bench;
namespace fs = std::filesystem;

namespace {

// ---- reporting -------------------------------------------------------------------------------------

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

double Mb(uint64_t bytes) { return bytes / 1e6; }

// ---- helpers ---------------------------------------------------------------------------------------

std::string ReadWhole(const fs::path& path) {
    std::string data;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return data;
    struct stat st {};
    ::fstat(fd, &st);
    data.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < data.size()) {
        const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    data.resize(got);
    return data;
}

long StatusKb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t len = std::strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, len, field) == 0 && line.size() > len && line[len] == ':')
            return std::strtol(line.c_str() + len + 1, nullptr, 10);
    return -1;
}

// Runs argv to completion; returns its wall time in ms (negative when it failed).
double RunTimed(const std::vector<std::string>& args, bool quiet = true) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (quiet) {
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    }
    const auto t0 = Clock::now();
    pid_t pid;
    const int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    const double ms = MsSince(t0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -ms;
}

// Spawns argv with stdout and stderr on a pipe; returns the ms until a line containing `marker` shows
// (negative on timeout or exit), then kills the child.
double SpawnUntil(const std::vector<std::string>& args, const std::string& marker, double timeoutMs,
                  std::string* markerLine = nullptr) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const auto t0 = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        ::execvp(argv[0], argv.data());
        _exit(127);
    }
    ::close(fds[1]);
    std::string seen;
    double result = -1;
    char buf[4096];
    while (true) {
        const double left = timeoutMs - MsSince(t0);
        if (left <= 0) break;
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left) + 1) <= 0) break;
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        seen.append(buf, static_cast<size_t>(n));
        const size_t at = seen.find(marker);
        if (at == std::string::npos) continue;
        if (result < 0) result = MsSince(t0);
        const size_t eol = seen.find('\n', at);
        if (!markerLine || eol != std::string::npos) {
            if (markerLine) *markerLine = seen.substr(at, eol - at);
            break;
        }
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ::close(fds[0]);
    if (result < 0 && std::getenv("CASTORA_PERF_VERBOSE")) std::fprintf(stderr, "%s\n", seen.c_str());
    return result;
}

std::string SelfExe() { return fs::read_symlink("/proc/self/exe").string(); }

void MakeQtHeadless() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
}

struct QtApp {
    int argc = 1;
    char name[16] = "castora-perf";
    char* argv[2] = {name, nullptr};
    QApplication app{argc, argv};
    QtApp() { std::setlocale(LC_NUMERIC, "C"); }
};

AppConfig ConfigFor(const fs::path& dir) {
    AppConfig config;
    config.listDir = QString::fromStdString(dir.string());
    config.programDir = QString::fromStdString(dir.string());
    config.nullMediaOutputs = true;
    return config;
}

void SetFilters(ChannelsPage& page, int combo, bool quiet = true) {
    std::unique_ptr<QSignalBlocker> s, c, g;
    if (quiet) {
        s = std::make_unique<QSignalBlocker>(page.SourceComboBox);
        c = std::make_unique<QSignalBlocker>(page.CountryComboBox);
        g = std::make_unique<QSignalBlocker>(page.GenreComboBox);
    }
    page.SourceComboBox->setCurrentIndex(combo & 1 ? 1 : 0);
    page.CountryComboBox->setCurrentIndex(combo & 2 ? 1 : 0);
    page.GenreComboBox->setCurrentIndex(combo & 4 ? 1 : 0);
}

// What an update does after the download: the global list read again, the grid rebuilt.
void Reload(TMainForm& form) {
    bool done = false;
    form.ReloadCatalogue([&done](bool) { done = true; });
    while (!done) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    Settle(form);
}

const char* ComboName(int combo) {
    static const char* names[8] = {"none",  "source",       "country",       "source+country",
                                   "genre", "source+genre", "country+genre", "all three"};
    return names[combo & 7];
}

// Counts how often the loader reports its progress.
struct CountingSink : ProgressSink {
    void ShowProgressPhase(const std::string&, Rgb, int32_t) override {}
    void ShowProgress(int32_t) override { ++reports; }
    long reports = 0;
};

// ---- loopback HTTP file server -----------------------------------------------------------------------

// Serves files of one directory: "/?key=name" and "/name" both give root/name, with a Content-Length,
// straight from the page cache (sendfile), one thread per connection.
class FileServer {
public:
    explicit FileServer(fs::path root) : root_(std::move(root)) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listen_, 16) != 0)
            throw std::runtime_error("cannot listen on 127.0.0.1");
        socklen_t len = sizeof addr;
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~FileServer() {
        stop_ = true;
        ::shutdown(listen_, SHUT_RDWR);
        ::close(listen_);
        thread_.join();
        for (auto& t : workers_) t.join();
    }
    uint16_t Port() const { return port_; }
    std::string Host() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string Url(const std::string& name) const { return "http://" + Host() + "/" + name; }

private:
    void Run() {
        while (!stop_) {
            const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (stop_) return;
                continue;
            }
            workers_.emplace_back([this, fd] { Serve(fd); });
        }
    }
    void Serve(int fd) {
        std::string head;
        char buf[4096];
        while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            head.append(buf, static_cast<size_t>(n));
        }
        std::string target;
        if (head.rfind("GET ", 0) == 0) target = head.substr(4, head.find(' ', 4) - 4);
        std::string name = target.substr(0, target.find('?'));
        if (const size_t key = target.find("key="); key != std::string::npos) name = target.substr(key + 4);
        while (!name.empty() && name.front() == '/') name.erase(0, 1);
        const int file = name.empty() || name.find("..") != std::string::npos
                             ? -1
                             : ::open((root_ / name).c_str(), O_RDONLY | O_CLOEXEC);
        if (file < 0) {
            const std::string answer = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
            ::close(fd);
            return;
        }
        struct stat st {};
        ::fstat(file, &st);
        const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                                   std::to_string(st.st_size) + "\r\nConnection: close\r\n\r\n";
        if (::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(answer.size())) {
            off_t offset = 0;
            while (offset < st.st_size)
                if (::sendfile(fd, file, &offset, static_cast<size_t>(st.st_size - offset)) <= 0) break;
        }
        ::close(file);
        ::shutdown(fd, SHUT_WR);
        // Let the client read to the end before the socket goes away.
        while (::recv(fd, buf, sizeof buf, 0) > 0) {}
        ::close(fd);
    }

    fs::path root_;
    int listen_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<std::thread> workers_;
};

void WriteRandomFile(const fs::path& path, uint64_t bytes) {
    std::mt19937_64 rng(42);
    std::vector<uint64_t> block(1 << 17);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    for (uint64_t done = 0; done < bytes;) {
        for (auto& w : block) w = rng();
        const size_t n = static_cast<size_t>(std::min<uint64_t>(bytes - done, block.size() * 8));
        std::fwrite(block.data(), 1, n, f);
        done += n;
    }
    std::fclose(f);
}

// ---- the figures -------------------------------------------------------------------------------------

// List load against reading the same files into memory.
int CmdLoad(const fs::path& dir, int reps) {
    const uint64_t bytes = ListBytes(dir);
    std::vector<double> readMs, loadMs;
    ReadWhole(dir / "global.dat");  // warm the page cache for both sides
    ReadWhole(dir / "local.dat");
    int32_t channels = 0;
    long reports = 0;
    for (int r = 0; r < reps; ++r) {
        auto t0 = Clock::now();
        {
            const std::string g = ReadWhole(dir / "global.dat");
            const std::string l = ReadWhole(dir / "local.dat");
            readMs.push_back(MsSince(t0));
        }
        auto table = std::make_unique<ChannelTable>();
        CountingSink sink;
        t0 = Clock::now();
        LoadChannelList(*table, 0, dir, &sink);
        LoadChannelList(*table, 1, dir, &sink);
        loadMs.push_back(MsSince(t0));
        channels = table->ChannelCount;
        reports = sink.reports;
    }
    std::vector<double> readRate, loadRate;
    for (double ms : readMs) readRate.push_back(Mb(bytes) / (ms / 1000));
    for (double ms : loadMs) loadRate.push_back(Mb(bytes) / (ms / 1000));
    Fig("load.channels", channels, "records");
    Fig("load.bytes", Mb(bytes), "MB");
    Fig("load.rate", loadRate, "MB/s");
    Fig("load.read_rate", readRate, "MB/s");
    Fig("load.ms", loadMs, "ms");
    Fig("load.read_ms", readMs, "ms");
    Fig("load.progress_reports", static_cast<double>(reports), "calls");
    return 0;
}

// Duplicate removal and the grid rebuild for each combination of set filters, on an offscreen window.
int CmdGrid(const fs::path& dir, int reps) {
    MakeQtHeadless();
    QtApp qt;
    SilentMessages messages;
    TMainForm form(ConfigFor(dir), messages);
    form.show();
    Settle(form);
    ChannelTable table;
    std::vector<double> dedupe;
    int32_t before = 0, after = 0;
    for (int r = 0; r < reps; ++r) {
        LoadChannelList(table, 0, dir, &form);
        LoadChannelList(table, 1, dir, &form);
        before = table.ChannelCount;
        const auto t0 = Clock::now();
        table.RemoveDuplicates(&form);
        dedupe.push_back(MsSince(t0));
        after = table.ChannelCount;
    }
    Fig("grid.channels_before", before, "records");
    Fig("grid.channels_after", after, "records");
    Fig("grid.dedupe_ms", dedupe, "ms");
    ChannelsPage& page = *form.findChild<ChannelsPage*>("Channels");
    double worst = 0;
    for (int combo = 0; combo < 8; ++combo) {
        SetFilters(page, combo);
        std::vector<double> ms;
        for (int r = 0; r < reps; ++r) {
            const auto t0 = Clock::now();
            page.ShowChannels();
            Settle(form);
            ms.push_back(MsSince(t0));
        }
        worst = std::max(worst, Median(ms));
        Fig(std::string("grid.rebuild_ms[") + ComboName(combo) + "]", ms, "ms");
        Fig(std::string("grid.rows[") + ComboName(combo) + "]", page.Model().FilledRows(), "rows");
    }
    Fig("grid.dedupe_plus_worst_rebuild_ms", Median(dedupe) + worst, "ms");
    form.hide();
    return 0;
}

// In one process: from main() to the first show event of a window whose grid is filled and whose
// progress window is closed. Prints "SHOWN <ms>" the moment it happens, for a parent that times the
// whole process.
int CmdStartupChild(const fs::path& dir, Clock::time_point mainEntry) {
    MakeQtHeadless();
    QtApp qt;
    SilentMessages messages;
    struct ShowWatch : QObject {
        Clock::time_point t0;
        TMainForm* form = nullptr;
        double ms = -1;
        bool eventFilter(QObject* o, QEvent* e) override {
            if (o == form && e->type() == QEvent::Show && ms < 0) {
                const bool usable = !form->findChild<QWidget*>("SplashForm")->isVisible() &&
                                    form->findChild<ChannelsPage*>("Channels")->Model().FilledRows() > 0;
                ms = usable ? MsSince(t0) : -MsSince(t0);
                std::printf("SHOWN %.3f\n", ms);
                std::fflush(stdout);
            }
            return false;
        }
    } watch;
    watch.t0 = mainEntry;
    TMainForm form(ConfigFor(dir), messages);
    watch.form = &form;
    form.installEventFilter(&watch);
    form.ShowWhenReady();
    Settle(form);
    Fig("startup.inprocess_ms", watch.ms, "ms");
    std::fflush(stdout);
    // The window's teardown is not part of start-up.
    _exit(watch.ms > 0 ? 0 : 1);
}

int CmdStartup(const fs::path& dir, int reps) {
    std::vector<double> whole, inside;
    for (int r = 0; r < reps; ++r) {
        std::string line;
        const double ms = SpawnUntil({SelfExe(), "startup-child", dir.string()}, "SHOWN ", 30000, &line);
        const double in = line.size() > 6 ? std::atof(line.c_str() + 6) : -1;
        if (ms > 0 && in > 0) {
            whole.push_back(ms);
            inside.push_back(in);
        }
    }
    Fig("startup.process_ms", whole, "ms");
    Fig("startup.main_to_shown_ms", inside, "ms");
    return whole.empty() ? 1 : 0;
}

// The sizes ("512x474") of the viewable top-level windows titled "Castora Player". The tree lists windows
// before they are mapped; only a viewable one counts.
std::vector<std::string> ViewableWindows() {
    std::vector<std::pair<std::string, std::string>> candidates;  // id, size
    char line[1024];
    FILE* p = ::popen("xwininfo -root -tree 2>/dev/null", "r");
    while (p && std::fgets(line, sizeof line, p)) {
        if (!std::strstr(line, "\"Castora Player\"")) continue;
        const char* size = std::strstr(line, ")  ");
        std::string geometry = size ? std::string(size + 3) : std::string();
        geometry = geometry.substr(0, geometry.find('+'));
        candidates.emplace_back(std::strtok(line, " "), geometry);
    }
    if (p) ::pclose(p);
    std::vector<std::string> out;
    for (const auto& [id, size] : candidates) {
        FILE* q = ::popen(("xwininfo -id " + id + " 2>/dev/null").c_str(), "r");
        bool viewable = false;
        while (q && std::fgets(line, sizeof line, q)) viewable |= std::strstr(line, "IsViewable") != nullptr;
        if (q) ::pclose(q);
        if (viewable) out.push_back(size);
    }
    return out;
}

constexpr const char* MainWindowSize = "512x474";
constexpr const char* SplashSize = "310x53";

// Starts exe (with `args`) in dir and polls the X server until its main window is mapped and, when
// `question` is set, until a window of its own other than the main window and the progress window is
// mapped: the import question. Returns the two times in ms since spawn, -1 for what never came.
std::pair<double, double> TimeWindows(const std::string& exe, const fs::path& dir, const std::vector<std::string>& args,
                                      bool question) {
    const auto t0 = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(dir.c_str()) != 0) _exit(126);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        std::vector<char*> argv{const_cast<char*>(exe.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(exe.c_str(), argv.data());
        _exit(127);
    }
    double window = -1, asked = -1;
    while (MsSince(t0) < 30000 && (window < 0 || (question && asked < 0))) {
        for (const std::string& size : ViewableWindows()) {
            if (size == MainWindowSize) {
                if (window < 0) window = MsSince(t0);
            } else if (size != SplashSize && asked < 0) {
                asked = MsSince(t0);
            }
        }
        if (window < 0 || (question && asked < 0)) ::usleep(2000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return {window, asked};
}

// The real program under an X server: from spawn until its 512x474 main window is mapped.
int CmdWindow(const std::string& exe, const fs::path& dir, int reps,
              const std::string& figure = "startup.player_window_ms") {
    if (!std::getenv("DISPLAY")) {
        std::fprintf(stderr, "window: needs DISPLAY (run under xvfb-run)\n");
        return 1;
    }
    std::vector<double> samples;
    for (int r = 0; r < reps; ++r) {
        const double found = TimeWindows(exe, dir, {}, false).first;
        if (found > 0) samples.push_back(found);
    }
    Fig(figure, samples, "ms");
    return samples.empty() ? 1 : 0;
}

// In a fresh process, as the program's worker does it: the playlist file read, read as a playlist and
// planned against the catalogue of `dir` (loaded first, untimed). Prints "PLANNED <ms> <records>".
int CmdReadPlanChild(const fs::path& dir, const fs::path& playlist) {
    ChannelTable table;
    LoadChannelList(table, 0, dir);
    LoadChannelList(table, 1, dir);
    table.RemoveDuplicates();
    LookupList lookups[3];
    for (LookupKind kind : {SourceLookup, CountryLookup, GenreLookup}) lookups[kind] = ReadLookupFile(kind, dir).lines;
    const auto t0 = Clock::now();
    const Playlist p = ReadPlaylist(ReadWhole(playlist), playlist.string(), false);
    const ImportPlan plan =
        PlanImport(p, table, lookups[SourceLookup], lookups[CountryLookup], lookups[GenreLookup], dir);
    std::printf("PLANNED %.3f %zu\n", MsSince(t0), plan.records.size());
    std::fflush(stdout);
    return p.ok ? 0 : 1;
}

// castora-player started with a playlist as its argument: spawn to the import question on the screen,
// beside the same program's start-up without a playlist and the read and plan alone in a fresh process,
// taken in turns.
int CmdImportStart(const std::string& exe, const fs::path& dir, const fs::path& playlist, int reps) {
    if (!std::getenv("DISPLAY")) {
        std::fprintf(stderr, "importstart: needs DISPLAY (run under xvfb-run)\n");
        return 1;
    }
    const std::string program = fs::absolute(exe).string(), list = fs::absolute(playlist).string();
    std::vector<double> question, windowWith, windowAlone, plan;
    for (int r = 0; r < reps; ++r) {
        const auto [window, asked] = TimeWindows(program, dir, {list}, true);
        if (window > 0 && asked > 0) {
            windowWith.push_back(window);
            question.push_back(asked);
        }
        const double alone = TimeWindows(program, dir, {}, false).first;
        if (alone > 0) windowAlone.push_back(alone);
        std::string line;
        SpawnUntil({SelfExe(), "readplan-child", dir.string(), list}, "PLANNED ", 60000, &line);
        if (line.size() > 8) plan.push_back(std::atof(line.c_str() + 8));
    }
    Fig("import.start_to_question_ms", question, "ms");
    Fig("import.start_to_window_ms", windowWith, "ms");
    Fig("import.window_without_playlist_ms", windowAlone, "ms");
    Fig("import.read_and_plan_ms", plan, "ms");
    return question.empty() ? 1 : 0;
}

// A provider-style extended M3U of `entries` channels: tvg attributes, a guide in the header, names in
// Latin, Cyrillic, accented Latin and Han, as the catalogue meets them.
int CmdMakeM3U(const fs::path& out, int entries) {
    static const char* groups[] = {"News", "Music",       "Sports",    "Movies",
                                   "Kids", "Documentary", "Religious", "Entertainment"};
    static const char* countries[] = {"US", "GB", "RU", "UA", "DE", "FR", "TR", "IN", "BR", "CN"};
    static const char* words[] = {"Канал", "Channel", "TV", "Радио", "Télé", "中央台"};
    std::mt19937 random(7);
    const auto pick = [&](auto& list) { return list[random() % std::size(list)]; };
    std::ofstream f(out, std::ios::binary);
    f << "#EXTM3U x-tvg-url=\"http://epg.example/guide.xml.gz\"\n";
    for (int i = 0; i < entries; ++i) {
        const std::string group = pick(groups), country = pick(countries);
        const std::string name = std::string(pick(words)) + " " + std::to_string(i);
        std::string lower = country;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        f << "#EXTINF:-1 tvg-id=\"ch" << i << "." << lower << "\" tvg-name=\"" << name
          << "\" tvg-logo=\"http://logo.example/" << i << ".png\" tvg-country=\"" << country << "\" group-title=\""
          << group << "\"," << name << "\nhttp://stream" << i % 97 << ".example.net:8080/live/" << i << "/index.m3u8\n";
    }
    return f ? 0 : 1;
}

// The longest stretch without the window's event loop running, from a 1 ms timer on its thread.
class GapMeter : public QObject {
public:
    GapMeter() {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(1);
        connect(&timer_, &QTimer::timeout, this, [this] { Tick(); });
    }
    // fromNow: what runs before the first tick counts too (a request made right after Start). Start-up
    // counts from the first tick: the window is built before any event loop runs.
    void Start(bool fromNow = true) {
        started_ = fromNow;
        last_ = Clock::now();
        lastPhase_ = CurrentPhase();
        max_ = 0;
        ticks_ = 0;
        phase_.clear();
        timer_.start();
    }
    void Stop() { timer_.stop(); }
    double Max() const { return max_; }
    long Ticks() const { return ticks_; }
    const std::string& Phase() const { return phase_; }

private:
    void Tick() {
        const auto now = Clock::now();
        ++ticks_;
        if (started_) {
            const double gap = std::chrono::duration<double, std::milli>(now - last_).count();
            if (gap > max_) {
                max_ = gap;
                const std::string now = CurrentPhase();
                // Where the stall began and where it ended, when they differ.
                phase_ = now == lastPhase_ ? now : lastPhase_ + " -> " + now;
            }
        }
        started_ = true;
        last_ = now;
        lastPhase_ = CurrentPhase();
    }
    static std::string CurrentPhase() {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* splash = qobject_cast<TSplashForm*>(w)) return splash->TextPanel->text().toStdString();
        return {};
    }
    QTimer timer_;
    bool started_ = false;
    Clock::time_point last_;
    double max_ = 0;
    long ticks_ = 0;
    std::string phase_;
    std::string lastPhase_;
};

int CmdPause(const fs::path& dir, int reps) {
    MakeQtHeadless();
    QtApp qt;
    SilentMessages messages;
    GapMeter meter;
    meter.Start(false);
    TMainForm form(ConfigFor(dir), messages);
    form.ShowWhenReady();
    Settle(form);
    meter.Stop();
    Fig("pause.startup_max_gap_ms", meter.Max(), "ms");
    std::printf("NOTE\tpause.startup worst phase: %s (%ld ticks)\n", meter.Phase().c_str(), meter.Ticks());

    // What an update does after the download: reload both lists, drop duplicates, refill the grid;
    // then every filter change the user can make, each rebuilding the grid.
    std::vector<double> reload, filters;
    std::string worstPhase;
    for (int r = 0; r < reps; ++r) {
        meter.Start();
        Reload(form);
        meter.Stop();
        reload.push_back(meter.Max());
        worstPhase = meter.Phase();
        meter.Start();
        for (int combo = 1; combo < 8; ++combo) SetFilters(*form.findChild<ChannelsPage*>("Channels"), combo, false);
        SetFilters(*form.findChild<ChannelsPage*>("Channels"), 0, false);
        Settle(form);
        meter.Stop();
        filters.push_back(meter.Max());
    }
    Fig("pause.reload_max_gap_ms", reload, "ms");
    std::printf("NOTE\tpause.reload worst phase: %s\n", worstPhase.c_str());
    Fig("pause.filters_max_gap_ms", filters, "ms");
    return 0;
}

// Typing into the find field of a window on the catalogue: each keystroke's time to a grid that shows its
// rows, beside the plain rebuild of the same window; then the same words typed without waiting, with the
// longest event-loop pause meanwhile.
int CmdSearch(const fs::path& dir, int reps) {
    MakeQtHeadless();
    QtApp qt;
    SilentMessages messages;
    TMainForm form(ConfigFor(dir), messages);
    form.ShowWhenReady();
    Settle(form);
    form.ChannelsButtonClick();
    std::vector<double> plain;
    for (int r = 0; r < reps; ++r) {
        const auto t0 = Clock::now();
        form.findChild<ChannelsPage*>("Channels")->ShowChannels();
        Settle(form);
        plain.push_back(MsSince(t0));
    }
    Fig("search.plain_rebuild_ms", plain, "ms");
    form.findChild<ChannelsPage*>("Channels")->OpenFind();
    while (!form.CatalogueOwner().SearchReady()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    QLineEdit* field = form.findChild<ChannelsPage*>("Channels")->Find->FindEdit;
    const QStringList words = {QStringLiteral("radio"), QString::fromUtf8("рад")};
    GapMeter meter;
    std::vector<double> gaps;
    for (const QString& word : words) {
        for (int n = 1; n <= word.size(); ++n) {
            std::vector<double> ms;
            int32_t rows = 0;
            for (int r = 0; r < reps; ++r) {
                field->setText(word.left(n - 1));
                Settle(form);
                const auto t0 = Clock::now();
                field->setText(word.left(n));
                Settle(form);
                ms.push_back(MsSince(t0));
                rows = form.CatalogueOwner().Rows();
            }
            const std::string key = word.left(n).toStdString();
            Fig("search.key_ms[" + key + "]", ms, "ms");
            Fig("search.rows[" + key + "]", rows, "rows");
        }
        for (int r = 0; r < reps; ++r) {
            field->clear();
            Settle(form);
            meter.Start();
            for (int n = 1; n <= word.size(); ++n) {
                field->setText(word.left(n));
                QCoreApplication::processEvents();  // keys arrive one event at a time
            }
            Settle(form);
            meter.Stop();
            gaps.push_back(meter.Max());
        }
    }
    Fig("search.typing_max_gap_ms", gaps, "ms");
    return 0;
}

int CmdMemory(const fs::path& dir) {
    MakeQtHeadless();
    const long baseline = StatusKb("VmHWM");
    QtApp qt;
    SilentMessages messages;
    TMainForm form(ConfigFor(dir), messages);
    form.ShowWhenReady();
    Settle(form);
    const long hwm = StatusKb("VmHWM");
    const long rss = StatusKb("VmRSS");
    Fig("memory.list_bytes", Mb(ListBytes(dir)), "MB");
    Fig("memory.channels", form.Table().ChannelCount, "records");
    Fig("memory.peak", hwm / 1024.0, "MiB");
    Fig("memory.after_startup_rss", rss / 1024.0, "MiB");
    Fig("memory.process_before_qt", baseline / 1024.0, "MiB");
    // An update reads the global list into a new table beside the old one.
    Reload(form);
    Fig("memory.peak_after_reload", StatusKb("VmHWM") / 1024.0, "MiB");
    std::fflush(stdout);
    _exit(0);
}

int CmdSave(int32_t count, int reps) {
    ScratchDir scratch("castora-save");
    CatalogueSpec spec;
    spec.channels = count;
    spec.localShare = 1.0;
    spec.duplicateShare = 0;
    const CatalogueGenerator gen(spec);
    ChannelTable table;
    table.Resize(count);
    for (int32_t i = 1; i <= count; ++i) table.Record(i) = gen.Record(i);
    std::vector<double> save, floor;
    uint64_t bytes = 0;
    for (int r = 0; r < reps; ++r) {
        auto t0 = Clock::now();
        const SaveResult result = SaveLocalList(table, scratch.Path(), ListDateLine);
        save.push_back(MsSince(t0));
        if (!result.ok || result.written != count) {
            std::fprintf(stderr, "save failed\n");
            return 1;
        }
        // Reference: the same number of bytes written and flushed to disk in one go.
        const std::string image = ReadWhole(scratch.Path() / "local.dat");
        bytes = image.size();
        t0 = Clock::now();
        const int fd = ::open((scratch.Path() / "plain.dat").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (::write(fd, image.data(), image.size()) != static_cast<ssize_t>(image.size())) return 1;
        ::fsync(fd);
        ::close(fd);
        floor.push_back(MsSince(t0));
    }
    Fig("save.records", count, "records");
    Fig("save.bytes", Mb(bytes), "MB");
    Fig("save.ms", save, "ms");
    Fig("save.write_fsync_ms", floor, "ms");
    return 0;
}

// A deflated update archive of about targetMb megabytes holding a generated catalogue.
int CmdMakeZip(const fs::path& out, double targetMb) {
    ScratchDir scratch("castora-zip");
    // Catalogue text deflates to roughly 45 bytes a record; one trial run corrects the estimate.
    auto build = [&](int32_t channels) {
        CatalogueSpec spec;
        spec.channels = channels;
        const fs::path dir = scratch.Path() / std::to_string(channels);
        CatalogueGenerator(spec).Write(dir);
        int err = 0;
        zip_t* z = zip_open(out.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
        if (!z) throw std::runtime_error("zip_open failed");
        for (const char* name : {"global.dat", "local.dat", "source.dat", "country.dat", "genre.dat"}) {
            zip_source_t* src = zip_source_file(z, (dir / name).c_str(), 0, -1);
            const zip_int64_t idx = zip_file_add(z, name, src, ZIP_FL_OVERWRITE);
            zip_set_file_compression(z, static_cast<zip_uint64_t>(idx), ZIP_CM_DEFLATE, 6);
        }
        if (zip_close(z) != 0) throw std::runtime_error("zip_close failed");
        fs::remove_all(dir);
        return fs::file_size(out);
    };
    const int32_t trial = 100000;
    const double perRecord = static_cast<double>(build(trial)) / trial;
    const auto channels = static_cast<int32_t>(targetMb * 1e6 / perRecord);
    const uint64_t size = build(channels);
    Fig("extract.archive_channels", channels, "records");
    Fig("extract.archive_bytes", Mb(size), "MB");
    return 0;
}

int CmdExtract(const fs::path& zipPath, int reps) {
    ScratchDir scratch("castora-extract");
    const fs::path program = scratch.Path() / "program";
    const fs::path unzipDir = scratch.Path() / "unzip";
    fs::create_directories(program);
    fs::create_directories(unzipDir);
    fs::copy_file(zipPath, program / "updates.zip");
    ReadWhole(program / "updates.zip");
    uint64_t outBytes = 0;
    std::vector<double> ours, unzip;
    for (int r = 0; r < reps; ++r) {
        // Alternate which side goes first, so neither always meets the other's dirty pages.
        for (int side = 0; side < 2; ++side) {
            if ((side + r) % 2 == 0) {
                const auto t0 = Clock::now();
                ExtractUpdate(program, program);
                ours.push_back(MsSince(t0));
            } else {
                const double ms =
                    RunTimed({"unzip", "-o", "-q", (program / "updates.zip").string(), "-d", unzipDir.string()});
                if (ms > 0) unzip.push_back(ms);
            }
        }
    }
    for (const auto& e : fs::directory_iterator(program))
        if (e.path().filename() != "updates.zip") outBytes += e.file_size();
    Fig("extract.archive_bytes", Mb(fs::file_size(zipPath)), "MB");
    Fig("extract.output_bytes", Mb(outBytes), "MB");
    Fig("extract.ms", ours, "ms");
    Fig("extract.unzip_ms", unzip, "ms");
    return 0;
}

int CmdDownload(double mb, int reps) {
    ScratchDir scratch("castora-download");
    const fs::path root = scratch.Path() / "www";
    const fs::path program = scratch.Path() / "program";
    fs::create_directories(root);
    fs::create_directories(program);
    const auto bytes = static_cast<uint64_t>(mb * 1e6);
    WriteRandomFile(root / "big", bytes);
    ReadWhole(root / "big");
    FileServer server(root);
    std::vector<double> ours, curl;
    for (int r = 0; r < reps; ++r) {
        for (int side = 0; side < 2; ++side) {
            if ((side + r) % 2 == 0) {
                DownloadCallbacks cb;
                int32_t last = 0;
                cb.work = [&](int32_t n) { last = n; };
                const auto t0 = Clock::now();
                const bool failed = DownloadChannelList(server.Host(), "big", program, cb);
                const double ms = MsSince(t0);
                if (!failed && fs::file_size(program / "updates.zip") == bytes) ours.push_back(ms);
                else std::fprintf(stderr, "download failed\n");
            } else {
                const double ms = RunTimed(
                    {"curl", "-s", "-o", (program / "curl.zip").string(), "http://" + server.Host() + "/?key=big"});
                if (ms > 0 && fs::file_size(program / "curl.zip") == bytes) curl.push_back(ms);
            }
        }
    }
    Fig("download.bytes", Mb(bytes), "MB");
    Fig("download.ms", ours, "ms");
    Fig("download.curl_ms", curl, "ms");
    return 0;
}

std::string WavBytes(double seconds, int rate = 44100) {
    const uint32_t frames = static_cast<uint32_t>(seconds * rate);
    const uint32_t dataBytes = frames * 4;
    std::string out;
    auto u32 = [&](uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.append(reinterpret_cast<const char*>(&v), 2); };
    out += "RIFF";
    u32(36 + dataBytes);
    out += "WAVEfmt ";
    u32(16);
    u16(1);
    u16(2);
    u32(static_cast<uint32_t>(rate));
    u32(static_cast<uint32_t>(rate) * 4);
    u16(4);
    u16(16);
    out += "data";
    u32(dataBytes);
    for (uint32_t i = 0; i < frames; ++i) {
        const auto s = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440.0 * i / rate));
        u16(static_cast<uint16_t>(s));
        u16(static_cast<uint16_t>(s));
    }
    return out;
}

// mpv already running and idle, driven over its IPC socket: loadfile until the playback-restart event.
// The fair counterpart of a player that already exists.
double MpvIpcStart(const std::string& url, const fs::path& socketPath) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        const std::string ipc = "--input-ipc-server=" + socketPath.string();
        ::execlp("mpv", "mpv", "--no-config", "--idle=yes", "--no-video", "--ao=null", "--ytdl=no", ipc.c_str(),
                 static_cast<char*>(nullptr));
        _exit(127);
    }
    double result = -1;
    int fd = -1;
    const auto t0 = Clock::now();
    while (MsSince(t0) < 10000) {
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) break;
        ::close(fd);
        fd = -1;
        ::usleep(5000);
    }
    if (fd >= 0) {
        ::usleep(200000);  // let it settle into idle
        const std::string cmd = "{\"command\":[\"loadfile\",\"" + url + "\"]}\n";
        const auto start = Clock::now();
        if (::send(fd, cmd.data(), cmd.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(cmd.size())) {
            std::string seen;
            char buf[4096];
            while (MsSince(start) < 10000) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 10000) <= 0) break;
                const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0) break;
                seen.append(buf, static_cast<size_t>(n));
                if (seen.find("\"playback-restart\"") != std::string::npos) {
                    result = MsSince(start);
                    break;
                }
            }
        }
        ::close(fd);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ::unlink(socketPath.c_str());
    return result;
}

// play -> state 3, with the program's player against the mpv command line on the same URL.
int CmdPlay(int reps) {
    MakeQtHeadless();
    QtApp qt;
    ScratchDir scratch("castora-play");
    { std::ofstream(scratch.Path() / "tone.wav", std::ios::binary) << WavBytes(60); }
    FileServer server(scratch.Path());
    const std::string url = server.Url("tone.wav");
    auto waitFor = [](TMediaPlayer& player, int state, int timeoutMs) {
        if (static_cast<int>(player.playState()) == state) return true;
        QEventLoop loop;
        bool hit = false;
        QObject::connect(&player, &TMediaPlayer::PlayStateChange, &loop, [&](castora::PlayState s) {
            if (static_cast<int>(s) == state) {
                hit = true;
                loop.quit();
            }
        });
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        loop.exec();
        return hit;
    };
    std::vector<double> warm, cold, cli, cliWarm;
    for (int r = 0; r < reps; ++r) {
        // Cold: the player is made for this start, as the first play after start-up pays for it.
        auto t0 = Clock::now();
        {
            TMediaPlayer player(PlayerOptions{true});
            player.setURL(QString::fromStdString(url));
            player.setEnabled(true);
            if (waitFor(player, 3, 10000)) cold.push_back(MsSince(t0));
            player.close();
            waitFor(player, 1, 3000);
        }
        // Warm: a player that already exists, as every later play.
        TMediaPlayer player(PlayerOptions{true});
        QEventLoop settle;  // idle as long as the mpv below
        QTimer::singleShot(200, &settle, &QEventLoop::quit);
        settle.exec();
        t0 = Clock::now();
        player.setURL(QString::fromStdString(url));
        player.setEnabled(true);
        if (waitFor(player, 3, 10000)) warm.push_back(MsSince(t0));
        player.close();
        waitFor(player, 1, 3000);

        const double ms = SpawnUntil(
            {"mpv", "--no-config", "--no-video", "--ao=null", "--ytdl=no", "--msg-level=all=warn,cplayer=v", url},
            "playback restart complete", 10000);
        if (ms > 0) cli.push_back(ms);
        const double ipc = MpvIpcStart(url, scratch.Path() / "mpv.sock");
        if (ipc > 0) cliWarm.push_back(ipc);
    }
    Fig("play.warm_ms", warm, "ms");
    Fig("play.mpv_ipc_ms", cliWarm, "ms");
    Fig("play.cold_ms", cold, "ms");
    Fig("play.mpv_cli_ms", cli, "ms");
    return 0;
}

// castora-firstplay: spawn to the window shown, and to state 3 of a play started right then.
int CmdFirstPlay(const std::string& exe, int reps) {
    ScratchDir scratch("castora-firstplay");
    { std::ofstream(scratch.Path() / "tone.wav", std::ios::binary) << WavBytes(60); }
    FileServer server(scratch.Path());
    std::vector<double> played, shown;
    for (int r = 0; r < reps; ++r) {
        std::string line;
        const double ms = SpawnUntil({exe, server.Url("tone.wav")}, "PLAYING ", 10000, &line);
        const double in = line.size() > 8 ? std::atof(line.c_str() + 8) : -1;
        if (ms > 0 && in > 0) played.push_back(ms);
        const double show = SpawnUntil({exe, server.Url("tone.wav")}, "SHOWN ", 10000);
        if (show > 0) shown.push_back(show);
    }
    Fig("play.first_after_spawn_ms", played, "ms");
    Fig("play.first_shown_ms", shown, "ms");
    return played.empty() ? 1 : 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: castora-perf <command> ...\n"
                 "  load <dir> [reps]          list load against reading the files\n"
                 "  grid <dir> [reps]          duplicate removal and grid rebuild per filter combination\n"
                 "  startup <dir> [reps]       process start to a usable window (offscreen)\n"
                 "  window <exe> <dir> [reps] [figure]  the real program's window under X (xvfb-run)\n"
                 "  barewindow <exe> [reps]    castora-barewindow's window under X, the reference\n"
                 "  importstart <exe> <dir> <playlist> [reps]  castora-player <playlist>: spawn to the question\n"
                 "  make-m3u <out> <entries>   a provider-style extended M3U\n"
                 "  firstplay <exe> [reps]     castora-firstplay: spawn to playing, Play at the first show\n"
                 "  pause <dir> [reps]         longest event-loop pause while loading and rebuilding\n"
                 "  memory <dir>               peak memory after start-up\n"
                 "  save <count> [reps]        save of <count> local channels\n"
                 "  make-zip <out> <MB>        a deflated update archive of about <MB> megabytes\n"
                 "  extract <zip> [reps]       ExtractUpdate against unzip -o\n"
                 "  download <MB> [reps]       DownloadChannelList against curl -o, loopback\n"
                 "  play [reps]                play -> state 3 against the mpv command line\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const auto mainEntry = Clock::now();
    std::signal(SIGPIPE, SIG_IGN);
    if (argc < 2) return Usage();
    const std::string cmd = argv[1];
    auto arg = [&](int i) { return i < argc ? std::string(argv[i]) : std::string(); };
    auto reps = [&](int i, int def) { return i < argc ? std::max(1, std::atoi(argv[i])) : def; };
    try {
        if (cmd == "load" && argc >= 3) return CmdLoad(arg(2), reps(3, 5));
        if (cmd == "grid" && argc >= 3) return CmdGrid(arg(2), reps(3, 3));
        if (cmd == "startup-child" && argc >= 3) return CmdStartupChild(arg(2), mainEntry);
        if (cmd == "startup" && argc >= 3) return CmdStartup(arg(2), reps(3, 5));
        if (cmd == "window" && argc >= 4)
            return argc >= 6 ? CmdWindow(arg(2), arg(3), reps(4, 5), arg(5)) : CmdWindow(arg(2), arg(3), reps(4, 5));
        if (cmd == "barewindow" && argc >= 3) return CmdWindow(arg(2), ".", reps(3, 5), "startup.bare_window_ms");
        if (cmd == "firstplay" && argc >= 3) return CmdFirstPlay(arg(2), reps(3, 5));
        if (cmd == "importstart" && argc >= 5) return CmdImportStart(arg(2), arg(3), arg(4), reps(5, 5));
        if (cmd == "readplan-child" && argc >= 4) return CmdReadPlanChild(arg(2), arg(3));
        if (cmd == "make-m3u" && argc >= 4) return CmdMakeM3U(arg(2), std::atoi(argv[3]));
        if (cmd == "pause" && argc >= 3) return CmdPause(arg(2), reps(3, 2));
        if (cmd == "memory" && argc >= 3) return CmdMemory(arg(2));
        if (cmd == "search" && argc >= 3) return CmdSearch(arg(2), reps(3, 5));
        if (cmd == "save" && argc >= 3) return CmdSave(std::atoi(argv[2]), reps(3, 5));
        if (cmd == "make-zip" && argc >= 4) return CmdMakeZip(arg(2), std::atof(argv[3]));
        if (cmd == "extract" && argc >= 3) return CmdExtract(arg(2), reps(3, 5));
        if (cmd == "download" && argc >= 3) return CmdDownload(std::atof(argv[2]), reps(3, 5));
        if (cmd == "play") return CmdPlay(reps(2, 5));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "castora-perf %s: %s\n", cmd.c_str(), e.what());
        return 1;
    }
    return Usage();
}
