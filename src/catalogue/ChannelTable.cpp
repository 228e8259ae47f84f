#include "catalogue/ChannelTable.h"

#include <algorithm>
#include <ostream>
#include <stdexcept>
#include <thread>

#include <sys/mman.h>
#include <unistd.h>

namespace castora {

static_assert(sizeof(TText) == 12, "a text is a pointer and a size");

uint32_t TText::Checked(size_t size) {
    if (size > SizeMask) throw std::length_error("text longer than 2 GiB");
    return static_cast<uint32_t>(size);
}

std::string TText::Concat(std::string_view a, std::string_view b) {
    std::string out;
    out.reserve(a.size() + b.size());
    out.append(a).append(b);
    return out;
}

TText& TText::Assign(std::string_view s) {
    if (s.empty()) {
        Release();
        Clear();
        return *this;
    }
    const uint32_t n = Checked(s.size());
    char* block = new char[s.size() + 1];
    std::memcpy(block, s.data(), s.size());
    block[s.size()] = '\0';
    Release();
    p_ = block;
    n_ = n | OwnedBit;
    return *this;
}

std::ostream& operator<<(std::ostream& out, const TText& t) { return out << t.view(); }

namespace {
TChannelRec Placeholder() {
    TChannelRec rec;
    rec.Name = "default";
    return rec;
}

// A quick 64-bit hash of a URL, eight bytes a step; the set below keeps its top half as a tag and
// indexes by the bottom bits.
uint64_t HashUrl(std::string_view s) {
    constexpr uint64_t K = 0x9E3779B97F4A7C15ull;
    uint64_t h = (s.size() + 1) * K;
    const char* p = s.data();
    size_t n = s.size();
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        h = (h ^ v) * K;
        h ^= h >> 29;
    }
    uint64_t v = 0;
    std::memcpy(&v, p, n);
    h = (h ^ v) * K;
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ull;
    h ^= h >> 32;
    return h;
}

// The array's memory past its records holds no object once the duplicates are gone, but its pages were
// touched when they were read: a million records drop about 3 MB here. They read as zero when reused.
void ReleaseUnusedCapacity(std::vector<TChannelRec>& records) {
    const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(records.data() + records.size()) + page - 1) & ~(page - 1);
    const uintptr_t end = reinterpret_cast<uintptr_t>(records.data() + records.capacity()) & ~(page - 1);
    if (end > begin + (1u << 20)) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
}

// Below this many records a second thread costs more than it saves.
constexpr int32_t ParallelRecords = 65536;
}  // namespace

ChannelTable::ChannelTable(const ChannelTable& other)
    : SelectedChannel(other.SelectedChannel), ListDate(other.ListDate), channels_(other.channels_),
      count_(other.count_), rowMap_(other.rowMap_) {}  // copied records own their texts: no arena to keep

ChannelTable::ChannelTable(ChannelTable&& other) noexcept
    : SelectedChannel(other.SelectedChannel), ListDate(std::move(other.ListDate)),
      channels_(std::move(other.channels_)), count_(other.count_), rowMap_(std::move(other.rowMap_)),
      arenas_(std::move(other.arenas_)) {
    other.ResetChannels();
}

ChannelTable& ChannelTable::operator=(const ChannelTable& other) {
    if (this != &other) *this = ChannelTable(other);
    return *this;
}

ChannelTable& ChannelTable::operator=(ChannelTable&& other) noexcept {
    if (this == &other) return *this;
    SelectedChannel = other.SelectedChannel;
    ListDate = std::move(other.ListDate);
    channels_ = std::move(other.channels_);
    count_ = other.count_;
    rowMap_ = std::move(other.rowMap_);
    arenas_ = std::move(other.arenas_);
    other.ResetChannels();
    return *this;
}

void ChannelTable::Resize(int32_t count) {
    count_ = count;
    channels_.resize(static_cast<size_t>(count) + 1);
    rowMap_.resize(static_cast<size_t>(count) + 2);
}

void ChannelTable::SetRowMap(std::vector<int32_t> rowMap) {
    rowMap.resize(static_cast<size_t>(count_) + 2);
    rowMap_ = std::move(rowMap);
}

void ChannelTable::ResetChannels() {
    channels_.clear();
    rowMap_.clear();
    arenas_.clear();  // no record refers to them any more
    Resize(0);
    channels_[0] = Placeholder();
}

void ChannelTable::AppendChannel(const TChannelRec& rec) {
    Resize(count_ + 1);
    channels_[static_cast<size_t>(count_)] = rec;
}

void ChannelTable::AppendChannels(const std::vector<TChannelRec>& records) {
    Reserve(static_cast<size_t>(count_) + records.size());
    for (const TChannelRec& rec : records) AppendChannel(rec);
}

void ChannelTable::StoreChannel(int32_t index, const TChannelRec& rec) {
    if (index < 0 || index > count_) index = 0;
    channels_[static_cast<size_t>(index)] = rec;
}

int32_t ChannelTable::DeleteChannel(int32_t index, int32_t shownRows) {
    if (index < 1 || index > count_) return shownRows;
    int32_t kept = 0;
    for (int32_t r = 1; r <= shownRows && r <= count_; ++r) {
        const int32_t record = rowMap_[r];
        if (record != index) rowMap_[++kept] = record > index ? record - 1 : record;
    }
    channels_.erase(channels_.begin() + index);
    count_ -= 1;
    rowMap_.resize(static_cast<size_t>(count_) + 2);
    rowMap_[kept + 1] = 0;
    return kept;
}

int32_t ChannelTable::IndexOfUrl(std::string_view url) const {
    for (int32_t i = 1; i <= ChannelCount; ++i)
        if (Channels[i].Url == url) return i;
    return 0;
}

void ChannelTable::RemoveDuplicates(ProgressSink* progress) {
    if (progress) progress->ShowProgressPhase("Preparing channels ...", Green, ChannelCount);
    // One pass that remembers every URL kept so far keeps the earliest record of each URL, in order:
    // the same result as comparing every pair, in linear time. The remembered URLs live in one flat
    // open-addressing array of record indices rather than a node per URL. Each record's URL hash is
    // computed first, on both cores, so that the pass can fetch each record's slot ahead of time; the
    // scratch costs 6 bytes a record. The rows are computed afresh after this pass, so their memory is
    // given back for its length.
    const int32_t count = count_;
    rowMap_ = {};
    std::vector<uint32_t> hashes(static_cast<size_t>(count) + 1);
    auto hashRange = [this, &hashes](int32_t from, int32_t to) {
        for (int32_t i = from; i < to; ++i) hashes[i] = static_cast<uint32_t>(HashUrl(channels_[i].Url.view()) >> 32);
    };
    if (count >= ParallelRecords) {
        const int32_t mid = 1 + count / 2;
        std::thread helper(hashRange, mid, count + 1);
        hashRange(1, mid);
        helper.join();
    } else {
        hashRange(1, count + 1);
    }

    Pacer pacer(progress);
    const size_t capacity = static_cast<size_t>(count) + count / 2 + 1;  // at most two thirds full
    // 0 is a free slot: kept indices start at 1.
    std::vector<uint32_t> slots(capacity, 0);
    auto home = [capacity](uint32_t hash) { return static_cast<size_t>((uint64_t{hash} * capacity) >> 32); };
    auto hashOf = [&hashes](int32_t i) { return hashes[i]; };
    constexpr int32_t Ahead = 16;
    int32_t kept = 0;
    for (int32_t i = 1; i <= count; ++i) {
        pacer.Tick(i);
        if (i + Ahead <= count) __builtin_prefetch(&slots[home(hashOf(i + Ahead))]);
        const uint32_t hash = hashOf(i);
        const std::string_view url = channels_[i].Url.view();
        size_t slot = home(hash);
        bool duplicate = false;
        for (; slots[slot] != 0; slot = slot + 1 == capacity ? 0 : slot + 1) {
            const auto other = static_cast<int32_t>(slots[slot]);
            if (hashOf(other) == hash && channels_[other].Url == url) {
                duplicate = true;
                break;
            }
        }
        if (duplicate) continue;
        ++kept;
        if (kept != i) {
            channels_[kept] = std::move(channels_[i]);
            hashes[kept] = hash;  // that record's own hash is needed no more
        }
        slots[slot] = static_cast<uint32_t>(kept);
    }
    slots = {};
    hashes = {};
    Resize(kept);
    ReleaseUnusedCapacity(channels_);
    if (progress) pacer.Flush(kept);
}

int32_t ChannelTable::SelectedIndex() const {
    return (SelectedChannel >= 1 && SelectedChannel <= ChannelCount) ? SelectedChannel : 0;
}

}  // namespace castora
