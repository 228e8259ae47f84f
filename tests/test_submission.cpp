#include "server/Submission.h"
#include "support/ScriptedServer.h"

#include <gtest/gtest.h>

using namespace castora;
using castora::test::ScriptedServer;
using namespace std::chrono_literals;

TEST(UrlEncode, KeepsOnlyLettersDigitsAndUnderscore) {
    EXPECT_EQ(UrlEncode("Radio One"), "Radio+One");
    EXPECT_EQ(UrlEncode("a:b/c.d"), "a%3Ab%2Fc%2Ed");
    EXPECT_EQ(UrlEncode("100% fun"), "100%25+fun");
    EXPECT_EQ(UrlEncode("1+1"), "1%2B1");
    EXPECT_EQ(UrlEncode(""), "");
    EXPECT_EQ(UrlEncode("\xD0"), "%D0");
    EXPECT_EQ(UrlEncode("-"), "%2D");
    EXPECT_EQ(UrlEncode("~*._"), "%7E%2A%2E_");
    EXPECT_EQ(UrlEncode("AZaz09"), "AZaz09");
    EXPECT_EQ(UrlEncode(std::string("\0\x0A\xFF", 3)), "%00%0A%FF");
    EXPECT_EQ(UrlEncode("@[`{/:"), "%40%5B%60%7B%2F%3A");  // neighbours of the kept ranges
}

TEST(Submission, UrlHoldsAllEightKeysInOrder) {
    EXPECT_EQ(BuildSubmissionUrl("host", 1, 2, 1, 1, "My Radio", "http://x/y", "", ""),
              "http://host/add.php?format=1&source=2&country=1&genre=1&name=My+Radio&url=http%3A%2F%2Fx%2Fy"
              "&bitrate=&comments=");
    EXPECT_EQ(BuildSubmissionUrl("h:81", -1, 0, -1, 12, "\xC0\xE1", "u", "128", "a&b=c"),
              "http://h:81/add.php?format=-1&source=0&country=-1&genre=12&name=%C0%E1&url=u&bitrate=128"
              "&comments=a%26b%3Dc");
}

TEST(Submission, RequestLineOnTheWire) {
    ScriptedServer server;
    server.Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok").Start();
    SendChannel(server.HostPort(), 1, 2, 1, 1, "My Radio", "http://x/y", "", "");
    EXPECT_EQ(server.Request(),
              "GET /add.php?format=1&source=2&country=1&genre=1&name=My+Radio&url=http%3A%2F%2Fx%2Fy&bitrate=&comments="
              " HTTP/1.1\r\nContent-Type: text/html\r\nHost: " +
                  server.HostPort() +
                  "\r\nAccept: text/html, */*\r\nUser-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n\r\n");
}

TEST(Submission, FailuresPassQuietly) {
    ScriptedServer notFound;
    notFound.Send("HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nnah").Start();
    EXPECT_NO_THROW(SendChannel(notFound.HostPort(), -1, -1, -1, -1, "n", "u", "", ""));
    EXPECT_NE(notFound.Request().find(
                  "GET /add.php?format=-1&source=-1&country=-1&genre=-1&name=n&url=u&bitrate=&comments= "),
              std::string::npos);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_NO_THROW(
        SendChannel("127.0.0.1:" + std::to_string(ScriptedServer::UnusedPort()), 0, 0, 0, 0, "", "", "", ""));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

    ScriptedServer reset;
    reset.Send("HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\nabc").Pause(100ms).Reset().Start();
    EXPECT_NO_THROW(SendChannel(reset.HostPort(), 0, 0, 0, 0, "", "", "", ""));
}
