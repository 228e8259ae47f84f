#pragma once
#include <QAbstractTableModel>
#include <QStringList>
#include <functional>

#include "catalogue/ChannelTable.h"

namespace castora {

// The channel grid's rows, read straight from the table through RowMap: nothing is copied per cell.
// With no filled row the grid still shows one empty row under its header.
class ChannelModel : public QAbstractTableModel {
    Q_OBJECT
public:
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
    QString CellText(int column, int32_t gridRow) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    const ChannelTable& table_;
    int32_t rows_ = 0;
    QStringList genres_;
    std::function<bool(int32_t)> favourite_;
};

}  // namespace castora
