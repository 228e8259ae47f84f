#include "app/ChannelLogos.h"

#include <QFileInfo>

#include "pages/Catalogue.h"
#include "pages/FullScreenStrip.h"
#include "pages/ChannelGrid.h"
#include "pages/ChannelsPage.h"
#include "pages/HeaderStrip.h"
#include "pages/Messages.h"
#include "pages/PlayPage.h"
#include "pages/Text.h"
#include "player/MediaPlayer.h"

namespace castora {

namespace {
constexpr int HeaderLogoSize = 18;  // fits the 20-pixel header strip
}

ChannelLogos::ChannelLogos(Catalogue& catalogue, ChannelsPage& channels, PlayPage& play, TMediaPlayer& player,
                           Messages& messages, const QString& cacheDir, QObject* parent)
    : QObject(parent), catalogue_(catalogue), channels_(channels), play_(play), messages_(messages) {
    LogoCacheOptions options;
    if (!cacheDir.isEmpty()) options.directory = cacheDir + QStringLiteral("/logos");
    cache_ = new LogoCache(options, this);
    channels_.ChannelGrid->SetLogos(cache_, [this](int32_t record) { return For(record); });
    connect(&catalogue_, &Catalogue::notesChanged, channels_.ChannelGrid, &TChannelGrid::LogosChanged);
    connect(&channels_, &ChannelsPage::setLogoRequested, this, &ChannelLogos::SetLogoClick);
    connect(&channels_, &ChannelsPage::clearLogosRequested, this, &ChannelLogos::ClearLogoCacheClick);
    connect(&play_, &PlayPage::channelPlayed, this, [this](const QString&, int32_t record) {
        playing_ = For(record);
        if (!playing_.url.empty()) cache_->Request(playing_, HeaderPixels());
        ShowPlaying();
    });
    connect(&player, &TMediaPlayer::PlayStateChange, this, [this](PlayState state) {
        if (state != PlayState::Stopped && state != PlayState::MediaEnded && state != PlayState::Ready) return;
        playing_ = {};
        ShowPlaying();
    });
    connect(cache_, &LogoCache::logoChanged, this, [this](const QString& url) {
        if (!playing_.url.empty() && url.toStdString() == playing_.url) ShowPlaying();
    });
    connect(cache_, &LogoCache::cleared, this, [this] {
        if (!playing_.url.empty()) cache_->Request(playing_, HeaderPixels());
        ShowPlaying();
    });
}

int ChannelLogos::HeaderPixels() const { return qRound(HeaderLogoSize * play_.devicePixelRatioF()); }

LogoAddress ChannelLogos::For(int32_t record) const {
    const ChannelTable& table = catalogue_.Table();
    if (record < 1 || record > table.ChannelCount) return {};
    if (const ChannelNote* note = catalogue_.Notes().Find(table.Channels[record].Url.view())) {
        if (!note->logo.empty()) return {note->logo, true};
        if (!note->tvgLogo.empty()) return {note->tvgLogo, false};
    }
    if (guideIcons_) return {guideIcons_(record), false};
    return {};
}

void ChannelLogos::SetGuideIcons(std::function<std::string(int32_t record)> icons) {
    guideIcons_ = std::move(icons);
    channels_.ChannelGrid->LogosChanged();
}

QString ChannelLogos::ArtFile() const {
    if (playing_.url.empty() || cache_->State(playing_, HeaderPixels()) != LogoState::Ready) return {};
    return cache_->File(playing_, HeaderPixels());
}

void ChannelLogos::ShowPlaying() {
    const QPixmap logo =
        playing_.url.empty() ? QPixmap() : cache_->Pixmap(playing_, HeaderLogoSize, play_.devicePixelRatioF());
    play_.Header()->SetIcon(logo);
    play_.Strip()->SetIcon(logo);
    emit artChanged();
}

void ChannelLogos::SetLogoClick() {
    const int32_t record = catalogue_.Selected();
    if (record < 1) return;
    const QString file = messages_.Choose(Messages::Choice::LogoFile);
    if (file.isEmpty()) return;
    const std::string path = QFileInfo(file).absoluteFilePath().toStdString();
    // A new picture under the name of the old one must not show the old one.
    cache_->Forget({path, true});
    const std::string url = catalogue_.Table().Channels[record].Url.str();
    catalogue_.ChangeNotes([&](ChannelNotes& notes) { notes.Change(url, [&](ChannelNote& n) { n.logo = path; }); });
}

void ChannelLogos::ClearLogoCacheClick() { cache_->Clear(); }

}  // namespace castora
