#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/Progress.h"

namespace castora {

// One channel. Texts are 8-bit Windows-1251 bytes, exactly as the list files hold them.
struct TChannelRec {
    int32_t Format = 0;
    int32_t Source = 0;
    int32_t Country = 0;
    int32_t Genre = 0;
    std::string Name;
    std::string Url;  // clear text in memory; scrambled only in the files
    std::string Bitrate;
    std::string Comments;
    bool IsLocal = false;

    friend bool operator==(const TChannelRec&, const TChannelRec&) = default;
};

// The catalogue in memory. Channels[0] is a placeholder that is never shown or saved;
// Channels has ChannelCount + 1 elements and RowMap ChannelCount + 2.
class ChannelTable {
public:
    ChannelTable() { ResetChannels(); }

    std::vector<TChannelRec> Channels;
    int32_t ChannelCount = 0;
    std::vector<int32_t> RowMap;
    int32_t SelectedChannel = 0;
    std::string ListDate;

    void ResetChannels();
    void AppendChannel(const TChannelRec& rec);
    void StoreChannel(int32_t index, const TChannelRec& rec);
    void DeleteChannel(int32_t index);
    bool ChannelExists(std::string_view url) const;
    // Drops every record whose URL an earlier record already has; earliest wins.
    void RemoveDuplicates(ProgressSink* progress = nullptr);

    // Resizes both arrays together; new records are empty.
    void Resize(int32_t count);

    // The record SelectedChannel names, the placeholder when that is 0 or out of range.
    int32_t SelectedIndex() const;
    const TChannelRec& Selected() const { return Channels[SelectedIndex()]; }
    bool HasSelection() const { return SelectedIndex() > 0; }
};

} // namespace castora
