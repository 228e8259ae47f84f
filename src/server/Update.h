#pragma once
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace castora {

// The window's side of a list update. Every call is made on the window's thread.
class UpdateWindow {
public:
    virtual ~UpdateWindow() = default;
    virtual bool AskUpdate(const std::string& question) = 0;
    // Both update buttons and the toolbar.
    virtual void SetUpdateControlsEnabled(bool enabled) = 0;
    virtual void SetUpdateStatus(const std::string& text) = 0;
    // The download's connection is up, its size is known (bytes, or the chunk's), bytes arrived so far.
    virtual void DownloadStarted() = 0;
    virtual void DownloadSize(int32_t count) = 0;
    virtual void DownloadProgress(int32_t count) = 0;
    virtual void SetGaugeMaximum(int32_t maximum) = 0;
    // Starts reading the global list again (the local records in memory stay), removing duplicates and
    // rebuilding the grid; whenDone runs on the window's thread once the new table is in place.
    virtual void ReloadCatalogue(std::function<void(bool loaded)> whenDone) = 0;
};

// How a worker reaches the window's thread.
struct WindowLink {
    UpdateWindow* window = nullptr;
    // Runs fn on the window's thread and waits for it; false when the window went away first.
    std::function<bool(std::function<void()> fn)> call;
    // Runs fn on the window's thread later, without waiting.
    std::function<void(std::function<void()> fn)> post;
    // Set when the program closes; workers end as soon as they can.
    const std::atomic<bool>* cancel = nullptr;
};

struct UpdateSettings {
    std::string updateHost;
    // updates.zip is written here.
    std::filesystem::path programDir;
    // Its entries go where the lists are read from.
    std::filesystem::path listDir;
    std::string programFileName;
    uint64_t maxDownloadBytes = 512ull * 1024 * 1024;
};

inline constexpr const char* DownloadingText = "Channel list download in progress";
inline constexpr const char* DownloadFailedText = "Can't download channel list";
inline constexpr const char* InstallFailedText = "Can't unpack channel list";

// One channel list update: question, download, unpacking, reload. Runs on its own thread.
class TUpdateThread {
public:
    TUpdateThread(std::string key, UpdateSettings settings, WindowLink link);
    std::string Key;
    void Execute();

private:
    bool OnWindow(std::function<void()> fn);
    UpdateSettings settings_;
    WindowLink link_;
};

// The eight values of one channel submission (texts are Windows-1251 bytes).
struct SubmissionValues {
    int32_t format = 0, source = 0, country = 0, genre = 0;
    std::string name, url, bitrate, comments;
};

// Sends one channel to the server and ends; nothing is shown either way.
class TChannelThread {
public:
    TChannelThread(std::string updateHost, SubmissionValues values, const std::atomic<bool>* cancel);
    void Execute();

private:
    std::string host_;
    SubmissionValues values_;
    const std::atomic<bool>* cancel_;
};

}  // namespace castora
