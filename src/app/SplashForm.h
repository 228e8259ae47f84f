#pragma once
#include <QWidget>

class QLabel;

namespace castora {

class TGauge;

// The small frameless stay-on-top window that shows loading progress at start-up.
class TSplashForm : public QWidget {
    Q_OBJECT
public:
    explicit TSplashForm(QWidget* parent = nullptr);
    QLabel* TextPanel;
    TGauge* Gauge;
};

}  // namespace castora
