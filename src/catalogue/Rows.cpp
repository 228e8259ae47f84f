#include "catalogue/Rows.h"

namespace castora {

std::optional<RowSet> ComputeRows(const ChannelTable& table, const RowFilter& filter, const std::atomic<bool>* cancel,
                                  ProgressSink* progress) {
    RowSet set;
    const int32_t count = table.ChannelCount;
    set.rowMap.assign(static_cast<size_t>(count) + 2, 0);
    Pacer pacer(progress);
    for (int32_t e = 1; e <= count; ++e) {
        if ((e & 4095) == 0 && cancel && cancel->load(std::memory_order_relaxed)) return std::nullopt;
        pacer.Tick(e);
        if (Passes(table.Channels[e], filter)) set.rowMap[++set.rows] = e;
    }
    return set;
}

} // namespace castora
