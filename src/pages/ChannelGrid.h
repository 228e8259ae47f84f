#pragma once
#include <QTableView>

#include "pages/LogoCache.h"

namespace castora {

class ChannelModel;

// The channel grid: Enter plays the highlighted channel, Delete asks to delete it, and typing jumps to
// the next channel whose name starts with the typed text. With logos, the first column shows them: the
// grid asks the cache for the rows in view and a screenful ahead, and draws what is ready.
class TChannelGrid : public QTableView {
    Q_OBJECT
public:
    static constexpr int RowHeight = 20;
    static constexpr int LogoRowHeight = 28;  // a 24-pixel logo and its margins
    // The width the column widths are designed for; a wider grid widens the name and comment columns.
    static constexpr int DesignedWidth = 497;

    explicit TChannelGrid(ChannelModel& model, QWidget* parent = nullptr);
    void keyboardSearch(const QString& search) override;

    // The cache the logo column draws from and each record's logo address; a null cache shows none.
    void SetLogos(LogoCache* cache, LogoProvider provider);
    // The provider's answers changed (a logo set or removed).
    void LogosChanged();

signals:
    void enterPressed();
    void deletePressed();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Column widths, the logo column shown or not, and the row height: whether logos are shown.
    void ApplyLayout();
    void ScheduleLogos();
    void RequestLogos();
    void RepaintLogos(const QString& url);

    ChannelModel& model_;
    LogoCache* cache_ = nullptr;
    QMetaObject::Connection changed_;
    QMetaObject::Connection cleared_;
    bool logosScheduled_ = false;
    int lastScroll_ = 0;
    bool scrollingUp_ = false;
};

}  // namespace castora
