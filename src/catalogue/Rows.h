#pragma once
#include <atomic>
#include <cstdint>
#include <optional>
#include <vector>

#include "catalogue/ChannelTable.h"

namespace castora {

// What the grid shows: the selected entry of each filter list (0 shows every code).
struct RowFilter {
    int32_t source = 0;
    int32_t country = 0;
    int32_t genre = 0;

    friend bool operator==(const RowFilter&, const RowFilter&) = default;
};

inline bool Passes(const TChannelRec& rec, const RowFilter& f) {
    return (f.source == 0 || f.source == rec.Source) && (f.country == 0 || f.country == rec.Country) &&
           (f.genre == 0 || f.genre == rec.Genre);
}

// A row map built apart from the table it describes: rowMap has ChannelCount + 2 elements, rows 1..rows
// filled and rowMap[rows + 1] = 0, as the table's own RowMap.
struct RowSet {
    std::vector<int32_t> rowMap;
    int32_t rows = 0;
};

// The records that pass the filter, in table order. Returns nothing when cancel was set meanwhile.
std::optional<RowSet> ComputeRows(const ChannelTable& table, const RowFilter& filter,
                                  const std::atomic<bool>* cancel = nullptr, ProgressSink* progress = nullptr);

} // namespace castora
