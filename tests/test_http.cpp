#include "server/HttpClient.h"
#include "support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using namespace castora;
using castora::test::ScriptedServer;
using namespace std::chrono_literals;

namespace {

const std::string Head = "\r\nContent-Type: text/html\r\nHost: ";
const std::string Tail = "\r\nAccept: text/html, */*\r\nUser-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n\r\n";

// Notifications in the order they came: "connected", "begin N", "work N".
struct Events {
    std::vector<std::string> log;
    std::vector<int32_t> begins;
    std::vector<int32_t> works;

    void Attach(THttpClient& c) {
        c.OnConnected = [this] { log.push_back("connected"); };
        c.OnWorkBegin = [this](int32_t n) {
            log.push_back("begin " + std::to_string(n));
            begins.push_back(n);
        };
        c.OnWork = [this](int32_t n) {
            log.push_back("work " + std::to_string(n));
            works.push_back(n);
        };
    }
};

struct Result {
    bool ok = false;
    std::string body;
    EHttpError::TKind kind{};
    int32_t code = 0;
    std::string statusLine;
    Events events;
};

// One Get against a server playing `answer`, with short limits.
Result Fetch(ScriptedServer& server, const std::string& target = "/") {
    Result r;
    THttpClient client;
    client.ReadTimeout = 700ms;
    client.ConnectTimeout = 2s;
    r.events.Attach(client);
    std::ostringstream out;
    try {
        client.Get(server.Url(target), out);
        r.ok = true;
    } catch (const EHttpError& e) {
        r.kind = e.Kind();
        r.code = e.StatusCode();
        r.statusLine = e.StatusLine();
    }
    r.body = out.str();
    return r;
}

Result Answer(const std::string& bytes) {
    ScriptedServer server;
    server.Send(bytes).Start();
    return Fetch(server);
}

}  // namespace

TEST(HttpRequest, HeadIsExactForTheListDownload) {
    ScriptedServer server;
    server.Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok").Start();
    THttpClient client;
    EXPECT_EQ(client.GetText(server.Url("/?key=free")), "ok");
    EXPECT_EQ(server.Request(), "GET /?key=free HTTP/1.1" + Head + server.HostPort() + Tail);
}

TEST(HttpRequest, TargetGoesOutVerbatimExceptBackslashAndFragment) {
    ScriptedServer server;
    server.Send("HTTP/1.1 204 No Content\r\n\r\n").Start();
    THttpClient client;
    client.GetText(server.Url("/a\\b/../c%41+d?x=%2B+1&y=\\z#frag\\ment#2"));
    EXPECT_EQ(server.Request(), "GET /a/b/../c%41+d?x=%2B+1&y=/z HTTP/1.1" + Head + server.HostPort() + Tail);
}

TEST(HttpRequest, ControlBytesInTheUrlAreRefusedBeforeConnecting) {
    ScriptedServer server;
    server.Send("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n").Start();
    THttpClient client;
    bool connected = false;
    client.OnConnected = [&] { connected = true; };
    for (const std::string& target :
         {std::string("/?a=1\r\nX-Evil: 1"), std::string("/\n"), std::string("/a\tb"), std::string("/a\0b", 4)}) {
        try {
            client.GetText(server.Url(target));
            ADD_FAILURE() << "accepted " << target;
        } catch (const EHttpError& e) {
            EXPECT_EQ(e.Kind(), EHttpError::TKind::BadUrl);
        }
    }
    EXPECT_FALSE(connected);
    EXPECT_EQ(server.Connections(), 0u);
}

TEST(HttpRequest, UrlSplitting) {
    auto t = SplitHttpUrl("http://update.example.org/?key=free");
    EXPECT_EQ(t.Host, "update.example.org");
    EXPECT_EQ(t.Port, 80);
    EXPECT_EQ(t.HostHeader, "update.example.org");
    EXPECT_EQ(t.Target, "/?key=free");

    t = SplitHttpUrl("HTTP://Host:80");
    EXPECT_EQ(t.HostHeader, "Host");
    EXPECT_EQ(t.Target, "/");

    t = SplitHttpUrl("http://h:8080/x#y");
    EXPECT_EQ(t.Port, 8080);
    EXPECT_EQ(t.HostHeader, "h:8080");
    EXPECT_EQ(t.Target, "/x");

    for (const char* bad : {"https://h/", "ftp://h/", "h/x", "http:///x", "http://h:/", "http://h:0/",
                            "http://h:65536/", "http://h:8x/", "http://u@h/"})
        EXPECT_THROW(SplitHttpUrl(bad), EHttpError) << bad;
}

TEST(HttpRequest, EnvironmentProxyIsIgnored) {
    ScriptedServer server;
    server.Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok").Start();
    const std::string proxy = "http://127.0.0.1:" + std::to_string(ScriptedServer::UnusedPort());
    ::setenv("http_proxy", proxy.c_str(), 1);
    ::setenv("HTTP_PROXY", proxy.c_str(), 1);
    THttpClient client;
    std::string text;
    EXPECT_NO_THROW(text = client.GetText(server.Url("/p")));
    ::unsetenv("http_proxy");
    ::unsetenv("HTTP_PROXY");
    EXPECT_EQ(text, "ok");
}

TEST(HttpStatus, OnlyTwoHundredsWithoutLocationSucceed) {
    auto r = Answer("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.body, "hello");

    r = Answer("HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\njunk!");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.body, "");
    EXPECT_TRUE(r.events.begins.empty());
    EXPECT_TRUE(r.events.works.empty());

    r = Answer("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.kind, EHttpError::TKind::Status);
    EXPECT_EQ(r.code, 404);
    EXPECT_EQ(r.statusLine, "HTTP/1.1 404 Not Found");
    EXPECT_EQ(r.body, "");                                // the caller's stream is not written...
    EXPECT_EQ(r.events.begins, std::vector<int32_t>{9});  // ...but the body is read with notifications
    EXPECT_EQ(r.events.works.back(), 9);

    r = Answer("HTTP/1.1 302 Found\r\nLocation: http://elsewhere.invalid/\r\nContent-Length: 0\r\n\r\n");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.code, 302);

    r = Answer("HTTP/1.1 200 OK\r\nlocation: /moved\r\nContent-Length: 2\r\n\r\nok");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.code, 200);
    EXPECT_EQ(r.body, "");

    r = Answer("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.code, 500);
}

TEST(HttpStatus, LocationRulesFollowTheHeaderGrammar) {
    // An empty Location has no value.
    auto r = Answer("HTTP/1.1 200 OK\r\nLocation:   \r\nContent-Length: 2\r\n\r\nok");
    EXPECT_TRUE(r.ok);
    // The first occurrence of a name counts.
    r = Answer("HTTP/1.1 200 OK\r\nLocation:\r\nLocation: /x\r\nContent-Length: 2\r\n\r\nok");
    EXPECT_TRUE(r.ok);
    // A continuation line gives the empty Location a value.
    r = Answer("HTTP/1.1 200 OK\r\nLocation:\r\n  /x\r\nContent-Length: 2\r\n\r\nok");
    EXPECT_FALSE(r.ok);
    // Lines ended by a bare LF.
    r = Answer("HTTP/1.1 200 OK\nContent-Length: 3\n\nabcdef");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.body, "abc");
}

TEST(HttpStatus, InterimContinueIsSkipped) {
    auto r = Answer("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.body, "body");

    r = Answer("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.code, 403);
    EXPECT_EQ(r.statusLine, "HTTP/1.1 403 Forbidden");
}

TEST(HttpStatus, BrokenAnswersFail) {
    // Closed in the middle of the header block.
    auto r = Answer("HTTP/1.1 200 OK\r\nContent-Len");
    EXPECT_FALSE(r.ok);
    // No answer at all.
    r = Answer("");
    EXPECT_FALSE(r.ok);
    // Not HTTP.
    r = Answer("hello there\r\n\r\n");
    EXPECT_FALSE(r.ok);
}

TEST(HttpBody, ContentLengthIsExactAndCutBodiesFail) {
    ScriptedServer server;  // keeps the line open: the client must stop by the length alone
    server.Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789EXTRA").Pause(5s).Start();
    const auto start = std::chrono::steady_clock::now();
    auto r = Fetch(server);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.body, "0123456789");
    EXPECT_EQ(r.events.begins, std::vector<int32_t>{10});
    EXPECT_EQ(r.events.works.back(), 10);

    // A normal close before the announced length or the last chunk: what arrived is kept, the request fails.
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (const auto& [answer, body] : std::vector<std::pair<std::string, std::string>>{
             {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nsix by", "six by"},
             {chunked + "a\r\nsix by", "six by"},
             {chunked + "3\r\nabc\r\n", "abc"},
             {chunked + "3\r\nabc\r\n0\r\n", "abc"}}) {
        r = Answer(answer);
        EXPECT_FALSE(r.ok) << answer;
        EXPECT_EQ(r.kind, EHttpError::TKind::Transfer) << answer;
        EXPECT_EQ(r.body, body) << answer;
    }
}

TEST(HttpBody, ResetDuringTheBodyFailsAndKeepsWhatArrived) {
    for (const std::string head : {"Content-Length: 100\r\n", "", "Transfer-Encoding: chunked\r\n"}) {
        const std::string first = head.find("chunked") != std::string::npos ? "64\r\npartial" : "partial";
        ScriptedServer server;
        server.Send("HTTP/1.1 200 OK\r\n" + head + "\r\n" + first).Pause(200ms).Reset().Start();
        auto r = Fetch(server);
        EXPECT_FALSE(r.ok) << head;
        EXPECT_EQ(r.kind, EHttpError::TKind::Transfer) << head;
        EXPECT_EQ(r.body, "partial") << head;
    }
}

TEST(HttpBody, InvalidContentLengthReadsToTheEnd) {
    for (const char* value : {"abc", "-5", "", "12abc", "+7"}) {
        auto r = Answer(std::string("HTTP/1.1 200 OK\r\nContent-Length: ") + value + "\r\n\r\nall of this body");
        EXPECT_TRUE(r.ok) << value;
        EXPECT_EQ(r.body, "all of this body") << value;
        EXPECT_EQ(r.events.begins, std::vector<int32_t>{0}) << value;
        EXPECT_EQ(r.events.works.back(), 16) << value;
    }
    auto r = Answer("HTTP/1.1 200 OK\r\n\r\nno length");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.body, "no length");
    EXPECT_EQ(r.events.log.front(), "connected");
    EXPECT_EQ(r.events.log.at(1), "begin 0");
}

TEST(HttpBody, ZeroLengthIsEmptyEvenWithMoreBytesOnAnOpenLine) {
    ScriptedServer server;
    server.Send("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\nextra bytes").Pause(5s).Start();
    const auto start = std::chrono::steady_clock::now();
    auto r = Fetch(server);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.body, "");
    EXPECT_TRUE(r.events.works.empty());
}

TEST(HttpBody, ChunkedGivesNotificationsPerChunk) {
    auto r = Answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                    "10\r\n0123456789abcdef\r\n5\r\nVWXYZ\r\n0\r\n\r\n");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.body, "0123456789abcdefVWXYZ");
    EXPECT_EQ(r.events.begins, (std::vector<int32_t>{16, 5}));
    ASSERT_GE(r.events.log.size(), 5u);
    EXPECT_EQ(r.events.log.front(), "connected");
    // The last work before each begin (and at the end) closes that chunk's count.
    std::vector<std::string> lastOfChunk;
    for (size_t i = 1; i < r.events.log.size(); ++i)
        if (r.events.log[i].rfind("begin", 0) == 0 && i > 1) lastOfChunk.push_back(r.events.log[i - 1]);
    lastOfChunk.push_back(r.events.log.back());
    EXPECT_EQ(lastOfChunk, (std::vector<std::string>{"work 16", "work 5"}));
}

TEST(HttpBody, ChunkSizeEndsAtAnExtensionOrBlank) {
    auto r = Answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                    "10;name=value\r\n0123456789abcdef\r\n5 ; x\r\nVWXYZ\r\n3\t;q=\"a;b\"\r\nxyz\r\n0;last\r\n\r\n");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.body, "0123456789abcdefVWXYZxyz");
    EXPECT_EQ(r.events.begins, (std::vector<int32_t>{16, 5, 3}));
}

TEST(HttpBody, ChunkedSplitAcrossReadsAndTrailingBytes) {
    ScriptedServer server;
    server.Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1")
        .Pause(60ms)
        .Send("0\r\n01234567")
        .Pause(60ms)
        .Send("89abcdef\r")
        .Pause(60ms)
        .Send("\n3\r\nxyz\r\n0\r")
        .Pause(60ms)
        .Send("\n\r\nHTTP/1.1 200 OK garbage after the last chunk")
        .Pause(5s)  // an open line must not delay the end
        .Start();
    const auto start = std::chrono::steady_clock::now();
    auto r = Fetch(server);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.body, "0123456789abcdefxyz");
    EXPECT_EQ(r.events.begins, (std::vector<int32_t>{16, 3}));
    EXPECT_GE(r.events.works.size(), 3u);  // the first chunk arrived in two pieces
}

TEST(HttpBody, ContentLengthWinsOverChunked) {
    auto r = Answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 8\r\n\r\n3\r\nabc\r\n0\r\n\r\n");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.body, "3\r\nabc\r\n");
}

TEST(HttpBody, LargeBodyCountsRiseToTheEnd) {
    std::string body(100000, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 + i / 256);
    ScriptedServer server;
    server.Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + body.substr(0, 30000))
        .Pause(30ms)
        .Send(body.substr(30000))
        .Start();
    auto r = Fetch(server);
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(r.body == body);
    EXPECT_EQ(r.events.begins, std::vector<int32_t>{100000});
    ASSERT_GE(r.events.works.size(), 2u);
    EXPECT_TRUE(std::is_sorted(r.events.works.begin(), r.events.works.end()));
    EXPECT_EQ(r.events.works.back(), 100000);
}

TEST(HttpLimits, SilentServerFailsByTheReadLimit) {
    for (const std::string answer : {"", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc"}) {
        ScriptedServer server;
        server.Send(answer).Pause(10s).Start();
        const auto start = std::chrono::steady_clock::now();
        auto r = Fetch(server);  // read limit 700 ms
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.kind, EHttpError::TKind::Timeout);
        EXPECT_GE(took, 700ms);
        EXPECT_LT(took, 3s);
    }
}

TEST(HttpLimits, NoServerFails) {
    THttpClient client;
    client.ConnectTimeout = 3s;
    bool connected = false;
    client.OnConnected = [&] { connected = true; };
    try {
        client.GetText("http://127.0.0.1:" + std::to_string(ScriptedServer::UnusedPort()) + "/");
        ADD_FAILURE() << "refused connection succeeded";
    } catch (const EHttpError& e) {
        EXPECT_EQ(e.Kind(), EHttpError::TKind::Connect);
        EXPECT_EQ(e.StatusCode(), -1);
    }
    try {
        client.GetText("http://nonexistent.invalid/");
        ADD_FAILURE() << "unresolvable host succeeded";
    } catch (const EHttpError& e) {
        EXPECT_TRUE(e.Kind() == EHttpError::TKind::Resolve || e.Kind() == EHttpError::TKind::Connect) << e.what();
    }
    EXPECT_FALSE(connected);
}

TEST(HttpLimits, BodyLimits) {
    const std::string mib(1024 * 1024, 'm');
    ScriptedServer exact;
    exact.Send("HTTP/1.1 200 OK\r\n\r\n" + mib).Start();
    THttpClient client;
    EXPECT_EQ(client.GetText(exact.Url("/")).size(), mib.size());

    // One byte over the text cap, once announced and once only counted.
    for (const std::string head : {"Content-Length: 1048577\r\n", ""}) {
        ScriptedServer server;
        server.Send("HTTP/1.1 200 OK\r\n" + head + "\r\n" + mib + "x").Start();
        try {
            client.GetText(server.Url("/"));
            ADD_FAILURE() << "over-long text accepted";
        } catch (const EHttpError& e) {
            EXPECT_EQ(e.Kind(), EHttpError::TKind::TooLarge);
        }
    }

    // The stream limit counts chunk data across chunks.
    ScriptedServer chunked;
    chunked.Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n6\r\n123456\r\n6\r\n789012\r\n0\r\n\r\n")
        .Start();
    client.MaxBody = 10;
    std::ostringstream out;
    try {
        client.Get(chunked.Url("/"), out);
        ADD_FAILURE() << "over-long body accepted";
    } catch (const EHttpError& e) {
        EXPECT_EQ(e.Kind(), EHttpError::TKind::TooLarge);
    }
    EXPECT_EQ(out.str(), "123456");
}

TEST(HttpLimits, StreamThatCannotTakeTheBodyFails) {
    ScriptedServer server;
    server.Send("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody").Start();
    std::ostringstream out;
    out.setstate(std::ios::badbit);
    THttpClient client;
    try {
        client.Get(server.Url("/"), out);
        ADD_FAILURE() << "write to a bad stream succeeded";
    } catch (const EHttpError& e) {
        EXPECT_EQ(e.Kind(), EHttpError::TKind::Sink);
    }
}
