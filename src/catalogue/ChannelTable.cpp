#include "catalogue/ChannelTable.h"

#include <algorithm>
#include <unordered_set>

namespace castora {

namespace {
TChannelRec Placeholder() {
    TChannelRec rec;
    rec.Name = "default";
    return rec;
}
} // namespace

void ChannelTable::Resize(int32_t count) {
    ChannelCount = count;
    Channels.resize(static_cast<size_t>(count) + 1);
    RowMap.resize(static_cast<size_t>(count) + 2);
}

void ChannelTable::ResetChannels() {
    Channels.clear();
    RowMap.clear();
    Resize(0);
    Channels[0] = Placeholder();
}

void ChannelTable::AppendChannel(const TChannelRec& rec) {
    Resize(ChannelCount + 1);
    Channels[ChannelCount] = rec;
}

void ChannelTable::StoreChannel(int32_t index, const TChannelRec& rec) {
    if (index < 0 || index > ChannelCount) index = 0;
    Channels[index] = rec;
}

void ChannelTable::DeleteChannel(int32_t index) {
    if (index < 1 || index > ChannelCount) return;
    Channels.erase(Channels.begin() + index);
    ChannelCount -= 1;
    RowMap.resize(static_cast<size_t>(ChannelCount) + 2);
}

bool ChannelTable::ChannelExists(std::string_view url) const {
    for (int32_t i = 1; i <= ChannelCount; ++i)
        if (Channels[i].Url == url) return true;
    return false;
}

void ChannelTable::RemoveDuplicates(ProgressSink* progress) {
    if (progress) {
        progress->ShowProgressPhase("Preparing channels ...", Green, ChannelCount);
        progress->Breathe();
    }
    // One pass with a set of seen URLs keeps the earliest record of each URL, in order: the same
    // result as comparing every pair, in linear time.
    Pacer pacer(progress);
    std::unordered_set<std::string_view> seen;
    seen.reserve(static_cast<size_t>(ChannelCount) * 2);
    int32_t kept = 0;
    for (int32_t i = 1; i <= ChannelCount; ++i) {
        pacer.Tick(i);
        if (seen.contains(Channels[i].Url)) continue;
        ++kept;
        if (kept != i) Channels[kept] = std::move(Channels[i]);
        // Viewed only after the move: a short string lives inside its record.
        seen.insert(Channels[kept].Url);
    }
    seen.clear();
    Resize(kept);
    if (progress) pacer.Flush(kept);
}

int32_t ChannelTable::SelectedIndex() const {
    return (SelectedChannel >= 1 && SelectedChannel <= ChannelCount) ? SelectedChannel : 0;
}

} // namespace castora
