#pragma once
#include <QObject>
#include <QString>

#include "pages/LogoCache.h"

namespace castora {

class Catalogue;
class ChannelsPage;
class Messages;
class PlayPage;
class TMediaPlayer;

// Where each channel's logo comes from (the user's own choice, else what its playlist named, else its
// guide channel's icon) and where it shows: the grid, the Play page's header beside the status line, and
// the media controls' art.
class ChannelLogos : public QObject {
    Q_OBJECT
public:
    ChannelLogos(Catalogue& catalogue, ChannelsPage& channels, PlayPage& play, TMediaPlayer& player, Messages& messages,
                 const QString& cacheDir, QObject* parent = nullptr);

    LogoAddress For(int32_t record) const;
    // A guide channel's icon for a record whose notes name no logo (empty when it has none).
    void SetGuideIcons(std::function<std::string(int32_t record)> icons);
    // The playing channel's logo as a file, for the media controls; empty while there is none.
    QString ArtFile() const;
    LogoCache& Cache() { return *cache_; }

public slots:
    // "Set logo…": the highlighted channel takes a picture file the user picks.
    void SetLogoClick();
    void ClearLogoCacheClick();

signals:
    void artChanged();

private:
    void ShowPlaying();
    int HeaderPixels() const;

    Catalogue& catalogue_;
    ChannelsPage& channels_;
    PlayPage& play_;
    Messages& messages_;
    LogoCache* cache_;
    std::function<std::string(int32_t)> guideIcons_;
    LogoAddress playing_;  // the logo of the channel that plays now, when it has one
};

}  // namespace castora
