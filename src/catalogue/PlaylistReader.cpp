#include "catalogue/PlaylistReader.h"

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <map>
#include <thread>

#include "catalogue/PlaylistAddress.h"
#include "catalogue/Text.h"

namespace castora {

namespace {

// Playlists are indented with blanks, tabs and the odd form feed.
std::string_view TrimLine(std::string_view s) { return Trim(s, " \t\f"); }

std::string PlaylistNameFrom(std::string_view location, bool fromUrl) {
    if (!fromUrl) return std::filesystem::path(std::string(location)).stem().string();
    std::string name = ShortName(location);
    const size_t slash = name.rfind('/');
    if (slash != std::string::npos) name = name.substr(slash + 1);
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0 && location.find("://") != std::string_view::npos &&
        ShortName(location).find('/') != std::string::npos)
        name.resize(dot);
    return name;
}

// Text of the playlist as UTF-8, from any of the encodings playlists come in. Bytes that are UTF-8
// already are used where they lie (`converted` stays empty): a provider's list is tens of megabytes.
std::string_view DecodeText(std::string_view b, std::string& converted) {
    if (b.starts_with("\xEF\xBB\xBF")) b.remove_prefix(3);
    else if (b.starts_with("\xFF\xFE")) return converted = Utf16ToUtf8(b.substr(2), false);
    else if (b.starts_with("\xFE\xFF")) return converted = Utf16ToUtf8(b.substr(2), true);
    if (IsValidUtf8(b)) return b;
    return converted = Cp1251ToUtf8(b);
}

// Why the bytes cannot be a playlist, empty when they may be one.
std::string NotAPlaylist(std::string_view raw, std::string_view text) {
    if (raw.starts_with("PK\x03\x04") || raw.starts_with("PK\x05\x06"))
        return "This file is a ZIP archive, not a playlist.";
    const std::string_view head = text.substr(0, 65536);
    size_t controls = 0;
    for (char c : head) {
        const auto u = static_cast<unsigned char>(c);
        if (u == 0) return "This file holds binary data, not a playlist.";
        if ((u < 0x20 && c != '\t' && c != '\r' && c != '\n' && c != '\f') || u == 0x7F) ++controls;
    }
    if (controls * 100 > head.size()) return "This file holds binary data, not a playlist.";
    const std::string start = LowerAscii(TrimLine(head.substr(0, 1024)));
    if (start.starts_with("<") && (start.find("<html") != std::string::npos || start.starts_with("<!doctype")))
        return "This is a web page, not a playlist.";
    if (TrimLine(text).find_first_not_of("\r\n\t\f ") == std::string_view::npos) return "The playlist is empty.";
    return {};
}

// Without one pair of surrounding double quotes, as players take an option value, and without the
// blanks on either side, inside the quotes or out: a line end would lose them on the way back in.
std::string_view Unquote(std::string_view v) {
    v = TrimLine(v);
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = TrimLine(v.substr(1, v.size() - 2));
    return v;
}

// Separator and heading lines between entries ("===== Sports =====", "------ News ------", ">>> NEWS <<<"):
// a run of decoration, and no path in them.
bool IsHeading(std::string_view line) {
    constexpr std::string_view decoration = "-=*~+<>_|";
    const size_t run = line.find_first_not_of(decoration);
    return (run == std::string_view::npos ? line.size() : run) >= 3 && line.find('/') == std::string_view::npos;
}

void AddOnce(std::vector<std::string>& list, std::string_view value) {
    if (!value.empty() && std::find(list.begin(), list.end(), value) == list.end()) list.emplace_back(value);
}

// What the lines before an address said about it.
struct Pending {
    std::string title, tvgId, tvgName, tvgLogo, tvgShift, country, userAgent, referrer;
    std::string groupTitle;
    std::vector<std::string> extGroups;
    bool radio = false;
};

class Reader {
public:
    Reader(std::string_view location, bool fromUrl) : location_(location), fromUrl_(fromUrl) {}

    // Adds one address line with what the lines before it said about it, which it takes.
    void Add(std::string_view line, Pending& info) {
        if (line.size() > AddressLimit) return Unusable();
        // Only a header suffix is cut off: any other "|" belongs to the address.
        HeaderSuffix parts = SplitHeaderSuffix(line);
        parts.address = Resolve(TrimLine(parts.address));
        if (parts.address.empty()) return Unusable();
        if (HasListenOption(parts.address) || (fromUrl_ && !IsRemoteAddress(parts.address))) return Unusable();
        // A header with control bytes could break the request head: it is left out, the channel kept.
        for (auto& [header, value] : parts.headers) value = std::string(Unquote(value));
        std::erase_if(parts.headers,
                      [](const auto& h) { return h.first.empty() || HasControl(h.first) || HasControl(h.second); });
        const auto has = [&](std::string_view name) {
            return std::any_of(parts.headers.begin(), parts.headers.end(),
                               [&](const auto& h) { return EqualNoCase(h.first, name); });
        };
        const std::string_view userAgent = Unquote(info.userAgent), referrer = Unquote(info.referrer);
        if (!userAgent.empty() && !HasControl(userAgent) && !has("User-Agent"))
            parts.headers.emplace_back("User-Agent", userAgent);
        if (!referrer.empty() && !HasControl(referrer) && !has("Referer"))
            parts.headers.emplace_back("Referer", referrer);
        PlaylistEntry e;
        e.url = parts.headers.empty() ? std::move(parts.address) : JoinHeaderSuffix(parts);
        e.title = std::move(info.title);
        e.tvgId = std::move(info.tvgId);
        e.tvgName = std::move(info.tvgName);
        e.tvgLogo = std::move(info.tvgLogo);
        e.tvgShift = std::move(info.tvgShift);
        AddOnce(e.groups, FirstValue(info.groupTitle));
        for (const std::string& g : info.extGroups) AddOnce(e.groups, g);
        e.country = std::string(FirstValue(info.country));
        e.radio = info.radio;
        out.entries.push_back(std::move(e));
    }

    Playlist out;

private:
    void Unusable() { ++out.unusable; }

    // The absolute form of an entry's address, empty when the player could not open it.
    std::string Resolve(std::string_view address) {
        if (address.empty() || HasControl(address)) return {};
        std::string resolved;
        if (!SchemeOf(address).empty()) {
            resolved = address;
        } else if (!LooksLikePath(address)) {
            return {};
        } else if (fromUrl_) {
            resolved = ResolveAgainstUrl(location_, address);
        } else {
            if (baseDir_.empty() && address[0] != '/' && address[0] != '\\')
                baseDir_ = AbsoluteDirectory(std::filesystem::path(std::string(location_))).parent_path();
            resolved = ResolveLocalPath(address, baseDir_);
        }
        if (!IsPlayableAddress(resolved)) return {};
        return resolved;
    }

    // Decorated headings ("----- Sports -----", ">>> NEWS <<<") are not relative paths.
    static bool LooksLikePath(std::string_view s) {
        const auto c = static_cast<unsigned char>(s[0]);
        const bool start =
            IsAlnum(s[0]) || c >= 0x80 || c == '.' || c == '/' || c == '_' || c == '~' || c == '%' || c == '\\';
        return start && s.find_first_of("./\\") != std::string_view::npos;
    }

    std::string_view location_;
    bool fromUrl_;
    std::filesystem::path baseDir_;
};

// Reads `name="value"` and `name=value` attributes from rest[i], calling attribute(name, value) for each.
// Returns the title: the text after the first comma outside quotes, or, when there is no such comma,
// the text after the last attribute.
template <typename F>
std::string_view ReadAttributes(std::string_view rest, size_t i, F&& attribute) {
    const auto skipBlanks = [&] {
        while (i < rest.size() && IsBlank(rest[i])) ++i;
    };
    size_t tail = i;  // where text that is no attribute begins
    for (;;) {
        skipBlanks();
        if (i >= rest.size()) return TrimLine(rest.substr(std::min(tail, rest.size())));
        if (rest[i] == ',') return TrimLine(rest.substr(i + 1));
        const size_t nameStart = i;
        while (i < rest.size() && rest[i] != '=' && rest[i] != ',' && !IsBlank(rest[i])) ++i;
        const std::string_view name = rest.substr(nameStart, i - nameStart);
        if (i >= rest.size() || rest[i] != '=') continue;
        ++i;
        std::string_view value;
        if (i < rest.size() && rest[i] == '"') {
            const size_t close = rest.find('"', i + 1);
            if (close == std::string_view::npos) return {};  // unterminated: no title can follow
            value = rest.substr(i + 1, close - i - 1);
            i = close + 1;
        } else {
            const size_t start = i;
            while (i < rest.size() && rest[i] != ',' && !IsBlank(rest[i])) ++i;
            value = rest.substr(start, i - start);
        }
        attribute(name, TrimLine(value));
        tail = i;
    }
}

// Whether an #EXTINF line describes a channel (a title, tvg-* or group-title) rather than a segment.
bool ParseExtinf(std::string_view rest, Pending& p) {
    size_t i = 0;
    while (i < rest.size() && IsBlank(rest[i])) ++i;
    while (i < rest.size() && !IsBlank(rest[i]) && rest[i] != ',') ++i;  // the duration
    bool described = false;
    p.title = ReadAttributes(rest, i, [&](std::string_view name, std::string_view value) {
        const auto is = [&](std::string_view known) { return EqualNoCase(name, known); };
        described |= StartsWithNoCase(name, "tvg-") || is("group-title");
        // Values with control bytes are no names or addresses a later step could use.
        const auto text = [&](std::string& field) { field = HasControl(value) ? std::string_view{} : value; };
        if (is("tvg-id")) text(p.tvgId);
        else if (is("tvg-name")) p.tvgName = value;
        else if (is("tvg-logo")) text(p.tvgLogo);
        else if (is("tvg-shift")) text(p.tvgShift);
        else if (is("group-title")) p.groupTitle = value;
        else if (is("tvg-country")) p.country = value;
        else if (is("radio")) p.radio = EqualNoCase(value, "true");
        else if (is("http-user-agent") || is("user-agent")) p.userAgent = value;
        else if (is("http-referrer") || is("http-referer") || is("referrer") || is("referer")) p.referrer = value;
    });
    return described || !p.title.empty();
}

// The guides an #EXTM3U header names: several to an attribute, separated by commas.
void ParseHeader(std::string_view rest, std::vector<std::string>& guides) {
    ReadAttributes(rest, 0, [&](std::string_view name, std::string_view value) {
        if (!EqualNoCase(name, "x-tvg-url") && !EqualNoCase(name, "url-tvg") && !EqualNoCase(name, "tvg-url")) return;
        while (!value.empty()) {
            const size_t comma = value.find(',');
            const std::string_view url = TrimLine(value.substr(0, comma));
            if (!HasControl(url)) AddOnce(guides, url);
            if (comma == std::string_view::npos) break;
            value.remove_prefix(comma + 1);
        }
    });
}

template <typename F>
void ForEachLine(std::string_view text, F&& f) {
    size_t i = 0;
    while (i < text.size()) {
        // A plain loop: find_first_of searches its set once per byte, several times slower here.
        size_t end = i;
        while (end < text.size() && text[end] != '\n' && text[end] != '\r') ++end;
        if (!f(TrimLine(text.substr(i, end - i)))) return;
        if (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ++end;
        i = end + 1;
    }
}

// What an M3U text held besides its entries.
struct M3UFacts {
    std::string name;  // #PLAYLIST
    bool segments = false, variants = false, channels = false;
    // The playlist of a single HLS stream: segments, or variant streams and no channel.
    bool Stream() const { return segments || (variants && !channels); }
};

// At most as many entries as the text can hold: an extended list spends at least two lines on one.
size_t MostEntries(std::string_view text) {
    const auto lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    const bool extended = text.substr(0, 4096).find("#EXTINF:") != std::string_view::npos;
    return (extended ? lines / 2 : lines) + 1;
}

void ReadM3U(std::string_view text, Reader& r, M3UFacts& facts) {
    Pending p;
    std::string& name = facts.name;
    bool &segments = facts.segments, &variants = facts.variants, &channels = facts.channels;
    ForEachLine(text, [&](std::string_view line) {
        if (line.empty()) return true;
        if (line[0] != '#') {
            // A heading is no entry: what the lines before it said stays for the address that follows.
            if (IsHeading(line)) return true;
            r.Add(line, p);
            p = Pending{};
            return true;
        }
        if (StartsWithNoCase(line, "#EXTINF:")) {
            p = Pending{};
            channels |= ParseExtinf(line.substr(8), p);
        } else if (StartsWithNoCase(line, "#EXTGRP:")) {
            p.extGroups.emplace_back(TrimLine(line.substr(8)));
        } else if (StartsWithNoCase(line, "#EXTVLCOPT:")) {
            const std::string_view opt = TrimLine(line.substr(11));
            if (StartsWithNoCase(opt, "http-user-agent=")) p.userAgent = TrimLine(opt.substr(16));
            else if (StartsWithNoCase(opt, "http-referrer=")) p.referrer = TrimLine(opt.substr(14));
            else if (StartsWithNoCase(opt, "http-referer=")) p.referrer = TrimLine(opt.substr(13));
        } else if (StartsWithNoCase(line, "#EXTM3U")) {
            ParseHeader(line.substr(7), r.out.guideUrls);
        } else if (StartsWithNoCase(line, "#PLAYLIST:")) {
            if (name.empty()) name = TrimLine(line.substr(10));
        } else if (StartsWithNoCase(line, "#EXT-X-TARGETDURATION") || StartsWithNoCase(line, "#EXT-X-MEDIA-SEQUENCE")) {
            segments = true;
        } else if (StartsWithNoCase(line, "#EXT-X-STREAM-INF")) {
            variants = true;
        }
        return true;
    });
}

// Where a second thread may start reading: the start of an #EXTINF line near the middle, which no line
// before it has anything to say about. npos for a text too small to be worth it.
size_t SplitPoint(std::string_view text) {
    constexpr size_t Worth = 4 << 20;
    if (text.size() < Worth) return std::string_view::npos;
    for (size_t at = text.find("#EXTINF:", text.size() / 2); at != std::string_view::npos;
         at = text.find("#EXTINF:", at + 1))
        if (text[at - 1] == '\n' || text[at - 1] == '\r') return at;
    return std::string_view::npos;
}

// Reads an M3U text, a big one in two halves at once, the second's results following the first's.
bool ReadM3UText(std::string_view text, Reader& reader, std::string& name, std::string_view location, bool fromUrl) {
    // Room for every entry at once, the second half's included: growing towards a hundred thousand moves
    // them all several times. What is not filled is never touched.
    M3UFacts facts;
    const size_t split = SplitPoint(text);
    if (split == std::string_view::npos) {
        reader.out.entries.reserve(MostEntries(text));
        ReadM3U(text, reader, facts);
    } else {
        Reader tail(location, fromUrl);
        M3UFacts tailFacts;
        std::thread second([&] {
            tail.out.entries.reserve(MostEntries(text.substr(split)));
            ReadM3U(text.substr(split), tail, tailFacts);
        });
        reader.out.entries.reserve(MostEntries(text));
        ReadM3U(text.substr(0, split), reader, facts);
        second.join();
        Playlist& out = reader.out;
        std::move(tail.out.entries.begin(), tail.out.entries.end(), std::back_inserter(out.entries));
        out.unusable += tail.out.unusable;
        for (const std::string& url : tail.out.guideUrls) AddOnce(out.guideUrls, url);
        if (facts.name.empty()) facts.name = std::move(tailFacts.name);
        facts.segments |= tailFacts.segments;
        facts.variants |= tailFacts.variants;
        facts.channels |= tailFacts.channels;
    }
    name = std::move(facts.name);
    return facts.Stream();
}

void ReadPls(std::string_view text, Reader& r) {
    std::map<long, std::pair<std::string, std::string>> items;  // number -> file, title
    ForEachLine(text, [&](std::string_view line) {
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos) return true;
        const std::string_view key = TrimLine(line.substr(0, eq));
        const std::string_view value = TrimLine(line.substr(eq + 1));
        const bool file = StartsWithNoCase(key, "file"), title = StartsWithNoCase(key, "title");
        if (!file && !title) return true;
        const std::string_view digits = key.substr(file ? 4 : 5);
        if (digits.empty() || digits.size() > 9 || !std::all_of(digits.begin(), digits.end(), IsDigit)) return true;
        auto& item = items[std::stol(std::string(digits))];
        (file ? item.first : item.second) = value;
        return true;
    });
    for (const auto& [n, item] : items) {
        if (item.first.empty()) continue;
        Pending p;
        p.title = item.second;
        r.Add(item.first, p);
    }
}

}  // namespace

std::string_view FirstValue(std::string_view s) {
    const size_t cut = s.find_first_of(";,");
    return TrimLine(s.substr(0, cut));
}

Playlist ReadPlaylist(std::string_view bytes, std::string_view location, bool fromUrl) {
    std::string converted;
    const std::string_view text = DecodeText(bytes, converted);
    Reader reader(location, fromUrl);
    Playlist& out = reader.out;
    out.error = NotAPlaylist(bytes, text);
    if (!out.error.empty()) return std::move(out);

    std::string name;
    bool hls = false;
    std::string_view first;
    ForEachLine(text, [&](std::string_view line) {
        first = line;
        return first.empty();
    });
    out.pls = EqualNoCase(first, "[playlist]");
    if (out.pls) ReadPls(text, reader);
    else hls = ReadM3UText(text, reader, name, location, fromUrl);

    out.name = name.empty() ? PlaylistNameFrom(location, fromUrl) : name;
    if (hls) {
        out.entries.clear();
        out.unusable = 0;
        out.guideUrls.clear();
        if (!fromUrl) {
            out.error = "This is the playlist of a single stream (HLS), not a list of channels.";
            return std::move(out);
        }
        out.stream = true;
        PlaylistEntry e;
        e.url = location;
        out.entries.push_back(std::move(e));
    }
    if (out.entries.empty()) {
        out.error = out.unusable > 0 ? "The playlist holds no channel that can be played (" +
                                           std::to_string(out.unusable) + " unusable entries)."
                                     : "The playlist holds no channel.";
        return std::move(out);
    }
    out.ok = true;
    return std::move(out);
}

}  // namespace castora
