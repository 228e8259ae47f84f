#pragma once
#include <QList>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <functional>

#include "player/PlayState.h"

class QAbstractButton;
class QAction;
class QActionGroup;
class QCheckBox;
class QLabel;
class QMenu;
class QSlider;
class QVBoxLayout;

namespace castora {

class ChannelTable;
class FullScreenStrip;
class HeaderStrip;
class Messages;
class TMediaPlayer;

// Page 0: the player's picture, its status line and the volume, mute and zoom controls. Starting and
// stopping go through the toolbar's "Play" button; what it does next is the page's own state, which its
// caption ("Play"/"Stop") shows.
class PlayPage : public QWidget {
    Q_OBJECT
public:
    // What the Play button does when pressed. It turns to Stop once the player plays, and back to Play
    // only when the user stops: a stream that ends by itself leaves it at Stop.
    enum class ButtonAction { Play, Stop };
    Q_ENUM(ButtonAction)

    PlayPage(const ChannelTable& table, TMediaPlayer& player, Messages& messages, const QString& homeAddress,
             QWidget* parent = nullptr);

    void SetPlayButton(QAbstractButton* button);
    // Start-up: the slider takes the player's volume.
    void InitVolumeFromPlayer();

    HeaderStrip* Header() const { return header_; }
    QLabel* StatusPanel() const;
    QWidget* Player() const { return video_; }
    QCheckBox* MuteCheckBox() const { return mute_; }
    QSlider* TrackBar1() const { return volume_; }
    QCheckBox* ZoomCheckBox() const { return zoom_; }
    ButtonAction Action() const { return action_; }
    QString PlayCaption() const;

    // Full screen shows only the picture, on black; moving the mouse brings up the strip of controls.
    void SetFullScreen(bool on);
    bool FullScreen() const { return fullScreen_; }
    FullScreenStrip* Strip() const { return strip_; }
    // The picture's context menu: Audio, Subtitles and Aspect, then the actions added here (also in the
    // full-screen strip's menu).
    QMenu* PictureMenu() const { return pictureMenu_; }
    void AddMenuActions(const QList<QAction*>& actions);
    // Fills the audio and subtitle menus from the player's track list.
    void UpdateTrackMenus();
    // How long the pointer stays without movement, and the strip after it, in milliseconds.
    static constexpr int PointerHideMs = 2000;
    static constexpr int StripHideMs = 3000;
    static constexpr int VolumeStep = 5;

    // What the playing channel shows now and next, one line each ("Now 20:00 News"), and the title on
    // air alone; empty when the guide knows nothing of it.
    void SetProgrammes(const QString& lines, const QString& nowTitle);
    QString Programmes() const { return programmes_; }
    QString ProgrammeTitle() const { return programmeTitle_; }
    QLabel* ProgrammeLine() const { return programmeLine_; }

public slots:
    void PlayButtonClick();
    void ChannelGridDblClick();
    void PlayerPlayStateChange(castora::PlayState newState);
    void UpdateTitle();
    void TrackBar1Change(int position);
    void MuteCheckBoxClick();
    void ZoomCheckBoxClick();
    // Stops what plays and starts the selected channel, as a double click in the grid does.
    void PlaySelected();
    void ChangeVolume(int step);

signals:
    // Show the Screen page exactly as its toolbar button would.
    void screenRequested();
    // New main window caption.
    void captionChanged(const QString& caption);
    void linkClicked();
    // The channel the page started reached playing (its address, and the record that held it then).
    void channelPlayed(const QString& url, int32_t record);
    // Double click on the picture, or F.
    void fullScreenToggleRequested();
    // The next (+1) or previous (-1) channel the grid shows is wanted.
    void zapRequested(int step);
    // The playing channel's programmes changed (the lines SetProgrammes took).
    void programmesChanged(const QString& lines);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void SetAction(ButtonAction action);
    // Runs a call into the player; an error it raises is shown, and the rest of the handler is skipped.
    void Guarded(const std::function<void()>& call);
    void StartSelected();
    void StopPlayer();
    void OnMediaNameChanged(const QString& name);
    void SetStatus(const QString& text);
    void BuildPictureMenu();
    void PointerMoved();
    void PlaceOverlays();
    void UpdateRadioPanel();

    const ChannelTable& table_;
    TMediaPlayer& player_;
    Messages& messages_;
    QVBoxLayout* layout_;
    HeaderStrip* header_;
    QWidget* video_;
    QWidget* bar_;
    QCheckBox* mute_;
    QSlider* volume_;
    QCheckBox* zoom_;
    QLabel* programmeLine_;
    QString programmes_, programmeTitle_;
    QAbstractButton* playButton_ = nullptr;
    ButtonAction action_ = ButtonAction::Play;
    int32_t startedRecord_ = 0;  // the record the last start took its address from
    QString startedName_;        // and its name
    bool fullScreen_ = false;
    FullScreenStrip* strip_;
    QLabel* radio_;  // what plays, on black, when there is no picture in full screen
    QTimer pointerTimer_;
    QTimer stripTimer_;
    QMenu* pictureMenu_;
    QMenu* audioMenu_;
    QMenu* subtitleMenu_;
    QActionGroup* aspectGroup_;
    QList<QAction*> extraActions_;
};

// Status line text for a play state; Playing and Connecting need the caller's names. A state outside the
// known ones has no text.
QString PlayStateText(PlayState state, const QString& mediaName, const QString& channelName);

}  // namespace castora
