#include "pages/PlayPage.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QSlider>
#include <QVBoxLayout>
#include <exception>

#include "catalogue/ChannelTable.h"
#include "pages/HeaderStrip.h"
#include "pages/Messages.h"
#include "pages/Text.h"
#include "player/MediaPlayer.h"

namespace castora {

QString PlayStateText(PlayState state, const QString& mediaName, const QString& channelName) {
    switch (static_cast<int>(state)) {
    case 0:
        return QStringLiteral("Undefined");
    case 1:
        return QStringLiteral("Stopped");
    case 2:
        return QStringLiteral("Paused");
    case 3:
        return mediaName;
    case 4:
        return QStringLiteral("ScanForward");
    case 5:
        return QStringLiteral("ScanReverse");
    case 6:
        return QStringLiteral("Buffering");
    case 7:
        return QStringLiteral("Waiting");
    case 8:
        return QStringLiteral("MediaEnded");
    case 9:
        return QStringLiteral("Connecting to ") + channelName;
    case 10:
        return QStringLiteral("Ready");
    case 11:
        return QStringLiteral("Reconnecting");
    case 12:
        return QStringLiteral("Last");
    case 13:
        return QStringLiteral("*****");
    default:
        return QString();
    }
}

PlayPage::PlayPage(const ChannelTable& table, TMediaPlayer& player, Messages& messages, const QString& homeAddress,
                   QWidget* parent)
    : QWidget(parent), table_(table), player_(player), messages_(messages) {
    setFont(WindowFont());
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    header_ = new HeaderStrip(QString(), homeAddress, this);
    header_->TitleLabel()->setObjectName("StatusPanel");
    connect(header_, &HeaderStrip::linkClicked, this, &PlayPage::linkClicked);
    layout->addWidget(header_);

    video_ = player_.createVideoWidget(this);
    video_->setObjectName("Player");
    video_->setFixedSize(512, 384);
    layout->addWidget(video_);

    auto* bar = new QWidget(this);
    bar->setFixedHeight(28);
    SetBackground(bar, 240, 240, 240);
    auto* barLayout = new QHBoxLayout(bar);
    barLayout->setContentsMargins(4, 0, 4, 0);
    barLayout->setSpacing(4);

    mute_ = new QCheckBox(QStringLiteral(" Mute "), bar);
    mute_->setObjectName("MuteCheckBox");
    mute_->setAccessibleName(QStringLiteral(" Mute "));
    barLayout->addWidget(mute_);

    volume_ = new QSlider(Qt::Horizontal, bar);
    volume_->setObjectName("TrackBar1");
    volume_->setFixedWidth(105);
    volume_->setRange(0, 100);
    volume_->setValue(0);
    volume_->setTickPosition(QSlider::NoTicks);
    volume_->setToolTip(QStringLiteral("Volume"));
    volume_->setAccessibleName(QStringLiteral("Volume"));
    barLayout->addWidget(volume_);
    // The strip above has no room left: the guide's two lines sit here, between the controls.
    programmeLine_ = new QLabel(bar);
    programmeLine_->setObjectName("ProgrammeLine");
    programmeLine_->setFixedSize(250, 28);
    programmeLine_->setContentsMargins(6, 0, 0, 0);
    programmeLine_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    programmeLine_->setTextFormat(Qt::PlainText);
    programmeLine_->hide();
    barLayout->addWidget(programmeLine_);
    barLayout->addStretch(1);

    zoom_ = new QCheckBox(QStringLiteral(" Zoom "), bar);
    zoom_->setObjectName("ZoomCheckBox");
    zoom_->setAccessibleName(QStringLiteral(" Zoom "));
    zoom_->setLayoutDirection(Qt::RightToLeft);  // text left of the box
    barLayout->addWidget(zoom_);
    layout->addWidget(bar);

    connect(volume_, &QSlider::valueChanged, this, &PlayPage::TrackBar1Change);
    connect(mute_, &QCheckBox::clicked, this, &PlayPage::MuteCheckBoxClick);
    connect(zoom_, &QCheckBox::clicked, this, &PlayPage::ZoomCheckBoxClick);
    connect(&player_, &TMediaPlayer::PlayStateChange, this, &PlayPage::PlayerPlayStateChange);
    connect(&player_, &TMediaPlayer::currentMediaNameChanged, this, &PlayPage::OnMediaNameChanged);
}

QLabel* PlayPage::StatusPanel() const { return header_->TitleLabel(); }

void PlayPage::SetProgrammes(const QString& lines, const QString& nowTitle) {
    programmeTitle_ = nowTitle;
    if (lines == programmes_) return;
    programmes_ = lines;
    const QFontMetrics metrics(programmeLine_->font());
    const int width = programmeLine_->width() - programmeLine_->contentsMargins().left();
    QStringList shown;
    for (const QString& line : lines.split('\n', Qt::SkipEmptyParts))
        shown << metrics.elidedText(line, Qt::ElideRight, width);
    programmeLine_->setText(shown.join('\n'));
    programmeLine_->setAccessibleName(lines);
    programmeLine_->setToolTip(lines);
    programmeLine_->setVisible(!lines.isEmpty());
    emit programmesChanged(lines);
}

void PlayPage::SetPlayButton(QAbstractButton* button) {
    playButton_ = button;
    if (playButton_) playButton_->setText(PlayCaption());
}

QString PlayPage::PlayCaption() const {
    return action_ == ButtonAction::Play ? QStringLiteral("Play") : QStringLiteral("Stop");
}

void PlayPage::SetAction(ButtonAction action) {
    action_ = action;
    if (playButton_) playButton_->setText(PlayCaption());
}

void PlayPage::Guarded(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& e) {
        ShowException(messages_, QString::fromUtf8(e.what()));
    }
}

void PlayPage::InitVolumeFromPlayer() {
    // Moving off 0 runs TrackBar1Change, which writes the same value back.
    Guarded([this] { volume_->setValue(player_.volume()); });
}

void PlayPage::StartSelected() {
    startedRecord_ = table_.SelectedIndex();
    emit screenRequested();
    player_.setURL(FromAnsi(table_.Selected().Url));
    player_.setEnabled(true);
}

void PlayPage::StopPlayer() {
    player_.close();
    SetAction(ButtonAction::Play);
}

void PlayPage::PlayButtonClick() {
    Guarded([this] {
        if (action_ == ButtonAction::Play && player_.playState() != PlayState::Playing) {
            UpdateTitle();
            StartSelected();
        }
        if (action_ == ButtonAction::Stop) StopPlayer();
    });
}

void PlayPage::ChannelGridDblClick() {
    Guarded([this] {
        if (action_ == ButtonAction::Stop) StopPlayer();
        if (action_ == ButtonAction::Play && player_.playState() != PlayState::Playing) StartSelected();
    });
}

void PlayPage::PlayerPlayStateChange(PlayState newState) {
    Guarded([this, newState] {
        QString text;
        if (newState == PlayState::Playing) {
            // Read before anything changes: a failure leaves status and caption as they were.
            text = player_.currentMediaName();
        } else {
            text = PlayStateText(newState, QString(), FromAnsi(table_.Selected().Name));
        }
        header_->SetTitle(text);
        if (newState == PlayState::Playing) {
            SetAction(ButtonAction::Stop);
            UpdateTitle();
            emit channelPlayed(player_.URL(), startedRecord_);
        }
    });
}

void PlayPage::OnMediaNameChanged(const QString& name) {
    // Radio streams retitle the current song while playing on.
    if (player_.playState() == PlayState::Playing) header_->SetTitle(name);
}

void PlayPage::UpdateTitle() {
    const QString title = QString::fromUtf8(AppTitle);
    if (table_.SelectedChannel < 1 || !table_.HasSelection()) {
        emit captionChanged(title);
    } else {
        emit captionChanged(FromAnsi(table_.Selected().Name) + QStringLiteral(" \u2013 ") + title);
    }
}

void PlayPage::TrackBar1Change(int position) {
    Guarded([this, position] { player_.setVolume(position); });
}

void PlayPage::MuteCheckBoxClick() {
    Guarded([this] { player_.setMute(mute_->isChecked()); });
}

void PlayPage::ZoomCheckBoxClick() {
    // Flips the player's own state; the box may disagree with it.
    Guarded([this] { player_.setStretchToFit(!player_.stretchToFit()); });
}

}  // namespace castora
