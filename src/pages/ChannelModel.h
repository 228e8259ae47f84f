#pragma once
#include <QAbstractTableModel>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "catalogue/ChannelTable.h"
#include "catalogue/GuideMatch.h"
#include "pages/LogoCache.h"

namespace castora {

// The grid's columns, in the order it shows them.
enum class ChannelColumn { Logo, Name, Now, Genre, Bitrate, Comments, Count };
inline constexpr int ChannelColumnCount = static_cast<int>(ChannelColumn::Count);
inline constexpr int ColumnIndex(ChannelColumn column) { return static_cast<int>(column); }

struct ChannelColumnSpec {
    const char* header;
    const char* accessibleName;  // for a header that shows no text; null when the text says it
    int width;
};
extern const ChannelColumnSpec ChannelColumns[ChannelColumnCount];

// The channel grid's rows, read straight from the table through RowMap: nothing is copied per cell.
// With no filled row the grid still shows one empty row under its header.
class ChannelModel : public QAbstractTableModel {
    Q_OBJECT
public:
    // Logical pixels of a logo in its cell.
    static constexpr int LogoSize = 24;

    explicit ChannelModel(const ChannelTable& table, QObject* parent = nullptr);

    // Grid rows 1..rows are filled from RowMap[1..rows].
    void SetRows(int32_t rows);
    int32_t FilledRows() const { return rows_; }
    void SetGenreNames(QStringList names);
    // Which records are favourites: their name shows a star, and screen readers hear it.
    void SetFavouriteTest(std::function<bool(int32_t record)> test) { favourite_ = std::move(test); }
    // Favourites changed: the visible rows are drawn again.
    void FavouritesChanged();
    // Record index shown in grid row r (1-based), 0 for the empty row.
    int32_t RecordAt(int32_t gridRow) const;
    std::string_view RecordName(int32_t record) const { return table_.Channels[record].Name; }
    // Text of a cell as the grid shows it; grid rows count from 1.
    QString CellText(ChannelColumn column, int32_t gridRow) const;

    // Where the logo column's pictures come from; without a provider no row has a logo.
    void SetLogos(LogoCache* cache, LogoProvider provider);
    // The provider's answers changed: which rows have logos is looked at again.
    void LogosChanged();
    LogoAddress LogoAt(int32_t gridRow) const;
    // Some filled row has a logo address: the grid shows the logo column and rows tall enough for it.
    // Learnt at once for the rows at both ends (imported channels come last) and, through LogoSeen(), for
    // the rows in view; the rest is read a slice per turn of the event loop, so that a million rows
    // without a logo never hold up the window.
    bool ShowsLogos() const { return showsLogos_; }
    // A row in view has a logo.
    void LogoSeen();
    void SetLogoScale(qreal devicePixelRatio) { scale_ = devicePixelRatio; }
    int LogoPixels() const { return qRound(LogoSize * scale_); }

    // The guide the "Now" column reads: the title on air for each filled row, read with the rows and
    // again whenever one of them changes. Null, or a guide made for another table, shows no column.
    void SetGuide(std::shared_ptr<const GuideLookup> guide);
    bool ShowsGuide() const { return guide_ != nullptr; }
    // Seconds since 1970 the column is read for; the system clock when empty.
    void SetClock(std::function<int64_t()> clock) { clock_ = std::move(clock); }
    // The titles are read again now (the clock moved on, a programme ended).
    void ReadGuide();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

signals:
    void logosShownChanged();
    void guideShownChanged();

private:
    // Reads rows not read yet from both ends, for a slice of time; true when one has a logo.
    bool Scan();
    void StartScan();
    void ScanLater();
    void Found();
    // The titles of the filled rows at the clock's time, and a timer for the next change.
    void ReadTitles();
    int64_t Now() const;

    const ChannelTable& table_;
    int32_t rows_ = 0;
    QStringList genres_;
    std::function<bool(int32_t)> favourite_;
    LogoCache* logos_ = nullptr;
    LogoProvider provider_;
    bool showsLogos_ = false;
    int32_t scanFront_ = 1;  // rows not read yet: scanFront_ .. scanBack_
    int32_t scanBack_ = 0;
    bool scanQueued_ = false;
    qreal scale_ = 1;
    std::shared_ptr<const GuideLookup> guide_;
    std::function<int64_t()> clock_;
    std::vector<int32_t> shownRecords_;        // of the filled rows, for the guide's batch search
    std::vector<std::string_view> nowTitles_;  // views into guide_'s texts, one a filled row
    QTimer* nextChange_;
};

}  // namespace castora
