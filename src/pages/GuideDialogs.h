#pragma once
// The guide's dialogs: a channel's programmes, the manual match of a channel to a guide channel, and the
// guide's sources. Each is window-modal and opened without a loop of its own; what the user settles on
// is handed over by a signal once the input makes sense, and bad input is told through Messages with the
// dialog left open.

#include <QDialog>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;

namespace castora {

class Messages;

// A programme as the dialog shows it (local times).
struct ProgrammeRow {
    int64_t start = 0, stop = 0;  // seconds since 1970, the channel's shift applied
    QString title, subTitle, desc, category, episode;
};

// "Guide": one channel's programmes, the one on air marked, the description of the selected one below.
class ProgrammesDialog : public QDialog {
    Q_OBJECT
public:
    ProgrammesDialog(const QString& channelName, std::vector<ProgrammeRow> rows, int64_t now,
                     QWidget* parent = nullptr);
    QTableWidget* Table() const { return table_; }
    QPlainTextEdit* Description() const { return description_; }
    // The row on air, -1 when none.
    int OnAirRow() const { return onAir_; }

private:
    void ShowDescription(int row);

    std::vector<ProgrammeRow> rows_;
    QTableWidget* table_;
    QPlainTextEdit* description_;
    int onAir_ = -1;
};

// A guide channel the match dialog offers.
struct GuideChannelChoice {
    QString id, name;
};

// "Match guide channel…": the guide channel a catalogue channel takes, and its shift in hours.
class GuideMatchDialog : public QDialog {
    Q_OBJECT
public:
    GuideMatchDialog(const QString& channelName, std::vector<GuideChannelChoice> channels, const QString& currentId,
                     const QString& shiftHours, Messages& messages, QWidget* parent = nullptr);
    QLineEdit* FindEdit() const { return find_; }
    QListWidget* ChannelList() const { return list_; }
    QLineEdit* ShiftEdit() const { return shift_; }
    QPushButton* ClearButton() const { return clear_; }
    QPushButton* OkButton() const { return ok_; }

signals:
    // An empty id clears the match; the shift is as typed (hours), empty for none.
    void matchChosen(const QString& guideId, const QString& shiftHours);

private:
    void Filter(const QString& text);
    void Accept();

    std::vector<GuideChannelChoice> channels_;
    Messages& messages_;
    QLineEdit* find_;
    QListWidget* list_;
    QLineEdit* shift_;
    QPushButton* clear_;
    QPushButton* ok_;
};

// "Guide sources…": addresses and files in priority order, and one shift for the whole guide.
class GuideSourcesDialog : public QDialog {
    Q_OBJECT
public:
    // `states`: what the last refresh said of each source, shown beside it.
    GuideSourcesDialog(const QStringList& sources, const QStringList& states, const QString& shiftHours,
                       Messages& messages, QWidget* parent = nullptr);
    QListWidget* SourceList() const { return list_; }
    QLineEdit* LocationEdit() const { return location_; }
    QLineEdit* ShiftEdit() const { return shift_; }
    QPushButton* AddButton() const { return add_; }
    QPushButton* AddFileButton() const { return addFile_; }
    QPushButton* RemoveButton() const { return remove_; }
    QPushButton* OkButton() const { return ok_; }
    QStringList Sources() const;

signals:
    void sourcesChosen(const QStringList& sources, const QString& shiftHours);

private:
    // Adds a location the user typed or picked; false (and a message) when it is neither kind.
    bool Add(const QString& location);
    void Accept();

    Messages& messages_;
    QListWidget* list_;
    QLineEdit* location_;
    QLineEdit* shift_;
    QPushButton* add_;
    QPushButton* addFile_;
    QPushButton* remove_;
    QPushButton* ok_;
};

// Hours as typed ("2", "-1.5", "+0,5", empty for none) as seconds; nothing when it is not such a number.
std::optional<int32_t> ShiftFromHours(const QString& text);
// "20:00", local time.
QString LocalClock(int64_t t);

}  // namespace castora
