#include "pages/ChannelsPage.h"

#include <algorithm>

#include <QAction>
#include <QMenu>
#include <QComboBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTableView>
#include <QVBoxLayout>

#include "catalogue/ListFiles.h"
#include "pages/Catalogue.h"
#include "pages/FindBar.h"
#include "pages/ChannelGrid.h"
#include "pages/ChannelModel.h"
#include "pages/HeaderStrip.h"
#include "pages/Messages.h"
#include "pages/Text.h"

namespace castora {

namespace {

constexpr int DesignedWidth = 512;

QPushButton* FlatButton(const QString& text, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setFlat(true);
    button->setFixedHeight(22);
    button->setMinimumWidth(54);
    return button;
}

QFrame* Separator(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::VLine);
    line->setFrameShadow(QFrame::Sunken);
    line->setFixedHeight(16);
    return line;
}

}  // namespace

ChannelsPage::ChannelsPage(Catalogue& catalogue, Messages& messages, ProgressSink& progress, QWidget* parent)
    : QWidget(parent), catalogue_(catalogue), table_(catalogue.Table()), messages_(messages), progress_(progress) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    filterPanel_ = new QWidget(this);
    filterPanel_->setFixedHeight(38);
    SetBackground(filterPanel_, 170, 170, 170);
    // The lists and the command row are laid out for the window's designed width, and stay so in a wider one.
    auto* panelRow = new QHBoxLayout(filterPanel_);
    panelRow->setContentsMargins(0, 0, 0, 0);
    auto* filterRow = new QWidget(filterPanel_);
    filterRow->setFixedWidth(DesignedWidth);
    panelRow->addWidget(filterRow);
    panelRow->addStretch(1);
    auto* filters = new QHBoxLayout(filterRow);
    filters->setContentsMargins(8, 0, 8, 0);
    filters->setSpacing(8);
    SourceComboBox = new QComboBox(filterRow);
    SourceComboBox->setFixedWidth(113);
    CountryComboBox = new QComboBox(filterRow);
    CountryComboBox->setFixedWidth(185);
    GenreComboBox = new QComboBox(filterRow);
    GenreComboBox->setFixedWidth(185);
    for (QComboBox* box : {SourceComboBox, CountryComboBox, GenreComboBox}) {
        filters->addWidget(box);
        connect(box, &QComboBox::currentIndexChanged, this, &ChannelsPage::ShowChannels);
    }
    SourceComboBox->setAccessibleName("Source");
    CountryComboBox->setAccessibleName("Country");
    GenreComboBox->setAccessibleName("Genre");
    filters->addStretch(1);
    layout->addWidget(filterPanel_);

    auto* line = new QFrame(this);
    line->setFixedHeight(1);
    SetBackground(line, 64, 64, 64);
    layout->addWidget(line);

    commandRow_ = new QWidget(this);
    commandRow_->setFixedSize(DesignedWidth, 28);
    auto* commands = new QHBoxLayout(commandRow_);
    commands->setContentsMargins(4, 2, 4, 2);
    commands->setSpacing(2);
    AddButton = FlatButton("Add", commandRow_);
    EditButton = FlatButton("Edit", commandRow_);
    DeleteButton = FlatButton("Delete", commandRow_);
    RefreshButton = FlatButton("Refresh", commandRow_);
    SaveButton = FlatButton("Save", commandRow_);
    commands->addWidget(AddButton);
    commands->addWidget(Separator(commandRow_));
    commands->addWidget(EditButton);
    commands->addWidget(Separator(commandRow_));
    commands->addWidget(DeleteButton);
    commands->addStretch(1);
    FavouritesButton = FlatButton("Favourites", commandRow_);
    RecentButton = FlatButton("Recent", commandRow_);
    for (QPushButton* b : {FavouritesButton, RecentButton}) {
        b->setCheckable(true);
        b->setAccessibleName(b->text());
        commands->addWidget(b);
    }
    FavouritesButton->setObjectName("FavouritesButton");
    RecentButton->setObjectName("RecentButton");
    FavouritesButton->setToolTip("Show only the favourites (Ctrl+1)");
    RecentButton->setToolTip("Show the channels played last (Ctrl+2)");
    commands->addWidget(Separator(commandRow_));
    commands->addWidget(RefreshButton);
    commands->addWidget(Separator(commandRow_));
    commands->addWidget(SaveButton);
    layout->addWidget(commandRow_, 0, Qt::AlignLeft);
    // The find field takes the command row's place while it is open; the filters stay in view.
    Find = new FindBar(this);
    Find->setFixedHeight(commandRow_->height());
    Find->hide();
    layout->addWidget(Find);
    connect(Find, &FindBar::textChanged, this, &ChannelsPage::ShowChannels);
    connect(Find, &FindBar::closed, this, [this] {
        commandRow_->show();
        ChannelGrid->setFocus();
        ShowChannels();
    });
    connect(AddButton, &QPushButton::clicked, this, &ChannelsPage::newChannelRequested);
    connect(EditButton, &QPushButton::clicked, this, &ChannelsPage::editChannelRequested);
    connect(DeleteButton, &QPushButton::clicked, this, &ChannelsPage::DeleteButtonClick);
    connect(RefreshButton, &QPushButton::clicked, this, &ChannelsPage::RefreshButtonClick);
    connect(SaveButton, &QPushButton::clicked, this, &ChannelsPage::SaveButtonClick);

    model_ = new ChannelModel(table_, this);
    model_->SetGenreNames({});
    model_->SetFavouriteTest([this](int32_t record) { return catalogue_.IsFavourite(record); });
    ChannelGrid = new TChannelGrid(*model_, this);
    ChannelGrid->setObjectName("ChannelGrid");
    ChannelGrid->setAccessibleName("Channels");
    // 497 x 315 at the window's designed size, with the margins below; it takes any room added.
    ChannelGrid->setMinimumSize(497, 315);
    ChannelGrid->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    ChannelGrid->setFrameShape(QFrame::NoFrame);
    ChannelGrid->setSelectionBehavior(QAbstractItemView::SelectRows);
    ChannelGrid->setSelectionMode(QAbstractItemView::SingleSelection);
    ChannelGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ChannelGrid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ChannelGrid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    ChannelGrid->setShowGrid(true);
    ChannelGrid->setWordWrap(false);
    ChannelGrid->verticalHeader()->hide();
    // Fixed row heights let the view place a million rows without measuring them.
    ChannelGrid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    ChannelGrid->horizontalHeader()->setFixedHeight(20);
    ChannelGrid->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    ChannelGrid->horizontalHeader()->setHighlightSections(false);
    ChannelGrid->horizontalHeader()->setStyleSheet("QHeaderView::section { background: rgb(205,205,205); }");
    QPalette pal = ChannelGrid->palette();
    pal.setColor(QPalette::Base, Qt::white);
    ChannelGrid->setPalette(pal);
    auto* gridRow = new QHBoxLayout();
    gridRow->setContentsMargins(0, 12, 15, 12);
    gridRow->addWidget(ChannelGrid);
    layout->addLayout(gridRow, 1);
    connect(ChannelGrid->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) { ChannelGridSelectCell(current.isValid() ? current.row() + 1 : 0); });
    connect(ChannelGrid, &QTableView::doubleClicked, this, &ChannelsPage::channelActivated);
    connect(ChannelGrid, &TChannelGrid::enterPressed, this, &ChannelsPage::channelActivated);
    connect(ChannelGrid, &TChannelGrid::deletePressed, this, &ChannelsPage::DeleteButtonClick);
    connect(&catalogue_, &Catalogue::rowsReplaced, this, &ChannelsPage::RowsReplaced);

    const auto action = [this](const QString& text, const QKeySequence& keys) {
        auto* a = new QAction(text, this);
        a->setShortcut(keys);
        // Anywhere in the window while this page shows: a page that is hidden takes no shortcut.
        a->setShortcutContext(Qt::WindowShortcut);
        addAction(a);
        return a;
    };
    ImportAction = action("Import playlist\u2026", QKeySequence(Qt::CTRL | Qt::Key_O));
    ImportUrlAction = action("Import playlist from URL\u2026", QKeySequence(Qt::CTRL | Qt::Key_L));
    ExportAction = action("Export to M3U\u2026", QKeySequence(Qt::CTRL | Qt::Key_E));
    FindAction = action("Find\u2026", QKeySequence(Qt::CTRL | Qt::Key_F));
    FavouriteAction = action("Add to favourites", QKeySequence(Qt::CTRL | Qt::Key_D));
    MoveUpAction = action("Move up", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Up));
    MoveDownAction = action("Move down", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Down));
    ClearHistoryAction = action("Clear history", QKeySequence());
    SetLogoAction = action("Set logo\u2026", QKeySequence());
    ClearLogosAction = action("Clear logo cache", QKeySequence());
    GuideAction = action("Guide", QKeySequence(Qt::CTRL | Qt::Key_G));
    MatchGuideAction = action("Match guide channel\u2026", QKeySequence());
    GuideSourcesAction = action("Guide sources\u2026", QKeySequence());
    RefreshGuideAction = action("Refresh guide", QKeySequence());
    connect(SetLogoAction, &QAction::triggered, this, &ChannelsPage::setLogoRequested);
    connect(ClearLogosAction, &QAction::triggered, this, &ChannelsPage::clearLogosRequested);
    auto* showFavourites = action("Show favourites", QKeySequence(Qt::CTRL | Qt::Key_1));
    auto* showRecent = action("Show recent", QKeySequence(Qt::CTRL | Qt::Key_2));
    connect(showFavourites, &QAction::triggered, FavouritesButton, &QPushButton::click);
    connect(showRecent, &QAction::triggered, RecentButton, &QPushButton::click);
    connect(FavouritesButton, &QPushButton::toggled, this, &ChannelsPage::ShowFavourites);
    connect(RecentButton, &QPushButton::toggled, this, &ChannelsPage::ShowRecent);
    connect(FavouriteAction, &QAction::triggered, this, &ChannelsPage::FavouriteActionTrigger);
    connect(MoveUpAction, &QAction::triggered, this, [this] { MoveFavourite(-1); });
    connect(MoveDownAction, &QAction::triggered, this, [this] { MoveFavourite(+1); });
    connect(ClearHistoryAction, &QAction::triggered, this, [this] { catalogue_.ClearHistory(); });
    connect(&catalogue_, &Catalogue::notesChanged, this, &ChannelsPage::NotesChanged);
    ChannelGrid->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ChannelGrid, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        QMenu menu(this);
        UpdateFavouriteAction();
        menu.addAction(FavouriteAction);
        if (FavouritesButton->isChecked()) menu.addActions({MoveUpAction, MoveDownAction});
        menu.addAction(ClearHistoryAction);
        menu.addSeparator();
        SetLogoAction->setEnabled(catalogue_.Selected() > 0);
        menu.addActions({SetLogoAction, ClearLogosAction});
        menu.addSeparator();
        menu.addActions({GuideAction, MatchGuideAction, GuideSourcesAction, RefreshGuideAction});
        menu.addSeparator();
        menu.addActions({ImportAction, ImportUrlAction, ExportAction});
        menu.addSeparator();
        menu.addAction(FindAction);
        menu.exec(ChannelGrid->viewport()->mapToGlobal(at));
    });
    connect(ImportAction, &QAction::triggered, this, &ChannelsPage::importRequested);
    connect(ImportUrlAction, &QAction::triggered, this, &ChannelsPage::importUrlRequested);
    connect(ExportAction, &QAction::triggered, this, &ChannelsPage::exportRequested);
    connect(FindAction, &QAction::triggered, this, &ChannelsPage::OpenFind);

    auto* footer = new QWidget(this);
    footer->setFixedHeight(27);
    SetBackground(footer, 240, 240, 240);
    auto* footerLayout = new QHBoxLayout(footer);
    footerLayout->setContentsMargins(6, 0, 6, 0);
    GlobalDatePanel = new QLabel(QString::fromLatin1(ListDateLabels[0]) + "Unknown", footer);
    LocalDatePanel = new QLabel(QString::fromLatin1(ListDateLabels[1]) + "Unknown", footer);
    footerLayout->addWidget(GlobalDatePanel);
    footerLayout->addStretch(1);
    footerLayout->addWidget(LocalDatePanel);
    layout->addWidget(footer);
}

QComboBox* ChannelsPage::FilterList(LookupKind kind) const {
    switch (kind) {
    case SourceLookup:
        return SourceComboBox;
    case CountryLookup:
        return CountryComboBox;
    default:
        return GenreComboBox;
    }
}

void ChannelsPage::SetFilterEntries(LookupKind kind, const LookupList& entries) {
    // Filling the list must not rebuild the grid once per entry.
    const QStringList items = FillLookupList(FilterList(kind), entries);
    if (kind == GenreLookup) model_->SetGenreNames(items);
}

void ChannelsPage::SetListDate(int listNumber, const std::string& date) {
    QLabel* panel = listNumber == 0 ? GlobalDatePanel : LocalDatePanel;
    panel->setText(QString::fromLatin1(ListDateLabels[listNumber]) + FromAnsi(date));
}

int32_t ChannelsPage::CurrentGridRow() const {
    const QModelIndex current = ChannelGrid->selectionModel()->currentIndex();
    return current.isValid() ? current.row() + 1 : 0;
}

void ChannelsPage::SelectGridRow(int32_t row) {
    if (row < 1 || row > model_->rowCount()) {
        ChannelGrid->selectionModel()->clearSelection();
        ChannelGrid->selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::Clear);
        ChannelGridSelectCell(0);
        return;
    }
    const QModelIndex index = model_->index(row - 1, ColumnIndex(ChannelColumn::Name));
    ChannelGrid->selectionModel()->setCurrentIndex(index,
                                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    ChannelGrid->scrollTo(index);
    ChannelGridSelectCell(row);
}

void ChannelsPage::ChannelGridSelectCell(int32_t row) {
    catalogue_.Select(model_->CellText(ChannelColumn::Name, row).isEmpty() ? 0 : model_->RecordAt(row));
}

RowFilter ChannelsPage::Filter() const {
    RowFilter filter;
    filter.source = SourceComboBox->currentIndex();
    filter.country = CountryComboBox->currentIndex();
    filter.genre = GenreComboBox->currentIndex();
    if (Find->isVisible()) filter.query = ParseSearch(Find->AnsiText());
    if (FavouritesButton->isChecked()) {
        filter.view = RowView::Favourites;
        filter.order = catalogue_.FavouriteRecords();
    } else if (RecentButton->isChecked()) {
        filter.view = RowView::Recent;
        filter.order = catalogue_.RecentRecords();
    }
    return filter;
}

void ChannelsPage::ShowFavourites(bool on) {
    if (on && RecentButton->isChecked()) {
        const QSignalBlocker quiet(RecentButton);  // one rebuild for the switch
        RecentButton->setChecked(false);
    }
    ShowChannels();
}

void ChannelsPage::ShowRecent(bool on) {
    if (on && FavouritesButton->isChecked()) {
        const QSignalBlocker quiet(FavouritesButton);
        FavouritesButton->setChecked(false);
    }
    ShowChannels();
}

void ChannelsPage::UpdateFavouriteAction() {
    FavouriteAction->setText(catalogue_.IsFavourite(catalogue_.Selected()) ? "Remove from favourites"
                                                                           : "Add to favourites");
    FavouriteAction->setEnabled(catalogue_.Selected() > 0);
}

void ChannelsPage::FavouriteActionTrigger() {
    const int32_t record = catalogue_.Selected();
    if (record > 0) catalogue_.SetFavourite(record, !catalogue_.IsFavourite(record));
}

void ChannelsPage::MoveFavourite(int step) {
    if (!FavouritesButton->isChecked()) return;
    catalogue_.MoveFavourite(catalogue_.Selected(), step);
}

void ChannelsPage::NotesChanged() {
    model_->FavouritesChanged();
    UpdateFavouriteAction();
    // The list shown follows the user's own: a new favourite, a new order, a channel played.
    if (FavouritesButton->isChecked() || RecentButton->isChecked()) ShowChannels();
}

void ChannelsPage::OpenFind() {
    catalogue_.PrepareSearch();
    commandRow_->hide();
    Find->Open();
    Find->SetMatchCount(catalogue_.Rows());
}

void ChannelsPage::ShowChannels() {
    progress_.ShowProgressPhase("Loading channel list ...", Blue, table_.ChannelCount);
    catalogue_.RequestRows(Filter());
}

void ChannelsPage::RowsReplaced() {
    const int32_t keep = table_.SelectedIndex();
    const int32_t rows = catalogue_.Rows();
    model_->SetRows(rows);
    if (Find->isVisible()) Find->SetMatchCount(rows);
    progress_.ShowProgress(table_.ChannelCount);
    // Rows over the whole catalogue hold ascending record indices, so the selected channel's row is found by
    // bisection; the user's lists are short and in their own order.
    int32_t row = 0;
    if (keep > 0) {
        const auto first = table_.RowMap.begin() + 1;
        if (catalogue_.Filter().view == RowView::All) {
            const auto it = std::lower_bound(first, first + rows, keep);
            if (it != first + rows && *it == keep) row = static_cast<int32_t>(it - first) + 1;
        } else {
            const auto it = std::find(first, first + rows, keep);
            if (it != first + rows) row = static_cast<int32_t>(it - first) + 1;
        }
    }
    SelectGridRow(row);
}

void ChannelsPage::DeleteButtonClick() {
    if (!messages_.Ask("Do you want to delete the channel?")) return;
    if (!table_.HasSelection()) return;
    catalogue_.Delete(catalogue_.Selected());
}

void ChannelsPage::RefreshButtonClick() { ShowChannels(); }

void ChannelsPage::SaveButtonClick() {
    const std::string dir = listDir_.toStdString();
    // What did not load whole is never silently replaced by what did.
    const std::string keepAs = localDamaged_ ? DamagedListBackupName(dir) : std::string();
    QString question = "Do you want to save the local channel list?";
    if (!keepAs.empty()) question += "\nThe damaged local.dat will be kept as " + QString::fromStdString(keepAs) + ".";
    if (!messages_.Ask(question)) return;
    if (!keepAs.empty()) {
        if (KeepLocalList(dir, keepAs) != 0) {
            messages_.Inform("Can't keep local.dat as " + QString::fromStdString(keepAs) +
                             ", so the channel list was not saved.");
            return;
        }
        localDamaged_ = false;
    }
    const SaveResult result = SaveLocalList(table_, dir);
    messages_.Inform(result.ok ? "Channel list successfully saved." : "Can't save the channel list.");
}

}  // namespace castora
