#include "catalogue/ChannelTable.h"

#include <algorithm>
#include <functional>

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
    // One pass that remembers every URL kept so far keeps the earliest record of each URL, in order:
    // the same result as comparing every pair, in linear time. The remembered URLs live in one flat
    // open-addressing array of (hash tag, record index) rather than a node per URL, which would cost
    // a million allocations and cache misses on a big catalogue.
    Pacer pacer(progress);
    size_t capacity = 16;
    while (capacity < static_cast<size_t>(ChannelCount) * 2) capacity <<= 1;
    std::vector<uint64_t> slots(capacity, 0);  // 0 is free: kept indices start at 1
    const size_t mask = capacity - 1;
    const std::hash<std::string_view> hasher;
    int32_t kept = 0;
    for (int32_t i = 1; i <= ChannelCount; ++i) {
        pacer.Tick(i);
        const std::string_view url = Channels[i].Url;
        const uint64_t hash = hasher(url);
        const uint64_t tag = hash >> 32;
        size_t slot = hash & mask;
        bool duplicate = false;
        for (; slots[slot] != 0; slot = (slot + 1) & mask) {
            if ((slots[slot] >> 32) == tag && Channels[slots[slot] & 0xFFFFFFFFu].Url == url) {
                duplicate = true;
                break;
            }
        }
        if (duplicate) continue;
        ++kept;
        if (kept != i) Channels[kept] = std::move(Channels[i]);
        slots[slot] = (tag << 32) | static_cast<uint32_t>(kept);
    }
    slots = {};
    Resize(kept);
    if (progress) pacer.Flush(kept);
}

int32_t ChannelTable::SelectedIndex() const {
    return (SelectedChannel >= 1 && SelectedChannel <= ChannelCount) ? SelectedChannel : 0;
}

} // namespace castora
