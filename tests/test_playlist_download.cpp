#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "server/PlaylistDownload.h"
#include "support/ScriptedServer.h"
#include "support/TempDir.h"

using namespace castora;
using castora::test::ScriptedServer;
using namespace std::chrono_literals;

namespace {

std::string Gzip(const std::string& text) {
    z_stream z{};
    deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(compressBound(static_cast<uLong>(text.size())) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string Ok(const std::string& body, const std::string& extra = "") {
    return "HTTP/1.1 200 OK\r\n" + extra + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

const std::string kList = "#EXTM3U\n#EXTINF:-1,One\nhttp://one/\n" + std::string(4000, '#') + "\n";

// Started again by the test without libcurl below, this program only downloads once and prints the error.
const bool kDownloadOnly = [] {
    const char* url = std::getenv("CASTORA_TEST_DOWNLOAD_ONLY");
    if (!url) return false;
    const PlaylistDownload d = DownloadPlaylist(url);
    std::fputs(d.error.c_str(), stdout);
    std::fflush(stdout);
    std::_Exit(d.ok ? 1 : 0);
}();

}  // namespace

TEST(DownloadPlaylist, FollowsRedirectsAndDecodesCompressedAnswers) {
    ScriptedServer target;
    target.Send(Ok(Gzip(kList), "Content-Encoding: gzip\r\n")).Start();
    ScriptedServer first;
    first.Send("HTTP/1.1 302 Found\r\nLocation: " + target.Url("/lists/tv.m3u") + "\r\nContent-Length: 0\r\n\r\n")
        .Start();
    uint64_t lastReceived = 0;
    PlaylistDownloadOptions options;
    options.progress = [&](uint64_t received, uint64_t) { lastReceived = received; };

    const PlaylistDownload d = DownloadPlaylist(first.Url("/go"), options);
    ASSERT_TRUE(d.ok) << d.error;
    EXPECT_EQ(d.body, kList);
    EXPECT_EQ(d.finalUrl, target.Url("/lists/tv.m3u"));
    EXPECT_GT(lastReceived, 0u);
    // A browser-like request: it asks for compression and names a user agent.
    const std::string request = target.Request();
    EXPECT_NE(request.find("\r\nAccept-Encoding: "), std::string::npos) << request;
    EXPECT_NE(request.find("gzip"), std::string::npos) << request;
    EXPECT_NE(request.find("\r\nUser-Agent: CastoraPlayer/"), std::string::npos) << request;
}

TEST(DownloadPlaylist, FailsWithAClearTextAndNoBody) {
    struct Case {
        const char* what;
        std::string answer;
        uint64_t limit;
        std::string error;
    } cases[] = {
        {"404", "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found", 1024,
         "The playlist could not be downloaded: the server answered 404."},
        {"announced length above the limit", Ok(kList), 1024, "The playlist is larger than 1024 bytes."},
        {"unannounced length above the limit", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + kList, 1024,
         "The playlist is larger than 1024 bytes."},
        {"compressed answer that grows above the limit", Ok(Gzip(kList), "Content-Encoding: gzip\r\n"), 1024,
         "The playlist is larger than 1024 bytes."},
        {"connection reset", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nabc", 1024,
         "The playlist could not be downloaded: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server;
        server.Send(c.answer);
        if (std::string(c.what) == "connection reset") server.Reset();
        server.Start();
        PlaylistDownloadOptions options;
        options.maxBytes = c.limit;
        const PlaylistDownload d = DownloadPlaylist(server.Url("/p.m3u"), options);
        EXPECT_FALSE(d.ok);
        EXPECT_TRUE(d.body.empty());
        EXPECT_TRUE(d.error.starts_with(c.error)) << d.error;
    }
    // Nobody listening, and a scheme that is not HTTP.
    const PlaylistDownload refused =
        DownloadPlaylist("http://127.0.0.1:" + std::to_string(ScriptedServer::UnusedPort()) + "/x");
    EXPECT_FALSE(refused.ok);
    EXPECT_TRUE(refused.error.starts_with("The playlist could not be downloaded: ")) << refused.error;
    EXPECT_FALSE(DownloadPlaylist("file:///etc/passwd").ok);
}

TEST(DownloadPlaylist, CancelAndStallEndTheTransferWithinTheirTime) {
    ScriptedServer server;
    server.Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n#EXTM3U\n").Pause(20s).Start();
    std::atomic<bool> cancel{false};
    PlaylistDownloadOptions options;
    options.cancel = &cancel;
    options.progress = [&](uint64_t received, uint64_t) {
        if (received > 0) cancel = true;
    };
    auto start = std::chrono::steady_clock::now();
    PlaylistDownload d = DownloadPlaylist(server.Url("/p.m3u"), options);
    EXPECT_TRUE(d.cancelled);
    EXPECT_EQ(d.error, "The download was cancelled.");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);

    ScriptedServer silent;
    silent.Pause(20s).Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n#EXTM3U\n").Start();
    PlaylistDownloadOptions stall;
    stall.stallTimeout = 1s;
    start = std::chrono::steady_clock::now();
    d = DownloadPlaylist(silent.Url("/p.m3u"), stall);
    EXPECT_FALSE(d.ok);
    EXPECT_FALSE(d.cancelled);
    EXPECT_EQ(d.error, "The playlist could not be downloaded: the server did not answer in time.");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST(DownloadPlaylist, AServerSlowerThanTheLeastSpeedFails) {
    // Two bytes every 100 ms: 20 bytes a second, for three seconds.
    const std::string body(60, '#');
    const auto trickle = [&](ScriptedServer& server) {
        server.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n");
        for (size_t at = 0; at < body.size(); at += 2) server.Send(body.substr(at, 2)).Pause(100ms);
        server.Start();
    };
    const struct Case {
        const char* what;
        uint64_t minBytesPerSecond;
        bool ok;
        std::string error;
    } cases[] = {
        {"below the least speed", 1024, false, "The playlist could not be downloaded: the server is too slow."},
        {"above it", 2, true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server;
        trickle(server);
        PlaylistDownloadOptions options;
        options.stallTimeout = 1s;
        options.minBytesPerSecond = c.minBytesPerSecond;
        const PlaylistDownload d = DownloadPlaylist(server.Url("/slow.m3u"), options);
        EXPECT_EQ(d.ok, c.ok);
        EXPECT_EQ(d.error, c.error);
        EXPECT_EQ(d.body, c.ok ? body : "");
    }
}

TEST(DownloadPlaylist, AnnouncedLengthAboveTheLimitEndsTheTransferBeforeTheBody) {
    // Only libcurl's own limit (a curl_off_t option) sees the announced length: no body byte ever comes.
    ScriptedServer above;
    above.Send("HTTP/1.1 200 OK\r\nContent-Length: 1048577\r\n\r\n").Pause(20s).Start();
    PlaylistDownloadOptions options;
    options.maxBytes = 1024 * 1024;
    const auto start = std::chrono::steady_clock::now();
    PlaylistDownload d = DownloadPlaylist(above.Url("/p.m3u"), options);
    EXPECT_EQ(d.error, "The playlist is larger than 1 MiB.");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);

    // The limit itself is allowed.
    const std::string exact = "#EXTM3U\n" + std::string(1024 * 1024 - 8, '#');
    ScriptedServer at;
    at.Send(Ok(exact)).Start();
    d = DownloadPlaylist(at.Url("/p.m3u"), options);
    ASSERT_TRUE(d.ok) << d.error;
    EXPECT_EQ(d.body.size(), exact.size());
}

TEST(DownloadPlaylist, WithoutLibcurlSaysItCouldNotBeLoaded) {
    // Empty files under every name the loader tries stand in front of the installed library.
    castora::test::TempDir libs;
    for (const char* name : {"libcurl.so.4", "libcurl-gnutls.so.4", "libcurl.so"})
        castora::test::WriteFile(libs / name, "");
    ScriptedServer server;
    server.Send(Ok(kList)).Start();
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    const std::string command = "LD_LIBRARY_PATH='" + libs.path().string() + "' CASTORA_TEST_DOWNLOAD_ONLY='" +
                                server.Url("/p.m3u") + "' '" + self + "'";
    FILE* child = ::popen(command.c_str(), "r");
    ASSERT_NE(child, nullptr);
    std::string output;
    char buffer[512];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, child)) output.append(buffer, n);
    const int status = ::pclose(child);

    EXPECT_EQ(status, 0) << output;
    // The loader's own words follow the name of the library it could not load.
    const std::string expected =
        "The playlist could not be downloaded: libcurl could not be loaded: " + (libs / "libcurl.so.4").string() + ": ";
    EXPECT_TRUE(output.starts_with(expected)) << output;
    EXPECT_GT(output.size(), expected.size() + 1) << output;
    EXPECT_EQ(server.Connections(), 0u);
}
