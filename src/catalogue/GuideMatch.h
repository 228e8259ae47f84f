#pragma once
// Which guide channel shows what for which catalogue channel.
//
// A catalogue channel takes the guide channel the user chose for it, else the one whose id is its
// tvg-id, else one whose display name matches its tvg-name, else one whose display name matches its
// name. Names match when their keys are equal: Windows-1251 text folded as find folds it (Latin and
// Cyrillic case), with blanks and punctuation left out; a guide's UTF-8 names are spelt in
// Windows-1251 first, as an import spells them. Ids match byte for byte, else ignoring ASCII case.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/GuideIndex.h"

namespace castora {

std::string GuideNameKey(std::string_view cp1251);
std::string GuideNameKeyUtf8(std::string_view utf8);
// The same into a buffer the caller keeps, for loops that must not allocate.
void GuideNameKeyInto(std::string_view cp1251, std::string& key);

// What one catalogue channel brings to the match. Views: the caller keeps the bytes.
struct GuideChannelKeys {
    std::string_view manual;   // the guide channel id the user chose ("Match guide channel…"), or empty
    std::string_view tvgId;    // as imported
    std::string_view tvgName;  // Windows-1251
    std::string_view name;     // Windows-1251, the record's Name
    int32_t shift = 0;         // tvg-shift, seconds (ParseTvgShift)
};
// Keys of records 1..count; called once per record, in order, on the thread that builds.
using GuideKeysAt = std::function<GuideChannelKeys(int32_t record)>;

// The guide channels a catalogue may take programmes from, told before the guide is read so that only
// their programmes are kept. Holds hashes, not texts: 16 bytes a catalogue channel at most; a hash
// collision keeps a channel too many, never one too few.
class GuideWanted {
public:
    // Every channel is wanted.
    GuideWanted() = default;
    static GuideWanted Of(int32_t count, const GuideKeysAt& keys);

    bool Everything() const { return everything_; }
    bool WantsId(std::string_view id) const;
    bool WantsNameKey(std::string_view key) const;
    // The same set gives the same stamp, whatever the order of the records.
    uint64_t Stamp() const { return stamp_; }
    size_t MemoryBytes() const { return (ids_.capacity() + names_.capacity()) * sizeof(uint64_t); }

private:
    bool everything_ = true;
    std::vector<uint64_t> ids_, names_;  // sorted
    uint64_t stamp_ = 0;
};

// One programme as the user sees it: times with the channel's shift, texts from the index.
struct GuideShow {
    const GuideProgramme* programme = nullptr;
    int64_t start = 0, stop = 0;
    std::string_view title, subTitle, desc, category, episode;
    explicit operator bool() const { return programme != nullptr; }
};

// The guide as one catalogue sees it: for each record its guide channel and shift, built once per
// guide and table, so that a query for a record is a binary search in that channel's programmes and
// allocates nothing. Build it again when the table's records change (indices move) or a new guide
// arrives. Immutable once built: share it between threads freely.
class GuideLookup {
public:
    GuideLookup() = default;
    // globalShift (seconds) is added to every record's own shift.
    GuideLookup(std::shared_ptr<const GuideIndex> index, int32_t count, const GuideKeysAt& keys,
                int32_t globalShift = 0);

    const std::shared_ptr<const GuideIndex>& Index() const { return index_; }
    int32_t Count() const { return static_cast<int32_t>(channel_.empty() ? 0 : channel_.size() - 1); }
    // -1 for a record without a guide channel (or out of range).
    int32_t ChannelOf(int32_t record) const {
        return record > 0 && static_cast<size_t>(record) < channel_.size() ? channel_[record] : -1;
    }
    int32_t ShiftOf(int32_t record) const { return ChannelOf(record) < 0 ? 0 : shift_[record]; }
    int32_t Matched() const { return matched_; }

    // At time t (UTC seconds): the programme on air, the next one, and those of [from, to).
    GuideShow OnAir(int32_t record, int64_t t) const;
    GuideShow Next(int32_t record, int64_t t) const;
    std::vector<GuideShow> Between(int32_t record, int64_t from, int64_t to) const;
    // Only the title on air, for a column: empty when there is none.
    std::string_view NowTitle(int32_t record, int64_t t) const;
    // The same for many records at once, as a grid's rebuild wants them: titles[i] for records[i].
    // Records sharing a guide channel (and shift) share one search. `titles` keeps its capacity
    // between calls. Returns when the next of these titles changes (a programme ends or one starts
    // after a gap), INT64_MAX when none will.
    int64_t NowTitles(const std::vector<int32_t>& records, int64_t t, std::vector<std::string_view>& titles) const;

    GuideShow Show(const GuideProgramme* p, int32_t shift) const;

private:
    std::shared_ptr<const GuideIndex> index_;
    std::vector<int32_t> channel_;  // per record, index 0 unused
    std::vector<int32_t> shift_;
    int32_t matched_ = 0;
};

// The guide channel a record takes, by the rules above; -1 when none.
int32_t MatchGuideChannel(const GuideIndex& index, const GuideChannelKeys& keys, std::string& scratch);

// Addresses of a playlist's x-tvg-url or url-tvg: several may stand in one, separated by commas.
std::vector<std::string> SplitGuideUrls(std::string_view attribute);

}  // namespace castora
