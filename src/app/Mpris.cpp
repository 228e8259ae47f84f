#include "app/Mpris.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDBusMessage>
#include <QFileInfo>
#include <QMetaObject>
#include <QSlider>
#include <QUrl>
#include <QUrl>
#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>

#include "app/ChannelLogos.h"
#include "app/MainForm.h"
#include "catalogue/ChannelTable.h"
#include "pages/Messages.h"
#include "pages/PlayPage.h"
#include "pages/Text.h"
#include "player/MediaPlayer.h"

namespace castora {

namespace {

const char* const NoTrack = "/org/mpris/MediaPlayer2/TrackList/NoTrack";

// Without a session bus, libdbus would autolaunch a private daemon just for us; a desktop that wants media
// keys has a bus already, announced by address or at the user's runtime socket.
bool SessionBusAnnounced() {
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus"));
}

}  // namespace

TMpris* TMpris::Publish(TMainForm* form) {
    if (!form || !SessionBusAnnounced()) return nullptr;
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return nullptr;
    auto* mpris = new TMpris(*form, bus);
    if (!mpris->Register()) {
        delete mpris;
        return nullptr;
    }
    return mpris;
}

TMpris::TMpris(TMainForm& form, const QDBusConnection& bus)
    : QObject(&form), form_(form), page_(form.Play), player_(form.Player), bus_(bus) {
    new TMprisRootAdaptor(this);
    new TMprisPlayerAdaptor(this);
    connect(form_.Player, &TMediaPlayer::PlayStateChange, this, &TMpris::Refresh);
    connect(form_.Player, &TMediaPlayer::currentMediaNameChanged, this, &TMpris::Refresh);
    connect(form_.Play->TrackBar1(), &QSlider::valueChanged, this, &TMpris::Refresh);
    connect(&form_.Logos(), &ChannelLogos::artChanged, this, &TMpris::Refresh);
    connect(form_.Play, &PlayPage::programmesChanged, this, &TMpris::Refresh);
    sentStatus_ = PlaybackStatus();
    sentMetadata_ = Metadata();
    sentVolume_ = Volume();
}

TMpris::~TMpris() {
    if (!service_.isEmpty()) bus_.unregisterService(service_);
    if (objectRegistered_) bus_.unregisterObject(ObjectPath);
}

bool TMpris::Register() {
    if (!bus_.registerObject(ObjectPath, this, QDBusConnection::ExportAdaptors)) return false;
    objectRegistered_ = true;
    QString name = ServiceName;
    if (!bus_.registerService(name)) {
        name += QStringLiteral(".instance%1").arg(QCoreApplication::applicationPid());
        if (!bus_.registerService(name)) return false;
    }
    service_ = name;
    return true;
}

QString TMpris::PlaybackStatus() const {
    if (!player_) return QStringLiteral("Stopped");
    switch (player_->playState()) {
    case PlayState::Playing:
        return QStringLiteral("Playing");
    case PlayState::Paused:
        return QStringLiteral("Paused");
    default:
        return QStringLiteral("Stopped");
    }
}

QString TMpris::ChannelNameFor(const QString& url) const {
    if (url != trackUrl_) {
        trackUrl_ = url;
        ++trackNumber_;
        trackChannel_.clear();
        // The page started the selected record; look there first, the table may have been reloaded since.
        const ChannelTable& table = form_.Table();
        if (table.HasSelection() && FromAnsi(table.Selected().Url) == url) {
            trackChannel_ = FromAnsi(table.Selected().Name);
        } else if (const int32_t index = table.IndexOfUrl(ToAnsi(url)); index > 0) {
            trackChannel_ = FromAnsi(table.Channels[index].Name);
        }
    }
    return trackChannel_;
}

QVariantMap TMpris::Metadata() const {
    QVariantMap map;
    const QString url = player_ ? player_->URL() : QString();
    if (url.isEmpty()) {
        map.insert(QStringLiteral("mpris:trackid"), QVariant::fromValue(QDBusObjectPath(NoTrack)));
        return map;
    }
    const QString channel = ChannelNameFor(url);
    map.insert(QStringLiteral("mpris:trackid"),
               QVariant::fromValue(QDBusObjectPath(QStringLiteral("/org/castora/Player/Track/%1").arg(trackNumber_))));
    map.insert(QStringLiteral("xesam:url"), url);
    if (!channel.isEmpty()) map.insert(QStringLiteral("xesam:title"), channel);
    if (const QString art = form_.Logos().ArtFile(); !art.isEmpty())
        map.insert(QStringLiteral("mpris:artUrl"), QUrl::fromLocalFile(art).toString());
    if (player_->playState() == PlayState::Playing) {
        QString streamTitle;
        try {
            streamTitle = player_->currentMediaName();
        } catch (const EPlayerError&) {
            // Between the state report and the read the engine may have let go of the stream.
        }
        if (!streamTitle.isEmpty()) map.insert(QStringLiteral("xesam:artist"), QStringList{streamTitle});
        // What the channel shows now, by the guide.
        if (page_ && !page_->ProgrammeTitle().isEmpty())
            map.insert(QStringLiteral("xesam:album"), page_->ProgrammeTitle());
    }
    return map;
}

double TMpris::Volume() const { return page_ ? page_->TrackBar1()->value() / 100.0 : 0.0; }

void TMpris::SetVolume(double volume) {
    if (!page_ || std::isnan(volume)) return;
    // The slider ends at 100: louder requests stop there, negative ones mean silence.
    const double clamped = std::clamp(volume, 0.0, 1.0);
    page_->TrackBar1()->setValue(static_cast<int>(std::lround(clamped * 100.0)));
}

bool TMpris::ButtonUsable() const {
    return page_ && form_.PlayButton->isEnabled() && !QApplication::activeModalWidget();
}

void TMpris::PressIf(std::optional<PlayPage::ButtonAction> wanted) {
    // Run from the event loop, not inside the bus call: the press may open a message box, and the caller
    // should have its reply at once.
    QMetaObject::invokeMethod(
        this,
        [this, wanted] {
            if (!ButtonUsable()) return;
            if (!wanted || page_->Action() == *wanted) page_->PlayButtonClick();
        },
        Qt::QueuedConnection);
}

void TMpris::Play() { PressIf(PlayPage::ButtonAction::Play); }

void TMpris::Stop() { PressIf(PlayPage::ButtonAction::Stop); }

void TMpris::PlayPause() { PressIf(std::nullopt); }

void TMpris::Raise() {
    if (form_.isMinimized()) form_.showNormal();
    else form_.show();
    form_.raise();
    form_.activateWindow();
}

void TMpris::Refresh() {
    QVariantMap changed;
    const QString status = PlaybackStatus();
    if (status != sentStatus_) {
        sentStatus_ = status;
        changed.insert(QStringLiteral("PlaybackStatus"), status);
    }
    const QVariantMap metadata = Metadata();
    if (metadata != sentMetadata_) {
        sentMetadata_ = metadata;
        changed.insert(QStringLiteral("Metadata"), metadata);
    }
    const double volume = Volume();
    if (volume != sentVolume_) {
        sentVolume_ = volume;
        changed.insert(QStringLiteral("Volume"), volume);
    }
    if (!changed.isEmpty()) EmitChanged(PlayerInterface, changed);
}

void TMpris::EmitChanged(const char* interface, const QVariantMap& changed) {
    QDBusMessage signal = QDBusMessage::createSignal(ObjectPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    signal << QString::fromLatin1(interface) << changed << QStringList();
    bus_.send(signal);
}

TMprisRootAdaptor::TMprisRootAdaptor(TMpris* owner) : QDBusAbstractAdaptor(owner), owner_(owner) {}

QString TMprisRootAdaptor::Identity() const { return QString::fromUtf8(AppTitle); }

QString TMprisRootAdaptor::DesktopEntry() const { return QStringLiteral("castora-player"); }

QStringList TMpris::UriSchemes() {
    return {QStringLiteral("http"), QStringLiteral("https"), QStringLiteral("mms"),
            QStringLiteral("rtsp"), QStringLiteral("rtmp"),  QStringLiteral("file")};
}

QString TMpris::OpenUri(const QString& uri) {
    const QUrl url(uri, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || !UriSchemes().contains(scheme))
        return QStringLiteral("Castora Player opens only %1 addresses.").arg(UriSchemes().join(", "));
    const QString address = url.isLocalFile() ? url.toLocalFile() : uri;
    const QString path = url.path().toLower();
    if (path.endsWith(".m3u") || path.endsWith(".m3u8") || path.endsWith(".pls")) {
        form_.ImportPlaylist(address);
        return {};
    }
    if (!ButtonUsable()) return QStringLiteral("Castora Player can't start a channel now.");
    try {
        if (page_->Action() == PlayPage::ButtonAction::Stop) form_.PlayButton->click();
        form_.ScreenButtonClick();
        player_->setURL(address);
        player_->setEnabled(true);
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    }
    return {};
}

QStringList TMprisRootAdaptor::SupportedUriSchemes() const { return TMpris::UriSchemes(); }

QStringList TMprisRootAdaptor::SupportedMimeTypes() const {
    return {QStringLiteral("audio/mpeg"),
            QStringLiteral("audio/aac"),
            QStringLiteral("audio/ogg"),
            QStringLiteral("audio/x-wav"),
            QStringLiteral("audio/x-mpegurl"),
            QStringLiteral("audio/x-scpls"),
            QStringLiteral("application/vnd.apple.mpegurl"),
            QStringLiteral("video/mp2t"),
            QStringLiteral("video/mp4"),
            QStringLiteral("video/x-flv")};
}

void TMprisRootAdaptor::Raise() { owner_->Raise(); }

TMprisPlayerAdaptor::TMprisPlayerAdaptor(TMpris* owner) : QDBusAbstractAdaptor(owner), owner_(owner) {}

QString TMprisPlayerAdaptor::PlaybackStatus() const { return owner_->PlaybackStatus(); }

QVariantMap TMprisPlayerAdaptor::Metadata() const { return owner_->Metadata(); }

double TMprisPlayerAdaptor::Volume() const { return owner_->Volume(); }

void TMprisPlayerAdaptor::SetVolume(double volume) { owner_->SetVolume(volume); }

void TMprisPlayerAdaptor::Play() { owner_->Play(); }

void TMprisPlayerAdaptor::Stop() { owner_->Stop(); }

void TMprisPlayerAdaptor::PlayPause() { owner_->PlayPause(); }

void TMprisPlayerAdaptor::Pause() { owner_->Stop(); }  // a live stream cannot wait where it was

void TMprisPlayerAdaptor::Seek(qlonglong) {}

void TMprisPlayerAdaptor::SetPosition(const QDBusObjectPath&, qlonglong) {}

void TMprisPlayerAdaptor::OpenUri(const QString& uri, const QDBusMessage& message) {
    const QString error = owner_->OpenUri(uri);
    if (error.isEmpty()) return;
    message.setDelayedReply(true);
    owner_->Bus().send(message.createErrorReply(QDBusError::NotSupported, error));
}

}  // namespace castora
