#include "app/PlaylistImport.h"

#include <QFileInfo>
#include <QMimeData>
#include <QUrl>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "catalogue/Playlist.h"
#include "pages/Messages.h"
#include "pages/Text.h"
#include "server/PlaylistDownload.h"

namespace castora {

struct PlaylistImport::Outcome {
    QString error;  // shown as an error when set
    ImportPlan plan;
};

namespace {

QString Utf8(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// Reads at most `limit` bytes; an error text when the file cannot be read or is larger.
std::string ReadWhole(const std::string& path, uint64_t limit, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = std::strerror(errno);
        return {};
    }
    std::string bytes;
    // A provider's list is tens of megabytes: room for it at once rather than doubling towards it.
    std::error_code sizeError;
    const uintmax_t size = std::filesystem::file_size(path, sizeError);
    if (!sizeError && size <= limit) bytes.reserve(static_cast<size_t>(size));
    char buffer[1 << 16];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        bytes.append(buffer, static_cast<size_t>(in.gcount()));
        if (bytes.size() > limit) {
            error = "it is larger than " + std::to_string(limit / (1024 * 1024)) + " MiB";
            return {};
        }
    }
    if (in.bad()) error = std::strerror(errno);
    return bytes;
}

}  // namespace

bool IsPlaylistUrl(const QString& location) {
    return location.startsWith("http://", Qt::CaseInsensitive) || location.startsWith("https://", Qt::CaseInsensitive);
}

namespace {

QString Location(const QString& text) {
    const QString t = text.trimmed();
    if (t.isEmpty()) return {};
    if (IsPlaylistUrl(t)) return t;
    const QUrl url(t);
    if (url.isLocalFile()) return url.toLocalFile();
    if (!url.scheme().isEmpty() && url.scheme().size() > 1) return {};  // ftp:, mailto: and the like
    return QFileInfo(t).absoluteFilePath();
}

}  // namespace

QString PlaylistArgument(const QStringList& arguments) {
    for (qsizetype i = 1; i < arguments.size(); ++i)
        if (!arguments[i].startsWith('-')) return Location(arguments[i]);
    return {};
}

QString PlaylistFromDrop(const QMimeData* data) {
    if (!data) return {};
    if (data->hasUrls()) {
        for (const QUrl& url : data->urls()) {
            const QString location = url.isLocalFile() ? url.toLocalFile() : Location(url.toString());
            if (!location.isEmpty()) return location;
        }
        return {};
    }
    if (data->hasText()) {
        const QString text = data->text().trimmed();
        if (IsPlaylistUrl(text) && !text.contains('\n')) return text;
    }
    return {};
}

PlaylistImport::PlaylistImport(TableReader reader, Messages& messages, QObject* parent)
    : QObject(parent), reader_(std::move(reader)), messages_(messages), runner_([this](JobRunner::Task task) {
          QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
      }) {}

PlaylistImport::PlaylistImport(const ChannelTable& table, Messages& messages, QObject* parent)
    : PlaylistImport([&table](const std::function<void(const ChannelTable&)>& read) { read(table); }, messages,
                     parent) {}

PlaylistImport::~PlaylistImport() {
    Cancel();
    runner_.Shutdown();
}

bool PlaylistImport::Start(const QString& location, ImportLookups lookups, Deliver deliver) {
    if (busy_) return false;
    busy_ = true;
    cancelled_ = false;
    lookups_ = std::move(lookups);
    deliver_ = std::move(deliver);
    const bool fromUrl = IsPlaylistUrl(location);
    const QString where =
        !fromUrl && location.startsWith("file:", Qt::CaseInsensitive) ? QUrl(location).toLocalFile() : location;
    job_ = runner_.Start([this, where, fromUrl](const JobRunner::Context& job) { Work(job, where, fromUrl); });
    return true;
}

void PlaylistImport::Cancel() {
    cancelled_ = true;
    {
        const std::lock_guard lock(gateMutex_);
        runner_.Cancel(job_);
    }
    gate_.notify_all();
}

void PlaylistImport::SetTableReady(bool ready) {
    {
        const std::lock_guard lock(gateMutex_);
        tableReady_ = ready;
    }
    gate_.notify_all();
}

void PlaylistImport::WaitForTable(const JobRunner::Context& job) {
    std::unique_lock lock(gateMutex_);
    gate_.wait(lock, [&] { return tableReady_ || job.Cancelled(); });
}

void PlaylistImport::Work(const JobRunner::Context& job, QString location, bool fromUrl) {
    // Latin spellings need a transliterator that takes a third of a second to build the first time:
    // built beside the read rather than after it.
    std::thread speller(PrepareRecordText);
    auto outcome = std::make_shared<Outcome>();
    const std::string where = location.toStdString();
    std::string bytes, base = where, error;
    if (fromUrl) {
        PlaylistDownloadOptions options;
        options.maxBytes = MaxBytes;
        options.cancel = &job.CancelFlag();
        auto last = std::chrono::steady_clock::now() - std::chrono::seconds(1);
        options.progress = [this, &job, &last](uint64_t received, uint64_t total) {
            const auto now = std::chrono::steady_clock::now();
            if (now - last < std::chrono::milliseconds(50)) return;
            last = now;
            job.Post([this, received, total] { emit progress(qint64(received), qint64(total)); });
        };
        PlaylistDownload d = DownloadPlaylist(where, options);
        job.Post([this] { emit downloaded(); });
        if (!d.ok) error = d.error;
        bytes = std::move(d.body);
        base = d.finalUrl;
    } else {
        std::string why;
        bytes = ReadWhole(where, MaxBytes, why);
        if (!why.empty()) error = "The playlist file can't be read: " + why + ".";
    }
    if (error.empty() && !job.Cancelled()) {
        Playlist playlist = ReadPlaylist(bytes, base, fromUrl);
        if (!playlist.ok) error = playlist.error;
        else outcome->plan = PrepareImport(std::move(playlist), lookups_.sources, lookups_.countries, lookups_.genres);
    }
    speller.join();
    // The plan is made against the table as it stands, once it is in place, just before the question.
    WaitForTable(job);
    if (error.empty() && !job.Cancelled())
        reader_([&](const ChannelTable& table) { DropKnown(outcome->plan, table, lookups_.listDir); });
    if (!error.empty())
        outcome->error = QStringLiteral("The playlist \"%1\" can't be imported.\n\n%2").arg(location, Utf8(error));
    job.Post([this, outcome] { Conclude(outcome); });
}

void PlaylistImport::Conclude(std::shared_ptr<Outcome> outcome) {
    const auto done = [this](bool imported) {
        busy_ = false;
        deliver_ = nullptr;
        emit finished(imported);
    };
    if (cancelled_) return done(false);
    if (!outcome->error.isEmpty()) {
        messages_.Error(outcome->error);
        return done(false);
    }
    ImportPlan& plan = outcome->plan;
    if (plan.records.empty()) {
        messages_.Inform(QStringLiteral("The playlist \"%1\" adds no channel: its %2 channels are already in the "
                                        "catalogue.")
                             .arg(Utf8(plan.name))
                             .arg(plan.duplicates));
        return done(false);
    }
    ImportQuestion question;
    question.playlistName = Utf8(plan.name);
    question.added = static_cast<int>(plan.records.size());
    question.alreadyKnown = plan.duplicates;
    question.unusable = plan.unusable;
    question.sources = QStringList{EditorPlaceholder};
    for (size_t k = 1; k < lookups_.sources.size(); ++k) question.sources << FromAnsi(lookups_.sources[k]);
    question.preselected = plan.source;
    const std::optional<int> source = messages_.AskImport(question);
    if (!source) return done(false);
    ApplySource(plan.records, *source);
    if (deliver_) deliver_(std::move(plan));
    done(true);
}

bool PlaylistExport::Export(const QString& file, const ImportLookups& lookups) {
    const std::vector<int32_t> shown = shown_ ? shown_() : std::vector<int32_t>{};
    const std::string error =
        ExportM3U(table_, shown, lookups.countries, lookups.genres, file.toStdString(), lookups.listDir);
    if (!error.empty()) {
        messages_.Error(Utf8(error));
        return false;
    }
    messages_.Inform(QStringLiteral("Channels exported to %1: %2.").arg(QFileInfo(file).fileName()).arg(shown.size()));
    return true;
}

}  // namespace castora
