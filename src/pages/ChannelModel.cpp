#include "pages/ChannelModel.h"

#include <QColor>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <cmath>

#include "pages/Text.h"

namespace castora {

namespace {
const char* const Headers[4] = {" Channel", "Genre", "Bitrate", "Comments"};

// A small gold star, drawn once.
const QPixmap& StarMark() {
    static const QPixmap star = [] {
        QPixmap p(12, 12);
        p.fill(Qt::transparent);
        QPainter painter(&p);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        for (int i = 0; i < 10; ++i) {
            const double r = i % 2 ? 2.4 : 5.8;
            const double a = -M_PI / 2 + i * M_PI / 5;
            const QPointF at(6 + r * std::cos(a), 6.3 + r * std::sin(a));
            if (i == 0) path.moveTo(at);
            else path.lineTo(at);
        }
        path.closeSubpath();
        painter.fillPath(path, QColor(230, 170, 0));
        return p;
    }();
    return star;
}

}  // namespace

ChannelModel::ChannelModel(const ChannelTable& table, QObject* parent) : QAbstractTableModel(parent), table_(table) {}

void ChannelModel::SetRows(int32_t rows) {
    beginResetModel();
    rows_ = rows;
    endResetModel();
}

void ChannelModel::SetGenreNames(QStringList names) {
    genres_ = std::move(names);
    if (rows_ > 0) emit dataChanged(index(0, 1), index(rows_ - 1, 1));
}

int32_t ChannelModel::RecordAt(int32_t gridRow) const {
    if (gridRow < 1 || gridRow > rows_ || gridRow >= static_cast<int32_t>(table_.RowMap.size())) return 0;
    const int32_t record = table_.RowMap[gridRow];
    return record >= 1 && record <= table_.ChannelCount ? record : 0;
}

QString ChannelModel::CellText(int column, int32_t gridRow) const {
    const int32_t record = RecordAt(gridRow);
    if (record == 0) return {};
    const TChannelRec& rec = table_.Channels[record];
    switch (column) {
    case 0:
        return QStringLiteral(" ") + FromAnsi(rec.Name);
    case 1:
        return rec.Genre >= 0 && rec.Genre < genres_.size() ? genres_[rec.Genre] : QString();
    case 2:
        return FromAnsi(rec.Bitrate);
    case 3:
        return rec.IsLocal ? QStringLiteral("[local] ") + FromAnsi(rec.Comments) : FromAnsi(rec.Comments);
    default:
        return {};
    }
}

int ChannelModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : std::max(rows_, 1); }

int ChannelModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 4; }

void ChannelModel::FavouritesChanged() {
    if (rows_ > 0) emit dataChanged(index(0, 0), index(rows_ - 1, 0), {Qt::DecorationRole, Qt::AccessibleTextRole});
}

QVariant ChannelModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) return {};
    const bool starred = index.column() == 0 && favourite_ &&
                         (role == Qt::DecorationRole || role == Qt::AccessibleTextRole) &&
                         favourite_(RecordAt(index.row() + 1));
    if (role == Qt::DisplayRole) return CellText(index.column(), index.row() + 1);
    if (role == Qt::AccessibleTextRole)
        return starred ? QStringLiteral("\u2605 favourite,") + CellText(0, index.row() + 1)
                       : CellText(index.column(), index.row() + 1);
    if (role == Qt::DecorationRole && starred) return StarMark();
    return {};
}

QVariant ChannelModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section > 3) return {};
    if (role == Qt::DisplayRole) return QString::fromLatin1(Headers[section]);
    if (role == Qt::BackgroundRole) return QColor(205, 205, 205);
    return {};
}

}  // namespace castora
