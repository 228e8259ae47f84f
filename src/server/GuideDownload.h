#pragma once
// A guide fetched from an address into a file, as it came (gzip or not: the reader finds out), with a
// conditional request when an earlier copy is at hand.

#include <cstdint>
#include <filesystem>
#include <string>

#include "server/WebTransfer.h"

namespace castora {

// What the server said identifies its copy, sent back to ask whether it changed.
struct GuideValidators {
    std::string etag;          // ETag, as sent
    std::string lastModified;  // Last-Modified, as sent
    bool Empty() const { return etag.empty() && lastModified.empty(); }
    friend bool operator==(const GuideValidators&, const GuideValidators&) = default;
};

struct GuideDownload {
    enum class Outcome { Fetched, NotModified, Failed, Cancelled } outcome = Outcome::Failed;
    GuideValidators validators;  // of the answer (Fetched), or those sent (NotModified)
    uint64_t bytes = 0;
    std::string finalUrl;
    std::string error;  // user-facing text, with Failed and Cancelled
};

// Large guides are packed tenfold and more; this is what is stored before it is unpacked.
inline constexpr uint64_t GuideDownloadLimit = 1024ull * 1024 * 1024;

// GET url into `file` (created or emptied). With validators, If-None-Match / If-Modified-Since ask for
// the body only when it changed; a 304 leaves no file. After anything but Fetched `file` is removed.
// Never throws.
GuideDownload DownloadGuide(const std::string& url, const std::filesystem::path& file, const GuideValidators& have,
                            const WebTransferOptions& options);

}  // namespace castora
