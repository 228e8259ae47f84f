#include "app/UpdatePage.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/Gauge.h"
#include "pages/HeaderStrip.h"

namespace castora {

UpdatePage::UpdatePage(const QString& homeAddress, QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    Header = new HeaderStrip("Updating Channel List", homeAddress, this);
    layout->addWidget(Header);

    auto* body = new QVBoxLayout();
    body->setContentsMargins(51, 40, 52, 0);
    body->setSpacing(8);
    UpdateStatusPanel = new QLabel("Please press the necessary button to update the channel list", this);
    UpdateStatusPanel->setFixedWidth(409);
    UpdateStatusPanel->setAlignment(Qt::AlignCenter);
    body->addWidget(UpdateStatusPanel);
    Gauge1 = new TGauge(this, QColor(0, 128, 0));
    Gauge1->setFixedSize(409, 17);
    Gauge1->setAccessibleName("Progress");
    body->addWidget(Gauge1);
    auto* buttons = new QHBoxLayout();
    buttons->setSpacing(8);
    FreeUpdateButton = new QPushButton("Free Update", this);
    FullUpdateButton = new QPushButton("Full Update", this);
    for (QPushButton* b : {FreeUpdateButton, FullUpdateButton}) {
        b->setFixedSize(105, 33);
        buttons->addWidget(b);
    }
    buttons->addStretch(1);
    body->addLayout(buttons);
    body->addStretch(1);
    layout->addLayout(body, 1);
}

void UpdatePage::SetButtonsEnabled(bool enabled) {
    FreeUpdateButton->setEnabled(enabled);
    FullUpdateButton->setEnabled(enabled);
}

AboutPage::AboutPage(const QString& homeAddress, const QString& publisherAddress, QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    Header = new HeaderStrip(QString(), homeAddress, this);
    layout->addWidget(Header);

    auto* row = new QHBoxLayout();
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    auto* box = new QWidget(this);
    SetBackground(box, 205, 205, 205);
    auto* boxLayout = new QVBoxLayout(box);
    boxLayout->setContentsMargins(20, 30, 20, 20);
    NameLabel = new QLabel(box);
    QFont bold = WindowFont();
    bold.setBold(true);
    NameLabel->setFont(bold);
    boxLayout->addWidget(NameLabel);
    auto* marks = new QHBoxLayout();
    marks->setSpacing(4);
    for (const QColor& c : {QColor(0, 0, 255), QColor(0, 128, 0), QColor(255, 0, 0)}) {
        auto* mark = new QWidget(box);
        mark->setFixedSize(10, 10);
        SetBackground(mark, c.red(), c.green(), c.blue());
        marks->addWidget(mark);
    }
    marks->addStretch(1);
    boxLayout->addLayout(marks);
    boxLayout->addStretch(1);
    row->addWidget(box, 1);

    auto* side = new QWidget(this);
    side->setFixedWidth(160);
    SetBackground(side, 224, 224, 224);
    auto* sideLayout = new QVBoxLayout(side);
    sideLayout->setContentsMargins(10, 30, 10, 10);
    // A web address has no spaces to wrap at: offer breaks after its separators.
    QString shown;
    for (QChar c : publisherAddress) {
        shown += c;
        if (c == '/' || c == '.' || c == '-') shown += QChar(0x200B);
    }
    PublisherLink = new QLabel(
        QStringLiteral("<a href=\"publisher\" style=\"color: rgb(128,128,128);\">%1</a>").arg(shown.toHtmlEscaped()),
        side);
    PublisherLink->setTextFormat(Qt::RichText);
    PublisherLink->setWordWrap(true);
    PublisherLink->setTextInteractionFlags(Qt::TextBrowserInteraction);
    PublisherLink->setCursor(Qt::PointingHandCursor);
    PublisherLink->setAccessibleName(publisherAddress);
    connect(PublisherLink, &QLabel::linkActivated, this, &AboutPage::publisherClicked);
    sideLayout->addWidget(PublisherLink);
    sideLayout->addStretch(1);
    row->addWidget(side);
    layout->addLayout(row, 1);
}

}  // namespace castora
