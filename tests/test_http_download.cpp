#include "server/Download.h"
#include "support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

using namespace castora;
using castora::test::ScriptedServer;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class DownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device rd;
        dir_ = fs::temp_directory_path() / ("castora-http-" + std::to_string(rd()) + std::to_string(rd()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Archive() const {
        std::ifstream in(dir_ / "updates.zip", std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void Prefill() const { std::ofstream(dir_ / "updates.zip", std::ios::binary) << "stale archive from an older run"; }

    bool Download(ScriptedServer& server, DownloadCallbacks cb = {}, uint64_t maxBytes = 512ull * 1024 * 1024) {
        return DownloadChannelList(server.HostPort(), "free", dir_, cb, maxBytes);
    }

    fs::path dir_;
};

}  // namespace

TEST_F(DownloadTest, SuccessStoresExactlyTheBody) {
    const std::string body = std::string("PK\x03\x04", 4) + std::string(300, '\xA7') + std::string("\0\r\n\0", 4);
    ScriptedServer server;
    server.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body).Start();
    Prefill();
    std::vector<std::string> log;
    DownloadCallbacks cb;
    cb.connected = [&] { log.push_back("connected"); };
    cb.workBegin = [&](int32_t n) { log.push_back("begin " + std::to_string(n)); };
    cb.work = [&](int32_t n) { log.push_back("work " + std::to_string(n)); };

    EXPECT_FALSE(Download(server, cb));
    EXPECT_EQ(Archive(), body);
    EXPECT_EQ(server.Request().substr(0, 25), "GET /?key=free HTTP/1.1\r\n");
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[0], "connected");
    EXPECT_EQ(log[1], "begin " + std::to_string(body.size()));
    EXPECT_EQ(log.back(), "work " + std::to_string(body.size()));
}

TEST_F(DownloadTest, FailingAnswersLeaveAnEmptyArchive) {
    for (const std::string answer : {"HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found",
                                     "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:1/\r\n\r\nmoved",
                                     "HTTP/1.1 200 OK\r\nLocation: /elsewhere\r\nContent-Length: 3\r\n\r\nabc"}) {
        ScriptedServer server;
        server.Send(answer).Start();
        Prefill();
        int32_t lastWork = -1;
        DownloadCallbacks cb;
        cb.work = [&](int32_t n) { lastWork = n; };
        EXPECT_TRUE(Download(server, cb)) << answer;
        EXPECT_TRUE(fs::exists(dir_ / "updates.zip"));
        EXPECT_EQ(Archive(), "") << answer;
        EXPECT_GT(lastWork, 0) << "the gauge follows a failing answer's body too";
    }
}

TEST_F(DownloadTest, BrokenTransferKeepsThePart) {
    ScriptedServer server;
    server.Send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nfirst part").Pause(200ms).Reset().Start();
    EXPECT_TRUE(Download(server));
    EXPECT_EQ(Archive(), "first part");
}

TEST_F(DownloadTest, EmptyAnswerSucceedsAndACutBodyFails) {
    ScriptedServer noContent;
    noContent.Send("HTTP/1.1 204 No Content\r\n\r\n").Start();
    Prefill();
    EXPECT_FALSE(Download(noContent));
    EXPECT_EQ(Archive(), "");

    ScriptedServer shortBody;
    shortBody.Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabcdef").Start();
    EXPECT_TRUE(Download(shortBody));
    EXPECT_EQ(Archive(), "abcdef");
}

TEST_F(DownloadTest, BodyAboveTheLimitFails) {
    ScriptedServer announced;
    announced.Send("HTTP/1.1 200 OK\r\nContent-Length: 2000\r\n\r\n" + std::string(2000, 'a')).Start();
    EXPECT_TRUE(Download(announced, {}, 1000));

    ScriptedServer unannounced;
    unannounced.Send("HTTP/1.1 200 OK\r\n\r\n" + std::string(2000, 'a')).Start();
    EXPECT_TRUE(Download(unannounced, {}, 1000));
    EXPECT_LE(fs::file_size(dir_ / "updates.zip"), 1000u);

    ScriptedServer fits;
    fits.Send("HTTP/1.1 200 OK\r\n\r\n" + std::string(1000, 'a')).Start();
    EXPECT_FALSE(Download(fits, {}, 1000));
    EXPECT_EQ(Archive().size(), 1000u);
}

TEST_F(DownloadTest, NoServerOrNoFileFails) {
    DownloadCallbacks cb;
    bool connected = false;
    cb.connected = [&] { connected = true; };
    EXPECT_TRUE(DownloadChannelList("127.0.0.1:" + std::to_string(ScriptedServer::UnusedPort()), "free", dir_, cb));
    EXPECT_FALSE(connected);
    EXPECT_EQ(Archive(), "");

    ScriptedServer server;
    server.Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok").Start();
    EXPECT_TRUE(DownloadChannelList(server.HostPort(), "free", dir_ / "missing" / "dir", cb));
    EXPECT_EQ(server.Connections(), 0u);
}

TEST_F(DownloadTest, WorkNotificationsAreThinnedOut) {
    // 40 pieces over ~400 ms, read to the connection's end, so the last count is known only at the end.
    ScriptedServer server;
    server.Send("HTTP/1.1 200 OK\r\n\r\n");
    for (int i = 0; i < 40; ++i) server.Send(std::string(100, 'z')).Pause(10ms);
    server.Start();
    std::vector<int32_t> works;
    DownloadCallbacks cb;
    cb.work = [&](int32_t n) { works.push_back(n); };
    EXPECT_FALSE(Download(server, cb));
    EXPECT_EQ(Archive().size(), 4000u);
    ASSERT_FALSE(works.empty());
    EXPECT_EQ(works.back(), 4000);
    EXPECT_LE(works.size(), 15u);  // 40 raw notifications otherwise
    EXPECT_GE(works.size(), 3u);
    EXPECT_TRUE(std::is_sorted(works.begin(), works.end()));
}
