#include "pages/Messages.h"

#include <QMessageBox>

namespace castora {

bool MessageBoxes::Ask(const QString& text) {
    return QMessageBox::question(parent_, AppTitle, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
           QMessageBox::Yes;
}

void MessageBoxes::Inform(const QString& text) { QMessageBox::information(parent_, AppTitle, text); }

void MessageBoxes::Error(const QString& text) { QMessageBox::critical(parent_, AppTitle, text); }

QString ErrorText(const QString& message) {
    if (!message.isEmpty() && message.back() > QChar('.')) return message + '.';
    return message;
}

void ShowException(Messages& messages, const QString& message) { messages.Error(ErrorText(message)); }

} // namespace castora
