#include "app/ImportProgress.h"

#include <algorithm>

#include "app/PlaylistImport.h"
#include "pages/Messages.h"

namespace castora {

namespace {
QString KiB(qint64 bytes) { return QString::number((bytes + 1023) / 1024); }
}  // namespace

ImportProgress::ImportProgress(PlaylistImport& import, QWidget* parent)
    : QObject(parent), import_(import), parent_(parent) {
    delay_.setSingleShot(true);
    delay_.setInterval(DelayMs);
    connect(&delay_, &QTimer::timeout, this, &ImportProgress::Show);
    connect(&import_, &PlaylistImport::progress, this, &ImportProgress::Progress);
    connect(&import_, &PlaylistImport::downloaded, this, &ImportProgress::Close);
    connect(&import_, &PlaylistImport::finished, this, &ImportProgress::Close);
}

void ImportProgress::Progress(qint64 received, qint64 total) {
    received_ = received;
    total_ = total;
    if (!running_) {
        running_ = true;
        delay_.start();  // a quick download shows nothing
    }
    if (dialog_) Update();
}

void ImportProgress::Show() {
    if (!running_ || dialog_) return;
    dialog_ = new QProgressDialog(parent_);
    dialog_->setWindowTitle(AppTitle);
    dialog_->setAttribute(Qt::WA_DeleteOnClose);
    dialog_->setAutoClose(false);
    dialog_->setAutoReset(false);
    dialog_->setMinimumDuration(0);
    dialog_->setCancelButtonText(QStringLiteral("Cancel"));
    // The button, Escape and the window's close button.
    connect(dialog_, &QProgressDialog::canceled, &import_, &PlaylistImport::Cancel);
    connect(dialog_, &QDialog::rejected, &import_, &PlaylistImport::Cancel);
    Update();
    dialog_->show();
}

void ImportProgress::Update() {
    // Without an announced length the bar only shows that something is going on.
    dialog_->setMaximum(total_ > 0 ? 1000 : 0);
    if (total_ > 0) dialog_->setValue(static_cast<int>(std::min<qint64>(received_, total_) * 1000 / total_));
    dialog_->setLabelText(
        total_ > 0 ? QStringLiteral("Downloading the playlist: %1 of %2 KiB.").arg(KiB(received_), KiB(total_))
                   : QStringLiteral("Downloading the playlist: %1 KiB.").arg(KiB(received_)));
}

void ImportProgress::Close() {
    running_ = false;
    delay_.stop();
    if (!dialog_) return;
    // Closing the dialog counts as Cancel: a download that is over must not be taken for one.
    dialog_->disconnect(&import_);
    dialog_->close();
}

}  // namespace castora
