#include "pages/PlayPage.h"

#include <QAbstractButton>
#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QSlider>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <exception>

#include "catalogue/ChannelTable.h"
#include "pages/FullScreenStrip.h"
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
    layout_ = new QVBoxLayout(this);
    auto* layout = layout_;
    // The page's parts add up to a pixel less than the window leaves it; the picture keeps its 384 lines.
    layout->setContentsMargins(0, 0, 0, 1);
    layout->setSpacing(0);

    header_ = new HeaderStrip(QString(), homeAddress, this);
    header_->TitleLabel()->setObjectName("StatusPanel");
    connect(header_, &HeaderStrip::linkClicked, this, &PlayPage::linkClicked);
    layout->addWidget(header_);

    video_ = player_.createVideoWidget(this);
    video_->setObjectName("Player");
    // The designed size is the least; a larger window gives the picture all its extra room.
    video_->setMinimumSize(512, 384);
    video_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    layout->addWidget(video_, 1);

    auto* bar = bar_ = new QWidget(this);
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

    // Over the picture, which is a native window of its own: only a native window can lie above it.
    strip_ = new FullScreenStrip(this);
    radio_ = new QLabel(this);
    radio_->setObjectName("FullScreenRadio");
    radio_->setAlignment(Qt::AlignCenter);
    radio_->setWordWrap(true);
    radio_->setTextFormat(Qt::PlainText);
    SetBackground(radio_, 0, 0, 0);
    QPalette radioPal = radio_->palette();
    radioPal.setColor(QPalette::WindowText, Qt::white);
    radio_->setPalette(radioPal);
    QFont radioFont = radio_->font();
    radioFont.setPixelSize(28);
    radio_->setFont(radioFont);
    for (QWidget* overlay : {static_cast<QWidget*>(strip_), static_cast<QWidget*>(radio_)}) {
        overlay->setAttribute(Qt::WA_DontCreateNativeAncestors);
        overlay->setAttribute(Qt::WA_NativeWindow);
        overlay->setMouseTracking(true);
        overlay->installEventFilter(this);
        overlay->hide();
    }
    strip_->SetPlayCaption(PlayCaption());
    strip_->SetMenuBuilder([this](QMenu& menu) { menu.addActions(pictureMenu_->actions()); });
    connect(strip_, &FullScreenStrip::playStopClicked, this, &PlayPage::PlayButtonClick);
    connect(strip_, &FullScreenStrip::volumeMoved, volume_, &QSlider::setValue);
    connect(volume_, &QSlider::valueChanged, strip_->VolumeSlider(), &QSlider::setValue);
    connect(strip_, &FullScreenStrip::muteClicked, this, [this](bool on) {
        if (mute_->isChecked() != on) mute_->click();
    });
    connect(mute_, &QCheckBox::toggled, strip_->MuteBox(), &QCheckBox::setChecked);
    connect(&player_, &TMediaPlayer::pictureShownChanged, this, &PlayPage::UpdateRadioPanel);

    pointerTimer_.setSingleShot(true);
    pointerTimer_.setInterval(PointerHideMs);
    connect(&pointerTimer_, &QTimer::timeout, this, [this] {
        if (fullScreen_) setCursor(Qt::BlankCursor);
    });
    stripTimer_.setSingleShot(true);
    stripTimer_.setInterval(StripHideMs);
    connect(&stripTimer_, &QTimer::timeout, strip_, &QWidget::hide);

    // The picture takes the mouse: its native window lets every event through to the page.
    video_->setMouseTracking(true);
    for (QWidget* child : video_->findChildren<QWidget*>()) child->setMouseTracking(true);
    video_->installEventFilter(this);
    setMouseTracking(true);

    // The page's keys, while it shows (also in full screen).
    const auto key = [this](const QKeySequence& keys, auto handler) {
        auto* action = new QAction(this);
        action->setShortcut(keys);
        action->setShortcutContext(Qt::WindowShortcut);
        addAction(action);
        connect(action, &QAction::triggered, this, handler);
    };
    key(QKeySequence(Qt::Key_Space), [this] { PlayButtonClick(); });
    key(QKeySequence(Qt::Key_M), [this] { mute_->click(); });
    key(QKeySequence(Qt::Key_Up), [this] { ChangeVolume(+VolumeStep); });
    key(QKeySequence(Qt::Key_Down), [this] { ChangeVolume(-VolumeStep); });
    key(QKeySequence(Qt::Key_F), [this] { emit fullScreenToggleRequested(); });
    key(QKeySequence(Qt::Key_PageDown), [this] { emit zapRequested(+1); });
    key(QKeySequence(Qt::CTRL | Qt::Key_Down), [this] { emit zapRequested(+1); });
    key(QKeySequence(Qt::Key_PageUp), [this] { emit zapRequested(-1); });
    key(QKeySequence(Qt::CTRL | Qt::Key_Up), [this] { emit zapRequested(-1); });

    BuildPictureMenu();
    connect(&player_, &TMediaPlayer::tracksChanged, this, &PlayPage::UpdateTrackMenus);
}

void PlayPage::BuildPictureMenu() {
    pictureMenu_ = new QMenu(this);
    pictureMenu_->setObjectName("PictureMenu");
    audioMenu_ = pictureMenu_->addMenu(QStringLiteral("Audio"));
    audioMenu_->setObjectName("AudioMenu");
    subtitleMenu_ = pictureMenu_->addMenu(QStringLiteral("Subtitles"));
    subtitleMenu_->setObjectName("SubtitlesMenu");
    QMenu* aspect = pictureMenu_->addMenu(QStringLiteral("Aspect"));
    aspect->setObjectName("AspectMenu");
    aspectGroup_ = new QActionGroup(aspect);
    const std::pair<const char*, const char*> ratios[] = {{"Auto", ""}, {"16:9", "16:9"}, {"4:3", "4:3"}};
    for (const auto& [text, ratio] : ratios) {
        QAction* action = aspect->addAction(QString::fromLatin1(text));
        action->setCheckable(true);
        aspectGroup_->addAction(action);
        connect(action, &QAction::triggered, this, [this, ratio = QString::fromLatin1(ratio)] {
            Guarded([this, &ratio] {
                player_.setAspect(ratio);
                if (player_.stretchToFit()) zoom_->click();
            });
        });
    }
    QAction* stretch = aspect->addAction(QStringLiteral("Stretch"));
    stretch->setCheckable(true);
    aspectGroup_->addAction(stretch);
    // The Zoom switch, here under another name.
    connect(stretch, &QAction::triggered, this, [this] {
        Guarded([this] {
            if (!player_.stretchToFit()) zoom_->click();
        });
    });
    connect(aspect, &QMenu::aboutToShow, this, [this, stretch] {
        const QList<QAction*> actions = aspectGroup_->actions();
        bool zoomed = false;
        Guarded([this, &zoomed] { zoomed = player_.stretchToFit(); });
        if (zoomed) {
            stretch->setChecked(true);
            return;
        }
        const QString ratio = player_.aspect();
        actions[ratio == "16:9" ? 1 : ratio == "4:3" ? 2 : 0]->setChecked(true);
    });
    UpdateTrackMenus();
}

namespace {

QString TrackText(const MediaTrack& track) {
    QString text = QStringLiteral("Track %1").arg(track.id);
    QStringList about;
    if (!track.language.isEmpty()) about << track.language;
    if (!track.title.isEmpty()) about << track.title;
    if (!about.isEmpty()) text += QStringLiteral(" (") + about.join(QStringLiteral(", ")) + QStringLiteral(")");
    return text;
}

}  // namespace

void PlayPage::UpdateTrackMenus() {
    audioMenu_->clear();
    subtitleMenu_->clear();
    auto* audio = new QActionGroup(audioMenu_);
    auto* subtitles = new QActionGroup(subtitleMenu_);
    QAction* off = subtitleMenu_->addAction(QStringLiteral("Off"));
    off->setCheckable(true);
    off->setChecked(true);
    subtitles->addAction(off);
    connect(off, &QAction::triggered, this, [this] { Guarded([this] { player_.selectSubtitleTrack(0); }); });
    for (const MediaTrack& track : player_.tracks()) {
        if (track.kind == MediaTrack::Kind::Video) continue;
        const bool isAudio = track.kind == MediaTrack::Kind::Audio;
        QAction* action = (isAudio ? audioMenu_ : subtitleMenu_)->addAction(TrackText(track));
        action->setCheckable(true);
        action->setChecked(track.selected);
        (isAudio ? audio : subtitles)->addAction(action);
        connect(action, &QAction::triggered, this, [this, isAudio, id = track.id] {
            Guarded([this, isAudio, id] {
                if (isAudio) player_.selectAudioTrack(id);
                else player_.selectSubtitleTrack(id);
            });
        });
    }
    audioMenu_->setEnabled(!audioMenu_->isEmpty());
}

void PlayPage::AddMenuActions(const QList<QAction*>& actions) {
    if (extraActions_.isEmpty()) pictureMenu_->addSeparator();
    pictureMenu_->addActions(actions);
    extraActions_ << actions;
}

void PlayPage::ChangeVolume(int step) { volume_->setValue(volume_->value() + step); }

void PlayPage::SetFullScreen(bool on) {
    if (on == fullScreen_) return;
    fullScreen_ = on;
    header_->setVisible(!on);
    bar_->setVisible(!on);
    layout_->setContentsMargins(0, 0, 0, on ? 0 : 1);
    setAutoFillBackground(on);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::black);
    if (on) setPalette(pal);
    Guarded([this, on] { player_.setFullScreen(on); });
    strip_->hide();
    stripTimer_.stop();
    pointerTimer_.stop();
    unsetCursor();
    if (on) pointerTimer_.start();
    UpdateRadioPanel();
}

void PlayPage::PointerMoved() {
    if (!fullScreen_) return;
    unsetCursor();
    pointerTimer_.start();
    PlaceOverlays();
    strip_->show();
    strip_->raise();
    stripTimer_.start();
}

void PlayPage::UpdateRadioPanel() {
    const bool show = fullScreen_ && !player_.pictureShown();
    radio_->setText(startedName_ + QStringLiteral("\n") + header_->Title());
    radio_->setVisible(show);
    if (show) {
        PlaceOverlays();
        radio_->raise();
        if (strip_->isVisible()) strip_->raise();
    }
}

void PlayPage::PlaceOverlays() {
    radio_->setGeometry(rect());
    strip_->setGeometry(0, height() - FullScreenStrip::StripHeight, width(), FullScreenStrip::StripHeight);
}

void PlayPage::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    PlaceOverlays();
}

bool PlayPage::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::MouseMove:
        PointerMoved();
        break;
    case QEvent::MouseButtonDblClick:
        if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton && watched != strip_) {
            emit fullScreenToggleRequested();
            return true;
        }
        break;
    case QEvent::Wheel: {
        const int delta = static_cast<QWheelEvent*>(event)->angleDelta().y();
        if (delta != 0 && watched != strip_) {
            ChangeVolume(delta > 0 ? VolumeStep : -VolumeStep);
            return true;
        }
        break;
    }
    case QEvent::ContextMenu:
        if (watched != strip_) {
            pictureMenu_->popup(static_cast<QContextMenuEvent*>(event)->globalPos());
            return true;
        }
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
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
    // Full screen shows the same now and next, on one line.
    strip_->SetProgrammeLine(QString(lines).replace('\n', QStringLiteral("   ")));
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
    strip_->SetPlayCaption(PlayCaption());
}

void PlayPage::SetStatus(const QString& text) {
    header_->SetTitle(text);
    strip_->SetStreamTitle(text);
    UpdateRadioPanel();
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
    startedName_ = FromAnsi(table_.Selected().Name);
    strip_->SetChannelName(startedName_);
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

void PlayPage::PlaySelected() { ChannelGridDblClick(); }

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
        SetStatus(text);
        if (newState == PlayState::Playing) {
            SetAction(ButtonAction::Stop);
            UpdateTitle();
            emit channelPlayed(player_.URL(), startedRecord_);
        }
    });
}

void PlayPage::OnMediaNameChanged(const QString& name) {
    // Radio streams retitle the current song while playing on.
    if (player_.playState() == PlayState::Playing) SetStatus(name);
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
