#include "catalogue/GuideIndex.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "catalogue/GuideStream.h"

namespace castora {

namespace {

uint64_t Load64(const char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

uint64_t Rotl(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

constexpr uint64_t K1 = 0x9E3779B97F4A7C15ull, K2 = 0xC2B2AE3D27D4EB4Full, K3 = 0x165667B19E3779F9ull;

uint64_t Finalise(uint64_t h) {
    h ^= h >> 33;
    h *= K2;
    h ^= h >> 29;
    h *= K3;
    h ^= h >> 32;
    return h;
}

std::string FoldAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// The cache file: this header, then the channels, programmes, keys and pool as they lie in memory.
struct CacheHeader {
    char magic[8];
    uint32_t version;
    uint32_t byteOrder;
    uint32_t channelSize, programmeSize;
    int64_t created, keepFrom, keepTo;
    uint64_t wantedStamp, sourcesStamp;
    uint64_t channels, programmes, keys, poolBytes;
    uint64_t checksum;
};
static_assert(sizeof(CacheHeader) == 104);
constexpr char CacheMagic[8] = {'C', 'S', 'T', 'G', 'U', 'I', 'D', 'E'};
constexpr uint32_t CacheVersion = 1;
constexpr uint32_t ByteOrderMark = 0x01020304;

uint64_t Checksum(const std::vector<GuideChannel>& channels, const std::vector<GuideProgramme>& programmes,
                  const std::vector<uint32_t>& keys, const std::vector<const char*>& chunks, uint64_t poolSize) {
    uint64_t h = GuideHash({reinterpret_cast<const char*>(channels.data()), channels.size() * sizeof(GuideChannel)});
    h = GuideHash({reinterpret_cast<const char*>(programmes.data()), programmes.size() * sizeof(GuideProgramme)}, h);
    h = GuideHash({reinterpret_cast<const char*>(keys.data()), keys.size() * sizeof(uint32_t)}, h);
    for (size_t k = 0; k < chunks.size(); ++k)
        h = GuideHash({chunks[k], static_cast<size_t>(
                                      std::min<uint64_t>(GuideIndex::ChunkSize, poolSize - k * GuideIndex::ChunkSize))},
                      h);
    return h;
}

bool ReadAll(int fd, void* into, size_t bytes) {
    char* p = static_cast<char*>(into);
    while (bytes > 0) {
        const ssize_t n = ::read(fd, p, bytes);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        bytes -= static_cast<size_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const void* from, size_t bytes) {
    const char* p = static_cast<const char*>(from);
    while (bytes > 0) {
        const ssize_t n = ::write(fd, p, bytes);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        bytes -= static_cast<size_t>(n);
    }
    return true;
}

// Cuts text to at most `limit` bytes without splitting a UTF-8 sequence.
std::string_view Cut(std::string_view text, size_t limit) {
    if (text.size() <= limit) return text;
    size_t n = limit;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return text.substr(0, n);
}

}  // namespace

uint64_t GuideHash(std::string_view bytes, uint64_t seed) {
    const char* p = bytes.data();
    size_t n = bytes.size();
    uint64_t a = seed ^ (n * K1), b = Rotl(seed, 17) ^ K2;
    while (n >= 16) {
        a = Rotl(a ^ (Load64(p) * K1), 31) * K2;
        b = Rotl(b ^ (Load64(p + 8) * K2), 29) * K1;
        p += 16;
        n -= 16;
    }
    if (n >= 8) {
        a = Rotl(a ^ (Load64(p) * K1), 31) * K2;
        p += 8;
        n -= 8;
    }
    uint64_t tail = 0;
    if (n > 0) std::memcpy(&tail, p, n);
    b = Rotl(b ^ (tail * K3), 27) * K1;
    return Finalise(a ^ Rotl(b, 23));
}

// ---------------------------------------------------------------------------------------------------- index

GuideIndex::GuideIndex() {
    block_.reset(new char[1]());
    chunks_.push_back(block_.get());
    poolSize_ = 1;
}

const GuideProgramme* GuideIndex::OnAir(int32_t channel, int64_t t) const {
    const auto list = Programmes(channel);
    auto it =
        std::upper_bound(list.begin(), list.end(), t, [](int64_t v, const GuideProgramme& p) { return v < p.start; });
    if (it == list.begin()) return nullptr;
    --it;
    return it->stop > t ? &*it : nullptr;
}

const GuideProgramme* GuideIndex::After(int32_t channel, int64_t t) const {
    const auto list = Programmes(channel);
    auto it =
        std::upper_bound(list.begin(), list.end(), t, [](int64_t v, const GuideProgramme& p) { return v < p.start; });
    return it == list.end() ? nullptr : &*it;
}

std::span<const GuideProgramme> GuideIndex::Between(int32_t channel, int64_t from, int64_t to) const {
    const auto list = Programmes(channel);
    if (to <= from) return {};
    auto first = std::upper_bound(list.begin(), list.end(), from,
                                  [](int64_t v, const GuideProgramme& p) { return v < p.start; });
    if (first != list.begin() && std::prev(first)->stop > from) --first;
    auto last = std::lower_bound(first, list.end(), to, [](const GuideProgramme& p, int64_t v) { return p.start < v; });
    return {&*first, static_cast<size_t>(last - first)};
}

int32_t GuideIndex::FindId(std::string_view id) const {
    if (id.empty()) return -1;
    if (auto it = ids_.find(id); it != ids_.end()) return it->second;
    if (auto it = foldedIds_.find(FoldAscii(id)); it != foldedIds_.end()) return it->second;
    return -1;
}

int32_t GuideIndex::FindNameKey(std::string_view key) const {
    if (key.empty()) return -1;
    auto it = nameKeys_.find(key);
    return it == nameKeys_.end() ? -1 : it->second;
}

void GuideIndex::BuildLookups() {
    ids_.clear();
    foldedIds_.clear();
    nameKeys_.clear();
    ids_.reserve(channels_.size());
    for (int32_t c = 0; c < ChannelCount(); ++c) {
        ids_.emplace(Text(channels_[c].id), c);
        foldedIds_.emplace(FoldAscii(Text(channels_[c].id)), c);
    }
    for (int pass = 0; pass < 2; ++pass)
        for (int32_t c = 0; c < ChannelCount(); ++c)
            if ((channels_[c].count > 0) == (pass == 0))
                for (uint32_t k = 0; k < channels_[c].keyCount; ++k) nameKeys_.emplace(Key(c, k), c);
}

size_t GuideIndex::MemoryBytes() const {
    return channels_.capacity() * sizeof(GuideChannel) + programmes_.capacity() * sizeof(GuideProgramme) +
           keys_.capacity() * sizeof(uint32_t) + chunks_.size() * ChunkSize +
           (ids_.size() + foldedIds_.size() + nameKeys_.size()) * 64;
}

void GuideIndex::Save(const std::filesystem::path& file) const {
    CacheHeader h{};
    std::memcpy(h.magic, CacheMagic, sizeof h.magic);
    h.version = CacheVersion;
    h.byteOrder = ByteOrderMark;
    h.channelSize = sizeof(GuideChannel);
    h.programmeSize = sizeof(GuideProgramme);
    h.created = info_.created;
    h.keepFrom = info_.keepFrom;
    h.keepTo = info_.keepTo;
    h.wantedStamp = info_.wantedStamp;
    h.sourcesStamp = info_.sourcesStamp;
    h.channels = channels_.size();
    h.programmes = programmes_.size();
    h.keys = keys_.size();
    h.poolBytes = poolSize_;
    h.checksum = Checksum(channels_, programmes_, keys_, chunks_, poolSize_);

    std::filesystem::path temp = file;
    temp += ".part";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw GuideError("The guide cache " + file.string() + " could not be written: " + std::strerror(errno) + ".");
    bool ok = WriteAll(fd, &h, sizeof h) && WriteAll(fd, channels_.data(), channels_.size() * sizeof(GuideChannel)) &&
              WriteAll(fd, programmes_.data(), programmes_.size() * sizeof(GuideProgramme)) &&
              WriteAll(fd, keys_.data(), keys_.size() * sizeof(uint32_t));
    for (size_t k = 0; ok && k < chunks_.size(); ++k)
        ok = WriteAll(fd, chunks_[k], static_cast<size_t>(std::min<uint64_t>(ChunkSize, poolSize_ - k * ChunkSize)));
    const int error = errno;
    if (::close(fd) != 0) ok = false;
    std::error_code ec;
    if (ok) std::filesystem::rename(temp, file, ec);
    if (!ok || ec) {
        std::filesystem::remove(temp, ec);
        throw GuideError("The guide cache " + file.string() +
                         " could not be written: " + (ok ? ec.message() : std::string(std::strerror(error))) + ".");
    }
}

std::shared_ptr<const GuideIndex> GuideIndex::Load(const std::filesystem::path& file, std::string* why) {
    const auto refuse = [&](const std::string& reason) -> std::shared_ptr<const GuideIndex> {
        if (why) *why = reason;
        return nullptr;
    };
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return refuse(std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) return refuse(std::strerror(errno));
    const uint64_t fileSize = static_cast<uint64_t>(st.st_size);

    CacheHeader h{};
    if (fileSize < sizeof h || !ReadAll(fd, &h, sizeof h)) return refuse("too short");
    if (std::memcmp(h.magic, CacheMagic, sizeof h.magic) != 0) return refuse("not a guide cache");
    if (h.version != CacheVersion || h.byteOrder != ByteOrderMark || h.channelSize != sizeof(GuideChannel) ||
        h.programmeSize != sizeof(GuideProgramme))
        return refuse("another version");
    // Sizes are checked against the file before anything is allocated for them.
    constexpr uint64_t Max = 1ull << 40;
    if (h.channels > Max || h.programmes > Max || h.keys > Max || h.poolBytes > (uint64_t{1} << 32) ||
        h.poolBytes == 0 ||
        sizeof h + h.channels * sizeof(GuideChannel) + h.programmes * sizeof(GuideProgramme) + h.keys * 4 +
                h.poolBytes !=
            fileSize)
        return refuse("sizes do not match the file");

    auto index = std::make_shared<GuideIndex>();
    GuideIndex& g = *index;
    g.info_ = {h.created, h.keepFrom, h.keepTo, h.wantedStamp, h.sourcesStamp};
    g.channels_.resize(h.channels);
    g.programmes_.resize(h.programmes);
    g.keys_.resize(h.keys);
    g.block_.reset(new char[h.poolBytes]);
    g.poolSize_ = h.poolBytes;
    g.chunks_.clear();
    for (uint64_t at = 0; at < h.poolBytes; at += ChunkSize) g.chunks_.push_back(g.block_.get() + at);
    if (!ReadAll(fd, g.channels_.data(), h.channels * sizeof(GuideChannel)) ||
        !ReadAll(fd, g.programmes_.data(), h.programmes * sizeof(GuideProgramme)) ||
        !ReadAll(fd, g.keys_.data(), h.keys * 4) || !ReadAll(fd, g.block_.get(), h.poolBytes))
        return refuse("cannot be read");
    if (Checksum(g.channels_, g.programmes_, g.keys_, g.chunks_, g.poolSize_) != h.checksum)
        return refuse("damaged (checksum)");

    // Whatever the checksum says, nothing below may read outside the arrays.
    const char* pool = g.block_.get();
    if (pool[0] != '\0' || pool[h.poolBytes - 1] != '\0') return refuse("damaged (pool)");
    for (uint64_t at = ChunkSize - 1; at < h.poolBytes; at += ChunkSize)
        if (pool[at] != '\0') return refuse("damaged (pool)");
    const auto text = [&](uint32_t offset) { return offset < h.poolBytes; };
    for (uint64_t c = 0; c < h.channels; ++c) {
        const GuideChannel& ch = g.channels_[c];
        if (!text(ch.id) || !text(ch.name) || !text(ch.icon) || uint64_t{ch.first} + ch.count > h.programmes ||
            uint64_t{ch.keys} + ch.keyCount > h.keys)
            return refuse("damaged (channels)");
        for (uint32_t i = ch.first; i < ch.first + ch.count; ++i) {
            const GuideProgramme& p = g.programmes_[i];
            if (p.channel != c || p.stop < p.start || (i > ch.first && g.programmes_[i - 1].start >= p.start) ||
                !text(p.title) || !text(p.subTitle) || !text(p.desc) || !text(p.category) || !text(p.episode))
                return refuse("damaged (programmes)");
        }
    }
    for (uint32_t k : g.keys_)
        if (!text(k)) return refuse("damaged (keys)");
    g.BuildLookups();
    return index;
}

// -------------------------------------------------------------------------------------------------- builder

GuideBuilder::GuideBuilder(const GuideInfo& info) : info_(info) {
    NewChunk();
    table_.assign(1024, 0);
}

void GuideBuilder::NewChunk() {
    if (chunks_.size() >= (uint64_t{1} << 32) / GuideIndex::ChunkSize)
        throw GuideError("The guide is too large to keep: its texts exceed 4 GiB.");
    // The bytes after the last text of a full chunk are written to the cache: zeros, not leftovers.
    if (!chunks_.empty()) std::memset(chunks_.back().get() + used_, 0, GuideIndex::ChunkSize - used_);
    chunks_.emplace_back(new char[GuideIndex::ChunkSize]);
    chunks_.back()[GuideIndex::ChunkSize - 1] = '\0';
    used_ = 0;
    if (chunks_.size() == 1) {
        chunks_.back()[0] = '\0';  // offset 0 is the empty text
        used_ = 1;
    }
}

int32_t GuideBuilder::AddChannel(std::string_view id) {
    auto [it, added] = byId_.try_emplace(std::string(id), ChannelCount());
    if (added) {
        GuideChannel c;
        c.id = Intern(id);
        channels_.push_back(c);
        channelKeys_.emplace_back();
    }
    return it->second;
}

int32_t GuideBuilder::FindChannel(std::string_view id) const {
    auto it = byId_.find(id);
    return it == byId_.end() ? -1 : it->second;
}

void GuideBuilder::SetName(int32_t channel, std::string_view name) {
    if (channels_[channel].name == 0) channels_[channel].name = Intern(name);
}

void GuideBuilder::SetIcon(int32_t channel, std::string_view icon) {
    if (channels_[channel].icon == 0) channels_[channel].icon = Intern(icon);
}

void GuideBuilder::AddKey(int32_t channel, std::string_view key) {
    if (key.empty()) return;
    const uint32_t k = Intern(key);
    auto& keys = channelKeys_[channel];
    if (std::find(keys.begin(), keys.end(), k) == keys.end()) keys.push_back(k);
}

char* GuideBuilder::Reserve(size_t bytes, uint32_t& offset) {
    // The last byte of every chunk stays a NUL.
    if (used_ + bytes > GuideIndex::ChunkSize - 1) NewChunk();
    offset = static_cast<uint32_t>(((chunks_.size() - 1) << GuideIndex::ChunkBits) | used_);
    char* p = chunks_.back().get() + used_;
    used_ += static_cast<uint32_t>(bytes);
    return p;
}

uint32_t GuideBuilder::Intern(std::string_view text) {
    text = Cut(text, MaxText);
    // A NUL ends a text in the pool.
    text = text.substr(0, std::min(text.size(), text.find('\0')));
    if (text.empty()) return 0;
    const uint64_t hash = GuideHash(text);
    const uint32_t tag = static_cast<uint32_t>(hash >> 32);
    // Slots hold the offset and the upper half of the text's hash, so most probes compare no text.
    const auto equal = [&](uint64_t slot) {
        if (static_cast<uint32_t>(slot >> 32) != tag) return false;
        const uint32_t offset = static_cast<uint32_t>(slot);
        const uint32_t within = offset & (GuideIndex::ChunkSize - 1);
        if (within + text.size() >= GuideIndex::ChunkSize) return false;
        const char* p = chunks_[offset >> GuideIndex::ChunkBits].get() + within;
        return std::memcmp(p, text.data(), text.size()) == 0 && p[text.size()] == '\0';
    };
    size_t mask = table_.size() - 1;
    size_t slot = tag & mask;
    while (table_[slot] != 0) {
        if (equal(table_[slot])) return static_cast<uint32_t>(table_[slot]);
        slot = (slot + 1) & mask;
    }
    uint32_t offset;
    char* p = Reserve(text.size() + 1, offset);
    std::memcpy(p, text.data(), text.size());
    p[text.size()] = '\0';
    table_[slot] = (uint64_t{tag} << 32) | offset;
    if (++tableUsed_ * 2 > table_.size()) {
        std::vector<uint64_t> old(table_.size() * 2, 0);
        old.swap(table_);
        mask = table_.size() - 1;
        for (uint64_t o : old) {
            if (o == 0) continue;
            size_t s = (o >> 32) & mask;
            while (table_[s] != 0) s = (s + 1) & mask;
            table_[s] = o;
        }
    }
    return offset;
}

void GuideBuilder::AddProgramme(const GuideProgramme& programme) { programmes_.push_back(programme); }

std::shared_ptr<GuideIndex> GuideBuilder::Finish() {
    auto index = std::make_shared<GuideIndex>();
    GuideIndex& g = *index;
    g.info_ = info_;

    std::stable_sort(programmes_.begin(), programmes_.end(), [](const GuideProgramme& a, const GuideProgramme& b) {
        return a.channel != b.channel ? a.channel < b.channel : a.start < b.start;
    });
    // Of a run starting together the last read stays; each ends at the latest where the next starts.
    size_t w = 0;
    for (size_t i = 0; i < programmes_.size(); ++i) {
        GuideProgramme p = programmes_[i];
        const bool hasNext = i + 1 < programmes_.size() && programmes_[i + 1].channel == p.channel;
        if (hasNext && programmes_[i + 1].start == p.start) continue;
        if (p.stop <= p.start) p.stop = hasNext ? programmes_[i + 1].start : p.start;
        else if (hasNext) p.stop = std::min(p.stop, programmes_[i + 1].start);
        programmes_[w++] = p;
    }
    programmes_.resize(w);
    programmes_.shrink_to_fit();

    for (size_t i = 0; i < programmes_.size();) {
        const uint32_t c = programmes_[i].channel;
        size_t j = i;
        while (j < programmes_.size() && programmes_[j].channel == c) ++j;
        channels_[c].first = static_cast<uint32_t>(i);
        channels_[c].count = static_cast<uint32_t>(j - i);
        i = j;
    }
    for (size_t c = 0; c < channels_.size(); ++c) {
        channels_[c].keys = static_cast<uint32_t>(g.keys_.size());
        channels_[c].keyCount = static_cast<uint32_t>(channelKeys_[c].size());
        g.keys_.insert(g.keys_.end(), channelKeys_[c].begin(), channelKeys_[c].end());
    }
    g.channels_ = std::move(channels_);
    g.programmes_ = std::move(programmes_);
    g.poolSize_ = (chunks_.size() - 1) * uint64_t{GuideIndex::ChunkSize} + used_;
    g.block_.reset();
    g.chunks_.clear();
    for (auto& chunk : chunks_) g.chunks_.push_back(chunk.get());
    g.ownedChunks_ = std::move(chunks_);
    g.BuildLookups();

    channels_.clear();
    channelKeys_.clear();
    byId_.clear();
    programmes_.clear();
    chunks_.clear();
    NewChunk();
    table_.assign(1024, 0);
    tableUsed_ = 0;
    return index;
}

std::shared_ptr<GuideIndex> MergeGuides(const std::vector<std::shared_ptr<const GuideIndex>>& sources,
                                        const GuideInfo& info) {
    GuideBuilder b(info);
    for (const auto& s : sources) {
        for (int32_t c = 0; c < s->ChannelCount(); ++c) {
            const GuideChannel& ch = s->Channel(c);
            const int32_t m = b.AddChannel(s->Text(ch.id));
            b.SetName(m, s->Text(ch.name));
            b.SetIcon(m, s->Text(ch.icon));
            for (uint32_t k = 0; k < ch.keyCount; ++k) b.AddKey(m, s->Key(c, k));
        }
    }
    // The builder keeps the last of programmes starting together: the first source goes last.
    for (auto it = sources.rbegin(); it != sources.rend(); ++it) {
        const GuideIndex& s = **it;
        for (int32_t c = 0; c < s.ChannelCount(); ++c) {
            const int32_t m = b.FindChannel(s.Text(s.Channel(c).id));
            for (const GuideProgramme& p : s.Programmes(c)) {
                GuideProgramme q = p;
                q.channel = static_cast<uint32_t>(m);
                q.title = b.Intern(s.Text(p.title));
                q.subTitle = b.Intern(s.Text(p.subTitle));
                q.desc = b.Intern(s.Text(p.desc));
                q.category = b.Intern(s.Text(p.category));
                q.episode = b.Intern(s.Text(p.episode));
                b.AddProgramme(q);
            }
        }
    }
    return b.Finish();
}

}  // namespace castora
