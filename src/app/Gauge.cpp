#include "app/Gauge.h"

#include <algorithm>

namespace castora {

TGauge::TGauge(QWidget* parent, const QColor& foreground) : QProgressBar(parent) {
    setTextVisible(false);
    SetForeground(foreground);
    SetMax(0);
}

void TGauge::SetForeground(const QColor& colour) {
    setStyleSheet(QString("QProgressBar { background: rgb(224,224,224); border: none; }"
                          "QProgressBar::chunk { background: %1; }")
                      .arg(colour.name()));
}

void TGauge::SetMax(int maximum) {
    max_ = std::max(0, maximum);
    setRange(0, std::max(1, max_));
    SetPos(pos_);
}

void TGauge::SetPos(int position) {
    pos_ = std::clamp(position, 0, max_);
    setValue(pos_);
}

}  // namespace castora
