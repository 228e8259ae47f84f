#include "pages/HeaderStrip.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>

namespace castora {

QFont WindowFont() {
    QFont font("Tahoma");
    font.setPixelSize(11);
    return font;
}

void SetBackground(QWidget* widget, int r, int g, int b) {
    QPalette pal = widget->palette();
    pal.setColor(QPalette::Window, QColor(r, g, b));
    widget->setPalette(pal);
    widget->setAutoFillBackground(true);
}

HeaderStrip::HeaderStrip(const QString& title, const QString& address, QWidget* parent) : QWidget(parent) {
    setFixedHeight(20);
    SetBackground(this, 240, 240, 240);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    title_ = new QLabel(title, this);
    title_->setFixedWidth(329);
    title_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QPalette pal = title_->palette();
    pal.setColor(QPalette::WindowText, QColor(128, 128, 128));
    title_->setPalette(pal);
    layout->addWidget(title_);
    icon_ = new QLabel(this);
    icon_->setObjectName("HeaderIcon");
    icon_->setFixedSize(20, 20);
    icon_->setAlignment(Qt::AlignCenter);
    icon_->hide();
    layout->addWidget(icon_);
    layout->addStretch(1);

    link_ = new QPushButton(address, this);
    link_->setFixedSize(160, 20);
    link_->setFlat(true);
    link_->setCursor(Qt::PointingHandCursor);
    link_->setFocusPolicy(Qt::NoFocus);
    link_->setStyleSheet("QPushButton { color: white; background: rgb(75,75,75); border: none; }");
    link_->setAccessibleName(address);
    connect(link_, &QPushButton::clicked, this, &HeaderStrip::linkClicked);
    layout->addWidget(link_);
}

void HeaderStrip::SetTitle(const QString& text) { title_->setText(text); }
QString HeaderStrip::Title() const { return title_->text(); }

void HeaderStrip::SetIcon(const QPixmap& icon) {
    icon_->setPixmap(icon);
    icon_->setVisible(!icon.isNull());
}

}  // namespace castora
