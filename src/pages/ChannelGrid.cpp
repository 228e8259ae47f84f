#include "pages/ChannelGrid.h"

#include <QKeyEvent>

#include "catalogue/Search.h"
#include "pages/ChannelModel.h"
#include "pages/Text.h"

namespace castora {

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (prefix.size() > text.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (FoldByte(static_cast<unsigned char>(text[i])) != FoldByte(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

}  // namespace

TChannelGrid::TChannelGrid(ChannelModel& model, QWidget* parent) : QTableView(parent), model_(model) {}

void TChannelGrid::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        emit enterPressed();
        return;
    case Qt::Key_Delete:
        emit deletePressed();
        return;
    default:
        QTableView::keyPressEvent(event);
    }
}

void TChannelGrid::keyboardSearch(const QString& search) {
    // QAbstractItemView gathers the typed characters and calls this with the whole text so far; the
    // base search would miss every name because cells start with a blank.
    const std::string prefix = ToAnsi(search);
    const int32_t rows = model_.FilledRows();
    if (prefix.empty() || rows == 0) return;
    const int32_t current = currentIndex().isValid() ? currentIndex().row() + 1 : 0;
    // A single repeated key moves on to the next match; a longer prefix may stay on the current row.
    const int32_t start = search.size() == 1 && current > 0 ? current + 1 : std::max(current, 1);
    for (int32_t n = 0; n < rows; ++n) {
        const int32_t row = (start - 1 + n) % rows + 1;
        const int32_t record = model_.RecordAt(row);
        if (record > 0 && StartsWithNoCase(model_.RecordName(record), prefix)) {
            const QModelIndex index = model_.index(row - 1, 0);
            setCurrentIndex(index);
            scrollTo(index);
            return;
        }
    }
}

}  // namespace castora
