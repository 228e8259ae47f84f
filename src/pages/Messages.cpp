#include "pages/Messages.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

#include "pages/ImportDialog.h"

namespace castora {

bool MessageBoxes::Ask(const QString& text) {
    return QMessageBox::question(parent_, AppTitle, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
           QMessageBox::Yes;
}

void MessageBoxes::Inform(const QString& text) { QMessageBox::information(parent_, AppTitle, text); }

void MessageBoxes::Error(const QString& text) { QMessageBox::critical(parent_, AppTitle, text); }

std::optional<int> MessageBoxes::AskImport(const ImportQuestion& question) {
    ImportDialog dialog(question, parent_);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.Source();
}

QString MessageBoxes::Choose(Choice choice) {
    switch (choice) {
    case Choice::ImportFile:
        return QFileDialog::getOpenFileName(parent_, QStringLiteral("Import playlist"), QString(),
                                            QStringLiteral("Playlists (*.m3u *.m3u8 *.pls);;All files (*)"));
    case Choice::ImportUrl:
        return QInputDialog::getText(parent_, QStringLiteral("Import playlist from URL"),
                                     QStringLiteral("Playlist address:"))
            .trimmed();
    case Choice::ExportFile:
        return QFileDialog::getSaveFileName(parent_, QStringLiteral("Export to M3U"), QStringLiteral("channels.m3u"),
                                            QStringLiteral("M3U playlists (*.m3u *.m3u8)"));
    case Choice::LogoFile:
        return QFileDialog::getOpenFileName(
            parent_, QStringLiteral("Set logo"), QString(),
            QStringLiteral("Images (*.png *.jpg *.jpeg *.gif *.svg *.webp);;All files (*)"));
    case Choice::GuideFile:
        return QFileDialog::getOpenFileName(parent_, QStringLiteral("Add guide file"), QString(),
                                            QStringLiteral("XMLTV guides (*.xml *.xml.gz *.gz);;All files (*)"));
    }
    return {};
}

QString ImportQuestionText(const ImportQuestion& q) {
    return QStringLiteral("Import the playlist \"%1\"?\n\nChannels to add: %2\nAlready in the catalogue: %3\n"
                          "Unusable entries: %4")
        .arg(q.playlistName)
        .arg(q.added)
        .arg(q.alreadyKnown)
        .arg(q.unusable);
}

QString ErrorText(const QString& message) {
    if (!message.isEmpty() && message.back() > QChar('.')) return message + '.';
    return message;
}

void ShowException(Messages& messages, const QString& message) { messages.Error(ErrorText(message)); }

}  // namespace castora
