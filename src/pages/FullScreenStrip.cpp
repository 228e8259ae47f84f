#include "pages/FullScreenStrip.h"

#include <QCheckBox>
#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPixmap>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>

#include "pages/HeaderStrip.h"

namespace castora {

namespace {

QLabel* Line(QWidget* parent, bool bold) {
    auto* label = new QLabel(parent);
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, bold ? Qt::white : QColor(200, 200, 200));
    label->setPalette(pal);
    QFont font = label->font();
    font.setBold(bold);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    return label;
}

}  // namespace

FullScreenStrip::FullScreenStrip(QWidget* parent) : QWidget(parent) {
    setObjectName("FullScreenStrip");
    setAccessibleName("Player controls");
    SetBackground(this, 24, 24, 24);
    setFixedHeight(StripHeight);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(8, 2, 8, 2);
    row->setSpacing(8);

    play_ = new QPushButton("Play", this);
    play_->setObjectName("StripPlayButton");
    play_->setFocusPolicy(Qt::NoFocus);
    row->addWidget(play_);

    icon_ = new QLabel(this);
    icon_->setObjectName("StripLogo");
    icon_->setAccessibleName("Logo");
    icon_->hide();
    row->addWidget(icon_);

    auto* text = new QVBoxLayout();
    text->setSpacing(0);
    channel_ = Line(this, true);
    channel_->setObjectName("StripChannel");
    title_ = Line(this, false);
    programme_ = Line(this, false);
    programme_->hide();
    text->addWidget(channel_);
    text->addWidget(title_);
    text->addWidget(programme_);
    row->addLayout(text, 1);

    mute_ = new QCheckBox(QStringLiteral(" Mute "), this);
    mute_->setAccessibleName(QStringLiteral(" Mute "));
    mute_->setFocusPolicy(Qt::NoFocus);
    QPalette pal = mute_->palette();
    pal.setColor(QPalette::WindowText, Qt::white);
    mute_->setPalette(pal);
    row->addWidget(mute_);
    volume_ = new QSlider(Qt::Horizontal, this);
    volume_->setRange(0, 100);
    volume_->setFixedWidth(105);
    volume_->setToolTip(QStringLiteral("Volume"));
    volume_->setAccessibleName(QStringLiteral("Volume"));
    volume_->setFocusPolicy(Qt::NoFocus);
    row->addWidget(volume_);

    connect(play_, &QPushButton::clicked, this, &FullScreenStrip::playStopClicked);
    connect(volume_, &QSlider::valueChanged, this, &FullScreenStrip::volumeMoved);
    connect(mute_, &QCheckBox::clicked, this, &FullScreenStrip::muteClicked);
}

void FullScreenStrip::SetChannelName(const QString& name) { channel_->setText(name); }

void FullScreenStrip::SetIcon(const QPixmap& picture) {
    icon_->setPixmap(picture);
    icon_->setVisible(!picture.isNull());
}

void FullScreenStrip::SetStreamTitle(const QString& title) { title_->setText(title); }

void FullScreenStrip::SetProgrammeLine(const QString& text) {
    programme_->setText(text);
    programme_->setVisible(!text.isEmpty());
}

QString FullScreenStrip::ProgrammeLine() const { return programme_->text(); }

void FullScreenStrip::SetPlayCaption(const QString& caption) {
    play_->setText(caption);
    play_->setAccessibleName(caption);
}

void FullScreenStrip::FillMenu(QMenu& menu) const {
    if (menuBuilder_) menuBuilder_(menu);
    if (extraActions_.isEmpty()) return;
    if (!menu.isEmpty()) menu.addSeparator();
    menu.addActions(extraActions_);
}

void FullScreenStrip::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    FillMenu(menu);
    if (!menu.isEmpty()) menu.exec(event->globalPos());
}

}  // namespace castora
