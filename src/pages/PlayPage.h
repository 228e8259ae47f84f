#pragma once
#include <QString>
#include <QWidget>
#include <functional>

#include "player/PlayState.h"

class QAbstractButton;
class QCheckBox;
class QLabel;
class QSlider;

namespace castora {

class ChannelTable;
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

signals:
    // Show the Screen page exactly as its toolbar button would.
    void screenRequested();
    // New main window caption.
    void captionChanged(const QString& caption);
    void linkClicked();
    // The channel the page started reached playing (its address, and the record that held it then).
    void channelPlayed(const QString& url, int32_t record);
    // The playing channel's programmes changed (the lines SetProgrammes took).
    void programmesChanged(const QString& lines);

private:
    void SetAction(ButtonAction action);
    // Runs a call into the player; an error it raises is shown, and the rest of the handler is skipped.
    void Guarded(const std::function<void()>& call);
    void StartSelected();
    void StopPlayer();
    void OnMediaNameChanged(const QString& name);

    const ChannelTable& table_;
    TMediaPlayer& player_;
    Messages& messages_;
    HeaderStrip* header_;
    QWidget* video_;
    QCheckBox* mute_;
    QSlider* volume_;
    QCheckBox* zoom_;
    QLabel* programmeLine_;
    QString programmes_, programmeTitle_;
    QAbstractButton* playButton_ = nullptr;
    ButtonAction action_ = ButtonAction::Play;
    int32_t startedRecord_ = 0;  // the record the last start took its address from
};

// Status line text for a play state; Playing and Connecting need the caller's names. A state outside the
// known ones has no text.
QString PlayStateText(PlayState state, const QString& mediaName, const QString& channelName);

}  // namespace castora
