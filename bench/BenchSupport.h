#pragma once
// Pieces shared by the benchmark programs: a scratch directory, catalogues cached per size, and a
// message sink that answers nothing (no box may block a timing run).

#include <QCoreApplication>
#include <QEventLoop>
#include <QString>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <unistd.h>

#include "CatalogueGen.h"
#include "app/MainForm.h"
#include "pages/Messages.h"

namespace castora::bench {

class ScratchDir {
public:
    explicit ScratchDir(const char* tag = "castora-bench") {
        const char* base = std::getenv("CASTORA_BENCH_TMP");
        std::string templ = std::string(base && *base ? base : "/tmp") + "/" + tag + "-XXXXXX";
        if (!::mkdtemp(templ.data())) throw std::system_error(errno, std::generic_category(), "mkdtemp");
        path_ = templ;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A catalogue of `channels` records, generated once per process in its own directory under root.
inline const std::filesystem::path& CatalogueDir(const std::filesystem::path& root, int32_t channels) {
    static std::map<int32_t, std::filesystem::path> dirs;
    auto it = dirs.find(channels);
    if (it != dirs.end()) return it->second;
    const std::filesystem::path dir = root / ("cat" + std::to_string(channels));
    CatalogueSpec spec;
    spec.channels = channels;
    CatalogueGenerator(spec).Write(dir);
    return dirs.emplace(channels, dir).first->second;
}

inline uint64_t ListBytes(const std::filesystem::path& dir) {
    std::error_code ec;
    uint64_t n = 0;
    for (const char* name : {"global.dat", "local.dat"}) {
        const auto s = std::filesystem::file_size(dir / name, ec);
        if (!ec) n += s;
    }
    return n;
}

class SilentMessages : public Messages {
public:
    bool Ask(const QString&) override { return false; }
    void Inform(const QString& text) override { last = text; }
    void Error(const QString& text) override { last = text; }
    QString last;
};

using Clock = std::chrono::steady_clock;
inline double MsSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// Runs the event loop until the window's catalogue is in place and nothing is on its way.
inline void Settle(TMainForm& form) {
    while (!form.Ready() || form.CatalogueOwner().State() != CatalogueState::Idle)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::processEvents();
}

}  // namespace castora::bench
