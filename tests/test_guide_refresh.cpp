// Guides from addresses and files, against a loopback server: conditional requests, copies kept when a
// source fails, the cache, and the keeper's thread.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "catalogue/GuideReader.h"
#include "server/GuideDownload.h"
#include "server/GuideRefresh.h"
#include "support/ConditionalHttpServer.h"
#include "support/Guides.h"
#include "support/ScriptedServer.h"
#include "support/TempDir.h"

using namespace castora;
using namespace castora::test;
using namespace std::chrono_literals;

namespace {

const int64_t kNow = At("20261209120000");

std::string GuideOf(const std::string& id, const std::string& title) {
    return Xmltv(XmlChannel(id, {id + " name"}) +
                 XmlProgramme(id, "20261209110000 +0000", "20261209130000 +0000", title));
}

std::string TitleNow(const GuideIndex& g, const std::string& id) {
    const int32_t c = g.FindId(id);
    if (c < 0) return "(no channel)";
    const GuideProgramme* p = g.OnAir(c, kNow);
    return p ? std::string(g.Text(p->title)) : "(nothing)";
}

GuideRefreshRequest Request(const TempDir& dir, std::vector<std::string> sources, int64_t now = kNow) {
    GuideRefreshRequest r;
    r.cacheDir = dir / "cache";
    r.sources = std::move(sources);
    r.now = now;
    r.download.connectTimeout = 5s;
    return r;
}

bool HasLine(const std::string& head, const std::string& line) {
    return head.find("\r\n" + line + "\r\n") != std::string::npos;
}

}  // namespace

TEST(DownloadGuide, AsksWhetherItsCopyChangedAndStoresTheBodyAsItCame) {
    ConditionalHttpServer server;
    const std::string packed = Gzip(GuideOf("a", "News"));
    server.Put("/epg.xml.gz", {packed, "\"v1\"", "Wed, 09 Dec 2026 10:00:00 GMT"});
    TempDir dir;

    const GuideDownload first = DownloadGuide(server.Url("/epg.xml.gz"), dir / "copy", {}, {});
    ASSERT_EQ(first.outcome, GuideDownload::Outcome::Fetched) << first.error;
    EXPECT_EQ(first.validators, (GuideValidators{"\"v1\"", "Wed, 09 Dec 2026 10:00:00 GMT"}));
    EXPECT_EQ(ReadFile(dir / "copy"), packed);
    const std::string head = server.Requests().at(0);
    EXPECT_TRUE(HasLine(head, "Accept-Encoding: gzip")) << head;
    EXPECT_EQ(head.find("If-"), std::string::npos) << head;

    const GuideDownload again = DownloadGuide(server.Url("/epg.xml.gz"), dir / "copy2", first.validators, {});
    EXPECT_EQ(again.outcome, GuideDownload::Outcome::NotModified) << again.error;
    EXPECT_FALSE(std::filesystem::exists(dir / "copy2"));
    const std::string conditional = server.Requests().at(1);
    EXPECT_TRUE(HasLine(conditional, "If-None-Match: \"v1\"")) << conditional;
    EXPECT_TRUE(HasLine(conditional, "If-Modified-Since: Wed, 09 Dec 2026 10:00:00 GMT")) << conditional;

    // Moved: the redirect is followed, and its validators are those of the last answer.
    server.Put("/old.xml", {"", "\"moved\"", "", "Location: " + server.Url("/epg.xml.gz") + "\r\n", 301});
    const GuideDownload moved = DownloadGuide(server.Url("/old.xml"), dir / "moved", {}, {});
    EXPECT_EQ(moved.outcome, GuideDownload::Outcome::Fetched) << moved.error;
    EXPECT_EQ(moved.finalUrl, server.Url("/epg.xml.gz"));
    EXPECT_EQ(moved.validators.etag, "\"v1\"");
    EXPECT_EQ(ReadFile(dir / "moved"), packed);

    // Changed on the server: the new body comes.
    server.Put("/epg.xml.gz", {"<tv/>", "\"v2\"", ""});
    const GuideDownload changed = DownloadGuide(server.Url("/epg.xml.gz"), dir / "copy3", first.validators, {});
    EXPECT_EQ(changed.outcome, GuideDownload::Outcome::Fetched);
    EXPECT_EQ(changed.validators, (GuideValidators{"\"v2\"", ""}));
    EXPECT_EQ(ReadFile(dir / "copy3"), "<tv/>");
}

TEST(DownloadGuide, FailsWithAClearTextAndLeavesNoFile) {
    ConditionalHttpServer server;
    server.Put("/big.xml", {std::string(5000, ' ')});
    server.Put("/gone.xml", {"gone", "", "", "", 410});
    TempDir dir;
    WebTransferOptions small;
    small.maxBytes = 1024;
    struct Case {
        const char* what;
        std::string url;
        WebTransferOptions options;
        std::string error;  // the message starts so
    } cases[] = {
        {"404", server.Url("/none.xml"), {}, "The guide could not be downloaded: the server answered 404."},
        {"410", server.Url("/gone.xml"), {}, "The guide could not be downloaded: the server answered 410."},
        {"above the limit", server.Url("/big.xml"), small, "The guide is larger than 1024 bytes."},
        {"nobody listening",
         "http://127.0.0.1:" + std::to_string(ScriptedServer::UnusedPort()) + "/e.xml",
         {},
         "The guide could not be downloaded: "},
        {"not HTTP", "ftp://127.0.0.1/e.xml", {}, "The guide could not be downloaded: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const GuideDownload d = DownloadGuide(c.url, dir / "copy", {}, c.options);
        EXPECT_EQ(d.outcome, GuideDownload::Outcome::Failed);
        EXPECT_TRUE(d.error.starts_with(c.error)) << d.error;
        EXPECT_FALSE(std::filesystem::exists(dir / "copy"));
    }
}

TEST(RefreshGuide, ASourceThatFailsDoesNotStopTheOthers) {
    ConditionalHttpServer server;
    server.Put("/a.xml", {GuideOf("a", "From A"), "\"a1\""});
    server.Put("/broken.xml.gz", {Gzip(GuideOf("b", "From B")).substr(0, 40), "\"b1\""});
    TempDir dir;
    WriteFile(dir / "local.xml", GuideOf("c", "From C"));
    const GuideRefreshRequest request =
        Request(dir, {server.Url("/missing.xml"), server.Url("/a.xml"), server.Url("/broken.xml.gz"),
                      (dir / "local.xml").string(), (dir / "nowhere.xml").string()});
    const GuideRefreshResult r = RefreshGuide(request, nullptr);
    ASSERT_TRUE(r.changed) << r.error;
    ASSERT_TRUE(r.index);
    EXPECT_EQ(TitleNow(*r.index, "a"), "From A");
    EXPECT_EQ(TitleNow(*r.index, "c"), "From C");
    EXPECT_EQ(TitleNow(*r.index, "b"), "(no channel)");
    ASSERT_EQ(r.sources.size(), 5u);
    using S = GuideSourceState::Status;
    EXPECT_EQ(r.sources[0].status, S::Failed);
    EXPECT_EQ(r.sources[0].error, "The guide could not be downloaded: the server answered 404.");
    EXPECT_EQ(r.sources[1].status, S::Fetched);
    EXPECT_EQ(r.sources[1].programmes, 1u);
    EXPECT_EQ(r.sources[2].status, S::Failed);
    EXPECT_EQ(r.sources[2].error, "The guide's gzip data is truncated.");
    EXPECT_EQ(r.sources[3].status, S::File);
    EXPECT_EQ(r.sources[4].status, S::Failed);
    EXPECT_TRUE(r.sources[4].error.starts_with("The guide file ")) << r.sources[4].error;

    // The cache holds what was shown.
    const auto cached = LoadGuideCache(dir / "cache");
    ASSERT_TRUE(cached);
    EXPECT_EQ(Dump(*cached), Dump(*r.index));
}

TEST(RefreshGuide, KeepsTheLastGoodCopyWhenANewOneIsBad) {
    ConditionalHttpServer server;
    server.Put("/e.xml", {GuideOf("a", "Good"), "\"1\""});
    TempDir dir;
    const GuideRefreshResult first = RefreshGuide(Request(dir, {server.Url("/e.xml")}), nullptr);
    ASSERT_TRUE(first.index) << first.error;

    std::string corrupt = Gzip(GuideOf("a", "Bad"));
    for (size_t i = 12; i < 30; ++i) corrupt[i] = static_cast<char>(~corrupt[i]);
    const std::string cut = GuideOf("a", "Bad");
    struct Case {
        const char* what;
        std::string body;
        std::string error;
    } cases[] = {
        {"not XML", "<html><body>Quota exceeded</body></html>",
         "This is not an XMLTV guide: its root element is <html>."},
        {"cut short", cut.substr(0, cut.find("</title>")), "The guide ends early: <title> is not closed."},
        {"a corrupt gzip", corrupt, "The guide's gzip data is corrupt: "},
    };
    std::shared_ptr<const GuideIndex> shown = first.index;
    int version = 2;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server.Put("/e.xml", {c.body, "\"" + std::to_string(version++) + "\""});
        GuideRefreshRequest forced = Request(dir, {server.Url("/e.xml")});
        forced.force = true;
        const GuideRefreshResult r = RefreshGuide(forced, shown);
        ASSERT_EQ(r.sources.size(), 1u);
        EXPECT_EQ(r.sources[0].status, GuideSourceState::Status::Failed);
        EXPECT_TRUE(r.sources[0].error.starts_with(c.error)) << r.sources[0].error;
        EXPECT_TRUE(r.sources[0].usedPrevious);
        if (r.changed) shown = r.index;
        EXPECT_EQ(TitleNow(*shown, "a"), "Good");
    }
    // The copy kept is still the one the server knows as "1": asked again, it says so.
    server.Put("/e.xml", {GuideOf("a", "Good"), "\"1\""});
    GuideRefreshRequest forced = Request(dir, {server.Url("/e.xml")});
    forced.force = true;
    const GuideRefreshResult r = RefreshGuide(forced, shown);
    EXPECT_EQ(r.sources.at(0).status, GuideSourceState::Status::NotModified) << r.sources.at(0).error;
    EXPECT_TRUE(HasLine(server.Requests().back(), "If-None-Match: \"1\""));
}

TEST(RefreshGuide, AsksAgainOnlyWhenItsCopyIsOld) {
    ConditionalHttpServer server;
    server.Put("/e.xml", {GuideOf("a", "News"), "\"1\"", "Wed, 09 Dec 2026 10:00:00 GMT"});
    TempDir dir;
    const GuideRefreshResult first = RefreshGuide(Request(dir, {server.Url("/e.xml")}), nullptr);
    ASSERT_TRUE(first.changed);
    ASSERT_EQ(server.Requests().size(), 1u);

    // An hour later nothing is asked and nothing changes.
    const GuideRefreshResult soon = RefreshGuide(Request(dir, {server.Url("/e.xml")}, kNow + 3600), first.index);
    EXPECT_FALSE(soon.changed);
    EXPECT_FALSE(soon.index);
    EXPECT_EQ(soon.sources.at(0).status, GuideSourceState::Status::Fresh);
    EXPECT_EQ(server.Requests().size(), 1u);

    // Past twelve hours it asks conditionally; the copy has not changed, but the span kept moves on.
    const GuideRefreshResult later = RefreshGuide(Request(dir, {server.Url("/e.xml")}, kNow + 13 * 3600), first.index);
    ASSERT_EQ(server.Requests().size(), 2u);
    EXPECT_TRUE(HasLine(server.Requests()[1], "If-None-Match: \"1\""));
    EXPECT_EQ(later.sources.at(0).status, GuideSourceState::Status::NotModified);
    ASSERT_TRUE(later.changed);
    EXPECT_EQ(later.index->Info().created, kNow + 13 * 3600);

    // A day after, with the server gone, the last copy still gives the guide.
    server.Put("/e.xml", {"", "", "", "", 503});
    const GuideRefreshResult failing =
        RefreshGuide(Request(dir, {server.Url("/e.xml")}, kNow + 30 * 3600), later.index);
    EXPECT_EQ(failing.sources.at(0).status, GuideSourceState::Status::Failed);
    EXPECT_TRUE(failing.sources.at(0).usedPrevious);
    ASSERT_TRUE(failing.index);
    EXPECT_EQ(failing.index->ProgrammeCount(), 1u);
}

TEST(RefreshGuide, ReadsItsCopiesAgainForAChangedCatalogue) {
    ConditionalHttpServer server;
    server.Put("/e.xml", {Xmltv(XmlChannel("a", {"Alpha"}) + XmlChannel("b", {"Beta"}) +
                                XmlProgramme("a", "20261209110000", "20261209130000", "A show") +
                                XmlProgramme("b", "20261209110000", "20261209130000", "B show")),
                          "\"1\""});
    TempDir dir;
    const std::vector<std::string> names = {"Alpha"};
    auto request = Request(dir, {server.Url("/e.xml")});
    request.wanted = std::make_shared<GuideWanted>(GuideWanted::Of(1, [&](int32_t) {
        GuideChannelKeys k;
        k.name = names[0];
        return k;
    }));
    const GuideRefreshResult first = RefreshGuide(request, nullptr);
    ASSERT_TRUE(first.index);
    EXPECT_EQ(TitleNow(*first.index, "a"), "A show");
    EXPECT_EQ(TitleNow(*first.index, "b"), "(nothing)");

    // The same catalogue: nothing to do.
    EXPECT_FALSE(RefreshGuide(request, first.index).changed);
    // Another one: read again from the copy, without a request.
    request.wanted = std::make_shared<GuideWanted>(GuideWanted::Of(1, [&](int32_t) {
        GuideChannelKeys k;
        k.name = "beta";
        return k;
    }));
    const GuideRefreshResult second = RefreshGuide(request, first.index);
    ASSERT_TRUE(second.changed);
    EXPECT_EQ(TitleNow(*second.index, "b"), "B show");
    EXPECT_EQ(TitleNow(*second.index, "a"), "(nothing)");
    EXPECT_EQ(server.Requests().size(), 1u);
}

TEST(RefreshGuide, ReadsAPackedFileServedPackedAgain) {
    // A .gz served with Content-Encoding: gzip comes packed twice.
    ConditionalHttpServer server;
    server.Put("/e.xml.gz", {Gzip(Gzip(GuideOf("a", "Twice"))), "", "", "Content-Encoding: gzip\r\n"});
    TempDir dir;
    const GuideRefreshResult r = RefreshGuide(Request(dir, {server.Url("/e.xml.gz")}), nullptr);
    ASSERT_TRUE(r.index) << r.error << (r.sources.empty() ? "" : r.sources[0].error);
    EXPECT_EQ(TitleNow(*r.index, "a"), "Twice");
}

TEST(RefreshGuide, WithoutSourcesThereIsNoGuide) {
    TempDir dir;
    WriteFile(dir / "g.xml", GuideOf("a", "x"));
    const GuideRefreshResult first = RefreshGuide(Request(dir, {(dir / "g.xml").string()}), nullptr);
    ASSERT_TRUE(first.index);
    ASSERT_TRUE(LoadGuideCache(dir / "cache"));
    const GuideRefreshResult none = RefreshGuide(Request(dir, {}), first.index);
    EXPECT_TRUE(none.changed);
    ASSERT_TRUE(none.index);
    EXPECT_EQ(none.index->ChannelCount(), 0);
    EXPECT_FALSE(LoadGuideCache(dir / "cache"));
}

TEST(GuideKeeper, RunsRefreshesOnItsThreadAndStartsFromTheCache) {
    ConditionalHttpServer server;
    server.Put("/e.xml", {GuideOf("a", "Kept"), "\"1\""});
    TempDir dir;
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<GuideRefreshResult> results;
    std::vector<std::thread::id> threads;
    const auto done = [&](const GuideRefreshResult& r) {
        std::lock_guard lock(mutex);
        results.push_back(r);
        threads.push_back(std::this_thread::get_id());
        arrived.notify_all();
    };
    const auto waitFor = [&](size_t n) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, 30s, [&] { return results.size() >= n; });
    };
    GuideKeeper::Options options;
    options.cacheDir = dir / "cache";
    options.clock = [] { return kNow; };
    {
        GuideKeeper keeper(options, done);
        keeper.SetSources({server.Url("/e.xml")});
        keeper.LoadCache();
        keeper.Refresh(false);
        ASSERT_TRUE(waitFor(2));
        EXPECT_FALSE(results[0].changed);  // no cache yet
        ASSERT_TRUE(results[1].changed);
        EXPECT_EQ(TitleNow(*results[1].index, "a"), "Kept");
        EXPECT_NE(threads[1], std::this_thread::get_id());
        // Fresh: a second refresh changes nothing.
        keeper.Refresh(false);
        ASSERT_TRUE(waitFor(3));
        EXPECT_FALSE(results[2].changed);
    }
    // Another start: the cache gives the guide at once, and the refresh after it has nothing to do.
    results.clear();
    GuideKeeper keeper(options, done);
    keeper.SetSources({server.Url("/e.xml")});
    keeper.LoadCache();
    keeper.Refresh(false);
    ASSERT_TRUE(waitFor(2));
    ASSERT_TRUE(results[0].changed);
    EXPECT_EQ(TitleNow(*results[0].index, "a"), "Kept");
    EXPECT_FALSE(results[1].changed);
    EXPECT_EQ(server.Requests().size(), 1u);
}

TEST(GuideKeeper, StopsARunningDownloadWhenDestroyed) {
    ScriptedServer slow;
    slow.Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n<tv>").Pause(60s).Start();
    TempDir dir;
    GuideKeeper::Options options;
    options.cacheDir = dir / "cache";
    std::atomic<int> calls{0};
    const auto start = std::chrono::steady_clock::now();
    {
        GuideKeeper keeper(options, [&](const GuideRefreshResult&) { ++calls; });
        keeper.SetSources({slow.Url("/e.xml")});
        keeper.Refresh(true);
        for (int i = 0; i < 3000 && slow.Connections() == 0; ++i) std::this_thread::sleep_for(10ms);
        ASSERT_EQ(slow.Connections(), 1u);
    }
    EXPECT_EQ(calls, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
}
