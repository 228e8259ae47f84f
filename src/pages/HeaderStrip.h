#pragma once
#include <QWidget>

class QLabel;
class QPushButton;

namespace castora {

// The 20-pixel strip atop the Play, About, Update and Edit pages: a title or status text on the left,
// the product's web address on the right; clicking the address emits linkClicked().
class HeaderStrip : public QWidget {
    Q_OBJECT
public:
    HeaderStrip(const QString& title, const QString& address, QWidget* parent = nullptr);
    QLabel* TitleLabel() const { return title_; }
    QPushButton* LinkButton() const { return link_; }
    void SetTitle(const QString& text);
    QString Title() const;
    // A small picture beside the title (the playing channel's logo); a null one shows nothing.
    void SetIcon(const QPixmap& icon);
    QLabel* IconLabel() const { return icon_; }

signals:
    void linkClicked();

private:
    QLabel* title_;
    QLabel* icon_;
    QPushButton* link_;
};

// Fixed colours and font of the main window.
QFont WindowFont();
void SetBackground(QWidget* widget, int r, int g, int b);

}  // namespace castora
