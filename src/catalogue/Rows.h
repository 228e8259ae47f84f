#pragma once
#include <atomic>
#include <cstdint>
#include <optional>
#include <vector>

#include "catalogue/ChannelTable.h"
#include "catalogue/Search.h"

namespace castora {

// A row map built apart from the table it describes: rowMap has ChannelCount + 2 elements, rows 1..rows
// filled and rowMap[rows + 1] = 0, as the table's own RowMap. matches keeps the same records 0-based
// when there are few of them, for the next request to narrow.
struct RowSet {
    std::vector<int32_t> rowMap;
    int32_t rows = 0;
    std::vector<int32_t> matches;
};

// The records that pass the request's filter, in table order. index may be empty (the table is then
// scanned). Returns nothing when the request was cancelled meanwhile.
std::optional<RowSet> ComputeRowSet(const ChannelTable& table, const SearchIndex& index, const RowRequest& request);

}  // namespace castora
