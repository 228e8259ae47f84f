#pragma once
#include <QStandardPaths>
#include <QString>

#include "castora/Settings.h"

namespace castora {

// What the main window is built with. The program uses the compiled-in settings; tests point the
// window at their own directories and servers.
struct AppConfig {
    QString updateHost = QString::fromUtf8(settings::UpdateHost);
    QString fullUpdateKey = QString::fromUtf8(settings::FullUpdateKey);
    QString homePage = QString::fromUtf8(settings::HomePage);
    QString publisherPage = QString::fromUtf8(settings::PublisherPage);
    // Where the list and lookup files are read and saved; empty means the working directory.
    QString listDir;
    // Where updates.zip is written and unpacked; empty means the directory of the program file.
    QString programDir;
    // Where downloaded logos are kept; empty means the user's cache directory.
    QString cacheDir;
    // The user's settings (window, volume, guide sources, ...); empty means the program's file in the
    // user's configuration directory.
    QString settingsFile;
    // Silent player outputs, for tests.
    bool nullMediaOutputs = false;
};

// The settings file the window's parts share, each under keys of its own ("guide/...", ...).
inline QString SettingsFilePath(const AppConfig& config) {
    if (!config.settingsFile.isEmpty()) return config.settingsFile;
    // One file for every part of the window that keeps settings, whatever the application's names.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/castora-player/castora-player.ini");
}

}  // namespace castora
