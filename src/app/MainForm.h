#pragma once
#include <QPushButton>
#include <filesystem>
#include <memory>
#include <optional>
#include <QWidget>

#include "app/AppConfig.h"
#include "catalogue/ChannelTable.h"
#include "catalogue/ImportPlan.h"
#include "catalogue/Lookup.h"
#include "catalogue/Progress.h"
#include "pages/Catalogue.h"
#include "server/Update.h"

class QStackedWidget;
class QAction;
class QTimer;

namespace castora {

class AboutPage;
class ChannelGuide;
class ChannelLogos;
class PlaylistImport;
struct ImportLookups;
class Catalogue;
class ChannelsPage;
class EditPage;
class PlayPage;
class TMediaPlayer;
class Messages;
class TSplashForm;
class UpdatePage;
class ViewSettings;
class WorkerThreads;

// A toolbar button that names a page; the one whose page shows is underlined.
class PageButton : public QPushButton {
    Q_OBJECT
public:
    PageButton(const QString& text, const QColor& colour, QWidget* parent);
    void SetUnderlined(bool on);
    bool Underlined() const { return font().underline(); }
};

class TMainForm : public QWidget, public ProgressSink, public UpdateWindow {
    Q_OBJECT
public:
    enum Page { PlayPageIndex = 0, ChannelsPageIndex = 1, AboutPageIndex = 2, UpdatePageIndex = 3, EditPageIndex = 4 };

    // The window opens at this size, which is also its smallest.
    static constexpr QSize DesignedSize{512, 474};

    TMainForm(const AppConfig& config, Messages& messages, QWidget* parent = nullptr);
    ~TMainForm() override;

    // The catalogue, for the pages and tests; the controls are found by their object names.
    const ChannelTable& Table() const;
    castora::Catalogue& CatalogueOwner() { return *catalogue_; }
    // True once the start-up load has put the catalogue in place.
    bool Ready() const { return ready_; }
    // Shows the window once the catalogue is in place (at once when it already is).
    void ShowWhenReady();
    const AppConfig& Config() const { return config_; }

    // ProgressSink: the splash window and the Update page follow every loading step.
    void ShowProgressPhase(const std::string& text, Rgb colour, int32_t maximum) override;
    void ShowProgress(int32_t position) override;

    // UpdateWindow: what a list update does on the window's thread.
    bool AskUpdate(const std::string& question) override;
    void SetUpdateControlsEnabled(bool enabled) override;
    void SetUpdateStatus(const std::string& text) override;
    void DownloadStarted() override { IdHTTP1Connected(); }
    void DownloadSize(int32_t count) override { IdHTTP1WorkBegin(count); }
    void DownloadProgress(int32_t count) override { IdHTTP1Work(count); }
    void SetGaugeMaximum(int32_t maximum) override;
    void ReloadCatalogue(std::function<void(bool loaded)> whenDone) override;

    WorkerThreads& Workers() { return *workers_; }
    ChannelLogos& Logos() { return *logos_; }
    ChannelGuide& Guide() { return *guide_; }
    std::filesystem::path ProgramDir() const;

    // Full screen shows the Play page's picture alone on the screen that holds the window.
    void SetFullScreen(bool on);
    bool FullScreen() const { return fullScreen_; }
    // Selects the next (+1) or previous (-1) channel the grid shows, wrapping at the ends, and plays it
    // once the keys come to rest.
    void Zap(int step);
    static constexpr int ZapSettleMs = 250;
    static constexpr int ViewSaveDelayMs = 500;

    void OpenWebPage(const QString& url);
    // Loads the lookup lists into the filter and editor lists; errors are shown and the design-time
    // entries stay.
    void LoadLookupLists();

public slots:
    void ScreenButtonClick();
    void ChannelsButtonClick();
    void AboutButtonClick();
    void UpdatingButtonClick();
    void FreeUpdateButtonClick();
    void FullUpdateButtonClick();
    void IdHTTP1Connected();
    void IdHTTP1WorkBegin(int32_t count);
    void IdHTTP1Work(int32_t count);
    void StartSubmission(const castora::SubmissionValues& values);
    // A playlist file, file:// URL or http(s) URL: read on a worker, asked about, added as local channels.
    void ImportPlaylist(const QString& location);
    // Another start of the program asked for this window, with a playlist to import unless location
    // is empty: the window comes up, and the import follows once the catalogue is in place.
    void OpenFromAnotherStart(const QString& location);
    void ImportPlaylistClick();
    void ImportPlaylistUrlClick();
    void ExportPlaylistClick();

signals:
    void ready();
    // An imported playlist named guides in its header (their addresses).
    void guideSourcesImported(const std::vector<std::string>& urls);

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // The media controls' D-Bus face drives the same controls the user does.
    friend class TMpris;

    void FormCreate();
    bool FormCloseQuery();
    void ShowPage(Page page, PageButton* button);
    QWidget* BuildToolbar();
    std::filesystem::path ListDir() const;
    void StartUpdate(const std::string& key);
    void CatalogueLoaded(const LoadOutcome& outcome);
    void AddImported(ImportPlan plan);
    ImportLookups Lookups() const;
    void CatalogueStateChanged(CatalogueState state);
    void UpdateFavouriteAction();
    // The remembered window, sound and zoom, applied before the window first shows.
    void ApplyViewSettings();
    void SelectLastChannel();
    // Written a moment after the last change, so that dragging the window or the slider writes once.
    void ScheduleViewSave();
    void SaveViewSettings();

    QWidget* Toolbar;
    PageButton* ScreenButton;
    PageButton* ChannelsButton;
    QPushButton* PlayButton;
    PageButton* AboutButton;
    PageButton* UpdatingButton;
    QStackedWidget* Notebook1;
    TSplashForm* SplashForm;
    ChannelsPage* Channels;
    AboutPage* About;
    UpdatePage* Update;
    EditPage* Edit;
    PlayPage* Play;
    TMediaPlayer* Player;

    AppConfig config_;
    Messages& messages_;
    castora::Catalogue* catalogue_;
    WorkerThreads* workers_;
    bool updateActive_ = false;  // an update thread exists, from the click to its end
    bool ready_ = false;
    PlaylistImport* import_;
    ChannelLogos* logos_;
    ChannelGuide* guide_;
    // The lookup files' lines, entry 0 the placeholder, as playlists are matched against them.
    LookupList lookups_[3];
    bool showWhenReady_ = false;  // shown as soon as the start-up load is in place
    std::unique_ptr<ViewSettings> view_;
    std::string playingUrl_;  // the channel that reached playing last
    QAction* favouriteAction_ = nullptr;
    QTimer* viewSaveTimer_;
    bool fullScreen_ = false;
    QByteArray windowedGeometry_;  // to go back to when full screen ends
    class QAction* leaveFullScreen_;
    QTimer* zapTimer_;
    // Playlists asked for while an import runs, in turn.
    QStringList pendingImports_;
};

}  // namespace castora
