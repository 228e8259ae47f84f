#pragma once
#include <QObject>
#include <QElapsedTimer>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <atomic>
#include <string>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "catalogue/JobRunner.h"
#include "player/PlayStateTracker.h"

struct mpv_handle;
class QWidget;

namespace castora {

class MpvVideoWidget;

struct PlayerOptions {
    bool nullOutputs = false;  // vo=null, ao=null: no window or sound device needed
    int networkTimeoutSeconds = 15;
    int reconnectSeconds = 60;  // how long a dropped live stream is opened again before it ends
    // Load and start the engine on a worker once the video area's window is on screen (or when first
    // needed) instead of in the constructor; settings and a play made meanwhile are carried over.
    bool startInBackground = true;
};

// One of the open entry's tracks, as the engine lists it.
struct MediaTrack {
    enum class Kind { Video, Audio, Subtitle };
    Kind kind = Kind::Audio;
    int id = 0;  // the engine's track number within its kind
    QString language;
    QString title;
    bool selected = false;
};

// A failed call into the media engine.
class EPlayerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The embedded media player, on libmpv. Autostart: assigning a URL starts playback. Play states are
// reported with PlayStateChange on the thread that created the player (the GUI thread).
class TMediaPlayer : public QObject {
    Q_OBJECT
public:
    explicit TMediaPlayer(PlayerOptions options = {}, QObject* parent = nullptr);
    ~TMediaPlayer() override;

    void setURL(const QString& url);
    QString URL() const { return url_; }
    PlayState playState() const { return tracker_.Current(); }
    void setEnabled(bool enabled) { enabled_ = enabled; }
    bool enabled() const { return enabled_; }
    bool stretchToFit() const;
    void setStretchToFit(bool on);
    void close();
    int volume() const;
    void setVolume(int volume);
    bool mute() const;
    void setMute(bool on);
    // Full screen: the picture is scaled to the screen keeping its aspect, and stretch-to-fit fills it.
    void setFullScreen(bool on);
    bool fullScreen() const { return fullScreen_; }
    // The aspect the picture is shown in: empty for the stream's own, else "16:9", "4:3" and the like.
    void setAspect(const QString& ratio);
    QString aspect() const { return aspect_; }
    // The open entry's tracks; empty when nothing is open.
    std::vector<MediaTrack> tracks() const;
    void selectAudioTrack(int id);
    // 0 turns subtitles off.
    void selectSubtitleTrack(int id);
    // The area shows the stream's picture (a running entry with video), rather than black.
    bool pictureShown() const { return pictureShown_; }

    // Name of the media being played; follows the stream's title tags on internet radio.
    QString currentMediaName() const;

    // The video area: rendered through libmpv's render API, or a plain black widget where OpenGL
    // widgets cannot be shown (the offscreen platform) or nothing is rendered (null outputs).
    QWidget* createVideoWidget(QWidget* parent);

    // Null while the engine is still starting.
    mpv_handle* handle() const { return mpv_; }

signals:
    void PlayStateChange(castora::PlayState newState);
    // currentMediaName() changed while the state stays 3.
    void currentMediaNameChanged(const QString& name);
    // The engine's track list changed: tracks() reads the new one.
    void tracksChanged();
    void pictureShownChanged(bool shown);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private slots:
    void drainEvents();
    void reopen();

private:
    static void wakeup(void* self);
    void setFlag(const char* name, bool on);
    void startEngine();
    void engineStarted(mpv_handle* mpv, const std::string& startError);
    void adopt(mpv_handle* mpv);
    // Throws the reason the engine could not be started, if it could not.
    void requireEngine() const;
    void load();
    bool isLive() const;
    bool hasVideo() const;
    QString metadata(const char* key) const;
    // The engine's name for the open entry as the user should read it; empty when it has none.
    QString engineMediaName() const;
    void scheduleReopen();
    void stopReconnecting();
    void showPicture(bool on);
    void applyScaling();
    void setString(const char* name, const char* value);

    PlayerOptions options_;
    mpv_handle* mpv_ = nullptr;
    PlayStateTracker tracker_;
    QString url_;
    QString lastMediaName_;  // the open entry's last title, for reports after the engine let go of it
    bool enabled_ = false;
    bool entryLive_ = false;  // the open entry is a stream without end: an end is a drop
    QTimer reopenTimer_;
    QElapsedTimer dropClock_;  // since the live stream dropped
    int reopenAttempts_ = 0;
    std::atomic<bool> drainPosted_{false};
    QPointer<MpvVideoWidget> video_;
    // Starting in the background, and what was asked for meanwhile.
    JobRunner starter_{
        [this](JobRunner::Task task) { QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection); }};
    bool starting_ = false;
    std::string error_;  // the engine could not be started
    bool playPending_ = false;
    int volume_ = 50;
    bool mute_ = false;
    bool stretch_ = false;
    bool fullScreen_ = false;
    QString aspect_;
    bool pictureShown_ = false;
};

}  // namespace castora
