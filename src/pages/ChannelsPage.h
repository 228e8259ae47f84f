#pragma once
#include <QWidget>

#include "catalogue/ChannelTable.h"
#include "catalogue/Lookup.h"
#include "catalogue/Rows.h"

class QAction;
class QComboBox;
class QLabel;
class QPushButton;

namespace castora {

class Catalogue;
class ChannelModel;
class FindBar;
class TChannelGrid;
class Messages;

// The Channels page: three filters, the command row, the channel grid and the list dates.
class ChannelsPage : public QWidget {
    Q_OBJECT
public:
    ChannelsPage(Catalogue& catalogue, Messages& messages, ProgressSink& progress, QWidget* parent = nullptr);

    QComboBox* SourceComboBox;
    QComboBox* CountryComboBox;
    QComboBox* GenreComboBox;
    QPushButton* AddButton;
    QPushButton* EditButton;
    QPushButton* DeleteButton;
    QPushButton* RefreshButton;
    QPushButton* SaveButton;
    TChannelGrid* ChannelGrid;
    FindBar* Find;
    // The grid's context menu commands, each with its shortcut on this page.
    QAction* ImportAction;
    QAction* ImportUrlAction;
    QAction* ExportAction;
    QAction* FindAction;
    // The user's lists: favourites and the channels played last, shown in place of the whole catalogue.
    QPushButton* FavouritesButton;
    QPushButton* RecentButton;
    QAction* FavouriteAction;  // adds the highlighted channel to the favourites, or removes it
    QAction* MoveUpAction;     // moves it among the favourites, while they show
    QAction* MoveDownAction;
    QAction* ClearHistoryAction;
    QAction* SetLogoAction;
    QAction* ClearLogosAction;
    // The programme guide: the highlighted channel's programmes, its match, the sources, a refresh.
    QAction* GuideAction;
    QAction* MatchGuideAction;
    QAction* GuideSourcesAction;
    QAction* RefreshGuideAction;
    QLabel* GlobalDatePanel;
    QLabel* LocalDatePanel;

    ChannelModel& Model() const { return *model_; }
    QComboBox* FilterList(LookupKind kind) const;
    // Fills a filter list; the genre column follows the genre list.
    void SetFilterEntries(LookupKind kind, const LookupList& entries);
    void SetListDate(int listNumber, const std::string& date);
    // The directory the list files live in (the working directory by default).
    void SetListDirectory(const QString& dir) { listDir_ = dir; }
    // local.dat loaded with an error: the next save keeps it under a name of its own first.
    void SetLocalListDamaged(bool damaged) { localDamaged_ = damaged; }
    // Grid row (1-based) currently highlighted, 0 for none.
    int32_t CurrentGridRow() const;
    // Highlights grid row r (1-based), as a click on it would.
    void SelectGridRow(int32_t row);
    // The filters as the three lists show them, with the words of the find field while it is open.
    RowFilter Filter() const;

public slots:
    void ShowChannels();
    // Shows the find field in place of the command row.
    void OpenFind();
    void ChannelGridSelectCell(int32_t row);
    void DeleteButtonClick();
    void RefreshButtonClick();
    void SaveButtonClick();
    void FavouriteActionTrigger();
    // Shows the favourites (or the recent channels) alone, with the filters and find still applied.
    void ShowFavourites(bool on);
    void ShowRecent(bool on);

signals:
    void newChannelRequested();
    void editChannelRequested();
    void channelActivated();  // double click or Enter on a row
    void importRequested();
    void importUrlRequested();
    void exportRequested();
    void setLogoRequested();
    void clearLogosRequested();

private:
    // A new row map is in place: the grid shows it, and the selected channel stays highlighted if shown.
    void RowsReplaced();
    void NotesChanged();
    void MoveFavourite(int step);
    void UpdateFavouriteAction();

    Catalogue& catalogue_;
    const ChannelTable& table_;
    Messages& messages_;
    ProgressSink& progress_;
    ChannelModel* model_;
    QWidget* filterPanel_;
    QWidget* commandRow_;
    QString listDir_;
    bool localDamaged_ = false;
};

}  // namespace castora
