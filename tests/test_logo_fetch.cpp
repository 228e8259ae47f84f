// The logo fetch: http(s) only, small, quick or failed, and conditional when it knows the last answer.
#include <gtest/gtest.h>

#include <filesystem>

#include "server/LogoFetch.h"
#include "support/HandlerServer.h"
#include "support/ScriptedServer.h"
#include "support/TempDir.h"

using namespace castora;
using namespace castora::test;
using namespace std::chrono_literals;

namespace {

LogoFetchOptions Quick() {
    LogoFetchOptions options;
    options.timeout = 1500ms;
    return options;
}

}  // namespace

TEST(LogoFetch, AsksAgainWithTheLastAnswersValidatorsAndKeepsThemOnNotModified) {
    HandlerServer server([](const HttpRequest& r) {
        HttpReply reply;
        if (r.headers.count("if-none-match") && r.headers.at("if-none-match") == "\"v1\"") {
            reply.status = 304;
            return reply;
        }
        reply.headers = {"ETag: \"v1\"", "Last-Modified: Tue, 01 Oct 2024 10:00:00 GMT", "Content-Type: image/png"};
        reply.body = "logo bytes";
        return reply;
    });
    const LogoFetch first = FetchLogo(server.Url("/a.png"), false, {});
    ASSERT_EQ(first.status, LogoFetchStatus::Fetched) << first.reason;
    EXPECT_EQ(first.body, "logo bytes");
    EXPECT_EQ(first.validators.etag, "\"v1\"");
    EXPECT_EQ(first.validators.lastModified, "Tue, 01 Oct 2024 10:00:00 GMT");

    const LogoFetch again = FetchLogo(server.Url("/a.png"), false, first.validators);
    EXPECT_EQ(again.status, LogoFetchStatus::NotModified) << again.reason;
    EXPECT_EQ(again.validators.etag, "\"v1\"");
    EXPECT_EQ(again.validators.lastModified, "Tue, 01 Oct 2024 10:00:00 GMT");

    const std::vector<HttpRequest> wire = server.Requests();
    ASSERT_EQ(wire.size(), 2u);
    EXPECT_EQ(wire[0].headers.count("if-none-match"), 0u);
    EXPECT_EQ(wire[0].headers.count("if-modified-since"), 0u);
    EXPECT_EQ(wire[1].headers.at("if-none-match"), "\"v1\"");
    EXPECT_EQ(wire[1].headers.at("if-modified-since"), "Tue, 01 Oct 2024 10:00:00 GMT");
    // Nothing invites a compressed answer.
    EXPECT_EQ(wire[0].headers.at("accept-encoding"), "identity");
}

// Each hostile answer fails, within the fetch's own limits, and none is taken as a logo.
TEST(LogoFetch, HostileServersFailWithinTheLimits) {
    std::string self;
    HandlerServer server([&self](const HttpRequest& r) {
        HttpReply reply;
        if (r.path == "/silent") {
            reply.silent = true;
        } else if (r.path == "/slow") {
            reply.body = std::string(100, 'p');
            reply.trickle = 200ms;
        } else if (r.path == "/huge") {
            reply.headers = {"Content-Type: image/png", "Content-Length: 104857600"};
            reply.endless = 100ull * 1024 * 1024;
        } else if (r.path == "/endless") {
            reply.endless = 100ull * 1024 * 1024;
        } else if (r.path == "/loop") {
            reply.status = 302;
            reply.headers = {"Location: " + self};
        } else if (r.path == "/to-file") {
            reply.status = 302;
            reply.headers = {"Location: file:///etc/passwd"};
        } else {
            reply.status = 404;
            reply.body = "<html>gone</html>";
        }
        return reply;
    });
    self = server.Url("/loop");
    struct Case {
        const char* path;
        const char* reason;  // part of the failure's text
    } cases[] = {
        {"/silent", "in time"},       {"/slow", "in time"}, {"/huge", "larger than 2097152 bytes"},
        {"/endless", "larger than"},  {"/loop", "edirect"}, {"/to-file", "file"},
        {"/missing", "answered 404"},
    };
    for (const Case& c : cases) {
        const LogoFetch got = FetchLogo(server.Url(c.path), false, {}, Quick());
        EXPECT_EQ(got.status, LogoFetchStatus::Failed) << c.path;
        EXPECT_TRUE(got.body.empty()) << c.path;
        EXPECT_NE(got.reason.find(c.reason), std::string::npos) << c.path << ": " << got.reason;
    }
    // The loop was followed only a few times, and the file was never opened.
    EXPECT_LE(server.Count("/loop"), 6);
}

TEST(LogoFetch, LocalFilesOnlyWhenTheUserChoseThem) {
    TempDir dir;
    WriteFile(dir / "mine.png", "my logo");
    WriteFile(dir / "big.png", std::string(2 * 1024 * 1024 + 1, 'b'));
    const std::string path = (dir / "mine.png").string();
    struct Case {
        std::string address;
        bool local;
        LogoFetchStatus status;
    } cases[] = {
        {"file://" + path, false, LogoFetchStatus::Failed},
        {path, false, LogoFetchStatus::Failed},
        {"ftp://127.0.0.1/logo.png", false, LogoFetchStatus::Failed},
        {"data:image/png;base64,iVBORw0KGgo=", false, LogoFetchStatus::Failed},
        {"logo.png", false, LogoFetchStatus::Failed},
        {"file://" + path, true, LogoFetchStatus::Fetched},
        {"file://localhost" + path, true, LogoFetchStatus::Fetched},
        {path, true, LogoFetchStatus::Fetched},
        {"file://" + (dir / "big.png").string(), true, LogoFetchStatus::Failed},
        {"file:///dev/zero", true, LogoFetchStatus::Failed},
        {"file://" + (dir / "none.png").string(), true, LogoFetchStatus::Failed},
    };
    for (const Case& c : cases) {
        const LogoFetch got = FetchLogo(c.address, c.local, {});
        EXPECT_EQ(got.status, c.status) << c.address << " local " << c.local << ": " << got.reason;
        if (c.status == LogoFetchStatus::Fetched) {
            EXPECT_EQ(got.body, "my logo") << c.address;
        }
    }

    // A chosen file is read again only when it changed.
    const LogoFetch first = FetchLogo(path, true, {});
    EXPECT_EQ(FetchLogo(path, true, first.validators).status, LogoFetchStatus::NotModified);
    WriteFile(dir / "mine.png", "my new logo");
    std::filesystem::last_write_time(dir / "mine.png",
                                     std::filesystem::last_write_time(dir / "mine.png") + std::chrono::seconds(5));
    const LogoFetch changed = FetchLogo(path, true, first.validators);
    EXPECT_EQ(changed.status, LogoFetchStatus::Fetched);
    EXPECT_EQ(changed.body, "my new logo");
}

TEST(LogoFetch, CancelEndsASilentFetch) {
    ScriptedServer server;
    server.Pause(60s).Start();
    std::atomic<bool> cancel{false};
    LogoFetchOptions options;
    options.cancel = &cancel;
    std::thread stopper([&] {
        std::this_thread::sleep_for(300ms);
        cancel = true;
    });
    const LogoFetch got = FetchLogo(server.Url("/a.png"), false, {}, options);
    stopper.join();
    EXPECT_EQ(got.status, LogoFetchStatus::Cancelled);
}
