#pragma once
#include <QWidget>

#include <array>

#include "catalogue/ChannelTable.h"
#include "catalogue/Lookup.h"
#include "server/Update.h"

class QComboBox;
class QLineEdit;
class QPushButton;

namespace castora {

class Catalogue;
class HeaderStrip;
class Messages;

// The Edit page: adds a channel or changes the selected one. Whatever passes through it becomes local.
class EditPage : public QWidget {
    Q_OBJECT
public:
    EditPage(Catalogue& catalogue, Messages& messages, const QString& homeAddress, QWidget* parent = nullptr);

    HeaderStrip* Header;
    QComboBox* AddFormatComboBox;
    QComboBox* AddSourceComboBox;
    QComboBox* AddCountryComboBox;
    QComboBox* AddGenreComboBox;
    QLineEdit* NameEdit;
    QLineEdit* UrlEdit;
    QLineEdit* BitrateEdit;
    QLineEdit* CommentsEdit;
    QPushButton* ApplyButton;

    QComboBox* EditorList(LookupKind kind) const;
    void SetEditorEntries(LookupKind kind, const LookupList& entries);
    QString Title() const;
    // The values a submission would send now. While a channel is edited, a list the user has left as it
    // was gives the record's own code, also one that the list has no entry for.
    SubmissionValues Values() const;

public slots:
    void NewChannel();
    void EditChannel();
    void ApplyButtonClick();

signals:
    void showRequested();  // show this page
    void finished();       // back to the Channels page
    void submitRequested(const castora::SubmissionValues& values);

private:
    std::array<QComboBox*, 4> CodeLists() const;

    Catalogue& catalogue_;
    const ChannelTable& table_;
    Messages& messages_;
    // The edited record's format, source, country and genre, and the entry each list showed for them.
    bool editing_ = false;
    std::array<int32_t, 4> editedCodes_{};
    std::array<int, 4> shownEntries_{};
};

}  // namespace castora
