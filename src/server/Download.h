#pragma once
// The channel list download: the update archive fetched from the update host.

#include <cstdint>
#include <filesystem>
#include <atomic>
#include <functional>
#include <string>

namespace castora {

// Called on the downloading (worker) thread; whoever owns the window forwards them.
struct DownloadCallbacks {
    std::function<void()> connected;
    std::function<void(int32_t count)> workBegin;  // announced size of the body or chunk, 0 if none
    std::function<void(int32_t count)> work;       // bytes of that body or chunk so far
    const std::atomic<bool>* cancel = nullptr;     // set when the program closes: the download fails
};

inline constexpr const char* UpdateArchiveName = "updates.zip";

// Fastest pace at which `work` is passed on; the last count of a body or chunk always is.
inline constexpr int WorkNotifyIntervalMs = 50;

// GET "http://" + updateHost + "/?key=" + key (key unencoded) into programDir/"updates.zip",
// which is created or emptied first. Returns true when the download FAILED, for any reason
// (file, connection, status, a body above maxBytes); never throws. After a failing answer the
// file is empty; after a broken transfer it holds the part received.
bool DownloadChannelList(const std::string& updateHost, const std::string& key, const std::filesystem::path& programDir,
                         const DownloadCallbacks& cb, uint64_t maxBytes = 512ull * 1024 * 1024);

}  // namespace castora
