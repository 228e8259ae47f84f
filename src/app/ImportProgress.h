#pragma once
#include <QObject>
#include <QPointer>
#include <QProgressDialog>
#include <QTimer>

namespace castora {

class PlaylistImport;

// A playlist download that takes longer than a moment shows how far it got, with a Cancel button that
// ends it. The dialog goes once the download is over, before the import asks its question.
class ImportProgress : public QObject {
    Q_OBJECT
public:
    ImportProgress(PlaylistImport& import, QWidget* parent);
    // The dialog while it shows, else null.
    QProgressDialog* Dialog() const { return dialog_.data(); }

    static constexpr int DelayMs = 500;

private:
    void Progress(qint64 received, qint64 total);
    void Show();
    void Update();
    void Close();

    PlaylistImport& import_;
    QWidget* parent_;
    QTimer delay_;
    QPointer<QProgressDialog> dialog_;
    bool running_ = false;  // a download runs
    qint64 received_ = 0, total_ = 0;
};

}  // namespace castora
