#pragma once
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QVariantMap>
#include <optional>

#include "pages/PlayPage.h"

namespace castora {

class TMainForm;
class TMediaPlayer;

// Media keys, desktop sound menus and lock screens drive the player through MPRIS2 on the session bus.
//
// Play, Stop and PlayPause do what the toolbar's Play/Stop button does when the page's next action is the
// one asked for (PlayPause: whatever it is), and nothing while the button cannot be pressed (an update
// holds the toolbar, a message box is open). Live streams cannot pause: Pause stops. Next, Previous, Seek
// and SetPosition do nothing. OpenUri imports a playlist (.m3u, .m3u8, .pls) and plays any other address of
// a scheme in SupportedUriSchemes; anything else, or an address the player refuses, is answered with a
// D-Bus error.
//
// Metadata names the channel whose URL the player holds: xesam:title is the channel name, xesam:url its
// URL, and while playing xesam:artist is the stream's own title, the text of the Play page's status line, and
// xesam:album the programme on air by the guide.
// PlaybackStatus is "Playing" in play state 3, "Paused" in 2 and "Stopped" otherwise. Volume is the page's
// slider divided by 100; setting it moves the slider, which sets the player.
class TMpris : public QObject {
    Q_OBJECT
public:
    static constexpr const char* ServiceName = "org.mpris.MediaPlayer2.castora_player";
    static constexpr const char* ObjectPath = "/org/mpris/MediaPlayer2";
    static constexpr const char* RootInterface = "org.mpris.MediaPlayer2";
    static constexpr const char* PlayerInterface = "org.mpris.MediaPlayer2.Player";

    // Publishes the window's player on the session bus, as a child of the window. Without a session bus,
    // or when the object cannot be registered, nothing is published and nullptr is returned.
    static TMpris* Publish(TMainForm* form);

    TMpris(TMainForm& form, const QDBusConnection& bus);
    ~TMpris() override;

    // Registers the object and claims the service name, or the per-process instance name when another
    // player already holds it.
    bool Register();
    QString Service() const { return service_; }
    QDBusConnection Bus() const { return bus_; }

    QString PlaybackStatus() const;
    QVariantMap Metadata() const;
    double Volume() const;
    void SetVolume(double volume);
    static QStringList UriSchemes();
    // What OpenUri does; the error text to answer with, empty when the address was taken.
    QString OpenUri(const QString& uri);

public slots:
    void Play();
    void Stop();
    void PlayPause();
    void Raise();

private slots:
    void Refresh();

private:
    bool ButtonUsable() const;
    void PressIf(std::optional<PlayPage::ButtonAction> wanted);
    QString ChannelNameFor(const QString& url) const;
    void EmitChanged(const char* interface, const QVariantMap& changed);

    TMainForm& form_;
    QPointer<PlayPage> page_;
    QPointer<TMediaPlayer> player_;
    QDBusConnection bus_;
    QString service_;
    bool objectRegistered_ = false;

    // What the bus was last told, so that only real changes are announced.
    QString sentStatus_;
    QVariantMap sentMetadata_;
    double sentVolume_ = -1;
    // One track id per URL handed to the player.
    mutable QString trackUrl_;
    mutable qulonglong trackNumber_ = 0;
    mutable QString trackChannel_;
};

// org.mpris.MediaPlayer2
class TMprisRootAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(bool CanQuit READ CanQuit)
    Q_PROPERTY(bool CanRaise READ CanRaise)
    Q_PROPERTY(bool HasTrackList READ HasTrackList)
    Q_PROPERTY(QString Identity READ Identity)
    Q_PROPERTY(QString DesktopEntry READ DesktopEntry)
    Q_PROPERTY(QStringList SupportedUriSchemes READ SupportedUriSchemes)
    Q_PROPERTY(QStringList SupportedMimeTypes READ SupportedMimeTypes)
public:
    explicit TMprisRootAdaptor(TMpris* owner);

    bool CanQuit() const { return false; }
    bool CanRaise() const { return true; }
    bool HasTrackList() const { return false; }
    QString Identity() const;
    QString DesktopEntry() const;
    QStringList SupportedUriSchemes() const;
    QStringList SupportedMimeTypes() const;

public slots:
    void Raise();
    void Quit() {}  // CanQuit is false: leaving always goes through the window's own question

private:
    TMpris* owner_;
};

// org.mpris.MediaPlayer2.Player
class TMprisPlayerAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ PlaybackStatus)
    Q_PROPERTY(double Rate READ Rate)
    Q_PROPERTY(double MinimumRate READ Rate)
    Q_PROPERTY(double MaximumRate READ Rate)
    Q_PROPERTY(QVariantMap Metadata READ Metadata)
    Q_PROPERTY(double Volume READ Volume WRITE SetVolume)
    Q_PROPERTY(qlonglong Position READ Position)
    Q_PROPERTY(bool CanGoNext READ No)
    Q_PROPERTY(bool CanGoPrevious READ No)
    Q_PROPERTY(bool CanPlay READ Yes)
    Q_PROPERTY(bool CanPause READ Yes)
    Q_PROPERTY(bool CanSeek READ No)
    Q_PROPERTY(bool CanControl READ Yes)
public:
    explicit TMprisPlayerAdaptor(TMpris* owner);

    QString PlaybackStatus() const;
    double Rate() const { return 1.0; }
    QVariantMap Metadata() const;
    double Volume() const;
    void SetVolume(double volume);
    qlonglong Position() const { return 0; }  // live streams have no position
    bool Yes() const { return true; }
    bool No() const { return false; }

public slots:
    void Play();
    void Stop();
    void PlayPause();
    void Pause();
    void Next() {}
    void Previous() {}
    void Seek(qlonglong offset);
    void SetPosition(const QDBusObjectPath& trackId, qlonglong position);
    void OpenUri(const QString& uri, const QDBusMessage& message);

signals:
    void Seeked(qlonglong position);

private:
    TMpris* owner_;
};

}  // namespace castora
