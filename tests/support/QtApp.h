#pragma once
#include <QApplication>
#include <clocale>

namespace castora::test {

// One QApplication for the whole test program, made on first use.
inline QApplication& EnsureApp() {
    static int argc = 1;
    static char name[] = "castora-tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        auto* a = new QApplication(argc, argv);
        std::setlocale(LC_NUMERIC, "C");
        return a;
    }();
    return *app;
}

}  // namespace castora::test
