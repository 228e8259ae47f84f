#include "pages/ImportDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace castora {

ImportDialog::ImportDialog(const ImportQuestion& question, QWidget* parent) : QDialog(parent) {
    setWindowTitle(AppTitle);
    auto* layout = new QVBoxLayout(this);
    TextLabel = new QLabel(ImportQuestionText(question), this);
    TextLabel->setAccessibleName(TextLabel->text());
    TextLabel->setTextFormat(Qt::PlainText);
    layout->addWidget(TextLabel);

    auto* row = new QHBoxLayout();
    SourceLabel = new QLabel("Source:", this);
    SourceComboBox = new QComboBox(this);
    SourceComboBox->setAccessibleName(SourceLabel->text());
    SourceComboBox->addItems(question.sources);
    SourceComboBox->setCurrentIndex(
        question.preselected >= 0 && question.preselected < question.sources.size() ? question.preselected : 0);
    SourceLabel->setBuddy(SourceComboBox);
    row->addWidget(SourceLabel);
    row->addWidget(SourceComboBox, 1);
    layout->addLayout(row);

    Buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    for (QAbstractButton* button : Buttons->buttons()) button->setAccessibleName(button->text().remove('&'));
    connect(Buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(Buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(Buttons);
    Buttons->button(QDialogButtonBox::Ok)->setDefault(true);
}

int ImportDialog::Source() const { return SourceComboBox->currentIndex(); }

}  // namespace castora
