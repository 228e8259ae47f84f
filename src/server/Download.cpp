#include "server/Download.h"

#include "server/HttpClient.h"

#include <chrono>
#include <fstream>
#include <optional>

namespace castora {

namespace {

// Thins out `work` so that a fast transfer does not flood the window with updates.
class TWorkPacer {
public:
    explicit TWorkPacer(const DownloadCallbacks& cb) : cb_(cb) {}

    void Begin(int32_t announced) {
        Flush();
        announced_ = announced;
        last_.reset();
        if (cb_.workBegin) cb_.workBegin(announced);
    }

    void Work(int32_t count) {
        if (!cb_.work) return;
        const auto now = std::chrono::steady_clock::now();
        const bool final = announced_ > 0 && count >= announced_;
        if (final || !last_ || now - *last_ >= std::chrono::milliseconds(WorkNotifyIntervalMs)) {
            last_ = now;
            pending_.reset();
            cb_.work(count);
        } else {
            pending_ = count;
        }
    }

    // A body read to the connection's end has no known last count until the transfer ends.
    void Flush() {
        if (pending_ && cb_.work) cb_.work(*pending_);
        pending_.reset();
    }

private:
    const DownloadCallbacks& cb_;
    int32_t announced_ = 0;
    std::optional<std::chrono::steady_clock::time_point> last_;
    std::optional<int32_t> pending_;
};

}  // namespace

bool DownloadChannelList(const std::string& updateHost, const std::string& key, const std::filesystem::path& programDir,
                         const DownloadCallbacks& cb, uint64_t maxBytes) {
    try {
        std::ofstream file(programDir / UpdateArchiveName, std::ios::binary | std::ios::trunc);
        if (!file) return true;

        TWorkPacer pacer(cb);
        THttpClient client;
        client.MaxBody = maxBytes;
        client.Cancel = cb.cancel;
        if (cb.connected) client.OnConnected = cb.connected;
        client.OnWorkBegin = [&pacer](int32_t n) { pacer.Begin(n); };
        client.OnWork = [&pacer](int32_t n) { pacer.Work(n); };

        bool failed = false;
        try {
            client.Get("http://" + updateHost + "/?key=" + key, file);
        } catch (...) {
            failed = true;
        }
        pacer.Flush();
        file.close();
        return failed || file.fail();
    } catch (...) {
        return true;
    }
}

}  // namespace castora
