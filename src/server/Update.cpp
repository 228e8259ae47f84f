#include "server/Update.h"

#include <chrono>
#include <future>
#include <memory>

#include "server/Download.h"
#include "server/Extract.h"
#include "server/Submission.h"

namespace castora {

TUpdateThread::TUpdateThread(std::string key, UpdateSettings settings, WindowLink link)
    : Key(std::move(key)), settings_(std::move(settings)), link_(std::move(link)) {}

bool TUpdateThread::OnWindow(std::function<void()> fn) {
    if (link_.cancel && link_.cancel->load()) return false;
    return link_.call(std::move(fn));
}

void TUpdateThread::Execute() {
    UpdateWindow* w = link_.window;
    const std::string kind = Key == "free" ? "free" : "full";
    bool yes = false;
    if (!OnWindow([&] { yes = w->AskUpdate("Do you want to update the " + kind + " channel list?"); }) || !yes) return;
    if (!OnWindow([&] { w->SetUpdateControlsEnabled(false); })) return;

    DownloadCallbacks cb;
    cb.connected = [this, w] { link_.post([w] { w->DownloadStarted(); }); };
    cb.workBegin = [this, w](int32_t n) { link_.post([w, n] { w->DownloadSize(n); }); };
    cb.work = [this, w](int32_t n) { link_.post([w, n] { w->DownloadProgress(n); }); };
    cb.cancel = link_.cancel;
    const bool failed =
        DownloadChannelList(settings_.updateHost, Key, settings_.programDir, cb, settings_.maxDownloadBytes);

    std::string status;
    if (failed) {
        status = DownloadFailedText;
    } else {
        try {
            ExtractOptions options;
            options.programFileName = settings_.programFileName;
            options.setGaugeMaximum = [this, w](int m) { link_.post([w, m] { w->SetGaugeMaximum(m); }); };
            options.cancel = link_.cancel;
            ExtractUpdate(settings_.programDir, settings_.listDir, options);
            // The window reads the lists on a worker of its own; this thread waits for the new table.
            auto reloaded = std::make_shared<std::promise<bool>>();
            std::future<bool> inPlace = reloaded->get_future();
            if (!OnWindow([&] { w->ReloadCatalogue([reloaded](bool loaded) { reloaded->set_value(loaded); }); }))
                return;
            while (inPlace.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
                if (link_.cancel && link_.cancel->load()) return;
            // A list that failed to load was reported as it failed; the status line keeps its last phase.
            if (!inPlace.get()) {
                OnWindow([&] { w->SetUpdateControlsEnabled(true); });
                return;
            }
            status = kind;
            status[0] = static_cast<char>(status[0] - 'a' + 'A');
            status += " channel list is updated";
        } catch (...) {
            // The old lists are untouched: unpacking fails before it writes anything.
            status = InstallFailedText;
        }
    }
    OnWindow([&] {
        w->SetUpdateStatus(status);
        w->SetUpdateControlsEnabled(true);
    });
}

TChannelThread::TChannelThread(std::string updateHost, SubmissionValues values, const std::atomic<bool>* cancel)
    : host_(std::move(updateHost)), values_(std::move(values)), cancel_(cancel) {}

void TChannelThread::Execute() {
    SendChannel(host_, values_.format, values_.source, values_.country, values_.genre, values_.name, values_.url,
                values_.bitrate, values_.comments, cancel_);
}

}  // namespace castora
