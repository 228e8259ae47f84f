#pragma once
#include <QRect>
#include <QString>
#include <memory>
#include <optional>

class QSettings;

namespace castora {

// What the window remembers between runs: its place and size, the sound, the zoom and the channel played
// last. Kept in the user's settings file under "window/" and "view/", beside what other parts keep there.
// A value that is missing, unreadable or out of range reads as none, and the caller keeps its default.
class ViewSettings {
public:
    // The settings file (SettingsFilePath).
    explicit ViewSettings(const QString& file);
    ~ViewSettings();

    // The window's rectangle when not maximised, if it is at least the minimum and shows on some screen.
    std::optional<QRect> WindowRect(const QSize& minimum) const;
    bool Maximised() const;
    std::optional<int> Volume() const;
    std::optional<bool> Mute() const;
    std::optional<bool> Zoom() const;
    // The address of the channel played last; empty when none is known.
    QString LastChannel() const;

    void SetWindow(const QRect& normal, bool maximised);
    void SetVolume(int volume);
    void SetMute(bool on);
    void SetZoom(bool on);
    void SetLastChannel(const QString& url);
    // Writes what changed to the file.
    void Save();

private:
    std::optional<int> Int(const char* key) const;
    std::optional<bool> Bool(const char* key) const;

    std::unique_ptr<QSettings> settings_;
};

}  // namespace castora
