#pragma once
#include <QProgressBar>

namespace castora {

// A flat progress gauge without percentage text. Unlike QProgressBar it shows empty, not busy, for a
// maximum of 0, and it clamps the position to the maximum.
class TGauge : public QProgressBar {
    Q_OBJECT
public:
    TGauge(QWidget* parent, const QColor& foreground);
    void SetForeground(const QColor& colour);
    void SetMax(int maximum);
    void SetPos(int position);
    int Max() const { return max_; }
    int Pos() const { return pos_; }

private:
    int max_ = 0;
    int pos_ = 0;
};

}  // namespace castora
