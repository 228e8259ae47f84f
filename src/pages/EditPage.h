#pragma once
#include <QWidget>

#include "catalogue/ChannelTable.h"
#include "catalogue/Lookup.h"

class QComboBox;
class QLineEdit;
class QPushButton;

namespace castora {

class HeaderStrip;
class Messages;

// What a submission sends: the editor's eight values as they stood when the user said Yes.
struct ChannelSubmission {
    int32_t format = 0, source = 0, country = 0, genre = 0;
    std::string name, url, bitrate, comments;  // Windows-1251 bytes
};

// The Edit page: adds a channel or changes the selected one. Whatever passes through it becomes local.
class EditPage : public QWidget {
    Q_OBJECT
public:
    EditPage(ChannelTable& table, Messages& messages, const QString& homeAddress, QWidget* parent = nullptr);

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
    // The values a submission would send now.
    ChannelSubmission Values() const;

public slots:
    void NewChannel();
    void EditChannel();
    void ApplyButtonClick();

signals:
    void showRequested();    // show this page
    void finished();         // back to the Channels page
    void submitRequested(const castora::ChannelSubmission& values);

private:
    ChannelTable& table_;
    Messages& messages_;
};

} // namespace castora
