#include <QApplication>
#include <clocale>
#include <cstdio>

#include "app/MainForm.h"
#include "app/PlaylistImport.h"
#include "app/SingleInstance.h"
#include "app/Termination.h"
#include "pages/Messages.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("castora-player");
    QApplication::setApplicationDisplayName(castora::AppTitle);
    // Lets the desktop match the window to its launcher and icon.
    QGuiApplication::setDesktopFileName("castora-player");
    // The media player library parses numbers in the C locale.
    std::setlocale(LC_NUMERIC, "C");

    // One copy per list directory: a later start hands its playlist to the running one.
    castora::SingleInstance instance;
    const castora::SingleInstance::Role role = instance.Claim(castora::PlaylistArgument(QApplication::arguments()));
    if (role == castora::SingleInstance::Role::HandedOver) return 0;
    if (role == castora::SingleInstance::Role::Unreachable) {
        std::fputs("castora-player: another copy runs in this directory but does not answer.\n", stderr);
        return 1;
    }

    castora::MessageBoxes messages;
    castora::TMainForm form(castora::AppConfig{}, messages);
    messages.SetParent(&form);
    form.ShowWhenReady();
    // A playlist to open (from the desktop or the command line) is read at once; the question comes once
    // the window is up.
    form.ImportPlaylist(castora::PlaylistArgument(QApplication::arguments()));
    QObject::connect(&instance, &castora::SingleInstance::openRequested, &form,
                     &castora::TMainForm::OpenFromAnotherStart);
    castora::QuitOnTerminationSignals();
    return app.exec();
}
