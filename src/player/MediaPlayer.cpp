#include "player/MediaPlayer.h"

#include <QUrl>

#include <QGuiApplication>
#include <algorithm>
#include <string>
#include <string_view>
#include <QWidget>
#include <clocale>
#include <cmath>
#include <mpv/client.h>

#include "player/VideoWidget.h"
#include "player/StreamHeaders.h"

namespace castora {

namespace {
enum : uint64_t { kPause = 1, kCacheWait, kMediaTitle };

QString EngineError(const char* what, int code) {
    return QStringLiteral("%1: %2").arg(QString::fromUtf8(what), QString::fromUtf8(mpv_error_string(code)));
}

[[noreturn]] void Fail(const char* what, int code) { throw EPlayerError(EngineError(what, code).toStdString()); }
} // namespace

TMediaPlayer::TMediaPlayer(PlayerOptions options, QObject* parent) : QObject(parent), options_(options) {
    // libmpv refuses to start under a locale that writes decimal commas.
    std::setlocale(LC_NUMERIC, "C");
    mpv_ = mpv_create();
    if (!mpv_) throw EPlayerError("Can't create the media player");

    setOption("config", "no");
    setOption("terminal", "no");
    setOption("idle", "yes");
    setOption("osc", "no");
    setOption("input-default-bindings", "no");
    setOption("input-vo-keyboard", "no");
    setOption("ytdl", "no");
    setOption("keep-open", "no");
    // Without a sound device an audio-only stream would otherwise end with an error.
    setOption("audio-fallback-to-null", "yes");
    setOption("network-timeout", std::to_string(options_.networkTimeoutSeconds).c_str());
    // Internet radio: ride out a short outage of the server instead of ending.
    setOption("stream-lavf-o", "reconnect=1,reconnect_streamed=1,reconnect_delay_max=5");
    // "Buffering" is the engine pausing for its cache once a stalled stream has played out what it held
    // (everything read while opening, some seconds on a slow stream); it plays on when a second of data
    // is back. Never hold back the start to fill the cache first.
    setOption("cache-pause", "yes");
    setOption("cache-pause-wait", "1");
    setOption("cache-pause-initial", "no");
    setOption("vo", options_.nullOutputs ? "null" : "libmpv");
    if (options_.nullOutputs) setOption("ao", "null");
    setOption("volume", "50");
    setOption("volume-max", "100");
    setOption("mute", "no");
    setOption("video-unscaled", "downscale-big");

    const int rc = mpv_initialize(mpv_);
    if (rc < 0) {
        mpv_terminate_destroy(mpv_);
        mpv_ = nullptr;
        Fail("Can't start the media player", rc);
    }
    mpv_observe_property(mpv_, kPause, "pause", MPV_FORMAT_FLAG);
    mpv_observe_property(mpv_, kCacheWait, "paused-for-cache", MPV_FORMAT_FLAG);
    mpv_observe_property(mpv_, kMediaTitle, "media-title", MPV_FORMAT_STRING);
    mpv_set_wakeup_callback(mpv_, &TMediaPlayer::wakeup, this);
}

TMediaPlayer::~TMediaPlayer() {
    if (!mpv_) return;
    mpv_set_wakeup_callback(mpv_, nullptr, nullptr);
    if (video_) video_->releaseRenderContext();
    mpv_terminate_destroy(mpv_);
}

void TMediaPlayer::setOption(const char* name, const char* value) {
    const int rc = mpv_set_option_string(mpv_, name, value);
    if (rc < 0) Fail(name, rc);
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
        QMetaObject::invokeMethod(player, "drainEvents", Qt::QueuedConnection);
}

void TMediaPlayer::setURL(const QString& url) {
    url_ = url;
    if (url.isEmpty()) {
        // An empty URL plays nothing: drop whatever is open.
        close();
        return;
    }
    tracker_.Load();
    lastMediaName_.clear();
    const int rc = LoadWithHeaders(mpv_, url);
    if (rc < 0) Fail("loadfile", rc);
}

void TMediaPlayer::close() {
    tracker_.Close();
    const char* args[] = {"stop", nullptr};
    const int rc = mpv_command(mpv_, args);
    if (rc < 0) Fail("stop", rc);
    // When nothing was open no event follows; report the stop anyway.
    if (!drainPosted_.exchange(true)) QMetaObject::invokeMethod(this, "drainEvents", Qt::QueuedConnection);
}

void TMediaPlayer::drainEvents() {
    drainPosted_ = false;
    bool titleChanged = false;
    for (;;) {
        mpv_event* event = mpv_wait_event(mpv_, 0);
        if (event->event_id == MPV_EVENT_NONE) break;
        switch (event->event_id) {
        case MPV_EVENT_START_FILE: tracker_.Feed(PlayerEvent::StartFile); break;
        case MPV_EVENT_PLAYBACK_RESTART: tracker_.Feed(PlayerEvent::PlaybackRestart); break;
        case MPV_EVENT_END_FILE: {
            const auto* end = static_cast<mpv_event_end_file*>(event->data);
            switch (end->reason) {
            case MPV_END_FILE_REASON_EOF: tracker_.Feed(PlayerEvent::EndEof); break;
            case MPV_END_FILE_REASON_ERROR: tracker_.Feed(PlayerEvent::EndError); break;
            case MPV_END_FILE_REASON_REDIRECT: tracker_.Feed(PlayerEvent::EndRedirect); break;
            default: tracker_.Feed(PlayerEvent::EndStop); break;
            }
            break;
        }
        case MPV_EVENT_PROPERTY_CHANGE: {
            const auto* prop = static_cast<mpv_event_property*>(event->data);
            if (event->reply_userdata == kMediaTitle) {
                titleChanged = true;
                if (prop->format == MPV_FORMAT_STRING)
                    lastMediaName_ = QString::fromUtf8(*static_cast<const char**>(prop->data));
            } else if (prop->format == MPV_FORMAT_FLAG) {
                const bool on = *static_cast<int*>(prop->data) != 0;
                if (event->reply_userdata == kPause)
                    tracker_.Feed(on ? PlayerEvent::PauseOn : PlayerEvent::PauseOff);
                else if (event->reply_userdata == kCacheWait)
                    tracker_.Feed(on ? PlayerEvent::CacheWaitOn : PlayerEvent::CacheWaitOff);
            }
            break;
        }
        default: break;
        }
    }
    const std::vector<int> codes = tracker_.FinishDrain();
    for (int code : codes) emit PlayStateChange(code);
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
    char* value = mpv_get_property_string(mpv_, "video-unscaled");
    if (!value) throw EPlayerError("Can't read the zoom setting");
    const bool fit = std::string_view(value) == "no";
    mpv_free(value);
    return fit;
}

void TMediaPlayer::setStretchToFit(bool on) {
    // Off keeps small video at its own size; on scales it to the area, keeping the aspect ratio.
    const int rc = mpv_set_property_string(mpv_, "video-unscaled", on ? "no" : "downscale-big");
    if (rc < 0) Fail("video-unscaled", rc);
}

int TMediaPlayer::volume() const {
    double value = 0;
    const int rc = mpv_get_property(mpv_, "volume", MPV_FORMAT_DOUBLE, &value);
    if (rc < 0) Fail("volume", rc);
    return static_cast<int>(std::lround(value));
}

void TMediaPlayer::setVolume(int volume) {
    // The engine would take values above 100 and amplify; the control's range is 0..100.
    double value = std::clamp(volume, 0, 100);
    const int rc = mpv_set_property(mpv_, "volume", MPV_FORMAT_DOUBLE, &value);
    if (rc < 0) Fail("volume", rc);
}

bool TMediaPlayer::mute() const {
    int flag = 0;
    const int rc = mpv_get_property(mpv_, "mute", MPV_FORMAT_FLAG, &flag);
    if (rc < 0) Fail("mute", rc);
    return flag != 0;
}

void TMediaPlayer::setMute(bool on) { setFlag("mute", on); }

QString TMediaPlayer::currentMediaName() const {
    char* value = mpv_get_property_string(mpv_, "media-title");
    if (!value) {
        if (!lastMediaName_.isEmpty()) return lastMediaName_;
        if (url_.isEmpty()) throw EPlayerError("No media is open");
        // A short clip can open and end before its title arrives: name it as the engine would
        // before loading, by the last part of its address.
        const QString path = QUrl(url_).path();
        const QString last = path.section('/', -1);
        return last.isEmpty() ? url_ : last;
    }
    QString name = QString::fromUtf8(value);
    mpv_free(value);
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
    auto* widget = new MpvVideoWidget(mpv_, parent);
    video_ = widget;
    return widget;
}

} // namespace castora
