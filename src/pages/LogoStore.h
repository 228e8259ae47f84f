#pragma once
// The logo thumbnails on disk and the work that makes them, run on worker threads. Per address one small
// sidecar ("<hash>.meta": fetch time, validators, failure time, the sizes on disk) and a PNG per pixel
// size ("<hash>-<size>.png"), named by a hash of the address, two hex digits of it as a subdirectory.

#include <QImage>
#include <QString>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "server/LogoFetch.h"

namespace castora {

struct LogoAddress {
    std::string url;
    // The user chose this file; an address from a playlist or a guide never has it.
    bool localFileAllowed = false;
    bool Empty() const { return url.empty(); }
};

struct LogoLimits {
    int64_t freshSeconds = 30 * 24 * 3600;  // then asked again, conditionally
    int64_t failureSeconds = 24 * 3600;     // a failure is not retried before
    // Decoded pixels; QImageReader's allocation limit stops what claims more before it is allocated.
    int64_t maxPixels = 4096 * 4096;
    LogoFetchOptions fetch;
};

struct LogoMeta {
    int64_t fetched = 0;  // seconds since the epoch; 0: never
    int64_t failed = 0;
    LogoValidators validators;
    std::vector<int> sizes;  // thumbnails on disk
    std::string reason;      // of the last failure
};

// A thumbnail at one size, or why there is none.
struct LogoImage {
    int size = 0;
    QImage image;
    QString file;
};

struct LogoLoad {
    enum Outcome { Image, Failed, NeedFetch } outcome = NeedFetch;
    LogoImage image;
    bool revalidate = false;  // shown from disk, but old enough to be asked for again
};

struct LogoFetched {
    bool cancelled = false;
    bool failed = false;
    std::string reason;
    std::vector<LogoImage> images;  // every size made anew; empty when nothing changed
};

class LogoStore {
public:
    LogoStore(std::filesystem::path directory, std::function<int64_t()> now, LogoLimits limits);

    const std::filesystem::path& Directory() const { return dir_; }
    const LogoLimits& Limits() const { return limits_; }
    int64_t Now() const { return now_(); }
    uint64_t Generation() const { return generation_.load(); }

    // What names an address in the cache: a local file the user chose is not the same logo as that name
    // in a playlist, which is refused.
    static std::string Ident(const LogoAddress& address);

    // What the disk holds for one size: the thumbnail, a failure still remembered, or neither.
    LogoLoad Load(const LogoAddress& address, int size) const;
    // Asks for the logo (conditionally when `revalidate`), and makes the thumbnails of `sizes` and of every
    // size already on disk. Written only while `generation` is still the cache's.
    LogoFetched Fetch(const LogoAddress& address, const std::vector<int>& sizes, bool revalidate,
                      const std::atomic<bool>* cancel, uint64_t generation);
    // Removes one address's files.
    void Forget(const LogoAddress& address);
    // Moves the whole cache aside, in one step, and returns where it went (empty when there was none),
    // for RemoveTree to delete at leisure. What a job still writes for an older generation is dropped.
    std::filesystem::path Clear();
    static void RemoveTree(const std::filesystem::path& path, const std::atomic<bool>& stop);
    // Leftovers of a Clear cut short by the end of the program.
    std::vector<std::filesystem::path> Leftovers() const;

    std::optional<LogoMeta> ReadMeta(const std::string& ident) const;

    // Decodes an image Qt reads here (PNG, JPEG, GIF, SVG, WebP, BMP, ICO), scaled to fit `maxSide`;
    // null with the reason otherwise.
    static QImage Decode(const std::string& bytes, int maxSide, int64_t maxPixels, std::string* reason);
    // Fits within size x size, never enlarged.
    static QImage Thumbnail(const QImage& image, int size);

private:
    std::filesystem::path Base(const std::string& ident) const;  // without ".meta" or "-<size>.png"
    std::filesystem::path ThumbnailPath(const std::string& ident, int size) const;
    // Runs write while no Clear can move the directory, if the generation is still current.
    bool Commit(uint64_t generation, const std::function<bool()>& write);
    bool WriteMeta(const std::string& ident, const LogoMeta& meta);
    bool WriteThumbnail(const std::string& ident, const QImage& image, int size);

    std::filesystem::path dir_;
    std::function<int64_t()> now_;
    LogoLimits limits_;
    std::atomic<uint64_t> generation_{0};
    std::shared_mutex writing_;
};

}  // namespace castora
