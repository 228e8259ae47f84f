#pragma once
// The programme guide in the window: its sources (kept in the settings file under "guide/..."), the
// keeper that reads and refreshes them on a thread of its own, and what the window shows of it: the
// grid's "Now" column, the Play page's now and next, the channels' guide icons and the guide's dialogs.
//
// A guide is an addition, never a condition: with no source nothing here runs, and nothing that plays
// waits for it. Which guide channel each record takes is worked out on a worker from the table as it
// stands and the notes as the window's thread copied them; the result is used only while the table's
// records are still the ones it was made for.

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/AppConfig.h"
#include "catalogue/GuideIndex.h"
#include "catalogue/GuideMatch.h"
#include "catalogue/JobRunner.h"
#include "server/GuideRefresh.h"

class QTimer;
class QWidget;

namespace castora {

class Catalogue;
class ChannelLogos;
class ChannelsPage;
class Messages;
class PlayPage;
class TMediaPlayer;

class ChannelGuide : public QObject {
    Q_OBJECT
public:
    ChannelGuide(const AppConfig& config, Catalogue& catalogue, ChannelsPage& channels, PlayPage& play,
                 TMediaPlayer& player, ChannelLogos& logos, Messages& messages, QWidget* window);
    ~ChannelGuide() override;

    // Addresses and files, the first with priority.
    QStringList Sources() const { return sources_; }
    // Saves them and reads the guide again (a source already read is not downloaded again).
    void SetSources(const QStringList& sources);
    // The shift of the whole guide, in hours as the user typed it.
    QString GlobalShift() const { return globalShift_; }
    void SetGlobalShift(const QString& hours);

    // The guide shown, and for each record its guide channel; null while there is none.
    const std::shared_ptr<const GuideIndex>& Index() const { return index_; }
    const std::shared_ptr<const GuideLookup>& Lookup() const { return lookup_; }
    // A refresh or a match is on its way.
    bool Busy() const;

public slots:
    // An imported playlist named these guides: they join the sources (after those there already).
    void AddImportedSources(const std::vector<std::string>& urls);
    void RefreshGuideClick();
    void GuideClick();
    void MatchGuideChannelClick();
    void GuideSourcesClick();

signals:
    // A new guide or a new match is in place.
    void guideChanged();
    // A refresh's result has arrived (shown or not).
    void refreshed();

private:
    // What the notes say of a channel, for the match, copied on the window's thread.
    struct NotedKeys {
        std::string manual, tvgId, tvgName;  // tvgName in the records' code page
        int32_t shift = 0;
        friend bool operator==(const NotedKeys&, const NotedKeys&) = default;
    };
    using NotedMap = std::unordered_map<std::string, NotedKeys>;

    void LoadSettings();
    void SaveSettings() const;
    NotedMap CopyNotes() const;
    // Works out the match again on a worker, for the table as it stands.
    void Rematch();
    void Matched(uint64_t serial, uint64_t version, std::shared_ptr<const GuideLookup> lookup,
                 std::shared_ptr<const GuideWanted> wanted);
    void Refreshed(const GuideRefreshResult& result);
    void Report(const GuideRefreshResult& result);
    void RequestRefresh(bool force);
    // The playing channel's now and next, and a timer for when they change.
    void ShowPlaying();
    int32_t PlayingRecord();
    bool Describes(const GuideLookup& lookup) const;

    AppConfig config_;
    Catalogue& catalogue_;
    ChannelsPage& channels_;
    PlayPage& play_;
    ChannelLogos& logos_;
    Messages& messages_;
    QWidget* window_;
    QStringList sources_;
    QHash<QString, QString> states_;  // what the last refresh said of each source
    QString globalShift_;
    std::shared_ptr<const GuideIndex> index_;
    std::shared_ptr<const GuideLookup> lookup_;
    uint64_t lookupVersion_ = 0;  // the catalogue's version the lookup was made for
    NotedMap noted_;              // the notes the last match was made with
    uint64_t wantedStamp_ = 0;    // of the wanted set last handed to the keeper
    bool wantedSent_ = false;
    // The user asked: the failures of the refresh that follows are told. Earlier results that arrive
    // meanwhile are not that refresh's.
    bool reportRequest_ = false;
    uint64_t reportJob_ = 0;
    uint64_t requestedJob_ = 0, doneJob_ = 0;  // the keeper's job numbers asked for and answered
    uint64_t matchSerial_ = 0;
    bool matching_ = false;
    std::string playingUrl_;
    int32_t playingRecord_ = 0;
    QTimer* playingTimer_;
    QTimer* refreshTimer_;
    std::unique_ptr<GuideKeeper> keeper_;
    JobRunner runner_;
};

}  // namespace castora
