// The reference for start-up: a bare Qt window of the program's size and title, nothing else.
#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle("Castora Player");
    window.setFixedSize(512, 474);
    window.show();
    return app.exec();
}
