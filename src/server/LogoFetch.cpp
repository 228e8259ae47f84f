#include "server/LogoFetch.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <vector>

#include "server/WebTransfer.h"

namespace castora {

namespace {

std::string Scheme(const std::string& address) {
    const size_t colon = address.find(':');
    if (colon == std::string::npos || colon == 0) return {};
    std::string scheme = address.substr(0, colon);
    for (char& c : scheme) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return {};
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return scheme;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "file:///a%20b.png" and "file://localhost/a.png" name /a b.png and /a.png; an absolute path names itself.
std::string LocalPath(const std::string& address) {
    if (!address.empty() && address.front() == '/') return address;
    if (Scheme(address) != "file") return {};
    std::string rest = address.substr(5);
    if (rest.rfind("//", 0) != 0) return {};
    rest.erase(0, 2);
    if (rest.rfind("localhost/", 0) == 0) rest.erase(0, 9);
    if (rest.empty() || rest.front() != '/') return {};
    std::string path;
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '%' && i + 2 < rest.size() && HexDigit(rest[i + 1]) >= 0 && HexDigit(rest[i + 2]) >= 0) {
            path += static_cast<char>(HexDigit(rest[i + 1]) * 16 + HexDigit(rest[i + 2]));
            i += 2;
        } else if (rest[i] == '?' || rest[i] == '#') {
            break;
        } else {
            path += rest[i];
        }
    }
    return path;
}

LogoFetch Failure(std::string reason) {
    LogoFetch out;
    out.reason = std::move(reason);
    return out;
}

LogoFetch ReadLocal(const std::string& address, const LogoValidators& known, const LogoFetchOptions& options) {
    const std::string path = LocalPath(address);
    if (path.empty()) return Failure("not a local file name");
    namespace fs = std::filesystem;
    std::error_code ec;
    // Only a plain file: a device or a pipe could be read for ever.
    if (!fs::is_regular_file(path, ec)) return Failure("no such file");
    const uint64_t size = fs::file_size(path, ec);
    const auto time = fs::last_write_time(path, ec);
    if (ec) return Failure("the file cannot be read");
    if (size > options.maxBytes) return Failure("the file is too large");
    LogoFetch out;
    out.validators.etag = "file " + std::to_string(time.time_since_epoch().count()) + " " + std::to_string(size);
    if (out.validators.etag == known.etag) {
        out.status = LogoFetchStatus::NotModified;
        return out;
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes(options.maxBytes + 1);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    const auto got = static_cast<uint64_t>(in.gcount());
    if (in.bad()) return Failure("the file cannot be read");
    if (got > options.maxBytes) return Failure("the file is too large");
    out.body.assign(bytes.data(), got);
    out.status = LogoFetchStatus::Fetched;
    return out;
}

}  // namespace

LogoFetch FetchLogo(const std::string& address, bool localFileAllowed, const LogoValidators& known,
                    const LogoFetchOptions& options) {
    const std::string scheme = Scheme(address);
    if (localFileAllowed && (scheme == "file" || (!address.empty() && address.front() == '/')))
        return ReadLocal(address, known, options);
    if (scheme != "http" && scheme != "https") return Failure("not a web address");

    WebTransferOptions transfer;
    transfer.maxBytes = options.maxBytes;
    transfer.connectTimeout = options.timeout;
    transfer.stallTimeout = options.timeout;
    transfer.minBytesPerSecond = 1;
    transfer.totalTimeout = options.timeout;
    transfer.cancel = options.cancel;
    WebRequest request;
    request.url = address;
    request.maxRedirects = options.maxRedirects;
    // An image gains nothing from compression, and an encoding is one more way to inflate a small answer.
    request.acceptEncoding = "identity";
    request.decode = false;
    if (!known.etag.empty()) request.headers.push_back("If-None-Match: " + known.etag);
    if (!known.lastModified.empty()) request.headers.push_back("If-Modified-Since: " + known.lastModified);
    LogoFetch out;
    request.body = [&out](const char* data, size_t size) {
        out.body.append(data, size);
        return true;
    };
    const WebResponse r = RunWebTransfer(request, transfer);

    switch (r.outcome) {
    case WebResponse::Outcome::TooLarge:
        return Failure("larger than " + std::to_string(options.maxBytes) + " bytes");
    case WebResponse::Outcome::Cancelled:
        out.body.clear();
        out.status = LogoFetchStatus::Cancelled;
        out.reason = "cancelled";
        return out;
    case WebResponse::Outcome::Failed:
        return Failure(r.reason);
    case WebResponse::Outcome::Answered:
        break;
    }
    out.validators.etag = r.Header("etag");
    out.validators.lastModified = r.Header("last-modified");
    if (r.status == 304 && !known.Empty()) {
        out.body.clear();
        out.status = LogoFetchStatus::NotModified;
        // A 304 may leave out what did not change.
        if (out.validators.etag.empty()) out.validators.etag = known.etag;
        if (out.validators.lastModified.empty()) out.validators.lastModified = known.lastModified;
        return out;
    }
    if (r.status < 200 || r.status > 299) return Failure("the server answered " + std::to_string(r.status));
    out.status = LogoFetchStatus::Fetched;
    return out;
}

}  // namespace castora
