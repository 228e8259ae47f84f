#include "pages/ChannelGrid.h"

#include <algorithm>

#include <QHeaderView>
#include <QKeyEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStyledItemDelegate>

#include "catalogue/Text.h"
#include "pages/ChannelModel.h"
#include "pages/Text.h"

namespace castora {

namespace {

// The cell's background as any other cell's, the logo centred on it at its own size.
class LogoDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QStyleOptionViewItem cell = option;
        cell.features &= ~QStyleOptionViewItem::HasDecoration;
        cell.text.clear();
        const QWidget* widget = option.widget;
        QStyle* style = widget ? widget->style() : nullptr;
        if (style) style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, widget);
        const QVariant value = index.data(Qt::DecorationRole);
        if (!value.canConvert<QPixmap>()) return;
        const QPixmap logo = value.value<QPixmap>();
        if (logo.isNull()) return;
        const QSize size = logo.deviceIndependentSize().toSize();
        painter->drawPixmap(QStyle::alignedRect(option.direction, Qt::AlignCenter, size, option.rect), logo);
    }
};

}  // namespace

TChannelGrid::TChannelGrid(ChannelModel& model, QWidget* parent) : QTableView(parent), model_(model) {
    setModel(&model_);
    setItemDelegateForColumn(ColumnIndex(ChannelColumn::Logo), new LogoDelegate(this));
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    connect(&model_, &QAbstractItemModel::modelReset, this, [this] {
        ApplyLayout();
        ScheduleLogos();
    });
    connect(&model_, &ChannelModel::logosShownChanged, this, [this] {
        ApplyLayout();
        ScheduleLogos();
    });
    connect(&model_, &ChannelModel::guideShownChanged, this, &TChannelGrid::ApplyLayout);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
        scrollingUp_ = value < lastScroll_;
        lastScroll_ = value;
        ScheduleLogos();
    });
    ApplyLayout();
}

void TChannelGrid::SetLogos(LogoCache* cache, LogoProvider provider) {
    disconnect(changed_);
    disconnect(cleared_);
    if (cache_) cache_->Want({});
    cache_ = cache;
    model_.SetLogos(cache, cache ? std::move(provider) : LogoProvider());
    if (cache_) {
        changed_ = connect(cache_, &LogoCache::logoChanged, this, &TChannelGrid::RepaintLogos);
        cleared_ = connect(cache_, &LogoCache::cleared, this, [this] {
            viewport()->update();
            ScheduleLogos();
        });
    }
    ApplyLayout();
    ScheduleLogos();
}

void TChannelGrid::LogosChanged() {
    model_.LogosChanged();
    ApplyLayout();
    ScheduleLogos();
}

void TChannelGrid::ApplyLayout() {
    const bool logos = model_.ShowsLogos();
    for (int c = 0; c < ChannelColumnCount; ++c) setColumnWidth(c, ChannelColumns[c].width);
    const int logo = ColumnIndex(ChannelColumn::Logo);
    setColumnHidden(logo, !logos);
    const int now = ColumnIndex(ChannelColumn::Now);
    setColumnHidden(now, !model_.ShowsGuide());
    // The comments give the logos and the guide their room; a grid wider than designed shares the extra
    // width between the names and the comments.
    const int name = ColumnIndex(ChannelColumn::Name);
    const int comments = ColumnIndex(ChannelColumn::Comments);
    // Until its first resize event the widget's width is only Qt's default.
    const int extra = testAttribute(Qt::WA_PendingResizeEvent) ? 0 : std::max(0, width() - DesignedWidth);
    int commentsWidth = ChannelColumns[comments].width;
    if (logos) commentsWidth -= ChannelColumns[logo].width;
    if (model_.ShowsGuide()) commentsWidth -= ChannelColumns[now].width;
    setColumnWidth(name, ChannelColumns[name].width + extra / 2);
    setColumnWidth(comments, commentsWidth + extra - extra / 2);
    const int height = logos ? LogoRowHeight : RowHeight;
    if (verticalHeader()->defaultSectionSize() == height) return;
    {
        // The header reports every row it resizes, and the view queues each one: a million signals for
        // a million rows. The view is laid out again at once instead.
        const QSignalBlocker quiet(verticalHeader());
        verticalHeader()->setDefaultSectionSize(height);
    }
    updateGeometries();
    viewport()->update();
}

void TChannelGrid::resizeEvent(QResizeEvent* event) {
    QTableView::resizeEvent(event);
    if (event->size().width() != event->oldSize().width()) ApplyLayout();
    ScheduleLogos();
}

// Once per turn of the event loop, however many scroll steps came in it.
void TChannelGrid::ScheduleLogos() {
    if (!cache_ || logosScheduled_) return;
    logosScheduled_ = true;
    QMetaObject::invokeMethod(this, &TChannelGrid::RequestLogos, Qt::QueuedConnection);
}

void TChannelGrid::RequestLogos() {
    logosScheduled_ = false;
    if (!cache_) return;
    model_.SetLogoScale(devicePixelRatioF());
    std::vector<LogoRequest> wanted;
    const int32_t rows = model_.FilledRows();
    const int32_t first = std::max(0, rowAt(0));
    const int32_t page = viewport()->height() / verticalHeader()->defaultSectionSize() + 1;
    if (!model_.ShowsLogos()) {
        // The rows in view decide before they are painted; the model reads the rest in the background.
        for (int32_t r = first; r < std::min(rows, first + page); ++r) {
            if (!model_.LogoAt(r + 1).Empty()) {
                model_.LogoSeen();  // lays the grid out again and asks once more
                return;
            }
        }
    } else if (rows > 0) {
        const int size = model_.LogoPixels();
        const auto add = [&](int32_t row) {
            LogoAddress address = model_.LogoAt(row + 1);
            if (!address.Empty()) wanted.push_back({std::move(address), size});
        };
        for (int32_t r = first; r < std::min(rows, first + page); ++r) add(r);
        // A screenful ahead, the way the user scrolls.
        if (scrollingUp_) {
            for (int32_t r = first - 1; r >= std::max(0, first - page); --r) add(r);
        } else {
            for (int32_t r = first + page; r < std::min(rows, first + 2 * page); ++r) add(r);
        }
    }
    cache_->Want(wanted);
}

void TChannelGrid::RepaintLogos(const QString& url) {
    if (!model_.ShowsLogos()) return;
    const int32_t rows = model_.FilledRows();
    const int32_t first = rowAt(0);
    if (first < 0) return;
    int32_t last = rowAt(viewport()->height() - 1);
    if (last < 0) last = rows - 1;
    const std::string address = url.toStdString();
    const int logo = ColumnIndex(ChannelColumn::Logo);
    for (int32_t r = first; r <= last; ++r)
        if (model_.LogoAt(r + 1).url == address) viewport()->update(visualRect(model_.index(r, logo)));
}

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
        if (record > 0 && StartsWithFolded(model_.RecordName(record), prefix)) {
            const QModelIndex index = model_.index(row - 1, ColumnIndex(ChannelColumn::Name));
            setCurrentIndex(index);
            scrollTo(index);
            return;
        }
    }
}

}  // namespace castora
