#pragma once
// A channel logo's bytes, from the web or, when the user chose it, from a local file. Playlists and guides
// name logos on servers nobody vouches for, so every limit is tight: a logo is small or it is no logo.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace castora {

// What the last answer said about its body, sent back to ask whether it changed.
struct LogoValidators {
    std::string etag;
    std::string lastModified;
    bool Empty() const { return etag.empty() && lastModified.empty(); }
};

struct LogoFetchOptions {
    uint64_t maxBytes = 2ull * 1024 * 1024;
    std::chrono::milliseconds timeout{10000};  // connect, stall and the whole transfer, each
    long maxRedirects = 5;
    const std::atomic<bool>* cancel = nullptr;
};

enum class LogoFetchStatus { Fetched, NotModified, Failed, Cancelled };

struct LogoFetch {
    LogoFetchStatus status = LogoFetchStatus::Failed;
    std::string body;           // when Fetched
    LogoValidators validators;  // of the answer, when Fetched or NotModified
    std::string reason;         // why it failed, in plain words
};

// `address` is an http(s) URL; a local file (an absolute path or a file:// URL) only with
// `localFileAllowed`, which only the user's own choice of a file may give. A local file's validator
// is its modification time and size. Never throws.
LogoFetch FetchLogo(const std::string& address, bool localFileAllowed, const LogoValidators& known,
                    const LogoFetchOptions& options = {});

}  // namespace castora
