#include "player/MediaPlayer.h"

#include <QUrl>

#include <QEvent>
#include <QGuiApplication>
#include <QWindow>
#include <algorithm>
#include <utility>
#include <string>
#include <string_view>
#include <QWidget>
#include <clocale>
#include <cmath>
#include <mpv/client.h>

#include "player/MpvLibrary.h"
#include "player/MpvNames.h"
#include "player/VideoWidget.h"
#include "player/StreamHeaders.h"

namespace castora {

namespace {
enum : uint64_t { kPause = 1, kCacheWait, kMediaTitle, kMetadata, kVideo, kPreloaded, kTracks };

// Pauses between attempts to reopen a dropped live stream: short at first, then every few seconds.
int ReopenDelayMs(int attempt) { return std::min(500 << std::min(attempt, 4), 8000); }

QString EngineError(const char* what, int code) {
    return QStringLiteral("%1: %2").arg(QString::fromUtf8(what), QString::fromUtf8(mpv_error_string(code)));
}

[[noreturn]] void Fail(const char* what, int code) { throw EPlayerError(EngineError(what, code).toStdString()); }

// Creates and starts an engine with the program's settings; on any thread. Null, with the reason, on failure.
mpv_handle* CreateEngine(const PlayerOptions& options, std::string& error) {
    if (!LoadMpvLibrary(&error)) return nullptr;
    mpv_handle* mpv = mpv_create();
    if (!mpv) {
        error = "Can't create the media player";
        return nullptr;
    }
    const std::pair<const char*, std::string> settings[] = {
        {"config", "no"},
        {"terminal", "no"},
        {"idle", "yes"},
        {"osc", "no"},
        {"input-default-bindings", "no"},
        {"input-vo-keyboard", "no"},
        {"ytdl", "no"},
        {"keep-open", "no"},
        // A playlist that came over the net never leads to the engine's own addresses or local files.
        {"load-unsafe-playlists", "no"},
        // Without a sound device an audio-only stream would otherwise end with an error.
        {"audio-fallback-to-null", "yes"},
        {"network-timeout", std::to_string(options.networkTimeoutSeconds)},
        // Internet radio: ride out a short outage of the server instead of ending.
        {"stream-lavf-o", "reconnect=1,reconnect_streamed=1,reconnect_delay_max=5"},
        // "Buffering" is the engine pausing for its cache once a stalled stream has played out what it
        // held (everything read while opening, some seconds on a slow stream); it plays on when a second
        // of data is back. Never hold back the start to fill the cache first.
        {"cache-pause", "yes"},
        {"cache-pause-wait", "1"},
        {"cache-pause-initial", "no"},
        {"vo", options.nullOutputs ? "null" : "libmpv"},
        {"ao", options.nullOutputs ? "null" : ""},
        {"volume", "50"},
        {"volume-max", "100"},
        {"mute", "no"},
        {"video-unscaled", "downscale-big"},
    };
    for (const auto& [name, value] : settings) {
        if (value.empty()) continue;
        const int rc = mpv_set_option_string(mpv, name, value.c_str());
        if (rc < 0) {
            error = EngineError(name, rc).toStdString();
            mpv_terminate_destroy(mpv);
            return nullptr;
        }
    }
    // The engine's own scripts (statistics page, console, profiles) serve its keyboard, which is off here;
    // each would start a Lua interpreter on a thread of its own at every start. Older engines may lack an
    // option: that costs nothing.
    for (const char* name : {"load-scripts", "load-stats-overlay", "load-osd-console", "load-auto-profiles"})
        mpv_set_option_string(mpv, name, "no");
    const int rc = mpv_initialize(mpv);
    if (rc < 0) {
        error = EngineError("Can't start the media player", rc).toStdString();
        mpv_terminate_destroy(mpv);
        return nullptr;
    }
    return mpv;
}
}  // namespace

TMediaPlayer::TMediaPlayer(PlayerOptions options, QObject* parent) : QObject(parent), options_(options) {
    // libmpv refuses to start under a locale that writes decimal commas.
    std::setlocale(LC_NUMERIC, "C");
    reopenTimer_.setSingleShot(true);
    connect(&reopenTimer_, &QTimer::timeout, this, &TMediaPlayer::reopen);
    if (!options_.startInBackground) {
        std::string error;
        mpv_handle* mpv = CreateEngine(options_, error);
        if (!mpv) throw EPlayerError(error);
        adopt(mpv);
        return;
    }
    // The engine starts once the window is on screen (or the first time it is needed, if sooner).
    QTimer::singleShot(0, this, [this] {
        QWidget* top = video_ ? video_->window() : nullptr;
        QWindow* window = top ? top->windowHandle() : nullptr;
        if (!top || (window && window->isExposed())) startEngine();
        else if (window) window->installEventFilter(this);
        else top->installEventFilter(this);  // its window is made when it is first shown
    });
}

bool TMediaPlayer::eventFilter(QObject* watched, QEvent* event) {
    // A window's first paint happens while its first expose is handled; starting right after that keeps
    // the engine's start out of the window's way. Paint events are no signal: a window that its children
    // cover whole never gets one.
    QWidget* top = video_ ? video_->window() : nullptr;
    if (top && watched == top && event->type() == QEvent::Show && top->windowHandle()) {
        top->removeEventFilter(this);
        top->windowHandle()->installEventFilter(this);
    } else if (event->type() == QEvent::Expose && watched->isWindowType() &&
               static_cast<QWindow*>(watched)->isExposed()) {
        watched->removeEventFilter(this);
        QTimer::singleShot(0, this, &TMediaPlayer::startEngine);
    }
    return QObject::eventFilter(watched, event);
}

namespace {

// An engine started on a worker, destroyed unless the player takes it over.
struct StartedEngine {
    mpv_handle* mpv = nullptr;
    std::string error;
    ~StartedEngine() {
        if (mpv) mpv_terminate_destroy(mpv);
    }
};

}  // namespace

void TMediaPlayer::startEngine() {
    if (mpv_ || starting_ || !error_.empty()) return;
    starting_ = true;
    starter_.Start([options = options_, this](const JobRunner::Context& job) {
        // A couple of hundred libraries to load and an engine to start: off the window's thread.
        auto started = std::make_shared<StartedEngine>();
        started->mpv = CreateEngine(options, started->error);
        job.Post([this, started] { engineStarted(std::exchange(started->mpv, nullptr), started->error); });
    });
}

void TMediaPlayer::engineStarted(mpv_handle* mpv, const std::string& startError) {
    starting_ = false;
    if (!mpv) {
        error_ = startError.empty() ? std::string("Can't create the media player") : startError;
        // A play that waited for the engine fails like a stream that can't be opened.
        if (tracker_.Current() == PlayState::Connecting) emit PlayStateChange(PlayState::Ready);
        return;
    }
    adopt(mpv);
    // What was set while the engine was starting.
    setVolume(volume_);
    setMute(mute_);
    setStretchToFit(stretch_);
    setAspect(aspect_);
    if (playPending_) {
        playPending_ = false;
        load();
    }
}

void TMediaPlayer::adopt(mpv_handle* mpv) {
    mpv_ = mpv;
    mpv_observe_property(mpv_, kPause, mpvname::Pause, MPV_FORMAT_FLAG);
    mpv_observe_property(mpv_, kCacheWait, mpvname::PausedForCache, MPV_FORMAT_FLAG);
    mpv_observe_property(mpv_, kMediaTitle, mpvname::MediaTitle, MPV_FORMAT_STRING);
    mpv_observe_property(mpv_, kMetadata, mpvname::Metadata, MPV_FORMAT_NONE);
    mpv_observe_property(mpv_, kVideo, mpvname::VideoConfigured, MPV_FORMAT_FLAG);
    mpv_observe_property(mpv_, kTracks, mpvname::TrackList, MPV_FORMAT_NONE);
    // The engine waits at this point of each open until the player has looked at the entry: its length and
    // size are there for certain, however soon a short clip ends after it.
    mpv_hook_add(mpv_, kPreloaded, mpvname::PreloadedHook, 0);
    mpv_set_wakeup_callback(mpv_, &TMediaPlayer::wakeup, this);
    if (video_) video_->SetEngine(mpv_);
}

void TMediaPlayer::requireEngine() const {
    if (!error_.empty()) throw EPlayerError(error_);
}

TMediaPlayer::~TMediaPlayer() {
    // An engine still starting is destroyed by its job, once started.
    starter_.Shutdown();
    if (!mpv_) return;
    mpv_set_wakeup_callback(mpv_, nullptr, nullptr);
    if (video_) video_->releaseRenderContext();
    mpv_terminate_destroy(mpv_);
}

void TMediaPlayer::setFlag(const char* name, bool on) {
    int flag = on ? 1 : 0;
    const int rc = mpv_set_property(mpv_, name, MPV_FORMAT_FLAG, &flag);
    if (rc < 0) Fail(name, rc);
}

void TMediaPlayer::wakeup(void* self) {
    // Runs on engine threads: never call the engine here, only hand over to the GUI thread, once.
    auto* player = static_cast<TMediaPlayer*>(self);
    if (!player->drainPosted_.exchange(true))
        QMetaObject::invokeMethod(player, &TMediaPlayer::drainEvents, Qt::QueuedConnection);
}

void TMediaPlayer::setURL(const QString& url) {
    if (!url.isEmpty() && !PlayerOpens(url)) {
        // What played stops, as for any channel that cannot be opened, and the caller learns why.
        url_.clear();
        close();
        const QString shown = url.size() > 40 ? url.left(40) + QChar(0x2026) : url;
        throw EPlayerError(QStringLiteral("Can't play \"%1\": the player opens only network streams and files.")
                               .arg(shown)
                               .toStdString());
    }
    url_ = url;
    if (url.isEmpty()) {
        // An empty URL plays nothing: drop whatever is open.
        close();
        return;
    }
    requireEngine();
    stopReconnecting();
    tracker_.Load();
    lastMediaName_.clear();
    showPicture(false);
    if (!mpv_) {
        // Played as soon as the engine is up.
        playPending_ = true;
        startEngine();
        return;
    }
    load();
}

void TMediaPlayer::load() {
    const int rc = LoadWithHeaders(mpv_, url_);
    if (rc < 0) Fail(mpvname::LoadFile, rc);
}

void TMediaPlayer::reopen() {
    if (!mpv_ || !tracker_.WaitingToReopen()) return;
    tracker_.Reopen();
    // The station's name stays until the reopened stream names itself again.
    if (LoadWithHeaders(mpv_, url_) < 0) {
        // Counts as one more failed attempt.
        tracker_.Feed(PlayerEvent::StartFile);
        tracker_.Feed(PlayerEvent::EndError);
        if (!drainPosted_.exchange(true))
            QMetaObject::invokeMethod(this, &TMediaPlayer::drainEvents, Qt::QueuedConnection);
    }
}

void TMediaPlayer::scheduleReopen() {
    if (reopenTimer_.isActive()) return;
    if (!dropClock_.isValid()) {
        dropClock_.start();
        reopenAttempts_ = 0;
    }
    // The last attempt falls on the limit itself, so a stream that never returns ends right there.
    const qint64 left = std::max<qint64>(0, options_.reconnectSeconds * 1000LL - dropClock_.elapsed());
    reopenTimer_.start(static_cast<int>(std::min<qint64>(ReopenDelayMs(reopenAttempts_++), left)));
}

void TMediaPlayer::stopReconnecting() {
    reopenTimer_.stop();
    dropClock_.invalidate();
    reopenAttempts_ = 0;
}

void TMediaPlayer::showPicture(bool on) {
    if (video_) video_->SetBlank(!on);
    if (on == pictureShown_) return;
    pictureShown_ = on;
    emit pictureShownChanged(on);
}

void TMediaPlayer::close() {
    stopReconnecting();
    showPicture(false);
    tracker_.Close();
    playPending_ = false;
    if (mpv_) {
        const char* args[] = {mpvname::Stop, nullptr};
        const int rc = mpv_command(mpv_, args);
        if (rc < 0) Fail(mpvname::Stop, rc);
    }
    // When nothing was open no event follows; report the stop anyway.
    if (!drainPosted_.exchange(true)) QMetaObject::invokeMethod(this, &TMediaPlayer::drainEvents, Qt::QueuedConnection);
}

void TMediaPlayer::drainEvents() {
    drainPosted_ = false;
    bool titleChanged = false;
    bool trackListChanged = false;
    tracker_.SetReconnectAllowed(!dropClock_.isValid() || dropClock_.elapsed() < options_.reconnectSeconds * 1000LL);
    while (mpv_) {
        mpv_event* event = mpv_wait_event(mpv_, 0);
        if (event->event_id == MPV_EVENT_NONE) break;
        switch (event->event_id) {
        case MPV_EVENT_START_FILE:
            if (!tracker_.Reconnecting()) entryLive_ = false;
            tracker_.Feed(PlayerEvent::StartFile);
            break;
        case MPV_EVENT_HOOK: {
            const auto* hook = static_cast<mpv_event_hook*>(event->data);
            if (event->reply_userdata == kPreloaded && !tracker_.Reconnecting()) entryLive_ = isLive();
            mpv_hook_continue(mpv_, hook->id);
            break;
        }
        case MPV_EVENT_PLAYBACK_RESTART:
            tracker_.Feed(PlayerEvent::PlaybackRestart);
            break;
        case MPV_EVENT_END_FILE: {
            const auto* end = static_cast<mpv_event_end_file*>(event->data);
            tracker_.SetLive(entryLive_);
            switch (end->reason) {
            case MPV_END_FILE_REASON_EOF:
                tracker_.Feed(PlayerEvent::EndEof);
                break;
            case MPV_END_FILE_REASON_ERROR:
                tracker_.Feed(PlayerEvent::EndError);
                break;
            case MPV_END_FILE_REASON_REDIRECT:
                tracker_.Feed(PlayerEvent::EndRedirect);
                break;
            default:
                tracker_.Feed(PlayerEvent::EndStop);
                break;
            }
            break;
        }
        case MPV_EVENT_PROPERTY_CHANGE: {
            const auto* prop = static_cast<mpv_event_property*>(event->data);
            if (event->reply_userdata == kMediaTitle || event->reply_userdata == kMetadata) {
                titleChanged = true;  // read once the batch is drained: a new song brings both events
            } else if (event->reply_userdata == kTracks) {
                trackListChanged = true;
            } else if (event->reply_userdata == kVideo) {
                // Only wakes the drain; the state is read below.
            } else if (prop->format == MPV_FORMAT_FLAG) {
                const bool on = *static_cast<int*>(prop->data) != 0;
                if (event->reply_userdata == kPause) tracker_.Feed(on ? PlayerEvent::PauseOn : PlayerEvent::PauseOff);
                else if (event->reply_userdata == kCacheWait)
                    tracker_.Feed(on ? PlayerEvent::CacheWaitOn : PlayerEvent::CacheWaitOff);
            }
            break;
        }
        default:
            break;
        }
    }
    if (titleChanged) {
        const QString name = engineMediaName();
        if (!name.isEmpty()) lastMediaName_ = name;
    }
    const std::vector<PlayState> codes = tracker_.FinishDrain();
    if (tracker_.WaitingToReopen()) scheduleReopen();
    else if (!tracker_.Reconnecting()) stopReconnecting();
    // Only a running entry with video keeps a picture; anything else clears the area at once.
    const PlayState now = tracker_.Current();
    showPicture((now == PlayState::Playing || now == PlayState::Paused || now == PlayState::Buffering) && hasVideo());
    for (PlayState code : codes) emit PlayStateChange(code);
    if (trackListChanged) emit tracksChanged();
    if (titleChanged && codes.empty() && tracker_.Current() == PlayState::Playing) {
        QString name;
        try {
            name = currentMediaName();
        } catch (const EPlayerError&) {
            return;
        }
        emit currentMediaNameChanged(name);
    }
}

bool TMediaPlayer::stretchToFit() const {
    requireEngine();
    // Full screen scales whatever the setting: the engine's value says nothing there.
    if (!mpv_ || fullScreen_) return stretch_;
    char* value = mpv_get_property_string(mpv_, mpvname::VideoUnscaled);
    if (!value) throw EPlayerError("Can't read the zoom setting");
    const bool fit = std::string_view(value) == "no";
    mpv_free(value);
    return fit;
}

void TMediaPlayer::setStretchToFit(bool on) {
    requireEngine();
    stretch_ = on;
    applyScaling();
}

void TMediaPlayer::setFullScreen(bool on) {
    requireEngine();
    fullScreen_ = on;
    applyScaling();
}

void TMediaPlayer::setString(const char* name, const char* value) {
    const int rc = mpv_set_property_string(mpv_, name, value);
    if (rc < 0) Fail(name, rc);
}

void TMediaPlayer::applyScaling() {
    if (!mpv_) return;
    // In the window, off keeps small video at its own size and on scales it to the area, keeping the
    // aspect ratio. Full screen always scales; there, on fills the screen whatever the aspect.
    setString(mpvname::VideoUnscaled, stretch_ || fullScreen_ ? "no" : "downscale-big");
    setString(mpvname::KeepAspect, stretch_ && fullScreen_ ? "no" : "yes");
}

void TMediaPlayer::setAspect(const QString& ratio) {
    requireEngine();
    aspect_ = ratio;
    if (!mpv_) return;
    // -1 is the stream's own aspect.
    setString(mpvname::AspectOverride, ratio.isEmpty() ? "-1" : ratio.toUtf8().constData());
}

std::vector<MediaTrack> TMediaPlayer::tracks() const {
    std::vector<MediaTrack> out;
    if (!mpv_) return out;
    mpv_node list;
    if (mpv_get_property(mpv_, mpvname::TrackList, MPV_FORMAT_NODE, &list) < 0) return out;
    if (list.format == MPV_FORMAT_NODE_ARRAY) {
        for (int i = 0; i < list.u.list->num; ++i) {
            const mpv_node& entry = list.u.list->values[i];
            if (entry.format != MPV_FORMAT_NODE_MAP) continue;
            MediaTrack track;
            bool known = true;
            for (int k = 0; k < entry.u.list->num; ++k) {
                const std::string_view key = entry.u.list->keys[k];
                const mpv_node& value = entry.u.list->values[k];
                const QString text = value.format == MPV_FORMAT_STRING ? QString::fromUtf8(value.u.string) : QString();
                if (key == "type") {
                    if (text == "audio") track.kind = MediaTrack::Kind::Audio;
                    else if (text == "video") track.kind = MediaTrack::Kind::Video;
                    else if (text == "sub") track.kind = MediaTrack::Kind::Subtitle;
                    else known = false;
                } else if (key == "id" && value.format == MPV_FORMAT_INT64) {
                    track.id = static_cast<int>(value.u.int64);
                } else if (key == "lang") {
                    track.language = text;
                } else if (key == "title") {
                    track.title = text;
                } else if (key == "selected" && value.format == MPV_FORMAT_FLAG) {
                    track.selected = value.u.flag != 0;
                }
            }
            if (known && track.id > 0) out.push_back(track);
        }
    }
    mpv_free_node_contents(&list);
    return out;
}

void TMediaPlayer::selectAudioTrack(int id) {
    requireEngine();
    if (mpv_) setString(mpvname::AudioTrack, std::to_string(id).c_str());
}

void TMediaPlayer::selectSubtitleTrack(int id) {
    requireEngine();
    if (mpv_) setString(mpvname::SubtitleTrack, id > 0 ? std::to_string(id).c_str() : "no");
}

int TMediaPlayer::volume() const {
    requireEngine();
    if (!mpv_) return volume_;
    double value = 0;
    const int rc = mpv_get_property(mpv_, mpvname::Volume, MPV_FORMAT_DOUBLE, &value);
    if (rc < 0) Fail(mpvname::Volume, rc);
    return static_cast<int>(std::lround(value));
}

void TMediaPlayer::setVolume(int volume) {
    requireEngine();
    // The engine would take values above 100 and amplify; the control's range is 0..100.
    volume_ = std::clamp(volume, 0, 100);
    if (!mpv_) return;
    double value = volume_;
    const int rc = mpv_set_property(mpv_, mpvname::Volume, MPV_FORMAT_DOUBLE, &value);
    if (rc < 0) Fail(mpvname::Volume, rc);
}

bool TMediaPlayer::mute() const {
    requireEngine();
    if (!mpv_) return mute_;
    int flag = 0;
    const int rc = mpv_get_property(mpv_, mpvname::Mute, MPV_FORMAT_FLAG, &flag);
    if (rc < 0) Fail(mpvname::Mute, rc);
    return flag != 0;
}

void TMediaPlayer::setMute(bool on) {
    requireEngine();
    mute_ = on;
    if (mpv_) setFlag(mpvname::Mute, on);
}

bool TMediaPlayer::hasVideo() const {
    if (!mpv_) return false;
    int configured = 0;
    char* track = mpv_get_property_string(mpv_, mpvname::VideoTrack);
    const bool selected = track && std::string_view(track) != "no";
    mpv_free(track);
    return selected && mpv_get_property(mpv_, mpvname::VideoConfigured, MPV_FORMAT_FLAG, &configured) >= 0 &&
           configured;
}

bool TMediaPlayer::isLive() const {
    if (!mpv_) return false;
    // A file of known length that ends is over; a stream without one was cut off. The engine gives a
    // growing duration for some unbounded streams, but never a size.
    double duration = 0;
    int64_t size = 0;
    const bool hasDuration =
        mpv_get_property(mpv_, mpvname::Duration, MPV_FORMAT_DOUBLE, &duration) >= 0 && duration > 0;
    const bool hasSize = mpv_get_property(mpv_, mpvname::FileSize, MPV_FORMAT_INT64, &size) >= 0 && size > 0;
    return !(hasDuration && hasSize);
}

QString TMediaPlayer::metadata(const char* key) const {
    if (!mpv_) return {};
    char* value = mpv_get_property_string(mpv_, (std::string("metadata/by-key/") + key).c_str());
    if (!value) return QString();
    QString text = QString::fromUtf8(value);
    mpv_free(value);
    return text;
}

QString TMediaPlayer::engineMediaName() const {
    if (!mpv_) return {};
    char* value = mpv_get_property_string(mpv_, mpvname::MediaTitle);
    if (!value) return QString();
    QString name = QString::fromUtf8(value);
    mpv_free(value);
    // Until the station sends a title of its own, its name says more than the last part of the URL.
    if (metadata("icy-title").isEmpty() && metadata("title").isEmpty()) {
        const QString station = metadata("icy-name");
        if (!station.isEmpty()) return station;
        // A reopened stream is named by its address until its headers are read: the name it had is better.
        if (!lastMediaName_.isEmpty() && name == QUrl(url_).path().section('/', -1)) return lastMediaName_;
    }
    // A chained Ogg stream gathers every song's title into one, joined by ';': the newest is last.
    if (char* format = mpv_get_property_string(mpv_, mpvname::FileFormat)) {
        const bool ogg = std::string_view(format) == "ogg";
        mpv_free(format);
        if (ogg) name = name.section(';', -1);
    }
    return name;
}

QString TMediaPlayer::currentMediaName() const {
    QString name = engineMediaName();
    if (name.isEmpty()) {
        if (!lastMediaName_.isEmpty()) return lastMediaName_;
        if (url_.isEmpty()) throw EPlayerError("No media is open");
        // A short clip can open and end before its title arrives: name it as the engine would
        // before loading, by the last part of its address.
        const QString path = QUrl(url_).path();
        const QString last = path.section('/', -1);
        return last.isEmpty() ? url_ : last;
    }
    return name;
}

QWidget* TMediaPlayer::createVideoWidget(QWidget* parent) {
    // QOpenGLWidget crashes the offscreen platform as soon as it is shown.
    if (options_.nullOutputs || QGuiApplication::platformName() == QLatin1String("offscreen")) {
        auto* black = new QWidget(parent);
        QPalette pal = black->palette();
        pal.setColor(QPalette::Window, Qt::black);
        black->setPalette(pal);
        black->setAutoFillBackground(true);
        return black;
    }
    auto* widget = new MpvVideoWidget(parent);
    video_ = widget;
    if (mpv_) widget->SetEngine(mpv_);
    return widget;
}

}  // namespace castora
