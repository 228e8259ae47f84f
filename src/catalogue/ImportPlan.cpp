#include "catalogue/ImportPlan.h"

#include <algorithm>
#include <functional>
#include <thread>
#include <type_traits>
#include <unordered_map>

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include "catalogue/PlaylistAddress.h"
#include "catalogue/Text.h"

namespace castora {

namespace {

// Groups of names that mean one country; the first entry of a group is how the region data spells it.
const std::vector<std::vector<std::string_view>>& CountryAliases() {
    static const std::vector<std::vector<std::string_view>> groups = {
        {"Russia", "Russian Federation", "RF"},
        {"United States", "USA", "US", "United States of America", "America"},
        {"United Kingdom", "UK", "Great Britain", "Britain", "England"},
        {"South Korea", "Korea", "Korea, Republic of", "Republic of Korea"},
        {"North Korea", "Korea, Democratic People's Republic of", "DPRK"},
        {"Czechia", "Czech Republic"},
        {"Vietnam", "Viet Nam"},
        {"Iran", "Iran, Islamic Republic of"},
        {"Moldova", "Republic of Moldova", "Moldova, Republic of"},
        {"Syria", "Syrian Arab Republic"},
        {"Türkiye", "Turkey"},
        {"North Macedonia", "Macedonia"},
        {"Netherlands", "Holland", "The Netherlands"},
        {"United Arab Emirates", "UAE"},
        {"Bosnia & Herzegovina", "Bosnia and Herzegovina"},
        {"International", "INT", "Worldwide", "World"},
    };
    return groups;
}

std::string EnglishCountryName(std::string_view code) {
    std::string upper = UpperAscii(code);
    if (upper == "UK") upper = "GB";
    if (upper.size() != 2) return {};
    const icu::Locale region("", upper.c_str());
    icu::UnicodeString name;
    region.getDisplayCountry(icu::Locale::getEnglish(), name);
    std::string out;
    name.toUTF8String(out);
    return out == upper ? std::string() : out;
}

// Every folded spelling of a country (names, aliases) -> its ISO code.
const std::unordered_map<std::string, std::string>& IsoCodes() {
    static const std::unordered_map<std::string, std::string> codes = [] {
        std::unordered_map<std::string, std::string> m;
        for (const char* const* c = icu::Locale::getISOCountries(); *c; ++c) {
            const std::string name = EnglishCountryName(*c);
            if (!name.empty()) m.emplace(FoldUtf8(name), *c);
            m.emplace(FoldUtf8(*c), *c);
        }
        m.emplace("int", "INT");
        for (const auto& group : CountryAliases()) {
            auto it = m.end();
            for (size_t k = 0; k < group.size() && it == m.end(); ++k) it = m.find(FoldUtf8(group[k]));
            if (it == m.end()) continue;
            const std::string code = it->second;
            for (std::string_view alias : group) m.emplace(FoldUtf8(alias), code);
        }
        return m;
    }();
    return codes;
}

std::unordered_map<std::string, int32_t> IndexOf(const LookupList& list) {
    std::unordered_map<std::string, int32_t> index;
    for (size_t k = 1; k < list.size(); ++k) index.emplace(FoldUtf8(Cp1251ToUtf8(list[k])), static_cast<int32_t>(k));
    return index;
}

class CountryMatcher {
public:
    explicit CountryMatcher(const LookupList& countries) : index_(IndexOf(countries)) {}

    int32_t Match(std::string_view raw) {
        const std::string_view value = FirstValue(raw);
        if (value.empty()) return 0;
        auto cached = cache_.find(std::string(value));
        if (cached != cache_.end()) return cached->second;
        int32_t code = 0;
        std::vector<std::string> names = {FoldUtf8(value)};
        if (value.size() <= 3) {
            const std::string english = EnglishCountryName(value);
            if (!english.empty()) names.push_back(FoldUtf8(english));
        }
        for (size_t n = 0, count = names.size(); n < count; ++n)
            for (const auto& group : CountryAliases())
                if (std::any_of(group.begin(), group.end(),
                                [&](std::string_view a) { return FoldUtf8(a) == names[n]; }))
                    for (std::string_view a : group) names.push_back(FoldUtf8(a));
        for (const std::string& name : names) {
            auto it = index_.find(name);
            if (it != index_.end()) {
                code = it->second;
                break;
            }
        }
        cache_.emplace(std::string(value), code);
        return code;
    }

private:
    std::unordered_map<std::string, int32_t> index_;
    std::unordered_map<std::string, int32_t> cache_;
};

class GenreMatcher {
public:
    explicit GenreMatcher(const LookupList& genres) : index_(IndexOf(genres)) {}
    int32_t Match(std::string_view group) {
        if (group.empty()) return 0;
        auto cached = cache_.find(std::string(group));
        if (cached != cache_.end()) return cached->second;
        // Matched as the record will keep it: a group kept in the comments must not name a genre on its way
        // back in.
        auto it = index_.find(FoldUtf8(Cp1251ToUtf8(ToRecordText(group))));
        const int32_t code = it == index_.end() ? 0 : it->second;
        cache_.emplace(std::string(group), code);
        return code;
    }

private:
    std::unordered_map<std::string, int32_t> index_;
    std::unordered_map<std::string, int32_t> cache_;
};

int32_t SourceContaining(const LookupList& sources, std::string_view word) {
    for (size_t k = 1; k < sources.size(); ++k)
        if (FoldUtf8(Cp1251ToUtf8(sources[k])).find(word) != std::string::npos) return static_cast<int32_t>(k);
    return 0;
}

// ASCII stays, except `escape`; everything else becomes %XX of its UTF-8 bytes.
std::string PercentEncoded(std::string_view utf8, std::string_view escape) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x80 && escape.find(c) == std::string_view::npos) out.push_back(c);
        else ((out += '%') += hex[u >> 4]) += hex[u & 15];
    }
    return out;
}

// Windows-1251 bytes for an address: as they are when Windows-1251 holds every character, otherwise
// with the characters it lacks percent-encoded, which every server reads as the same UTF-8 path.
// Header values are text, not addresses: they are spelt in Latin letters instead.
std::string RecordUrl(std::string_view utf8) {
    std::string out;
    if (Utf8ToCp1251(utf8, out)) return out;
    const HeaderSuffix parts = SplitHeaderSuffix(utf8);
    const std::string_view address = parts.address;
    if (Utf8ToCp1251(address, out)) {
    } else if (!address.empty() && address[0] == '/') {
        out = "file://" + PercentEncoded(address, "%#?");
    } else {
        out = PercentEncoded(address, "");
    }
    for (size_t i = 0; i < parts.headers.size(); ++i)
        (((out += i == 0 ? '|' : '&') += ToRecordText(parts.headers[i].first)) += '=') +=
            ToRecordText(parts.headers[i].second);
    return out;
}

// The records' URLs by open addressing, at most half full: a node-based set for a hundred thousand URLs
// made the duplicate check the largest part of a plan.
class RecordUrls {
public:
    RecordUrls(const std::vector<TChannelRec>& records, size_t most) : records_(records) {
        size_t size = 16;
        while (size < most * 2) size <<= 1;
        slots_.assign(size, -1);
        mask_ = size - 1;
    }
    static size_t Hash(std::string_view url) { return std::hash<std::string_view>{}(url); }
    // The index of the record with this URL, -1 when there is none.
    int32_t Find(std::string_view url, size_t hash) const {
        for (size_t at = hash & mask_;; at = (at + 1) & mask_) {
            const int32_t index = slots_[at];
            if (index < 0 || records_[static_cast<size_t>(index)].Url == url) return index;
        }
    }
    // Adds records[index], whose URL is not in the set yet.
    void Add(int32_t index, size_t hash) {
        size_t at = hash & mask_;
        while (slots_[at] >= 0) at = (at + 1) & mask_;
        slots_[at] = index;
    }

private:
    const std::vector<TChannelRec>& records_;
    std::vector<int32_t> slots_;
    size_t mask_ = 0;
};

constexpr std::string_view GroupPrefix = "Group: ";
constexpr std::string_view GroupSeparator = "; ";

std::string CutName(std::string name) {
    // One byte per character in Windows-1251, so any byte count is a character boundary.
    if (name.size() > NameLimit) name.resize(NameLimit);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    return name;
}

}  // namespace

namespace {

// The groups of a comment's text, each once: a group that itself holds the separator reads back as
// several, so it is taken as several from the start.
void SplitGroups(std::string_view text, std::vector<std::string>& groups) {
    while (!text.empty()) {
        const size_t cut = text.find(GroupSeparator);
        const std::string_view group = Trim(text.substr(0, cut));
        if (!group.empty() && std::find(groups.begin(), groups.end(), group) == groups.end())
            groups.emplace_back(group);
        if (cut == std::string_view::npos) break;
        text.remove_prefix(cut + GroupSeparator.size());
    }
}

}  // namespace

std::string GroupComment(const std::vector<std::string>& utf8Groups) {
    std::vector<std::string> groups;
    for (const std::string& group : utf8Groups) SplitGroups(ToRecordText(group), groups);
    std::string out;
    for (const std::string& group : groups) (out += out.empty() ? GroupPrefix : GroupSeparator) += group;
    return out;
}

std::vector<std::string> CommentGroups(std::string_view comments) {
    std::vector<std::string> groups;
    if (comments.starts_with(GroupPrefix)) SplitGroups(comments.substr(GroupPrefix.size()), groups);
    for (std::string& group : groups) group = Cp1251ToUtf8(group);
    return groups;
}

int32_t MatchCountry(std::string_view value, const LookupList& countries) {
    return CountryMatcher(countries).Match(value);
}

std::string CountryIsoCode(std::string_view cp1251Name) {
    const auto& codes = IsoCodes();
    auto it = codes.find(FoldUtf8(Cp1251ToUtf8(cp1251Name)));
    return it == codes.end() ? std::string() : it->second;
}

namespace {

// The record of each of entries[begin, end), into the same places of records and info. Entries that
// are not const give their tvg texts up rather than have them copied.
template <class Entries>
void MakeRecords(Entries& entries, size_t begin, size_t end, const LookupList& countries, const LookupList& genres,
                 int32_t radio, std::vector<TChannelRec>& records, std::vector<ImportedChannelInfo>& info) {
    CountryMatcher country(countries);
    GenreMatcher genre(genres);
    for (size_t i = begin; i < end; ++i) {
        auto& e = entries[i];
        TChannelRec& rec = records[i];
        rec.Format = 1;
        rec.IsLocal = true;
        rec.Url = RecordUrl(e.url);
        for (const std::string* text : {&e.title, &e.tvgName}) {
            if (text->empty()) continue;
            rec.Name = CutName(ToRecordText(*text));
            if (!rec.Name.empty()) break;
        }
        if (rec.Name.empty()) rec.Name = CutName(ToRecordText(ShortName(e.url)));
        if (rec.Name.empty()) rec.Name = CutName(ToRecordText(SplitHeaderSuffix(e.url).address));
        rec.Source = e.radio ? radio : 0;
        rec.Country = country.Match(e.country);
        // The first group that names a genre gives it; the others stay in the comments.
        std::vector<std::string> others;
        for (const std::string& group : e.groups) {
            const int32_t code = rec.Genre == 0 ? genre.Match(group) : 0;
            if (code != 0) rec.Genre = code;
            else others.push_back(group);
        }
        if (!others.empty()) rec.Comments = GroupComment(others);
        if constexpr (std::is_const_v<Entries>) info[i] = {e.tvgId, e.tvgName, e.tvgLogo, e.tvgShift};
        else info[i] = {std::move(e.tvgId), std::move(e.tvgName), std::move(e.tvgLogo), std::move(e.tvgShift)};
    }
}

// Below this many entries a second thread costs more than it saves.
constexpr size_t ParallelEntries = 20000;

template <class Entries>
ImportPlan Prepare(const Playlist& playlist, Entries& entries, const LookupList& sources, const LookupList& countries,
                   const LookupList& genres) {
    ImportPlan plan;
    plan.name = playlist.name;
    plan.unusable = playlist.unusable;
    plan.guideUrls = playlist.guideUrls;
    const int32_t radio = SourceContaining(sources, "radio");
    const int32_t tv = SourceContaining(sources, "tv");
    const auto radioEntries =
        std::count_if(playlist.entries.begin(), playlist.entries.end(), [](const PlaylistEntry& e) { return e.radio; });
    const bool radioList = playlist.pls || radioEntries * 2 > static_cast<long>(playlist.entries.size());
    plan.source = radioList ? radio : tv;

    // A big playlist is turned into records on two threads, a half each: names take most of the time.
    const size_t count = entries.size();
    plan.records.resize(count);
    plan.info.resize(count);
    const size_t half = count >= ParallelEntries ? count / 2 : count;
    std::thread second;
    if (half < count)
        second =
            std::thread([&] { MakeRecords(entries, half, count, countries, genres, radio, plan.records, plan.info); });
    MakeRecords(entries, 0, half, countries, genres, radio, plan.records, plan.info);
    if (second.joinable()) second.join();

    // An address named again later in the playlist is the same channel.
    RecordUrls seen(plan.records, count);
    size_t kept = 0;
    for (size_t i = 0; i < count; ++i) {
        const size_t hash = RecordUrls::Hash(plan.records[i].Url);
        if (seen.Find(plan.records[i].Url, hash) >= 0) continue;
        if (kept != i) {
            plan.records[kept] = std::move(plan.records[i]);
            plan.info[kept] = std::move(plan.info[i]);
        }
        seen.Add(static_cast<int32_t>(kept++), hash);
    }
    plan.duplicates = static_cast<int32_t>(count - kept);
    plan.records.resize(kept);
    plan.info.resize(kept);
    return plan;
}

}  // namespace

ImportPlan PrepareImport(const Playlist& playlist, const LookupList& sources, const LookupList& countries,
                         const LookupList& genres) {
    return Prepare(playlist, playlist.entries, sources, countries, genres);
}

ImportPlan PrepareImport(Playlist&& playlist, const LookupList& sources, const LookupList& countries,
                         const LookupList& genres) {
    return Prepare(playlist, playlist.entries, sources, countries, genres);
}

void DropKnown(ImportPlan& plan, const ChannelTable& table, const std::filesystem::path& listDir) {
    RecordUrls planned(plan.records, plan.records.size());
    for (size_t i = 0; i < plan.records.size(); ++i)
        planned.Add(static_cast<int32_t>(i), RecordUrls::Hash(plan.records[i].Url));
    std::vector<char> known(plan.records.size());
    const auto mark = [&](std::string_view url) {
        const int32_t index = planned.Find(url, RecordUrls::Hash(url));
        if (index >= 0) known[static_cast<size_t>(index)] = 1;
    };
    std::filesystem::path dir;
    for (int32_t i = 1; i <= table.ChannelCount; ++i) {
        const std::string_view url = table.Channels[i].Url;
        mark(url);
        // A file address is also known by the absolute path an import of it would store, which is how an
        // export writes it: "tone.wav" in the list directory and "/that/dir/tone.wav" are one channel.
        if (url.empty() || !SchemeOf(url).empty()) continue;
        if (dir.empty()) dir = AbsoluteDirectory(listDir);
        mark(RecordUrl(AbsoluteAddress(Cp1251ToUtf8(url), dir)));
    }
    size_t kept = 0;
    for (size_t i = 0; i < plan.records.size(); ++i) {
        if (known[i]) continue;
        if (kept != i) {
            plan.records[kept] = std::move(plan.records[i]);
            plan.info[kept] = std::move(plan.info[i]);
        }
        ++kept;
    }
    plan.duplicates += static_cast<int32_t>(plan.records.size() - kept);
    plan.records.resize(kept);
    plan.info.resize(kept);
}

ImportPlan PlanImport(const Playlist& playlist, const ChannelTable& table, const LookupList& sources,
                      const LookupList& countries, const LookupList& genres, const std::filesystem::path& listDir) {
    ImportPlan plan = PrepareImport(playlist, sources, countries, genres);
    DropKnown(plan, table, listDir);
    return plan;
}

void ApplySource(std::vector<TChannelRec>& records, int32_t source) {
    for (TChannelRec& rec : records)
        if (rec.Source == 0) rec.Source = source;
}

}  // namespace castora
