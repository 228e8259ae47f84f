#include "app/MainForm.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QComboBox>
#include <QDateTime>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QScreen>
#include <QShortcut>
#include <QSlider>
#include <QStackedWidget>
#include <QTimer>
#include <QWindow>
#include <QUrl>
#include <QVBoxLayout>

#include "app/ChannelGuide.h"
#include "app/ChannelLogos.h"
#include "app/Gauge.h"
#include "app/ImportProgress.h"
#include "app/Mpris.h"
#include "app/PlaylistImport.h"
#include "app/SplashForm.h"
#include "app/UpdatePage.h"
#include "app/ViewSettings.h"
#include "app/Workers.h"
#include "catalogue/ListFiles.h"
#include "catalogue/Lookup.h"
#include "pages/ChannelModel.h"
#include "pages/ChannelsPage.h"
#include "pages/EditPage.h"
#include "pages/PlayPage.h"
#include "player/MediaPlayer.h"
#include "pages/HeaderStrip.h"
#include "pages/Messages.h"
#include "pages/Text.h"

namespace castora {

namespace {

constexpr int ToolbarHeight = 41;

QColor ToColor(Rgb c) { return QColor(c.r, c.g, c.b); }

QFrame* ToolbarSeparator(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::VLine);
    line->setFrameShadow(QFrame::Sunken);
    line->setFixedSize(2, 25);
    return line;
}

// A toolbar button stacked over the 3-pixel bar in its own colour.
QWidget* WithColourBar(QPushButton* button, const QColor& colour, QWidget* parent) {
    auto* holder = new QWidget(parent);
    auto* v = new QVBoxLayout(holder);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(0);
    v->addWidget(button);
    auto* bar = new QWidget(holder);
    bar->setFixedSize(65, 3);
    SetBackground(bar, colour.red(), colour.green(), colour.blue());
    v->addWidget(bar);
    return holder;
}

// Pages that keep their designed arrangement in a larger window stay at its top left.
QWidget* AtDesignedSize(QWidget* page) {
    auto* holder = new QWidget(page->parentWidget());
    auto* grid = new QGridLayout(holder);
    grid->setContentsMargins(0, 0, 0, 0);
    page->setFixedSize(TMainForm::DesignedSize.width(), TMainForm::DesignedSize.height() - ToolbarHeight);
    grid->addWidget(page, 0, 0, Qt::AlignLeft | Qt::AlignTop);
    return holder;
}

}  // namespace

PageButton::PageButton(const QString& text, const QColor& colour, QWidget* parent) : QPushButton(text, parent) {
    setFlat(true);
    setFixedSize(65, 25);
    QPalette pal = palette();
    pal.setColor(QPalette::ButtonText, colour);
    setPalette(pal);
}

void PageButton::SetUnderlined(bool on) {
    QFont f = font();
    f.setUnderline(on);
    setFont(f);
}

TMainForm::TMainForm(const AppConfig& config, Messages& messages, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint),
      config_(config), messages_(messages), catalogue_(new castora::Catalogue(ListDir(), this)),
      workers_(new WorkerThreads(this)) {
    catalogue_->SetProgress(this);
    import_ = new PlaylistImport(catalogue_->Reader(), messages_, this);
    new ImportProgress(*import_, this);
    connect(
        import_, &PlaylistImport::finished, this,
        [this] {
            if (!pendingImports_.isEmpty()) ImportPlaylist(pendingImports_.takeFirst());
        },
        Qt::QueuedConnection);
    // A playlist named at start-up is read while the catalogue loads, and planned once it is in place.
    import_->SetTableReady(false);
    setAcceptDrops(true);
    setWindowTitle(AppTitle);
    setAccessibleName(AppTitle);
    setFont(WindowFont());
    // The designed size is the smallest; the grid and the picture take whatever room is added.
    setMinimumSize(DesignedSize);
    resize(DesignedSize);
    SetBackground(this, 255, 255, 255);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    Toolbar = BuildToolbar();
    layout->addWidget(Toolbar);

    Notebook1 = new QStackedWidget(this);
    PlayerOptions playerOptions;
    playerOptions.nullOutputs = config_.nullMediaOutputs;
    Player = new TMediaPlayer(playerOptions, this);
    Play = new PlayPage(catalogue_->Table(), *Player, messages_, config_.homePage, Notebook1);
    Play->SetPlayButton(PlayButton);
    Channels = new ChannelsPage(*catalogue_, messages_, *this, Notebook1);
    Channels->SetListDirectory(config_.listDir);
    About = new AboutPage(config_.homePage, config_.publisherPage, Notebook1);
    Update = new UpdatePage(config_.homePage, Notebook1);
    Edit = new EditPage(*catalogue_, messages_, config_.homePage, Notebook1);
    logos_ = new ChannelLogos(*catalogue_, *Channels, *Play, *Player, messages_, config_.cacheDir, this);
    guide_ = new ChannelGuide(config_, *catalogue_, *Channels, *Play, *Player, *logos_, messages_, this);
    guide_->setObjectName("Guide");
    connect(this, &TMainForm::guideSourcesImported, guide_, &ChannelGuide::AddImportedSources);
    Notebook1->addWidget(Play);
    Notebook1->addWidget(Channels);
    Notebook1->addWidget(AtDesignedSize(About));
    Notebook1->addWidget(AtDesignedSize(Update));
    Notebook1->addWidget(AtDesignedSize(Edit));
    layout->addWidget(Notebook1, 1);

    for (HeaderStrip* header : {About->Header, Update->Header, Edit->Header})
        connect(header, &HeaderStrip::linkClicked, this, [this] { OpenWebPage(config_.homePage); });
    connect(Play, &PlayPage::linkClicked, this, [this] { OpenWebPage(config_.homePage); });
    connect(PlayButton, &QPushButton::clicked, Play, &PlayPage::PlayButtonClick);
    connect(Channels, &ChannelsPage::channelActivated, Play, &PlayPage::ChannelGridDblClick);
    connect(Play, &PlayPage::screenRequested, this, &TMainForm::ScreenButtonClick);
    connect(Play, &PlayPage::channelPlayed, this, [this](const QString& url, int32_t record) {
        catalogue_->Played(ToAnsi(url), record, QDateTime::currentSecsSinceEpoch());
        playingUrl_ = ToAnsi(url);
        UpdateFavouriteAction();
    });
    // The channel on the picture, not the grid's selection, which may have moved on since.
    favouriteAction_ = new QAction("Add to favourites", this);
    favouriteAction_->setEnabled(false);
    connect(favouriteAction_, &QAction::triggered, this, [this] {
        const int32_t record = catalogue_->Table().IndexOfUrl(playingUrl_);
        if (record > 0) catalogue_->SetFavourite(record, !catalogue_->IsFavourite(record));
    });
    connect(catalogue_, &Catalogue::notesChanged, this, &TMainForm::UpdateFavouriteAction);
    connect(catalogue_, &Catalogue::rowsReplaced, this, &TMainForm::UpdateFavouriteAction);
    Play->AddMenuActions({favouriteAction_});
    connect(Play, &PlayPage::captionChanged, this, [this](const QString& caption) {
        // Not the application's display name: Qt appends that to every title that lacks it.
        setWindowTitle(caption);
        setAccessibleName(caption);
    });
    connect(About, &AboutPage::publisherClicked, this, [this] { OpenWebPage(config_.publisherPage); });
    connect(catalogue_, &Catalogue::stateChanged, this, &TMainForm::CatalogueStateChanged);
    connect(catalogue_, &Catalogue::loaded, this, &TMainForm::CatalogueLoaded);
    connect(catalogue_, &Catalogue::notesFailed, this,
            [this](const std::string& error) { ShowException(messages_, QString::fromLocal8Bit(error.c_str())); });
    // Ctrl+S saves the local list from any page, unless the table is being replaced.
    auto* save = new QShortcut(QKeySequence::Save, this);
    connect(save, &QShortcut::activated, this, [this] {
        if (Channels->isEnabled()) Channels->SaveButtonClick();
    });
    connect(Update->FreeUpdateButton, &QPushButton::clicked, this, &TMainForm::FreeUpdateButtonClick);
    connect(Update->FullUpdateButton, &QPushButton::clicked, this, &TMainForm::FullUpdateButtonClick);
    connect(Edit, &EditPage::submitRequested, this, &TMainForm::StartSubmission);
    connect(Channels, &ChannelsPage::importRequested, this, &TMainForm::ImportPlaylistClick);
    connect(Channels, &ChannelsPage::importUrlRequested, this, &TMainForm::ImportPlaylistUrlClick);
    connect(Channels, &ChannelsPage::exportRequested, this, &TMainForm::ExportPlaylistClick);
    connect(Channels, &ChannelsPage::newChannelRequested, Edit, &EditPage::NewChannel);
    connect(Channels, &ChannelsPage::editChannelRequested, Edit, &EditPage::EditChannel);
    connect(Edit, &EditPage::showRequested, this, [this] { Notebook1->setCurrentIndex(EditPageIndex); });
    connect(Edit, &EditPage::finished, this, &TMainForm::ChannelsButtonClick);

    auto* fullScreen = new QAction(this);
    fullScreen->setShortcut(QKeySequence(Qt::Key_F11));
    addAction(fullScreen);
    connect(fullScreen, &QAction::triggered, this, [this] { SetFullScreen(!fullScreen_); });
    // Only while full screen: Escape also leaves the editor.
    leaveFullScreen_ = new QAction(this);
    leaveFullScreen_->setShortcut(QKeySequence(Qt::Key_Escape));
    leaveFullScreen_->setEnabled(false);
    addAction(leaveFullScreen_);
    connect(leaveFullScreen_, &QAction::triggered, this, [this] { SetFullScreen(false); });
    connect(Play, &PlayPage::fullScreenToggleRequested, this, [this] { SetFullScreen(!fullScreen_); });
    zapTimer_ = new QTimer(this);
    zapTimer_->setSingleShot(true);
    zapTimer_->setInterval(ZapSettleMs);
    connect(zapTimer_, &QTimer::timeout, Play, &PlayPage::PlaySelected);
    connect(Play, &PlayPage::zapRequested, this, &TMainForm::Zap);

    view_ = std::make_unique<ViewSettings>(SettingsFilePath(config_));
    viewSaveTimer_ = new QTimer(this);
    viewSaveTimer_->setSingleShot(true);
    viewSaveTimer_->setInterval(ViewSaveDelayMs);
    connect(viewSaveTimer_, &QTimer::timeout, this, &TMainForm::SaveViewSettings);
    if (const std::optional<QRect> rect = view_->WindowRect(DesignedSize)) setGeometry(*rect);
    else if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
    if (view_->Maximised()) setWindowState(windowState() | Qt::WindowMaximized);
    connect(Play->TrackBar1(), &QSlider::valueChanged, this, &TMainForm::ScheduleViewSave);
    connect(Play->MuteCheckBox(), &QCheckBox::clicked, this, &TMainForm::ScheduleViewSave);
    connect(Play->ZoomCheckBox(), &QCheckBox::clicked, this, &TMainForm::ScheduleViewSave);
    connect(Play, &PlayPage::channelPlayed, this, [this](const QString& url) {
        view_->SetLastChannel(url);
        ScheduleViewSave();
    });

    SplashForm = new TSplashForm(this);
    // Tests and accessibility tools find the window's parts by these names.
    const std::pair<QObject*, const char*> parts[] = {{Toolbar, "Toolbar"},
                                                      {ScreenButton, "ScreenButton"},
                                                      {ChannelsButton, "ChannelsButton"},
                                                      {PlayButton, "PlayButton"},
                                                      {AboutButton, "AboutButton"},
                                                      {UpdatingButton, "UpdatingButton"},
                                                      {Notebook1, "Notebook1"},
                                                      {SplashForm, "SplashForm"},
                                                      {Channels, "Channels"},
                                                      {About, "About"},
                                                      {Update, "Update"},
                                                      {Edit, "Edit"},
                                                      {Play, "Play"},
                                                      {Player, "Player"}};
    for (const auto& [part, name] : parts) part->setObjectName(name);
    FormCreate();
    // Media keys and sound menus; without a session bus there is simply none.
    TMpris::Publish(this);
}

// Workers are stopped and joined before the pages they report to go away.
TMainForm::~TMainForm() {
    if (viewSaveTimer_->isActive()) SaveViewSettings();
    catalogue_->Shutdown();
    delete workers_;
}

const ChannelTable& TMainForm::Table() const { return catalogue_->Table(); }

void TMainForm::ShowWhenReady() {
    if (ready_) show();
    else showWhenReady_ = true;
}

QWidget* TMainForm::BuildToolbar() {
    auto* bar = new QWidget(this);
    bar->setFixedHeight(ToolbarHeight);
    SetBackground(bar, 240, 240, 240);
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(8, 8, 8, 5);
    row->setSpacing(4);

    ScreenButton = new PageButton("Screen", QColor(255, 0, 0), bar);
    ChannelsButton = new PageButton("Channels", QColor(0, 128, 0), bar);
    PlayButton = new PageButton("Play", QColor(0, 0, 255), bar);
    AboutButton = new PageButton("About", Qt::black, bar);
    UpdatingButton = new PageButton("Update", Qt::black, bar);

    row->addWidget(WithColourBar(ScreenButton, QColor(255, 0, 0), bar), 0, Qt::AlignTop);
    row->addWidget(ToolbarSeparator(bar), 0, Qt::AlignTop);
    row->addWidget(WithColourBar(ChannelsButton, QColor(0, 128, 0), bar), 0, Qt::AlignTop);
    row->addWidget(ToolbarSeparator(bar), 0, Qt::AlignTop);
    row->addWidget(WithColourBar(PlayButton, QColor(0, 0, 255), bar), 0, Qt::AlignTop);
    row->addStretch(1);
    row->addWidget(AboutButton, 0, Qt::AlignTop);
    row->addWidget(ToolbarSeparator(bar), 0, Qt::AlignTop);
    row->addWidget(UpdatingButton, 0, Qt::AlignTop);

    connect(ScreenButton, &QPushButton::clicked, this, &TMainForm::ScreenButtonClick);
    connect(ChannelsButton, &QPushButton::clicked, this, &TMainForm::ChannelsButtonClick);
    connect(AboutButton, &QPushButton::clicked, this, &TMainForm::AboutButtonClick);
    connect(UpdatingButton, &QPushButton::clicked, this, &TMainForm::UpdatingButtonClick);
    return bar;
}

std::filesystem::path TMainForm::ListDir() const { return std::filesystem::path(config_.listDir.toStdString()); }

void TMainForm::FormCreate() {
    SplashForm->show();
    SplashForm->raise();
    About->NameLabel->setText(QString(AppTitle) + ", version " + settings::Version);
    ApplyViewSettings();
    Play->InitVolumeFromPlayer();
    AboutButtonClick();

    // Every step runs even when one before it failed: a missing lookup file must not cost the catalogue.
    catalogue_->Clear();
    LoadLookupLists();
    // The lists are read, cleaned of duplicates and filtered on a worker; CatalogueLoaded goes on.
    catalogue_->Load(Channels->Filter());
}

void TMainForm::CatalogueLoaded(const LoadOutcome& outcome) {
    for (int list : {0, 1})
        if (outcome.listDates[list]) Channels->SetListDate(list, *outcome.listDates[list]);
    if (!outcome.reload) Channels->SetLocalListDamaged(outcome.localDamaged);
    if (outcome.reload || ready_) return;  // an update shows no read error
    SplashForm->hide();
    ready_ = true;
    import_->SetTableReady(true);
    if (outcome.firstError) ShowException(messages_, FromAnsi(*outcome.firstError));
    if (outcome.notesError) ShowException(messages_, QString::fromLocal8Bit(outcome.notesError->c_str()));
    SelectLastChannel();
    emit ready();
    if (showWhenReady_) show();
}

void TMainForm::ApplyViewSettings() {
    // A player that cannot take a value keeps its own; the engine's error shows when it is used.
    try {
        if (const auto volume = view_->Volume()) Player->setVolume(*volume);
        if (const auto mute = view_->Mute()) {
            Player->setMute(*mute);
            Play->MuteCheckBox()->setChecked(*mute);
        }
        if (const auto zoom = view_->Zoom()) {
            Player->setStretchToFit(*zoom);
            Play->ZoomCheckBox()->setChecked(*zoom);
        }
    } catch (const std::exception&) {}
}

void TMainForm::SelectLastChannel() {
    const QString last = view_->LastChannel();
    if (last.isEmpty()) return;
    const std::string url = ToAnsi(last);
    const ChannelModel& model = Channels->Model();
    for (int32_t row = 1; row <= model.FilledRows(); ++row) {
        const int32_t record = model.RecordAt(row);
        if (record > 0 && Table().Channels[record].Url.view() == url) {
            Channels->SelectGridRow(row);
            return;
        }
    }
}

void TMainForm::ScheduleViewSave() {
    if (ready_) viewSaveTimer_->start();
}

void TMainForm::SaveViewSettings() {
    viewSaveTimer_->stop();
    // Full screen is never remembered: the window it came from is.
    if (!fullScreen_) {
        const bool maximised = isMaximized();
        view_->SetWindow(maximised ? normalGeometry() : geometry(), maximised);
    }
    view_->SetVolume(Play->TrackBar1()->value());
    view_->SetMute(Play->MuteCheckBox()->isChecked());
    try {
        view_->SetZoom(Player->stretchToFit());
    } catch (const std::exception&) {}
    view_->Save();
}

void TMainForm::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    if (isVisible() && !fullScreen_) ScheduleViewSave();
}

void TMainForm::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (isVisible() && !fullScreen_) ScheduleViewSave();
}

void TMainForm::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isVisible() && !fullScreen_) ScheduleViewSave();
}

void TMainForm::CatalogueStateChanged(CatalogueState state) {
    // While a table is read in to replace this one, nothing may change this one.
    const bool locked = state == CatalogueState::Loading || state == CatalogueState::Replacing;
    Channels->setEnabled(!locked);
    Edit->setEnabled(!locked);
}

void TMainForm::UpdateFavouriteAction() {
    const int32_t record = playingUrl_.empty() ? 0 : catalogue_->Table().IndexOfUrl(playingUrl_);
    favouriteAction_->setEnabled(record > 0);
    favouriteAction_->setText(record > 0 && catalogue_->IsFavourite(record) ? "Remove from favourites"
                                                                            : "Add to favourites");
}

void TMainForm::LoadLookupLists() {
    for (LookupKind kind : {SourceLookup, CountryLookup, GenreLookup}) {
        const LookupFile file = ReadLookupFile(kind, ListDir());
        lookups_[kind] = file.ok ? file.lines : DesignFilterEntries(kind);
        if (!file.ok) {
            Channels->SetFilterEntries(kind, DesignFilterEntries(kind));
            ShowException(messages_, QString::fromLocal8Bit(file.error.c_str()));
            continue;
        }
        Channels->SetFilterEntries(kind, WithPlaceholder(file.lines, FilterPlaceholders[kind]));
        Edit->SetEditorEntries(kind, WithPlaceholder(file.lines, EditorPlaceholder));
    }
}

void TMainForm::ShowProgressPhase(const std::string& text, Rgb colour, int32_t maximum) {
    const QString t = FromAnsi(text);
    SplashForm->TextPanel->setText(t);
    SplashForm->Gauge->SetForeground(ToColor(colour));
    Update->UpdateStatusPanel->setText(t);
    SplashForm->Gauge->SetMax(maximum);
    Update->Gauge1->SetMax(maximum);
}

void TMainForm::ShowProgress(int32_t position) {
    SplashForm->Gauge->SetPos(position);
    Update->Gauge1->SetPos(position);
}

std::filesystem::path TMainForm::ProgramDir() const {
    const QString dir = config_.programDir.isEmpty() ? QCoreApplication::applicationDirPath() : config_.programDir;
    return std::filesystem::path(dir.toStdString());
}

void TMainForm::FreeUpdateButtonClick() { StartUpdate("free"); }

void TMainForm::FullUpdateButtonClick() { StartUpdate(config_.fullUpdateKey.toStdString()); }

void TMainForm::StartUpdate(const std::string& key) {
    // One update at a time, also while its question is still on its way to the screen.
    if (updateActive_) return;
    updateActive_ = true;
    UpdateSettings settings;
    settings.updateHost = config_.updateHost.toStdString();
    settings.programDir = ProgramDir();
    settings.listDir = ListDir();
    settings.programFileName = QFileInfo(QCoreApplication::applicationFilePath()).fileName().toStdString();
    workers_->Start(this, [this, key, settings](const WindowLink& link) {
        TUpdateThread(key, settings, link).Execute();
        link.post([this] { updateActive_ = false; });
    });
}

void TMainForm::StartSubmission(const SubmissionValues& values) {
    workers_->Start(nullptr, [host = config_.updateHost.toStdString(), values](const WindowLink& link) {
        TChannelThread(host, values, link.cancel).Execute();
    });
}

bool TMainForm::AskUpdate(const std::string& question) { return messages_.Ask(FromAnsi(question)); }

void TMainForm::SetUpdateControlsEnabled(bool enabled) {
    Update->SetButtonsEnabled(enabled);
    Toolbar->setEnabled(enabled);
}

void TMainForm::SetUpdateStatus(const std::string& text) { Update->UpdateStatusPanel->setText(FromAnsi(text)); }

void TMainForm::IdHTTP1Connected() { SetUpdateStatus(DownloadingText); }

void TMainForm::IdHTTP1WorkBegin(int32_t count) { Update->Gauge1->SetMax(count); }

void TMainForm::IdHTTP1Work(int32_t count) { Update->Gauge1->SetPos(count); }

void TMainForm::SetGaugeMaximum(int32_t maximum) { Update->Gauge1->SetMax(maximum); }

void TMainForm::ReloadCatalogue(std::function<void(bool loaded)> whenDone) {
    // The global list is read again; the local records in memory stay, unsaved changes included.
    catalogue_->Reload(Channels->Filter(), std::move(whenDone));
}

void TMainForm::ImportPlaylist(const QString& location) {
    if (location.isEmpty()) return;
    // One import at a time; one asked for meanwhile starts when it is over.
    if (import_->Busy()) {
        pendingImports_ << location;
        return;
    }
    import_->Start(location, Lookups(), [this](ImportPlan plan) { AddImported(std::move(plan)); });
}

void TMainForm::OpenFromAnotherStart(const QString& location) {
    if (ready_) {
        if (isMinimized()) showNormal();
        else show();
        raise();
        activateWindow();
    }
    if (location.isEmpty()) return;
    if (ready_) ImportPlaylist(location);
    else
        connect(
            this, &TMainForm::ready, this, [this, location] { ImportPlaylist(location); }, Qt::SingleShotConnection);
}

void TMainForm::AddImported(ImportPlan plan) {
    // What the playlist said of each channel outlives the import, beside the lists.
    catalogue_->ChangeNotes([&plan](ChannelNotes& notes) {
        for (size_t i = 0; i < plan.records.size() && i < plan.info.size(); ++i) {
            const ImportedChannelInfo& info = plan.info[i];
            if (info.tvgId.empty() && info.tvgName.empty() && info.tvgLogo.empty() && info.tvgShift.empty()) continue;
            notes.Change(plan.records[i].Url.view(), [&info](ChannelNote& note) {
                note.tvgId = info.tvgId;
                note.tvgName = info.tvgName;
                note.tvgLogo = info.tvgLogo;
                note.tvgShift = info.tvgShift;
            });
        }
    });
    if (!plan.guideUrls.empty()) emit guideSourcesImported(plan.guideUrls);
    if (catalogue_->AppendMany(plan.records)) Channels->ShowChannels();
}

void TMainForm::ImportPlaylistClick() { ImportPlaylist(messages_.Choose(Messages::Choice::ImportFile)); }

void TMainForm::ImportPlaylistUrlClick() { ImportPlaylist(messages_.Choose(Messages::Choice::ImportUrl)); }

void TMainForm::ExportPlaylistClick() {
    const QString file = messages_.Choose(Messages::Choice::ExportFile);
    if (file.isEmpty()) return;
    // What the grid shows, filters and find included.
    PlaylistExport(Table(), messages_, [this] { return catalogue_->ShownRecords(); }).Export(file, Lookups());
}

ImportLookups TMainForm::Lookups() const {
    return {lookups_[SourceLookup], lookups_[CountryLookup], lookups_[GenreLookup], ListDir()};
}

void TMainForm::dragEnterEvent(QDragEnterEvent* event) {
    if (!PlaylistFromDrop(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void TMainForm::dropEvent(QDropEvent* event) {
    const QString location = PlaylistFromDrop(event->mimeData());
    if (location.isEmpty()) return;
    event->acceptProposedAction();
    // The drag source waits for the drop to return: the import starts once it has.
    QMetaObject::invokeMethod(
        this, [this, location] { ImportPlaylist(location); }, Qt::QueuedConnection);
}

void TMainForm::SetFullScreen(bool on) {
    if (on == fullScreen_) return;
    fullScreen_ = on;
    leaveFullScreen_->setEnabled(on);
    if (on) {
        windowedGeometry_ = saveGeometry();
        ScreenButtonClick();
        Toolbar->hide();
        Play->SetFullScreen(true);
        QScreen* where = screen();
        setWindowState(windowState() | Qt::WindowFullScreen);
        // Without a window manager nobody else would make the window cover the screen.
        if (where) setGeometry(where->geometry());
        raise();
        activateWindow();
        return;
    }
    setWindowState(windowState() & ~Qt::WindowFullScreen);
    Play->SetFullScreen(false);
    Toolbar->show();
    restoreGeometry(windowedGeometry_);
}

void TMainForm::Zap(int step) {
    const int32_t rows = Channels->Model().FilledRows();
    if (rows < 1 || step == 0) return;
    const int32_t current = Channels->CurrentGridRow();
    int32_t row = 0;
    if (current < 1 || current > rows) row = step > 0 ? 1 : rows;
    else row = ((current - 1 + step) % rows + rows) % rows + 1;
    Channels->SelectGridRow(row);
    // A burst of presses opens only the channel it ends on.
    zapTimer_->start();
}

void TMainForm::OpenWebPage(const QString& url) { QDesktopServices::openUrl(QUrl(url)); }

void TMainForm::ShowPage(Page page, PageButton* button) {
    Notebook1->setCurrentIndex(page);
    for (PageButton* b : {ScreenButton, ChannelsButton, AboutButton, UpdatingButton}) b->SetUnderlined(b == button);
}

// The page is painted at once, before whatever the click goes on to do (a player that starts opening).
void TMainForm::ScreenButtonClick() {
    ShowPage(PlayPageIndex, ScreenButton);
    if (isVisible()) repaint();
}

void TMainForm::ChannelsButtonClick() {
    ShowPage(ChannelsPageIndex, ChannelsButton);
    if (isVisible()) repaint();
}

void TMainForm::AboutButtonClick() { ShowPage(AboutPageIndex, AboutButton); }

void TMainForm::UpdatingButtonClick() {
    ShowPage(UpdatePageIndex, UpdatingButton);
    Update->Gauge1->SetPos(0);
    Update->UpdateStatusPanel->setText("Please press the necessary button to update the channel list");
}

bool TMainForm::FormCloseQuery() { return messages_.Ask("Are you sure you want to quit?"); }

void TMainForm::closeEvent(QCloseEvent* event) {
    if (FormCloseQuery()) event->accept();
    else event->ignore();
}

void TMainForm::showEvent(QShowEvent* event) {
    SplashForm->hide();
    QWidget::showEvent(event);
}

}  // namespace castora
