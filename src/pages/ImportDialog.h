#pragma once
#include <QDialog>

#include "pages/Messages.h"

class QComboBox;
class QDialogButtonBox;
class QLabel;

namespace castora {

// The question before an import: what will happen, and the source for channels the playlist leaves open.
class ImportDialog : public QDialog {
    Q_OBJECT
public:
    explicit ImportDialog(const ImportQuestion& question, QWidget* parent = nullptr);

    int Source() const;

    QLabel* TextLabel;
    QLabel* SourceLabel;
    QComboBox* SourceComboBox;
    QDialogButtonBox* Buttons;
};

}  // namespace castora
