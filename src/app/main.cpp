#include <QApplication>
#include <clocale>

#include "app/MainForm.h"
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

    castora::MessageBoxes messages;
    castora::TMainForm form(castora::AppConfig{}, messages);
    messages.SetParent(&form);
    form.ShowWhenReady();
    castora::QuitOnTerminationSignals();
    return app.exec();
}
