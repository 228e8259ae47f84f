#include "catalogue/PlaylistAddress.h"

#include <algorithm>
#include <iterator>
#include <system_error>

#include "catalogue/Text.h"

namespace castora {

namespace {

constexpr std::string_view Schemes[] = {"http", "https", "rtmp", "rtmps", "rtmpt", "rtmpe", "rtsp", "rtsps", "rtp",
                                        "udp",  "mms",   "mmsh", "mmst",  "srt",   "ftp",   "file", "tcp"};

// Removes "." and ".." segments of a path that starts with "/".
std::string RemoveDotSegments(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view seg = path.substr(start, end - start);
        const bool last = end == path.size();
        if (seg == "..") {
            if (!parts.empty()) parts.pop_back();
            if (last) parts.push_back({});
        } else if (seg == ".") {
            if (last) parts.push_back({});
        } else {
            parts.push_back(seg);
        }
        start = end + 1;
    }
    std::string out;
    for (std::string_view p : parts) (out += '/') += p;
    return out.empty() ? "/" : out;
}

// Host and query of "scheme://[user@]host[:port][/path][?query]"; the host keeps an IPv6 literal's brackets.
struct Authority {
    std::string_view host, query;
};

Authority AuthorityOf(std::string_view url) {
    Authority out;
    const size_t sep = url.find("://");
    if (sep == std::string_view::npos) return out;
    const size_t start = sep + 3;
    const size_t end = std::min(url.find_first_of("/?#", start), url.size());
    std::string_view hostPort = url.substr(start, end - start);
    const size_t at = hostPort.rfind('@');
    if (at != std::string_view::npos) hostPort.remove_prefix(at + 1);
    if (hostPort.starts_with("[")) {
        out.host = hostPort.substr(0, std::min(hostPort.find(']'), hostPort.size() - 1) + 1);
    } else {
        out.host = hostPort.substr(0, hostPort.find(':'));
    }
    const size_t q = url.find('?', start);
    if (q != std::string_view::npos) out.query = url.substr(q + 1, url.find('#', q) - q - 1);
    return out;
}

// True when the query holds `key`; `value` is then its value (empty when it has none).
bool QueryHas(std::string_view query, std::string_view key, std::string_view& value) {
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const size_t eq = pair.find('=');
        if (EqualNoCase(pair.substr(0, eq), key)) {
            value = eq == std::string_view::npos ? std::string_view{} : pair.substr(eq + 1);
            return true;
        }
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return false;
}

// 224.0.0.0/4 written as four decimal parts, or an IPv6 literal in ff00::/8.
bool IsMulticastHost(std::string_view host) {
    if (host.size() > 3 && host[0] == '[') return EqualNoCase(host.substr(1, 2), "ff");
    int parts = 0, first = -1;
    size_t i = 0;
    while (i < host.size() && parts < 4) {
        int value = 0;
        const size_t start = i;
        while (i < host.size() && IsDigit(host[i]) && i - start < 3) value = value * 10 + (host[i++] - '0');
        if (i == start || value > 255) return false;
        if (first < 0) first = value;
        ++parts;
        if (i < host.size() && host[i] == '.' && parts < 4) ++i;
    }
    return parts == 4 && i == host.size() && first >= 224 && first <= 239;
}

}  // namespace

bool HasListenOption(std::string_view url) {
    const std::string scheme = LowerAscii(SchemeOf(url));
    // A web server's query is the server's: the player reads no option there.
    if (scheme.empty() || scheme == "http" || scheme == "https") return false;
    std::string_view value;
    return QueryHas(AuthorityOf(url).query, "listen", value) && value != "0";
}

bool IsRemoteAddress(std::string_view url) {
    const std::string scheme = LowerAscii(SchemeOf(url));
    if (scheme.empty() || scheme == "file" || HasListenOption(url)) return false;
    const Authority a = AuthorityOf(url);
    if (url.substr(scheme.size(), 3) != "://" || a.host.empty()) return false;
    // Reading udp or rtp binds a local port and takes what anyone sends there, unless it joins a group.
    if (scheme == "udp" || scheme == "rtp") return IsMulticastHost(a.host);
    std::string_view mode;
    if (scheme == "srt" && QueryHas(a.query, "mode", mode))
        return !EqualNoCase(mode, "listener") && !EqualNoCase(mode, "rendezvous");
    return true;
}

std::string_view SchemeOf(std::string_view url) {
    size_t i = 0;
    while (i < url.size() && (IsAlnum(url[i]) || url[i] == '+' || url[i] == '-' || url[i] == '.')) ++i;
    if (i < 2 || i >= url.size() || url[i] != ':' || !IsAlpha(url[0])) return {};
    return url.substr(0, i);
}

bool IsPlayableAddress(std::string_view url) {
    if (url.empty() || HasControl(url)) return false;
    if (url[0] == '/') return true;
    const std::string scheme = LowerAscii(SchemeOf(url));
    // "http://" alone names nothing.
    if (url.find_first_not_of('/', scheme.size() + 1) == std::string_view::npos) return false;
    return std::find(std::begin(Schemes), std::end(Schemes), scheme) != std::end(Schemes);
}

HeaderSuffix SplitHeaderSuffix(std::string_view url) {
    HeaderSuffix out;
    size_t bar = url.find('|');
    // "Name=" where the name reads as a header's ("User-Agent", "referer"), not as a query key ("b").
    const auto isHeaderStart = [&](size_t at) {
        size_t i = at;
        if (i >= url.size() || !IsAlpha(url[i])) return false;
        while (i < url.size() && (IsAlnum(url[i]) || url[i] == '-')) ++i;
        if (i >= url.size() || url[i] != '=') return false;
        const std::string_view name = url.substr(at, i - at);
        static constexpr std::string_view known[] = {"referer", "referrer",      "origin",
                                                     "cookie",  "authorization", "accept"};
        return IsUpper(name[0]) || name.find('-') != std::string_view::npos ||
               std::any_of(std::begin(known), std::end(known),
                           [&](std::string_view k) { return EqualNoCase(k, name); });
    };
    // The first bar that starts a header: an earlier one belongs to the address.
    while (bar != std::string_view::npos && !isHeaderStart(bar + 1)) bar = url.find('|', bar + 1);
    if (bar == std::string_view::npos) {
        out.address = url;
        return out;
    }
    out.address = url.substr(0, bar);
    size_t start = bar + 1;
    while (start < url.size()) {
        // A value may hold "&" (a referrer's query): only "&Name=" starts the next header.
        size_t end = start;
        for (;;) {
            end = url.find('&', end);
            if (end == std::string_view::npos || isHeaderStart(end + 1)) break;
            ++end;
        }
        if (end == std::string_view::npos) end = url.size();
        const std::string_view piece = url.substr(start, end - start);
        const size_t eq = piece.find('=');
        out.headers.emplace_back(std::string(piece.substr(0, eq)), std::string(piece.substr(eq + 1)));
        start = end + 1;
    }
    return out;
}

std::string JoinHeaderSuffix(const HeaderSuffix& parts) {
    std::string out = parts.address;
    for (size_t i = 0; i < parts.headers.size(); ++i)
        (((out += i == 0 ? '|' : '&') += parts.headers[i].first) += '=') += parts.headers[i].second;
    return out;
}

std::string ResolveAgainstUrl(std::string_view base, std::string_view ref) {
    const std::string_view scheme = SchemeOf(base);
    const size_t authStart = scheme.size() + 3;
    if (base.substr(scheme.size(), 3) != "://") return std::string(ref);
    if (ref.starts_with("//")) return std::string(scheme) + ":" + std::string(ref);
    size_t pathStart = base.find_first_of("/?#", authStart);
    if (pathStart == std::string_view::npos) pathStart = base.size();
    const std::string_view origin = base.substr(0, pathStart);
    std::string_view basePath = base.substr(pathStart);
    basePath = basePath.substr(0, basePath.find_first_of("?#"));
    if (basePath.empty() || basePath[0] != '/') basePath = "/";
    const size_t refPathEnd = std::min(ref.find_first_of("?#"), ref.size());
    const std::string_view refPath = ref.substr(0, refPathEnd);
    const std::string_view refRest = ref.substr(refPathEnd);
    std::string merged;
    if (!refPath.empty() && refPath[0] == '/') merged = refPath;
    else merged = std::string(basePath.substr(0, basePath.rfind('/') + 1)) + std::string(refPath);
    return std::string(origin) + RemoveDotSegments(merged) + std::string(refRest);
}

std::string ResolveLocalPath(std::string_view path, const std::filesystem::path& dir) {
    std::string p(path);
    std::replace(p.begin(), p.end(), '\\', '/');
    if (!p.empty() && p[0] == '/') return std::filesystem::path(p).lexically_normal().string();
    return (dir / p).lexically_normal().string();
}

std::filesystem::path AbsoluteDirectory(const std::filesystem::path& dir) {
    std::error_code error;
    std::filesystem::path out =
        dir.empty() ? std::filesystem::current_path(error) : std::filesystem::absolute(dir, error);
    return error ? dir : out;
}

std::string AbsoluteAddress(std::string_view url, const std::filesystem::path& dir) {
    HeaderSuffix parts = SplitHeaderSuffix(url);
    if (parts.address.empty() || !SchemeOf(parts.address).empty()) return std::string(url);
    parts.address = ResolveLocalPath(parts.address, dir.is_absolute() ? dir : AbsoluteDirectory(dir));
    return JoinHeaderSuffix(parts);
}

std::string ShortName(std::string_view url) {
    url = url.substr(0, url.find('|'));
    std::string_view host;
    std::string_view path = url;
    const size_t sep = url.find("://");
    if (sep != std::string_view::npos) {
        const size_t hostStart = sep + 3;
        const size_t pathStart = std::min(url.find_first_of("/?#", hostStart), url.size());
        host = url.substr(hostStart, pathStart - hostStart);
        host = host.substr(host.rfind('@') == std::string_view::npos ? 0 : host.rfind('@') + 1);
        path = url.substr(pathStart);
    }
    path = path.substr(0, path.find_first_of("?#"));
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    const size_t slash = path.rfind('/');
    const std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (host.empty()) return std::string(last);
    if (last.empty()) return std::string(host);
    return std::string(host) + "/" + std::string(last);
}

}  // namespace castora
