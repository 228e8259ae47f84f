#include "app/ChannelGuide.h"

#include <QAction>
#include <QDate>
#include <QDateTime>
#include <QSettings>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <limits>

#include "app/ChannelLogos.h"
#include "catalogue/GuideTime.h"
#include "catalogue/Text.h"
#include "pages/Catalogue.h"
#include "pages/ChannelGrid.h"
#include "pages/ChannelModel.h"
#include "pages/ChannelsPage.h"
#include "pages/GuideDialogs.h"
#include "pages/Messages.h"
#include "pages/PlayPage.h"
#include "pages/Text.h"
#include "player/MediaPlayer.h"

namespace castora {

namespace {

constexpr const char* SourcesKey = "guide/sources";
constexpr const char* ShiftKey = "guide/shift";
// The keeper refreshes what is older than half a day; looking once an hour finds it soon enough.
constexpr int RefreshCheckMs = 3600 * 1000;

QString Utf8(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

QString Programme(const char* label, const GuideShow& show) {
    QString line = QString::fromLatin1(label) + ' ' + LocalClock(show.start) + ' ' + Utf8(show.title);
    if (!show.subTitle.empty()) line += QStringLiteral(": ") + Utf8(show.subTitle);
    return line;
}

}  // namespace

ChannelGuide::ChannelGuide(const AppConfig& config, Catalogue& catalogue, ChannelsPage& channels, PlayPage& play,
                           TMediaPlayer& player, ChannelLogos& logos, Messages& messages, QWidget* window)
    : QObject(window), config_(config), catalogue_(catalogue), channels_(channels), play_(play), logos_(logos),
      messages_(messages), window_(window), playingTimer_(new QTimer(this)), refreshTimer_(new QTimer(this)),
      runner_(
          [this](JobRunner::Task task) { QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection); }) {
    LoadSettings();
    GuideKeeper::Options options;
    const QString cache =
        config_.cacheDir.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::CacheLocation) : config_.cacheDir;
    options.cacheDir = (cache + QStringLiteral("/guide")).toStdString();
    // Below the window's thread: a guide of a gigabyte is read while the user goes on.
    options.niceness = 5;
    keeper_ = std::make_unique<GuideKeeper>(options, [this](const GuideRefreshResult& result) {
        QMetaObject::invokeMethod(
            this, [this, result] { Refreshed(result); }, Qt::QueuedConnection);
    });
    std::vector<std::string> list;
    for (const QString& s : sources_) list.push_back(s.toStdString());
    keeper_->SetSources(std::move(list));
    // The last guide is shown while the catalogue loads; the refresh waits for the catalogue's channels.
    if (!sources_.isEmpty()) requestedJob_ = keeper_->LoadCache();

    playingTimer_->setSingleShot(true);
    connect(playingTimer_, &QTimer::timeout, this, &ChannelGuide::ShowPlaying);
    refreshTimer_->setInterval(RefreshCheckMs);
    connect(refreshTimer_, &QTimer::timeout, this, [this] {
        if (!sources_.isEmpty() && wantedSent_) RequestRefresh(false);
    });
    refreshTimer_->start();

    connect(&catalogue_, &Catalogue::rowsReplaced, this, [this] {
        if (!sources_.isEmpty() && (catalogue_.Version() != lookupVersion_ || !wantedSent_)) Rematch();
    });
    connect(&catalogue_, &Catalogue::notesChanged, this, [this] {
        if (!sources_.isEmpty() && CopyNotes() != noted_) Rematch();
    });
    connect(&play_, &PlayPage::channelPlayed, this, [this](const QString& url, int32_t record) {
        playingUrl_ = ToAnsi(url);
        playingRecord_ = record;
        ShowPlaying();
    });
    connect(&player, &TMediaPlayer::PlayStateChange, this, [this](PlayState state) {
        if (state != PlayState::Stopped && state != PlayState::MediaEnded && state != PlayState::Ready) return;
        playingUrl_.clear();
        playingRecord_ = 0;
        ShowPlaying();
    });
    connect(channels_.GuideAction, &QAction::triggered, this, &ChannelGuide::GuideClick);
    connect(channels_.MatchGuideAction, &QAction::triggered, this, &ChannelGuide::MatchGuideChannelClick);
    connect(channels_.GuideSourcesAction, &QAction::triggered, this, &ChannelGuide::GuideSourcesClick);
    connect(channels_.RefreshGuideAction, &QAction::triggered, this, &ChannelGuide::RefreshGuideClick);
}

ChannelGuide::~ChannelGuide() {
    keeper_.reset();
    runner_.Shutdown();
}

bool ChannelGuide::Busy() const { return matching_ || doneJob_ < requestedJob_; }

void ChannelGuide::LoadSettings() {
    const QSettings settings(SettingsFilePath(config_), QSettings::IniFormat);
    sources_ = settings.value(SourcesKey).toStringList();
    sources_.removeAll(QString());
    sources_.removeDuplicates();
    globalShift_ = settings.value(ShiftKey).toString();
    if (!ShiftFromHours(globalShift_)) globalShift_.clear();
}

void ChannelGuide::SaveSettings() const {
    // Other parts keep their own keys in this file: only ours are written.
    QSettings settings(SettingsFilePath(config_), QSettings::IniFormat);
    if (sources_.isEmpty()) settings.remove(SourcesKey);
    else settings.setValue(SourcesKey, sources_);
    if (globalShift_.isEmpty()) settings.remove(ShiftKey);
    else settings.setValue(ShiftKey, globalShift_);
    settings.sync();
    if (settings.status() != QSettings::NoError)
        messages_.Error(QStringLiteral("The guide's sources could not be saved in %1.").arg(settings.fileName()));
}

void ChannelGuide::SetSources(const QStringList& sources) {
    QStringList list = sources;
    list.removeAll(QString());
    list.removeDuplicates();
    if (list == sources_) return;
    const bool had = !sources_.isEmpty();
    sources_ = list;
    SaveSettings();
    std::vector<std::string> locations;
    for (const QString& s : sources_) locations.push_back(s.toStdString());
    keeper_->SetSources(std::move(locations));
    reportRequest_ = true;
    if (sources_.isEmpty()) {
        // The keeper forgets its copies; the window shows no guide at once.
        reportRequest_ = false;
        RequestRefresh(false);
        index_.reset();
        lookup_.reset();
        noted_.clear();
        wantedSent_ = false;
        channels_.Model().SetGuide(nullptr);
        logos_.SetGuideIcons(nullptr);
        ShowPlaying();
        emit guideChanged();
        return;
    }
    // The channels wanted are known once matched; the refresh follows the match.
    if (!had || !wantedSent_) Rematch();
    else RequestRefresh(false);
}

void ChannelGuide::SetGlobalShift(const QString& hours) {
    const QString text = hours.trimmed();
    if (text == globalShift_ || !ShiftFromHours(text)) return;
    globalShift_ = text;
    SaveSettings();
    if (!sources_.isEmpty()) Rematch();
}

void ChannelGuide::AddImportedSources(const std::vector<std::string>& urls) {
    QStringList list = sources_;
    for (const std::string& url : urls) {
        const QString s = QString::fromStdString(url).trimmed();
        if (!s.isEmpty() && !list.contains(s)) list << s;
    }
    SetSources(list);
}

void ChannelGuide::RefreshGuideClick() {
    if (sources_.isEmpty()) {
        messages_.Inform(QStringLiteral("There is no guide to refresh. Add one with \"Guide sources\u2026\"."));
        return;
    }
    reportRequest_ = true;
    if (wantedSent_) RequestRefresh(true);
    else Rematch();
}

// --------------------------------------------------------------------------------------------- matching

ChannelGuide::NotedMap ChannelGuide::CopyNotes() const {
    NotedMap map;
    // Only what bears on the match: most notes are favourites and history.
    for (const auto& [url, note] : catalogue_.Notes().All()) {
        if (note.guideId.empty() && note.tvgId.empty() && note.tvgName.empty() && note.tvgShift.empty() &&
            note.guideShift.empty())
            continue;
        NotedKeys keys;
        keys.manual = note.guideId;
        keys.tvgId = note.tvgId;
        keys.tvgName = note.tvgName;
        // The user's shift for the channel replaces the playlist's.
        const std::string& shift = note.guideShift.empty() ? note.tvgShift : note.guideShift;
        keys.shift = ParseTvgShift(shift).value_or(0);
        map.emplace(url, std::move(keys));
    }
    return map;
}

void ChannelGuide::Rematch() {
    // A table on its way has no channels yet: matching it would ask the guide for none. Its rows come
    // with it, and the match follows them.
    if (catalogue_.State() == CatalogueState::Loading || catalogue_.State() == CatalogueState::Replacing) {
        ++matchSerial_;
        matching_ = false;
        return;
    }
    noted_ = CopyNotes();
    const uint64_t serial = ++matchSerial_;
    const uint64_t version = catalogue_.Version();
    matching_ = true;
    runner_.CancelKind(0);
    runner_.Start(
        [this, read = catalogue_.Reader(), serial, version, noted = std::make_shared<const NotedMap>(noted_),
         index = index_, globalShift = ShiftFromHours(globalShift_).value_or(0)](const JobRunner::Context& job) {
            // The notes' names are spelt as the records are, here rather than on the window's thread.
            std::unordered_map<std::string_view, NotedKeys> keyed;
            for (const auto& [url, keys] : *noted) {
                NotedKeys k = keys;
                if (!k.tvgName.empty()) k.tvgName = ToRecordText(k.tvgName);
                keyed.emplace(url, std::move(k));
            }
            std::shared_ptr<const GuideLookup> lookup;
            std::shared_ptr<const GuideWanted> wanted;
            bool done = false;
            read([&](const ChannelTable& table) {
                if (job.Cancelled()) return;
                std::vector<const NotedKeys*> at(static_cast<size_t>(table.ChannelCount) + 1, nullptr);
                if (!keyed.empty())
                    for (int32_t r = 1; r <= table.ChannelCount; ++r) {
                        const auto it = keyed.find(table.Channels[r].Url.view());
                        if (it != keyed.end()) at[static_cast<size_t>(r)] = &it->second;
                    }
                const GuideKeysAt keys = [&](int32_t r) {
                    GuideChannelKeys k;
                    k.name = table.Channels[r].Name.view();
                    if (const NotedKeys* n = at[static_cast<size_t>(r)]) {
                        k.manual = n->manual;
                        k.tvgId = n->tvgId;
                        k.tvgName = n->tvgName;
                        k.shift = n->shift;
                    }
                    return k;
                };
                wanted = std::make_shared<const GuideWanted>(GuideWanted::Of(table.ChannelCount, keys));
                if (index) lookup = std::make_shared<const GuideLookup>(index, table.ChannelCount, keys, globalShift);
                done = true;
            });
            if (!done || job.Cancelled()) return;
            job.Post([this, serial, version, lookup, wanted] { Matched(serial, version, lookup, wanted); });
        },
        0, 5);
}

void ChannelGuide::Matched(uint64_t serial, uint64_t version, std::shared_ptr<const GuideLookup> lookup,
                           std::shared_ptr<const GuideWanted> wanted) {
    if (serial != matchSerial_) return;  // a newer match is on its way
    matching_ = false;
    if (version != catalogue_.Version() || catalogue_.State() == CatalogueState::Loading ||
        catalogue_.State() == CatalogueState::Replacing) {
        Rematch();
        return;
    }
    lookupVersion_ = version;
    lookup_ = std::move(lookup);
    // A guide that names none of the catalogue's channels takes no room in the grid.
    channels_.Model().SetGuide(lookup_ && lookup_->Matched() > 0 ? lookup_ : nullptr);
    if (lookup_) {
        logos_.SetGuideIcons([lookup = lookup_, &catalogue = catalogue_, version](int32_t record) -> std::string {
            if (catalogue.Version() != version) return {};
            const int32_t c = lookup->ChannelOf(record);
            if (c < 0) return {};
            const GuideIndex& index = *lookup->Index();
            return std::string(index.Text(index.Channel(c).icon));
        });
    } else {
        logos_.SetGuideIcons(nullptr);
    }
    ShowPlaying();
    emit guideChanged();
    // A new set of wanted channels reads the guide again (from the copies at hand when they are fresh).
    if (!wantedSent_ || wanted->Stamp() != wantedStamp_) {
        keeper_->SetWanted(wanted);
        wantedStamp_ = wanted->Stamp();
        wantedSent_ = true;
        RequestRefresh(false);
    }
}

bool ChannelGuide::Describes(const GuideLookup& lookup) const {
    return lookupVersion_ == catalogue_.Version() && lookup.Count() == catalogue_.Table().ChannelCount;
}

// ------------------------------------------------------------------------------------------- refreshes

void ChannelGuide::RequestRefresh(bool force) {
    const uint64_t job = keeper_->Refresh(force);
    requestedJob_ = std::max(requestedJob_, job);
    if (reportRequest_) {
        reportRequest_ = false;
        reportJob_ = job;
    }
}

void ChannelGuide::Refreshed(const GuideRefreshResult& result) {
    doneJob_ = std::max(doneJob_, result.job);
    for (const GuideSourceState& s : result.sources) {
        QString state;
        switch (s.status) {
        case GuideSourceState::Status::Failed:
            state = QStringLiteral("Failed: ") + QString::fromStdString(s.error);
            if (s.usedPrevious) state += QStringLiteral(" The copy read before is used.");
            break;
        default:
            state = QStringLiteral("%1 channels, %2 programmes").arg(s.channels).arg(s.programmes);
        }
        states_[QString::fromStdString(s.location)] = state;
    }
    if (result.changed && result.index && !sources_.isEmpty()) {
        index_ = result.index->ChannelCount() > 0 ? result.index : nullptr;
        Rematch();
    }
    if (reportJob_ != 0 && result.job >= reportJob_) {
        reportJob_ = 0;
        Report(result);
    }
    emit refreshed();
}

void ChannelGuide::Report(const GuideRefreshResult& result) {
    QStringList failed;
    for (const GuideSourceState& s : result.sources)
        if (s.status == GuideSourceState::Status::Failed) {
            QString line = QString::fromStdString(s.location) + QStringLiteral(": ") + QString::fromStdString(s.error);
            if (s.usedPrevious) line += QStringLiteral(" The copy read before is used.");
            failed << line;
        }
    if (failed.isEmpty() && result.error.empty()) return;
    QString text =
        failed.isEmpty() ? QString() : QStringLiteral("The guide could not be read from:\n") + failed.join('\n');
    if (!result.error.empty() && (failed.isEmpty() || result.error != "No guide could be read."))
        text += (text.isEmpty() ? QString() : QStringLiteral("\n")) + QString::fromStdString(result.error);
    if (index_) text += QStringLiteral("\nThe guide shown before stays.");
    messages_.Error(text);
}

// -------------------------------------------------------------------------------------------- playing

int32_t ChannelGuide::PlayingRecord() {
    if (playingUrl_.empty()) return 0;
    const ChannelTable& table = catalogue_.Table();
    if (playingRecord_ >= 1 && playingRecord_ <= table.ChannelCount &&
        table.Channels[playingRecord_].Url == playingUrl_)
        return playingRecord_;
    playingRecord_ = table.IndexOfUrl(playingUrl_);
    return playingRecord_;
}

void ChannelGuide::ShowPlaying() {
    playingTimer_->stop();
    const int32_t record = PlayingRecord();
    if (!lookup_ || record == 0 || !Describes(*lookup_)) {
        play_.SetProgrammes(QString(), QString());
        return;
    }
    const int64_t now = QDateTime::currentSecsSinceEpoch();
    const GuideShow on = lookup_->OnAir(record, now);
    const GuideShow next = lookup_->Next(record, now);
    QStringList lines;
    if (on) lines << Programme("Now", on);
    if (next) lines << Programme("Next", next);
    play_.SetProgrammes(lines.join('\n'), on ? Utf8(on.title) : QString());
    const int64_t change = on ? on.stop : next ? next.start : std::numeric_limits<int64_t>::max();
    if (change == std::numeric_limits<int64_t>::max()) return;
    playingTimer_->start(static_cast<int>(std::clamp<int64_t>(change - now + 1, 1, 24 * 3600) * 1000));
}

// -------------------------------------------------------------------------------------------- dialogs

void ChannelGuide::GuideClick() {
    const int32_t record = catalogue_.Selected();
    if (record < 1) return;
    const QString name = FromAnsi(catalogue_.Table().Channels[record].Name).trimmed();
    if (!lookup_ || !Describes(*lookup_) || lookup_->ChannelOf(record) < 0) {
        messages_.Inform(QStringLiteral("The guide has nothing for %1.").arg(name));
        return;
    }
    const QDate today = QDate::currentDate();
    const int64_t from = today.addDays(-1).startOfDay().toSecsSinceEpoch();
    const int64_t to = today.addDays(8).startOfDay().toSecsSinceEpoch();
    std::vector<ProgrammeRow> rows;
    for (const GuideShow& s : lookup_->Between(record, from, to))
        rows.push_back(
            {s.start, s.stop, Utf8(s.title), Utf8(s.subTitle), Utf8(s.desc), Utf8(s.category), Utf8(s.episode)});
    auto* dialog = new ProgrammesDialog(name, std::move(rows), QDateTime::currentSecsSinceEpoch(), window_);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
}

void ChannelGuide::MatchGuideChannelClick() {
    const int32_t record = catalogue_.Selected();
    if (record < 1) return;
    if (!index_) {
        messages_.Inform(QStringLiteral("No guide is loaded. Add one with \"Guide sources\u2026\" first."));
        return;
    }
    const TChannelRec& rec = catalogue_.Table().Channels[record];
    const std::string url = rec.Url.str();
    std::vector<GuideChannelChoice> choices;
    choices.reserve(static_cast<size_t>(index_->ChannelCount()));
    for (int32_t c = 0; c < index_->ChannelCount(); ++c) {
        const GuideChannel& ch = index_->Channel(c);
        const QString id = Utf8(index_->Text(ch.id));
        const QString name = Utf8(index_->Text(ch.name));
        choices.push_back({id, name.isEmpty() ? id : name});
    }
    QString current, shift;
    if (const ChannelNote* note = catalogue_.Notes().Find(url)) {
        current = QString::fromStdString(note->guideId);
        shift = QString::fromStdString(note->guideShift.empty() ? note->tvgShift : note->guideShift);
    }
    // Without a choice of the user's, the channel the rules found is the one offered.
    if (current.isEmpty() && lookup_ && Describes(*lookup_) && lookup_->ChannelOf(record) >= 0)
        current = Utf8(index_->Text(index_->Channel(lookup_->ChannelOf(record)).id));
    auto* dialog =
        new GuideMatchDialog(FromAnsi(rec.Name).trimmed(), std::move(choices), current, shift, messages_, window_);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &GuideMatchDialog::matchChosen, this, [this, url](const QString& id, const QString& hours) {
        catalogue_.ChangeNotes([&](ChannelNotes& notes) {
            notes.Change(url, [&](ChannelNote& note) {
                note.guideId = id.toStdString();
                note.guideShift = hours.toStdString();
            });
        });
    });
    dialog->open();
}

void ChannelGuide::GuideSourcesClick() {
    QStringList states;
    for (const QString& s : sources_) states << states_.value(s);
    auto* dialog = new GuideSourcesDialog(sources_, states, globalShift_, messages_, window_);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &GuideSourcesDialog::sourcesChosen, this, [this](const QStringList& sources, const QString& hours) {
        SetGlobalShift(hours);
        SetSources(sources);
    });
    dialog->open();
}

}  // namespace castora
