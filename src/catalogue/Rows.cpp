#include "catalogue/Rows.h"

#include <algorithm>
#include <numeric>

namespace castora {

std::optional<RowSet> ComputeRowSet(const ChannelTable& table, const SearchIndex& index, const RowRequest& request) {
    const RowFilter& f = request.filter;
    if (f.view == RowView::All && f.source == 0 && f.country == 0 && f.genre == 0 && f.query.Empty()) {
        // Every record, in order: nothing to look at.
        RowSet set;
        set.rows = table.ChannelCount;
        set.rowMap.resize(static_cast<size_t>(table.ChannelCount) + 2);
        std::iota(set.rowMap.begin(), set.rowMap.end() - 1, 0);
        set.rowMap.back() = 0;
        return set;
    }
    std::vector<int32_t> matches;
    if (ComputeRows(table, index, request, matches) != RowsStatus::Done) return std::nullopt;
    RowSet set;
    set.rows = static_cast<int32_t>(matches.size());
    set.rowMap.assign(static_cast<size_t>(table.ChannelCount) + 2, 0);
    std::copy(matches.begin(), matches.end(), set.rowMap.begin() + 1);
    // Only a small result is worth narrowing from, and only one over all records.
    if (f.view == RowView::All && matches.size() * 32 <= static_cast<size_t>(table.ChannelCount))
        set.matches = std::move(matches);
    return set;
}

}  // namespace castora
