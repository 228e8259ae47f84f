#include "catalogue/PlaylistAddress.h"

#include <algorithm>
#include <iterator>

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

}  // namespace

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
