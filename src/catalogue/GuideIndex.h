#pragma once
// The programme guide in memory: its channels, and the programmes kept of them in one array sorted by
// channel and start, every text in a pool of NUL-terminated strings addressed by 32-bit offsets. No
// programme has a heap block of its own, and the same arrays, written one after the other, are the
// cache file read back at start-up.
//
// Times are seconds since 1970 UTC as the guide gives them; a channel's shift is applied by the lookup
// (GuideMatch.h), not here. Within a channel programmes never overlap: of two that start together the
// later one read is kept, and a programme ends at the latest where the next one starts.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace castora {

struct GuideProgramme {
    int64_t start = 0;
    int64_t stop = 0;  // >= start; equal when the guide gave no end and nothing follows
    uint32_t title = 0, subTitle = 0, desc = 0, category = 0, episode = 0;  // pool offsets, 0 = empty
    uint32_t channel = 0;
};

struct GuideChannel {
    uint32_t id = 0, name = 0, icon = 0;  // the first display name and the first icon's address
    uint32_t first = 0, count = 0;        // its programmes
    uint32_t keys = 0, keyCount = 0;      // its name keys (GuideNameKey of every display name)
};

// What an index was made from and for.
struct GuideInfo {
    int64_t created = 0;               // when it was read
    int64_t keepFrom = 0, keepTo = 0;  // programmes overlapping this span were kept
    uint64_t wantedStamp = 0;          // GuideWanted::Stamp() of the catalogue it was read for
    uint64_t sourcesStamp = 0;         // of the sources it was read from (the refresh sets it)
    friend bool operator==(const GuideInfo&, const GuideInfo&) = default;
};

class GuideIndex {
public:
    GuideIndex();

    int32_t ChannelCount() const { return static_cast<int32_t>(channels_.size()); }
    const GuideChannel& Channel(int32_t channel) const { return channels_[channel]; }
    size_t ProgrammeCount() const { return programmes_.size(); }
    std::span<const GuideProgramme> Programmes(int32_t channel) const {
        const GuideChannel& c = channels_[channel];
        return {programmes_.data() + c.first, c.count};
    }
    std::string_view Text(uint32_t offset) const {
        return std::string_view(chunks_[offset >> ChunkBits] + (offset & (ChunkSize - 1)));
    }
    std::string_view Key(int32_t channel, uint32_t k) const { return Text(keys_[channels_[channel].keys + k]); }
    const GuideInfo& Info() const { return info_; }
    GuideInfo& Info() { return info_; }

    // In guide time. The programme on air at t, or null.
    const GuideProgramme* OnAir(int32_t channel, int64_t t) const;
    // The first programme starting after t, or null.
    const GuideProgramme* After(int32_t channel, int64_t t) const;
    // The programmes on air at some moment of [from, to).
    std::span<const GuideProgramme> Between(int32_t channel, int64_t from, int64_t to) const;

    // The channel of this id: the same bytes, else the same ignoring ASCII case; -1 when none.
    int32_t FindId(std::string_view id) const;
    // The channel one of whose names has this key (GuideNameKey); channels with programmes win over
    // those without, then the earlier one. -1 when none.
    int32_t FindNameKey(std::string_view key) const;

    size_t MemoryBytes() const;

    // Writes the cache file through a temporary file renamed over `file`; throws GuideError.
    void Save(const std::filesystem::path& file) const;
    // The index a cache file holds; null, with the reason in `why`, for a file that is missing, of another
    // version, or damaged in any way. Never throws for the file's contents.
    static std::shared_ptr<const GuideIndex> Load(const std::filesystem::path& file, std::string* why = nullptr);

    static constexpr int ChunkBits = 20;
    static constexpr uint32_t ChunkSize = 1u << ChunkBits;

private:
    friend class GuideBuilder;
    void BuildLookups();

    GuideInfo info_;
    std::vector<GuideChannel> channels_;
    std::vector<GuideProgramme> programmes_;
    std::vector<uint32_t> keys_;
    // The pool: chunks of ChunkSize bytes, each ending in a NUL, so no string crosses a chunk's end.
    // A built index owns them one by one, a loaded one as one block.
    std::vector<std::unique_ptr<char[]>> ownedChunks_;
    std::unique_ptr<char[]> block_;
    std::vector<const char*> chunks_;
    uint64_t poolSize_ = 0;

    std::unordered_map<std::string_view, int32_t> ids_;
    std::unordered_map<std::string, int32_t> foldedIds_;
    std::unordered_map<std::string_view, int32_t> nameKeys_;
};

// Lets maps keyed by std::string be searched with a string_view.
struct GuideTextHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>()(s); }
};

// Builds an index: channels and programmes in any order, texts interned (equal texts are stored once).
class GuideBuilder {
public:
    // Texts longer than this are cut (at a character boundary).
    static constexpr size_t MaxText = 16 * 1024;

    explicit GuideBuilder(const GuideInfo& info = {});
    GuideBuilder(const GuideBuilder&) = delete;
    GuideBuilder& operator=(const GuideBuilder&) = delete;

    // The channel with this id, added when new. A channel keeps the first name and icon it is given.
    int32_t AddChannel(std::string_view id);
    int32_t FindChannel(std::string_view id) const;
    void SetName(int32_t channel, std::string_view name);
    void SetIcon(int32_t channel, std::string_view icon);
    void AddKey(int32_t channel, std::string_view key);
    int32_t ChannelCount() const { return static_cast<int32_t>(channels_.size()); }

    uint32_t Intern(std::string_view text);
    // A programme of a channel added before; stop <= start means the guide gave no end.
    void AddProgramme(const GuideProgramme& programme);
    size_t ProgrammeCount() const { return programmes_.size(); }

    // Sorts and trims the programmes and hands everything over; the builder is empty afterwards.
    std::shared_ptr<GuideIndex> Finish();

private:
    char* Reserve(size_t bytes, uint32_t& offset);
    void NewChunk();

    GuideInfo info_;
    std::vector<GuideChannel> channels_;
    std::vector<std::vector<uint32_t>> channelKeys_;
    std::unordered_map<std::string, int32_t, GuideTextHash, std::equal_to<>> byId_;
    std::vector<GuideProgramme> programmes_;
    std::vector<std::unique_ptr<char[]>> chunks_;
    uint32_t used_ = 0;            // bytes used in the last chunk
    std::vector<uint64_t> table_;  // interned texts: open addressing, 0 = free
    size_t tableUsed_ = 0;
};

// One index of several, the first having priority: channels of the same id become one, and of two
// programmes starting together the first source's is kept.
std::shared_ptr<GuideIndex> MergeGuides(const std::vector<std::shared_ptr<const GuideIndex>>& inPriorityOrder,
                                        const GuideInfo& info);

// A 64-bit hash of bytes, stable across runs and builds (it is written into cache files).
uint64_t GuideHash(std::string_view bytes, uint64_t seed = 0);

}  // namespace castora
