#include "catalogue/GuideMatch.h"

#include <algorithm>
#include <array>
#include <limits>

#include "catalogue/Playlist.h"
#include "catalogue/Search.h"

namespace castora {

namespace {

// Letters and digits of Windows-1251 once folded; everything else (blanks, punctuation, symbols) is left
// out of a key.
const std::array<bool, 256> KeyBytes = [] {
    std::array<bool, 256> keep{};
    for (int c = '0'; c <= '9'; ++c) keep[c] = true;
    for (int c = 'a'; c <= 'z'; ++c) keep[c] = true;
    for (int c = 'A'; c <= 'Z'; ++c) keep[c] = true;
    for (int c = 0xC0; c <= 0xFF; ++c) keep[c] = true;
    for (int c : {0x80, 0x81, 0x83, 0x8A, 0x8C, 0x8D, 0x8E, 0x8F, 0x90, 0x9A, 0x9C, 0x9D, 0x9E, 0x9F, 0xA1,
                  0xA2, 0xA3, 0xA5, 0xA8, 0xAA, 0xAF, 0xB2, 0xB3, 0xB4, 0xB8, 0xBA, 0xBC, 0xBD, 0xBE, 0xBF})
        keep[c] = true;
    return keep;
}();

uint64_t IdHash(std::string_view id) {
    char buffer[256];
    if (id.size() > sizeof buffer) id = id.substr(0, sizeof buffer);
    for (size_t i = 0; i < id.size(); ++i)
        buffer[i] = id[i] >= 'A' && id[i] <= 'Z' ? static_cast<char>(id[i] + 32) : id[i];
    return GuideHash({buffer, id.size()}, 1);
}

uint64_t KeyHash(std::string_view key) { return GuideHash(key, 2); }

bool Has(const std::vector<uint64_t>& sorted, uint64_t h) {
    return std::binary_search(sorted.begin(), sorted.end(), h);
}

void SortUnique(std::vector<uint64_t>& v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    v.shrink_to_fit();
}

}  // namespace

void GuideNameKeyInto(std::string_view cp1251, std::string& key) {
    key.clear();
    for (char c : cp1251) {
        const unsigned char f = FoldByte(static_cast<unsigned char>(c));
        if (KeyBytes[f]) key.push_back(static_cast<char>(f));
    }
}

std::string GuideNameKey(std::string_view cp1251) {
    std::string key;
    GuideNameKeyInto(cp1251, key);
    return key;
}

std::string GuideNameKeyUtf8(std::string_view utf8) {
    // ASCII needs no spelling, and most guide names are ASCII.
    if (std::all_of(utf8.begin(), utf8.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return GuideNameKey(utf8);
    return GuideNameKey(ToRecordText(utf8));
}

GuideWanted GuideWanted::Of(int32_t count, const GuideKeysAt& keysAt) {
    GuideWanted w;
    w.everything_ = false;
    std::string key;
    for (int32_t r = 1; r <= count; ++r) {
        const GuideChannelKeys k = keysAt(r);
        if (!k.manual.empty()) w.ids_.push_back(IdHash(k.manual));
        if (!k.tvgId.empty()) w.ids_.push_back(IdHash(k.tvgId));
        for (std::string_view name : {k.tvgName, k.name}) {
            GuideNameKeyInto(name, key);
            if (!key.empty()) w.names_.push_back(KeyHash(key));
        }
    }
    SortUnique(w.ids_);
    SortUnique(w.names_);
    uint64_t stamp = GuideHash({reinterpret_cast<const char*>(w.ids_.data()), w.ids_.size() * 8}, 3);
    w.stamp_ = GuideHash({reinterpret_cast<const char*>(w.names_.data()), w.names_.size() * 8}, stamp);
    return w;
}

bool GuideWanted::WantsId(std::string_view id) const { return everything_ || (!id.empty() && Has(ids_, IdHash(id))); }

bool GuideWanted::WantsNameKey(std::string_view key) const {
    return everything_ || (!key.empty() && Has(names_, KeyHash(key)));
}

int32_t MatchGuideChannel(const GuideIndex& index, const GuideChannelKeys& keys, std::string& scratch) {
    // A choice the user made stays only while the guide has that channel.
    for (std::string_view id : {keys.manual, keys.tvgId}) {
        if (id.empty()) continue;
        const int32_t c = index.FindId(id);
        if (c >= 0) return c;
    }
    for (std::string_view name : {keys.tvgName, keys.name}) {
        if (name.empty()) continue;
        GuideNameKeyInto(name, scratch);
        const int32_t c = index.FindNameKey(scratch);
        if (c >= 0) return c;
    }
    return -1;
}

GuideLookup::GuideLookup(std::shared_ptr<const GuideIndex> index, int32_t count, const GuideKeysAt& keysAt,
                         int32_t globalShift)
    : index_(std::move(index)) {
    channel_.assign(static_cast<size_t>(count) + 1, -1);
    shift_.assign(static_cast<size_t>(count) + 1, 0);
    if (!index_ || index_->ChannelCount() == 0) return;
    std::string scratch;
    for (int32_t r = 1; r <= count; ++r) {
        const GuideChannelKeys k = keysAt(r);
        const int32_t c = MatchGuideChannel(*index_, k, scratch);
        channel_[r] = c;
        shift_[r] = k.shift + globalShift;
        matched_ += c >= 0;
    }
}

GuideShow GuideLookup::Show(const GuideProgramme* p, int32_t shift) const {
    GuideShow s;
    if (!p) return s;
    s.programme = p;
    s.start = p->start + shift;
    s.stop = p->stop + shift;
    s.title = index_->Text(p->title);
    s.subTitle = index_->Text(p->subTitle);
    s.desc = index_->Text(p->desc);
    s.category = index_->Text(p->category);
    s.episode = index_->Text(p->episode);
    return s;
}

GuideShow GuideLookup::OnAir(int32_t record, int64_t t) const {
    const int32_t c = ChannelOf(record);
    if (c < 0) return {};
    return Show(index_->OnAir(c, t - shift_[record]), shift_[record]);
}

GuideShow GuideLookup::Next(int32_t record, int64_t t) const {
    const int32_t c = ChannelOf(record);
    if (c < 0) return {};
    return Show(index_->After(c, t - shift_[record]), shift_[record]);
}

std::vector<GuideShow> GuideLookup::Between(int32_t record, int64_t from, int64_t to) const {
    std::vector<GuideShow> out;
    const int32_t c = ChannelOf(record);
    if (c < 0) return out;
    const int32_t s = shift_[record];
    for (const GuideProgramme& p : index_->Between(c, from - s, to - s)) out.push_back(Show(&p, s));
    return out;
}

std::string_view GuideLookup::NowTitle(int32_t record, int64_t t) const {
    const int32_t c = ChannelOf(record);
    if (c < 0) return {};
    const GuideProgramme* p = index_->OnAir(c, t - shift_[record]);
    return p ? index_->Text(p->title) : std::string_view();
}

int64_t GuideLookup::NowTitles(const std::vector<int32_t>& records, int64_t t,
                               std::vector<std::string_view>& titles) const {
    titles.assign(records.size(), std::string_view());
    int64_t next = std::numeric_limits<int64_t>::max();
    if (!index_ || index_->ChannelCount() == 0) return next;
    // One search per guide channel and shift: the programme on air and when the channel changes next.
    struct OnAir {
        const GuideProgramme* programme = nullptr;
        int64_t change = std::numeric_limits<int64_t>::max();
    };
    const auto search = [this](int32_t c, int64_t at) {
        OnAir found;
        const auto list = index_->Programmes(c);
        auto it = std::upper_bound(list.begin(), list.end(), at,
                                   [](int64_t v, const GuideProgramme& p) { return v < p.start; });
        if (it != list.end()) found.change = it->start;
        if (it != list.begin() && std::prev(it)->stop > at) {
            found.programme = &*std::prev(it);
            found.change = found.programme->stop;
        }
        return found;
    };
    std::vector<OnAir> unshifted(static_cast<size_t>(index_->ChannelCount()));
    std::vector<bool> known(unshifted.size(), false);
    for (size_t i = 0; i < records.size(); ++i) {
        const int32_t r = records[i];
        const int32_t c = ChannelOf(r);
        if (c < 0) continue;
        OnAir found;
        if (shift_[r] == 0) {
            if (!known[c]) {
                unshifted[c] = search(c, t);
                known[c] = true;
            }
            found = unshifted[c];
        } else {
            found = search(c, t - shift_[r]);
            if (found.change != std::numeric_limits<int64_t>::max()) found.change += shift_[r];
        }
        if (found.programme) titles[i] = index_->Text(found.programme->title);
        next = std::min(next, found.change);
    }
    return next;
}

std::vector<std::string> SplitGuideUrls(std::string_view attribute) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i <= attribute.size()) {
        size_t comma = attribute.find(',', i);
        if (comma == std::string_view::npos) comma = attribute.size();
        std::string_view part = attribute.substr(i, comma - i);
        while (!part.empty() && static_cast<unsigned char>(part.front()) <= ' ') part.remove_prefix(1);
        while (!part.empty() && static_cast<unsigned char>(part.back()) <= ' ') part.remove_suffix(1);
        if (!part.empty() && std::find(out.begin(), out.end(), part) == out.end()) out.emplace_back(part);
        i = comma + 1;
    }
    return out;
}

}  // namespace castora
