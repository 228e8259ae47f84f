#pragma once
#include <QList>
#include <QWidget>
#include <functional>

class QAction;
class QCheckBox;
class QLabel;
class QMenu;
class QPushButton;
class QSlider;

namespace castora {

// The thin strip along the bottom of the full-screen picture: what plays (channel name, stream title and
// an optional programme line) and the controls the window's bottom bar has.
class FullScreenStrip : public QWidget {
    Q_OBJECT
public:
    static constexpr int StripHeight = 48;

    explicit FullScreenStrip(QWidget* parent = nullptr);

    void SetChannelName(const QString& name);
    void SetStreamTitle(const QString& title);
    // A third line under the title (the programme on now and next, say); empty hides it.
    void SetProgrammeLine(const QString& text);
    QString ProgrammeLine() const;
    void SetPlayCaption(const QString& caption);
    // The playing channel's logo beside its name; a null picture hides it.
    void SetIcon(const QPixmap& picture);
    const QLabel* Icon() const { return icon_; }

    QPushButton* PlayStopButton() const { return play_; }
    QSlider* VolumeSlider() const { return volume_; }
    QCheckBox* MuteBox() const { return mute_; }

    // The context menu: what the builder puts in, then the actions added here.
    void SetMenuBuilder(std::function<void(QMenu&)> builder) { menuBuilder_ = std::move(builder); }
    void AddMenuAction(QAction* action) { extraActions_ << action; }
    void AddMenuActions(const QList<QAction*>& actions) { extraActions_ << actions; }
    // Fills a menu as the strip's context menu shows it.
    void FillMenu(QMenu& menu) const;

signals:
    void playStopClicked();
    void volumeMoved(int value);
    void muteClicked(bool on);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    QLabel* icon_;
    QLabel* channel_;
    QLabel* title_;
    QLabel* programme_;
    QPushButton* play_;
    QSlider* volume_;
    QCheckBox* mute_;
    std::function<void(QMenu&)> menuBuilder_;
    QList<QAction*> extraActions_;
};

}  // namespace castora
