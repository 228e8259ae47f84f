#include "pages/FindBar.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QToolButton>

#include "pages/Text.h"

namespace castora {

FindBar::FindBar(QWidget* parent)
    : QWidget(parent), FindEdit(new QLineEdit(this)), CountLabel(new QLabel(this)), CloseButton(new QToolButton(this)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(4, 2, 4, 2);
    row->setSpacing(6);
    FindEdit->setAccessibleName("Find");
    FindEdit->setPlaceholderText("Find channel");
    FindEdit->setMaxLength(128);  // as long as the longest field searched
    CountLabel->setAccessibleName("Matches");
    FitCountLabel();
    CountLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    CloseButton->setText(QStringLiteral("\u00D7"));
    CloseButton->setAccessibleName("Close find");
    CloseButton->setAutoRaise(true);
    CloseButton->setFocusPolicy(Qt::NoFocus);
    row->addWidget(FindEdit, 1);
    row->addWidget(CountLabel);
    row->addWidget(CloseButton);
    setFixedHeight(26);
    FindEdit->installEventFilter(this);
    connect(FindEdit, &QLineEdit::textChanged, this, &FindBar::textChanged);
    connect(CloseButton, &QToolButton::clicked, this, &FindBar::Close);
}

void FindBar::Open() {
    show();
    FindEdit->setFocus(Qt::ShortcutFocusReason);
    FindEdit->selectAll();
}

void FindBar::Close() {
    FindEdit->clear();
    CountLabel->clear();
    hide();
    emit closed();
}

void FindBar::SetMatchCount(qint64 count) {
    if (count < 0) {
        CountLabel->clear();
        return;
    }
    if (count == 0) CountLabel->setText("No channels");
    else if (count == 1) CountLabel->setText("1 channel");
    else CountLabel->setText(QLocale(QLocale::English).toString(count) + " channels");
}

void FindBar::FitCountLabel() {
    // Room for any count the catalogue can reach, so the field does not shift as the count grows.
    CountLabel->setMinimumWidth(CountLabel->fontMetrics().horizontalAdvance("10,000,000 channels") + 4);
}

void FindBar::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) FitCountLabel();
    QWidget::changeEvent(event);
}

std::string FindBar::AnsiText() const { return ToAnsi(FindEdit->text()); }

bool FindBar::eventFilter(QObject* watched, QEvent* event) {
    if (watched == FindEdit && (event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride)) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Escape && key->modifiers() == Qt::NoModifier) {
            // Claimed before a window shortcut on Escape can take it; the key press then closes the bar.
            if (event->type() == QEvent::ShortcutOverride) event->accept();
            else Close();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace castora
