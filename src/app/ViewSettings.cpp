#include "app/ViewSettings.h"

#include <cstdlib>

#include <QGuiApplication>
#include <QScreen>
#include <QSettings>

namespace castora {

namespace {

constexpr const char* WindowXKey = "window/x";
constexpr const char* WindowYKey = "window/y";
constexpr const char* WindowWidthKey = "window/width";
constexpr const char* WindowHeightKey = "window/height";
constexpr const char* WindowMaximisedKey = "window/maximised";
constexpr const char* VolumeKey = "view/volume";
constexpr const char* MuteKey = "view/mute";
constexpr const char* ZoomKey = "view/zoom";
constexpr const char* LastChannelKey = "view/lastChannel";

// Larger than any screen: a size beyond it was not written by this program.
constexpr int LargestSide = 32768;
// How much of the window must lie on a screen for the user to reach it.
constexpr int ReachableWidth = 100;
constexpr int ReachableHeight = 50;

}  // namespace

ViewSettings::ViewSettings(const QString& file) : settings_(std::make_unique<QSettings>(file, QSettings::IniFormat)) {}

ViewSettings::~ViewSettings() = default;

std::optional<int> ViewSettings::Int(const char* key) const {
    const QVariant value = settings_->value(key);
    if (!value.isValid()) return std::nullopt;
    bool ok = false;
    const int number = value.toString().trimmed().toInt(&ok);
    return ok ? std::optional<int>(number) : std::nullopt;
}

std::optional<bool> ViewSettings::Bool(const char* key) const {
    const QString text = settings_->value(key).toString().trimmed().toLower();
    if (text == "true" || text == "1") return true;
    if (text == "false" || text == "0") return false;
    return std::nullopt;
}

std::optional<QRect> ViewSettings::WindowRect(const QSize& minimum) const {
    const auto x = Int(WindowXKey), y = Int(WindowYKey), w = Int(WindowWidthKey), h = Int(WindowHeightKey);
    if (!x || !y || !w || !h) return std::nullopt;
    if (*w < minimum.width() || *h < minimum.height() || *w > LargestSide || *h > LargestSide) return std::nullopt;
    if (std::abs(*x) > LargestSide || std::abs(*y) > LargestSide) return std::nullopt;
    const QRect rect(*x, *y, *w, *h);
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect shown = screen->availableGeometry().intersected(rect);
        if (shown.width() >= ReachableWidth && shown.height() >= ReachableHeight) return rect;
    }
    return std::nullopt;
}

bool ViewSettings::Maximised() const { return Bool(WindowMaximisedKey).value_or(false); }

std::optional<int> ViewSettings::Volume() const {
    const auto volume = Int(VolumeKey);
    if (!volume || *volume < 0 || *volume > 100) return std::nullopt;
    return volume;
}

std::optional<bool> ViewSettings::Mute() const { return Bool(MuteKey); }

std::optional<bool> ViewSettings::Zoom() const { return Bool(ZoomKey); }

QString ViewSettings::LastChannel() const {
    const QVariant value = settings_->value(LastChannelKey);
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

void ViewSettings::SetWindow(const QRect& normal, bool maximised) {
    settings_->setValue(WindowXKey, normal.x());
    settings_->setValue(WindowYKey, normal.y());
    settings_->setValue(WindowWidthKey, normal.width());
    settings_->setValue(WindowHeightKey, normal.height());
    settings_->setValue(WindowMaximisedKey, maximised);
}

void ViewSettings::SetVolume(int volume) { settings_->setValue(VolumeKey, volume); }

void ViewSettings::SetMute(bool on) { settings_->setValue(MuteKey, on); }

void ViewSettings::SetZoom(bool on) { settings_->setValue(ZoomKey, on); }

void ViewSettings::SetLastChannel(const QString& url) { settings_->setValue(LastChannelKey, url); }

void ViewSettings::Save() { settings_->sync(); }

}  // namespace castora
