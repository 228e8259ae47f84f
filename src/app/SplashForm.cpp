#include "app/SplashForm.h"

#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QVBoxLayout>

#include "app/Gauge.h"
#include "pages/HeaderStrip.h"

namespace castora {

TSplashForm::TSplashForm(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus) {
    // A progress display only: the keyboard stays with whatever had it, and later with the main window.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFixedSize(310, 53);
    SetBackground(this, 240, 240, 240);
    setFont(WindowFont());
    setAccessibleName("Castora Player");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    TextPanel = new QLabel(this);
    TextPanel->setFixedHeight(48);
    TextPanel->setAlignment(Qt::AlignCenter);
    layout->addWidget(TextPanel);
    Gauge = new TGauge(this, Qt::red);
    Gauge->setFixedHeight(5);
    layout->addWidget(Gauge);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
}

}  // namespace castora
