#include "pages/ChannelModel.h"

#include <QColor>
#include <QDateTime>
#include <QElapsedTimer>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <limits>

#include "pages/Text.h"

namespace castora {

namespace {
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

const ChannelColumnSpec ChannelColumns[ChannelColumnCount] = {
    {"", "Logo", 30},       {" Channel", nullptr, 140}, {"Now", nullptr, 120},
    {"Genre", nullptr, 80}, {"Bitrate", nullptr, 50},   {"Comments", nullptr, 224},
};

ChannelModel::ChannelModel(const ChannelTable& table, QObject* parent)
    : QAbstractTableModel(parent), table_(table), nextChange_(new QTimer(this)) {
    nextChange_->setSingleShot(true);
    connect(nextChange_, &QTimer::timeout, this, &ChannelModel::ReadGuide);
}

namespace {
// How long the rows are read at a time, whatever the provider costs per row.
constexpr qint64 ScanSliceNs = 2'000'000;
}  // namespace

void ChannelModel::SetRows(int32_t rows) {
    beginResetModel();
    rows_ = rows;
    StartScan();
    showsLogos_ = Scan();
    ReadTitles();
    endResetModel();
    ScanLater();
}

void ChannelModel::SetGenreNames(QStringList names) {
    genres_ = std::move(names);
    const int genre = ColumnIndex(ChannelColumn::Genre);
    if (rows_ > 0) emit dataChanged(index(0, genre), index(rows_ - 1, genre));
}

int32_t ChannelModel::RecordAt(int32_t gridRow) const {
    if (gridRow < 1 || gridRow > rows_ || gridRow >= static_cast<int32_t>(table_.RowMap.size())) return 0;
    const int32_t record = table_.RowMap[gridRow];
    return record >= 1 && record <= table_.ChannelCount ? record : 0;
}

QString ChannelModel::CellText(ChannelColumn column, int32_t gridRow) const {
    const int32_t record = RecordAt(gridRow);
    if (record == 0) return {};
    const TChannelRec& rec = table_.Channels[record];
    switch (column) {
    case ChannelColumn::Name:
        return QStringLiteral(" ") + FromAnsi(rec.Name);
    case ChannelColumn::Genre:
        return rec.Genre >= 0 && rec.Genre < genres_.size() ? genres_[rec.Genre] : QString();
    case ChannelColumn::Bitrate:
        return FromAnsi(rec.Bitrate);
    case ChannelColumn::Comments:
        return rec.IsLocal ? QStringLiteral("[local] ") + FromAnsi(rec.Comments) : FromAnsi(rec.Comments);
    case ChannelColumn::Now: {
        const size_t i = static_cast<size_t>(gridRow - 1);
        if (i >= nowTitles_.size()) return {};
        return QString::fromUtf8(nowTitles_[i].data(), static_cast<qsizetype>(nowTitles_[i].size()));
    }
    default:
        return {};
    }
}

void ChannelModel::SetLogos(LogoCache* cache, LogoProvider provider) {
    logos_ = cache;
    provider_ = std::move(provider);
    LogosChanged();
}

void ChannelModel::LogosChanged() {
    StartScan();
    const bool shown = Scan();
    if (shown != showsLogos_) {
        showsLogos_ = shown;
        emit logosShownChanged();
    }
    const int logo = ColumnIndex(ChannelColumn::Logo);
    if (rows_ > 0) emit dataChanged(index(0, logo), index(rows_ - 1, logo), {Qt::DecorationRole});
    ScanLater();
}

void ChannelModel::LogoSeen() {
    if (provider_) Found();
}

void ChannelModel::StartScan() {
    scanFront_ = 1;
    scanBack_ = provider_ ? rows_ : 0;
}

bool ChannelModel::Scan() {
    const auto hasLogo = [this](int32_t row) {
        const int32_t record = RecordAt(row);
        return record > 0 && !provider_(record).Empty();
    };
    QElapsedTimer slice;
    slice.start();
    for (int32_t n = 1; scanFront_ <= scanBack_; ++n) {
        if (hasLogo(scanFront_++) || (scanFront_ <= scanBack_ && hasLogo(scanBack_--))) {
            scanFront_ = 1;
            scanBack_ = 0;
            return true;
        }
        if (n % 256 == 0 && slice.nsecsElapsed() > ScanSliceNs) break;
    }
    return false;
}

void ChannelModel::ScanLater() {
    if (scanQueued_ || scanFront_ > scanBack_) return;
    scanQueued_ = true;
    QTimer::singleShot(0, this, [this] {
        scanQueued_ = false;
        if (Scan()) {
            Found();
        } else {
            ScanLater();
        }
    });
}

void ChannelModel::Found() {
    scanFront_ = 1;
    scanBack_ = 0;
    if (showsLogos_) return;
    showsLogos_ = true;
    emit logosShownChanged();
}

void ChannelModel::SetGuide(std::shared_ptr<const GuideLookup> guide) {
    const bool shown = guide_ != nullptr;
    guide_ = std::move(guide);
    ReadGuide();
    if (shown != (guide_ != nullptr)) emit guideShownChanged();
}

int64_t ChannelModel::Now() const { return clock_ ? clock_() : QDateTime::currentSecsSinceEpoch(); }

void ChannelModel::ReadGuide() {
    ReadTitles();
    const int now = ColumnIndex(ChannelColumn::Now);
    if (rows_ > 0) emit dataChanged(index(0, now), index(rows_ - 1, now), {Qt::DisplayRole, Qt::AccessibleTextRole});
}

void ChannelModel::ReadTitles() {
    nextChange_->stop();
    nowTitles_.clear();
    // Indices of another table would name other channels.
    if (!guide_ || guide_->Count() != table_.ChannelCount || rows_ == 0) return;
    const auto rows = std::min<size_t>(static_cast<size_t>(rows_), table_.RowMap.size() - 1);
    shownRecords_.assign(table_.RowMap.begin() + 1, table_.RowMap.begin() + 1 + static_cast<std::ptrdiff_t>(rows));
    const int64_t now = Now();
    const int64_t next = guide_->NowTitles(shownRecords_, now, nowTitles_);
    if (next == std::numeric_limits<int64_t>::max()) return;
    // A second late, so that the programme that ended is over by the clock too; at most a day ahead,
    // as a timer counts in milliseconds of an int.
    const int64_t wait = std::clamp<int64_t>(next - now + 1, 1, 24 * 3600);
    nextChange_->start(static_cast<int>(wait * 1000));
}

LogoAddress ChannelModel::LogoAt(int32_t gridRow) const {
    const int32_t record = provider_ ? RecordAt(gridRow) : 0;
    return record > 0 ? provider_(record) : LogoAddress{};
}

int ChannelModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : std::max(rows_, 1); }

int ChannelModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ChannelColumnCount; }

void ChannelModel::FavouritesChanged() {
    const int name = ColumnIndex(ChannelColumn::Name);
    if (rows_ > 0)
        emit dataChanged(index(0, name), index(rows_ - 1, name), {Qt::DecorationRole, Qt::AccessibleTextRole});
}

QVariant ChannelModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) return {};
    const auto column = static_cast<ChannelColumn>(index.column());
    const int32_t row = index.row() + 1;
    const bool starred = column == ChannelColumn::Name && favourite_ &&
                         (role == Qt::DecorationRole || role == Qt::AccessibleTextRole) && favourite_(RecordAt(row));
    if (role == Qt::DisplayRole) return CellText(column, row);
    if (role == Qt::AccessibleTextRole)
        return starred ? QStringLiteral("\u2605 favourite,") + CellText(column, row) : CellText(column, row);
    if (role == Qt::DecorationRole && starred) return StarMark();
    if (role == Qt::DecorationRole && column == ChannelColumn::Logo && logos_ && showsLogos_) {
        const QPixmap logo = logos_->Pixmap(LogoAt(row), LogoSize, scale_);
        if (!logo.isNull()) return logo;
    }
    return {};
}

QVariant ChannelModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= ChannelColumnCount) return {};
    const ChannelColumnSpec& spec = ChannelColumns[section];
    if (role == Qt::DisplayRole) return QString::fromLatin1(spec.header);
    if (role == Qt::AccessibleTextRole && spec.accessibleName) return QString::fromLatin1(spec.accessibleName);
    if (role == Qt::BackgroundRole) return QColor(205, 205, 205);
    return {};
}

}  // namespace castora
