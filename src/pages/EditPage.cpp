#include "pages/EditPage.h"

#include <algorithm>

#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

#include "pages/Catalogue.h"
#include "pages/HeaderStrip.h"
#include "pages/Messages.h"
#include "pages/Text.h"

namespace castora {

namespace {

// A list file line cannot hold a line break: pasted CR or LF become blanks as they arrive.
void KeepOnOneLine(QLineEdit* edit) {
    QObject::connect(edit, &QLineEdit::textChanged, edit, [edit](const QString& text) {
        if (!text.contains('\r') && !text.contains('\n')) return;
        QString clean = text;
        clean.replace('\r', ' ').replace('\n', ' ');
        const int cursor = edit->cursorPosition();
        edit->setText(clean);
        edit->setCursorPosition(cursor);
    });
}

QLineEdit* Field(int maxLength, const QString& name, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    // Windows-1251 has one byte per character, so a limit in characters is the limit in bytes.
    edit->setMaxLength(maxLength);
    edit->setAccessibleName(name);
    KeepOnOneLine(edit);
    // The limit is for typing: a longer value that was shown whole may shrink but never grow again.
    QObject::connect(edit, &QLineEdit::textChanged, edit, [edit, maxLength](const QString& text) {
        edit->setMaxLength(std::max(maxLength, static_cast<int>(text.size())));
    });
    return edit;
}

QComboBox* List(const QString& name, QWidget* parent) {
    auto* box = new QComboBox(parent);
    box->setAccessibleName(name);
    return box;
}

}  // namespace

EditPage::EditPage(Catalogue& catalogue, Messages& messages, const QString& homeAddress, QWidget* parent)
    : QWidget(parent), catalogue_(catalogue), table_(catalogue.Table()), messages_(messages) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    Header = new HeaderStrip("Add Channel", homeAddress, this);
    layout->addWidget(Header);

    auto* form = new QFormLayout();
    form->setContentsMargins(20, 20, 40, 10);
    form->setLabelAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    AddFormatComboBox = List("Format:", this);
    AddSourceComboBox = List("Source:", this);
    AddCountryComboBox = List("Country:", this);
    AddGenreComboBox = List("Genre:", this);
    NameEdit = Field(64, "Name:", this);
    UrlEdit = Field(128, "URL:", this);
    BitrateEdit = Field(32, "Bitrate:", this);
    CommentsEdit = Field(128, "Comments:", this);
    const std::pair<const char*, QWidget*> rows[] = {
        {"Format:", AddFormatComboBox},
        {"Source:", AddSourceComboBox},
        {"Country:", AddCountryComboBox},
        {"Genre:", AddGenreComboBox},
        {"Name:", NameEdit},
        {"URL:", UrlEdit},
        {"Bitrate:", BitrateEdit},
        {"Comments:", CommentsEdit},
    };
    for (const auto& [text, field] : rows) {
        auto* label = new QLabel(text, this);
        label->setFixedWidth(81);
        label->setBuddy(field);
        form->addRow(label, field);
    }
    layout->addLayout(form);

    ApplyButton = new QPushButton("Add", this);
    ApplyButton->setFixedWidth(105);
    auto* applyRow = new QHBoxLayout();
    applyRow->setContentsMargins(121, 0, 0, 0);
    applyRow->addWidget(ApplyButton);
    applyRow->addStretch(1);
    layout->addLayout(applyRow);
    layout->addStretch(1);
    connect(ApplyButton, &QPushButton::clicked, this, &EditPage::ApplyButtonClick);
    for (QLineEdit* edit : {NameEdit, UrlEdit, BitrateEdit, CommentsEdit})
        connect(edit, &QLineEdit::returnPressed, this, &EditPage::ApplyButtonClick);
    // Escape leaves the editor without storing anything.
    auto* cancel = new QShortcut(QKeySequence(Qt::Key_Escape), this, nullptr, nullptr, Qt::WidgetWithChildrenShortcut);
    connect(cancel, &QShortcut::activated, this, &EditPage::finished);

    for (size_t i = 0; i < FormatNames.size(); ++i) AddFormatComboBox->addItem(FormatNames[i]);
    AddFormatComboBox->setCurrentIndex(1);
    for (LookupKind kind : {SourceLookup, CountryLookup, GenreLookup})
        SetEditorEntries(kind, DesignEditorEntries(kind));
}

QComboBox* EditPage::EditorList(LookupKind kind) const {
    switch (kind) {
    case SourceLookup:
        return AddSourceComboBox;
    case CountryLookup:
        return AddCountryComboBox;
    default:
        return AddGenreComboBox;
    }
}

void EditPage::SetEditorEntries(LookupKind kind, const LookupList& entries) {
    FillLookupList(EditorList(kind), entries);
}

QString EditPage::Title() const { return Header->Title(); }

std::array<QComboBox*, 4> EditPage::CodeLists() const {
    return {AddFormatComboBox, AddSourceComboBox, AddCountryComboBox, AddGenreComboBox};
}

SubmissionValues EditPage::Values() const {
    SubmissionValues v;
    // A code beyond the lookup list shows as no selection; storing that would lose the code.
    int32_t* codes[] = {&v.format, &v.source, &v.country, &v.genre};
    const auto lists = CodeLists();
    for (size_t i = 0; i < lists.size(); ++i) {
        const int shown = lists[i]->currentIndex();
        *codes[i] = editing_ && shown == shownEntries_[i] ? editedCodes_[i] : shown;
    }
    v.name = ToAnsi(NameEdit->text());
    v.url = ToAnsi(UrlEdit->text());
    v.bitrate = ToAnsi(BitrateEdit->text());
    v.comments = ToAnsi(CommentsEdit->text());
    return v;
}

void EditPage::NewChannel() {
    Header->SetTitle("Add channel");
    ApplyButton->setText("Add");
    editing_ = false;
    for (QLineEdit* edit : {NameEdit, UrlEdit, BitrateEdit, CommentsEdit}) edit->clear();
    emit showRequested();
}

void EditPage::EditChannel() {
    if (!table_.HasSelection()) return;
    const TChannelRec& rec = table_.Selected();
    // Room to show a longer stored value whole (one byte is one character): cutting it would corrupt it.
    const std::pair<QLineEdit*, const TText*> texts[] = {
        {NameEdit, &rec.Name}, {UrlEdit, &rec.Url}, {BitrateEdit, &rec.Bitrate}, {CommentsEdit, &rec.Comments}};
    for (const auto& [edit, text] : texts)
        edit->setMaxLength(std::max(edit->maxLength(), static_cast<int>(text->size())));
    Header->SetTitle("Edit Channel");
    ApplyButton->setText("Save");
    AddFormatComboBox->setCurrentIndex(rec.Format);
    AddSourceComboBox->setCurrentIndex(rec.Source);
    AddCountryComboBox->setCurrentIndex(rec.Country);
    AddGenreComboBox->setCurrentIndex(rec.Genre);
    editedCodes_ = {rec.Format, rec.Source, rec.Country, rec.Genre};
    const auto lists = CodeLists();
    for (size_t i = 0; i < lists.size(); ++i) shownEntries_[i] = lists[i]->currentIndex();
    editing_ = true;
    NameEdit->setText(FromAnsi(rec.Name));
    UrlEdit->setText(FromAnsi(rec.Url));
    BitrateEdit->setText(FromAnsi(rec.Bitrate));
    CommentsEdit->setText(FromAnsi(rec.Comments));
    emit showRequested();
}

void EditPage::ApplyButtonClick() {
    const bool adding = ApplyButton->text() == "Add";
    QStringList errors;
    if (AddSourceComboBox->currentIndex() == 0) errors << "Select a source";
    if (AddCountryComboBox->currentIndex() == 0) errors << "Select a channel country";
    if (AddGenreComboBox->currentIndex() == 0) errors << "Select a channel genre";
    if (NameEdit->text().isEmpty()) errors << "Enter a channel name";
    if (UrlEdit->text().isEmpty()) errors << "Enter a channel URL";
    const SubmissionValues values = Values();
    if (adding && table_.ChannelExists(values.url)) errors << "Channel already exists in database";
    if (!errors.isEmpty()) {
        messages_.Error(errors.join('\n'));
        return;
    }

    TChannelRec rec;
    rec.Format = values.format;
    rec.Source = values.source;
    rec.Country = values.country;
    rec.Genre = values.genre;
    rec.Name = values.name;
    rec.Url = values.url;
    rec.Bitrate = values.bitrate;
    rec.Comments = values.comments;
    rec.IsLocal = true;
    // A channel whose record went away while it was edited (the list was reloaded) is kept as a new one.
    if (adding || !table_.HasSelection()) catalogue_.Append(rec);
    else catalogue_.Store(catalogue_.Selected(), rec);

    if (messages_.Ask("Do you want to send this information to the server?")) emit submitRequested(values);
    emit finished();
}

}  // namespace castora
