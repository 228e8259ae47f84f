#pragma once
#include <QTableView>

namespace castora {

class ChannelModel;

// The channel grid: Enter plays the highlighted channel, Delete asks to delete it, and typing jumps to
// the next channel whose name starts with the typed text.
class TChannelGrid : public QTableView {
    Q_OBJECT
public:
    explicit TChannelGrid(ChannelModel& model, QWidget* parent = nullptr);
    void keyboardSearch(const QString& search) override;

signals:
    void enterPressed();
    void deletePressed();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    ChannelModel& model_;
};

}  // namespace castora
