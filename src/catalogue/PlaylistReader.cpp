#include "catalogue/PlaylistReader.h"

#include <algorithm>
#include <filesystem>
#include <map>

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

// Text of the playlist as UTF-8, from any of the encodings playlists come in.
std::string DecodeText(std::string_view b) {
    if (b.starts_with("\xEF\xBB\xBF")) b.remove_prefix(3);
    else if (b.starts_with("\xFF\xFE")) return Utf16ToUtf8(b.substr(2), false);
    else if (b.starts_with("\xFE\xFF")) return Utf16ToUtf8(b.substr(2), true);
    if (IsValidUtf8(b)) return std::string(b);
    return Cp1251ToUtf8(b);
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

struct Pending {
    bool any = false;
    std::string title, tvgName, group, country, userAgent, referrer;
    bool radio = false;
};

class Reader {
public:
    Reader(std::string_view location, bool fromUrl) : location_(location), fromUrl_(fromUrl) {}

    // Adds one address line with what the lines before it said about it.
    void Add(std::string_view line, const Pending& info) {
        std::string url = Resolve(line);
        if (url.empty()) {
            ++out.unusable;
            return;
        }
        HeaderSuffix parts = SplitHeaderSuffix(url);
        const auto has = [&](std::string_view name) {
            return std::any_of(parts.headers.begin(), parts.headers.end(),
                               [&](const auto& h) { return EqualNoCase(h.first, name); });
        };
        // A header value with control bytes could break the request head: such a header is left out.
        if (!info.userAgent.empty() && !HasControl(info.userAgent) && !has("User-Agent"))
            parts.headers.emplace_back("User-Agent", info.userAgent);
        if (!info.referrer.empty() && !HasControl(info.referrer) && !has("Referer"))
            parts.headers.emplace_back("Referer", info.referrer);
        PlaylistEntry e;
        e.url = JoinHeaderSuffix(parts);
        e.title = info.title;
        e.tvgName = info.tvgName;
        e.group = std::string(FirstValue(info.group));
        e.country = std::string(FirstValue(info.country));
        e.radio = info.radio;
        out.entries.push_back(std::move(e));
    }

    Playlist out;

private:
    // The absolute address of an entry line, empty when the player could not open it.
    std::string Resolve(std::string_view line) {
        // Only a header suffix is cut off: any other "|" belongs to the address.
        const HeaderSuffix parts = SplitHeaderSuffix(line);
        const std::string_view address = TrimLine(line.substr(0, parts.address.size()));
        const std::string_view suffix = parts.headers.empty() ? std::string_view{} : line.substr(parts.address.size());
        if (address.empty() || HasControl(line)) return {};
        std::string resolved;
        if (!SchemeOf(address).empty()) {
            resolved = address;
        } else if (fromUrl_) {
            if (!LooksLikePath(address)) return {};
            resolved = ResolveAgainstUrl(location_, address);
        } else {
            if (!LooksLikePath(address)) return {};
            std::string path(address);
            std::replace(path.begin(), path.end(), '\\', '/');
            if (path[0] == '/') resolved = std::filesystem::path(path).lexically_normal().string();
            else
                resolved =
                    (std::filesystem::absolute(std::filesystem::path(std::string(location_))).parent_path() / path)
                        .lexically_normal()
                        .string();
        }
        if (!IsPlayableAddress(resolved)) return {};
        return resolved + std::string(suffix);
    }

    // Separator and heading lines ("----- Sports -----", ">>> NEWS <<<") are not relative paths.
    static bool LooksLikePath(std::string_view s) {
        const auto c = static_cast<unsigned char>(s[0]);
        const bool start =
            IsAlnum(s[0]) || c >= 0x80 || c == '.' || c == '/' || c == '_' || c == '~' || c == '%' || c == '\\';
        return start && s.find_first_of("./\\") != std::string_view::npos;
    }

    std::string_view location_;
    bool fromUrl_;
};

void ParseExtinf(std::string_view rest, Pending& p) {
    size_t i = 0;
    const auto skipBlanks = [&] {
        while (i < rest.size() && IsBlank(rest[i])) ++i;
    };
    skipBlanks();
    while (i < rest.size() && !IsBlank(rest[i]) && rest[i] != ',') ++i;  // the duration
    for (;;) {
        skipBlanks();
        if (i >= rest.size()) return;
        if (rest[i] == ',') {
            p.title = TrimLine(rest.substr(i + 1));
            return;
        }
        const size_t nameStart = i;
        while (i < rest.size() && rest[i] != '=' && rest[i] != ',' && !IsBlank(rest[i])) ++i;
        const std::string_view name = rest.substr(nameStart, i - nameStart);
        if (i >= rest.size() || rest[i] != '=') continue;
        ++i;
        std::string_view value;
        if (i < rest.size() && rest[i] == '"') {
            const size_t close = rest.find('"', i + 1);
            if (close == std::string_view::npos) return;  // unterminated: no title can follow
            value = rest.substr(i + 1, close - i - 1);
            i = close + 1;
        } else {
            const size_t start = i;
            while (i < rest.size() && rest[i] != ',' && !IsBlank(rest[i])) ++i;
            value = rest.substr(start, i - start);
        }
        value = TrimLine(value);
        const auto is = [&](std::string_view known) { return EqualNoCase(name, known); };
        if (is("tvg-name")) p.tvgName = value;
        else if (is("group-title")) p.group = value;
        else if (is("tvg-country")) p.country = value;
        else if (is("radio")) p.radio = EqualNoCase(value, "true");
        else if (is("http-user-agent") || is("user-agent")) p.userAgent = value;
        else if (is("http-referrer") || is("http-referer") || is("referrer") || is("referer")) p.referrer = value;
    }
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

void ReadM3U(std::string_view text, Reader& r, bool& hls, std::string& name) {
    Pending p;
    ForEachLine(text, [&](std::string_view line) {
        if (line.empty()) return true;
        if (line[0] != '#') {
            r.Add(line, p);
            p = Pending{};
            return true;
        }
        if (StartsWithNoCase(line, "#EXTINF:")) {
            p = Pending{};
            ParseExtinf(line.substr(8), p);
        } else if (StartsWithNoCase(line, "#EXTGRP:")) {
            if (p.group.empty()) p.group = TrimLine(line.substr(8));
        } else if (StartsWithNoCase(line, "#EXTVLCOPT:")) {
            const std::string_view opt = TrimLine(line.substr(11));
            if (StartsWithNoCase(opt, "http-user-agent=")) p.userAgent = TrimLine(opt.substr(16));
            else if (StartsWithNoCase(opt, "http-referrer=")) p.referrer = TrimLine(opt.substr(14));
        } else if (StartsWithNoCase(line, "#PLAYLIST:")) {
            if (name.empty()) name = TrimLine(line.substr(10));
        } else if (StartsWithNoCase(line, "#EXT-X-TARGETDURATION") || StartsWithNoCase(line, "#EXT-X-MEDIA-SEQUENCE") ||
                   StartsWithNoCase(line, "#EXT-X-STREAM-INF")) {
            hls = true;
        }
        return true;
    });
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
    const std::string text = DecodeText(bytes);
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
    else ReadM3U(text, reader, hls, name);

    out.name = name.empty() ? PlaylistNameFrom(location, fromUrl) : name;
    if (hls) {
        out.entries.clear();
        out.unusable = 0;
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
