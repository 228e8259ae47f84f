#pragma once
#include <QString>
#include <QWidget>

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
// stopping go through the toolbar's "Play" button, whose caption ("Play"/"Stop") is the page's own state.
class PlayPage : public QWidget {
    Q_OBJECT
public:
    PlayPage(ChannelTable& table, TMediaPlayer& player, Messages& messages, const QString& homeAddress,
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
    QString PlayCaption() const;

public slots:
    void PlayButtonClick();
    void ChannelGridDblClick();
    void PlayerPlayStateChange(int newState);
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

private:
    void SetPlayCaption(const QString& caption);
    void StartSelected();
    void StopPlayer();
    void OnMediaNameChanged(const QString& name);

    ChannelTable& table_;
    TMediaPlayer& player_;
    Messages& messages_;
    HeaderStrip* header_;
    QWidget* video_;
    QCheckBox* mute_;
    QSlider* volume_;
    QCheckBox* zoom_;
    QAbstractButton* playButton_ = nullptr;
    QString caption_ = QStringLiteral("Play");  // used until the toolbar button is attached
};

// Status line text for a play-state code; state 3 and 9 need the caller's names.
QString PlayStateText(int state, const QString& mediaName, const QString& channelName);

}  // namespace castora
