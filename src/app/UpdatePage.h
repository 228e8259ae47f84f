#pragma once
#include <QWidget>

class QLabel;
class QPushButton;

namespace castora {

class HeaderStrip;
class TGauge;

// The Update page: status line, gauge and the two update buttons.
class UpdatePage : public QWidget {
    Q_OBJECT
public:
    UpdatePage(const QString& homeAddress, QWidget* parent = nullptr);
    HeaderStrip* Header;
    QLabel* UpdateStatusPanel;
    TGauge* Gauge1;
    QPushButton* FreeUpdateButton;
    QPushButton* FullUpdateButton;
    void SetButtonsEnabled(bool enabled);
};

// The About page: product name line and the publisher link.
class AboutPage : public QWidget {
    Q_OBJECT
public:
    AboutPage(const QString& homeAddress, const QString& publisherAddress, QWidget* parent = nullptr);
    HeaderStrip* Header;
    QLabel* NameLabel;
    // Wraps inside its panel rather than cutting the address short.
    QLabel* PublisherLink;

signals:
    void publisherClicked();
};

}  // namespace castora
