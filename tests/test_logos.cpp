// The logo cache against loopback servers: what reaches the wire (how often, how many at once, with which
// validators), what lands on disk, what the grid shows, and what hostile logos leave behind.
#include <gtest/gtest.h>
#include <zlib.h>

#include <QAccessible>
#include <QBuffer>
#include <QHeaderView>
#include <QImageWriter>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "pages/ChannelGrid.h"
#include "pages/ChannelModel.h"
#include "pages/LogoCache.h"
#include "support/Catalogues.h"
#include "support/HandlerServer.h"
#include "support/QtApp.h"
#include "support/TempDir.h"

using namespace castora;
using namespace castora::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr int64_t kStart = 1'700'000'000;
constexpr int64_t kDay = 24 * 3600;
constexpr int kWait = 30000;

std::string Encoded(const QImage& image, const char* format) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    if (!writer.write(image)) return {};
    return bytes.toStdString();
}

QImage Filled(int w, int h, QColor color) {
    QImage image(w, h, QImage::Format_ARGB32);
    image.fill(color);
    return image;
}

std::string Png(int w, int h, QColor color) { return Encoded(Filled(w, h, color), "png"); }

// Qt reads GIF but does not write it: a one-colour picture, its LZW codes cleared after every pair so the
// code width stays at three bits.
std::string Gif(int w, int h, QColor color) {
    std::string out = "GIF89a";
    const auto le16 = [&out](int v) {
        out += static_cast<char>(v & 0xff);
        out += static_cast<char>(v >> 8 & 0xff);
    };
    le16(w);
    le16(h);
    out += std::string("\x80\x00\x00", 3);  // a global table of two colours
    out += {static_cast<char>(color.red()), static_cast<char>(color.green()), static_cast<char>(color.blue())};
    out += std::string(3, '\0');
    out += ',';
    le16(0);
    le16(0);
    le16(w);
    le16(h);
    out += '\0';
    out += '\x02';  // minimum code size: clear is 4, end is 5
    std::vector<int> codes;
    for (int n = 0; n < w * h; n += 2) codes.insert(codes.end(), {4, 0, 0});
    codes.push_back(5);
    std::string data;
    uint32_t bits = 0;
    int count = 0;
    for (int code : codes) {
        bits |= static_cast<uint32_t>(code) << count;
        count += 3;
        while (count >= 8) {
            data += static_cast<char>(bits & 0xff);
            bits >>= 8;
            count -= 8;
        }
    }
    if (count > 0) data += static_cast<char>(bits & 0xff);
    for (size_t at = 0; at < data.size(); at += 255) {
        const std::string block = data.substr(at, 255);
        out += static_cast<char>(block.size());
        out += block;
    }
    out += '\0';
    out += ';';
    return out;
}

std::string Chunk(const std::string& type, const std::string& data) {
    std::string out;
    const auto be32 = [&out](uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(v >> shift & 0xff);
    };
    be32(static_cast<uint32_t>(data.size()));
    out += type + data;
    const std::string crcd = type + data;
    be32(static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(crcd.data()), static_cast<uInt>(crcd.size()))));
    return out;
}

// A valid PNG head claiming width x height pixels, with a few bytes of picture after it.
std::string ClaimingPng(uint32_t width, uint32_t height) {
    std::string ihdr;
    for (uint32_t v : {width, height})
        for (int shift = 24; shift >= 0; shift -= 8) ihdr += static_cast<char>(v >> shift & 0xff);
    ihdr += std::string("\x08\x06\x00\x00\x00", 5);
    std::string raw(1024, '\0');
    std::string packed(compressBound(static_cast<uLong>(raw.size())), '\0');
    uLongf size = static_cast<uLongf>(packed.size());
    compress(reinterpret_cast<Bytef*>(packed.data()), &size, reinterpret_cast<const Bytef*>(raw.data()),
             static_cast<uLong>(raw.size()));
    packed.resize(size);
    return std::string("\x89PNG\r\n\x1a\n", 8) + Chunk("IHDR", ihdr) + Chunk("IDAT", packed) + Chunk("IEND", "");
}

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

const std::string kSvg =
    "<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100\" height=\"50\" "
    "viewBox=\"0 0 100 50\"><rect width=\"100\" height=\"50\" fill=\"#ff0000\"/></svg>\n";

HttpReply Answer(std::string body, const char* type = "image/png") {
    HttpReply reply;
    reply.headers = {std::string("Content-Type: ") + type};
    reply.body = std::move(body);
    return reply;
}

// The centre pixel, black while there is no image.
QRgb Centre(const QImage& image) {
    return image.isNull() ? qRgb(0, 0, 0) : image.pixel(image.width() / 2, image.height() / 2);
}

bool Near(QRgb pixel, QColor expected) {
    return std::abs(qRed(pixel) - expected.red()) < 8 && std::abs(qGreen(pixel) - expected.green()) < 8 &&
           std::abs(qBlue(pixel) - expected.blue()) < 8;
}

int64_t PeakMemoryKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::atoll(line.c_str() + 6);
    return 0;
}

// Opens the gate when the test ends however it ends, before the server waits for its handlers.
struct OpenAtEnd {
    Gate& gate;
    ~OpenAtEnd() { gate.Open(); }
};

class Logos : public ::testing::Test {
protected:
    void SetUp() override { EnsureApp(); }
    LogoCacheOptions Options() {
        LogoCacheOptions options;
        options.directory = QString::fromStdString((dir / "logos").string());
        options.now = [this] { return now.load(); };
        options.limits.fetch.timeout = 1500ms;
        return options;
    }
    static bool Settles(LogoCache& cache, const LogoAddress& address, LogoState state, int size = 24) {
        return QTest::qWaitFor([&] { return cache.State(address, size) == state; }, kWait);
    }

    TempDir dir;
    std::atomic<int64_t> now{kStart};
};

}  // namespace

TEST_F(Logos, FetchedOnceAsAThumbnailAndReadFromDiskAfterARestart) {
    HandlerServer server([](const HttpRequest&) { return Answer(Png(96, 48, Qt::red)); });
    const LogoAddress wide{server.Url("/wide.png")};
    {
        LogoCache cache(Options());
        // Two channels share the address.
        cache.Want({{wide, 24}, {wide, 24}});
        ASSERT_TRUE(Settles(cache, wide, LogoState::Ready));
        const QImage shown = cache.Image(wide, 24);
        EXPECT_EQ(shown.size(), QSize(24, 12));
        EXPECT_TRUE(Near(shown.pixel(12, 6), Qt::red));
        const QString file = cache.File(wide, 24);
        EXPECT_TRUE(file.startsWith(cache.Directory() + "/")) << file.toStdString();
        EXPECT_EQ(QImage(file).size(), QSize(24, 12));
        // The Play page's larger picture is made at its own size.
        cache.Request(wide, 48);
        ASSERT_TRUE(Settles(cache, wide, LogoState::Ready, 48));
        EXPECT_EQ(cache.Image(wide, 48).size(), QSize(48, 24));
        EXPECT_EQ(QImage(cache.File(wide, 48)).size(), QSize(48, 24));
    }
    const int fetched = server.Count("/wide.png");
    EXPECT_EQ(fetched, 2);
    LogoCache again(Options());
    again.Want({{wide, 24}});
    again.Request(wide, 48);
    ASSERT_TRUE(Settles(again, wide, LogoState::Ready));
    ASSERT_TRUE(Settles(again, wide, LogoState::Ready, 48));
    EXPECT_TRUE(Near(again.Image(wide, 24).pixel(12, 6), Qt::red));
    EXPECT_EQ(server.Count("/wide.png"), fetched);
}

TEST_F(Logos, OneRequestPerAddressAndAtMostFourAtOnce) {
    Gate gate;
    HandlerServer server([&gate](const HttpRequest&) {
        gate.Wait();
        return Answer(Png(24, 24, Qt::blue));
    });
    OpenAtEnd opener{gate};
    LogoCache cache(Options());
    std::vector<LogoRequest> rows;
    std::vector<LogoAddress> distinct;
    for (int i = 0; i < 20; ++i) distinct.push_back({server.Url("/" + std::to_string(i) + ".png")});
    for (int copy = 0; copy < 3; ++copy)
        for (const LogoAddress& address : distinct) rows.push_back({address, 24});
    cache.Want(rows);

    ASSERT_TRUE(QTest::qWaitFor([&] { return server.Active() == 4; }, kWait));
    QTest::qWait(300);
    EXPECT_EQ(server.Active(), 4);
    EXPECT_EQ(server.Requests().size(), 4u);
    gate.Open();
    for (const LogoAddress& address : distinct) ASSERT_TRUE(Settles(cache, address, LogoState::Ready));
    EXPECT_EQ(server.MostActive(), 4);
    EXPECT_EQ(server.Requests().size(), 20u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(server.Count("/" + std::to_string(i) + ".png"), 1) << i;
}

// Rows that scrolled away give way: their queued requests are dropped and their running ones cancelled,
// so the rows now in view are not stuck behind a slow server.
TEST_F(Logos, ANewerViewSupersedesWhatScrolledAway) {
    Gate gate;
    HandlerServer server([&gate](const HttpRequest& r) {
        if (r.path.starts_with("/away")) gate.Wait();
        return Answer(Png(24, 24, Qt::green));
    });
    OpenAtEnd opener{gate};
    LogoCache cache(Options());
    std::vector<LogoRequest> away, now;
    for (int i = 0; i < 10; ++i) away.push_back({{server.Url("/away" + std::to_string(i) + ".png")}, 24});
    for (int i = 0; i < 4; ++i) now.push_back({{server.Url("/now" + std::to_string(i) + ".png")}, 24});
    cache.Want(away);
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.Active() == 4; }, kWait));
    cache.Want(now);
    for (const LogoRequest& r : now) ASSERT_TRUE(Settles(cache, r.address, LogoState::Ready));
    gate.Open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.Active() == 0; }, kWait));
    QTest::qWait(200);

    // The four that were running when the view moved, and the new view; none of the others that waited.
    std::set<std::string> asked, awayAsked;
    for (const HttpRequest& r : server.Requests()) (r.path.starts_with("/away") ? awayAsked : asked).insert(r.path);
    EXPECT_EQ(server.Requests().size(), 8u);
    EXPECT_EQ(awayAsked.size(), 4u);
    EXPECT_EQ(asked, (std::set<std::string>{"/now0.png", "/now1.png", "/now2.png", "/now3.png"}));
    // Cancelled is not failed: shown again, they are asked for again.
    const LogoAddress cancelled{server.Url(*awayAsked.begin())};
    EXPECT_EQ(cache.State(cancelled, 24), LogoState::Unknown);
    cache.Want({{cancelled, 24}});
    EXPECT_TRUE(Settles(cache, cancelled, LogoState::Ready));
}

// After a month a logo is shown from disk and asked for again with its validators: 304 keeps it, a new
// answer replaces it, a failure keeps the old one and is not asked for again within a day.
TEST_F(Logos, AnExpiredLogoIsShownAndAskedForAgainConditionally) {
    std::atomic<int> version{1};
    std::atomic<bool> broken{false};
    HandlerServer server([&](const HttpRequest& r) {
        if (broken) {
            HttpReply reply;
            reply.status = 500;
            return reply;
        }
        const std::string etag = "\"v" + std::to_string(version.load()) + "\"";
        HttpReply reply;
        if (r.headers.count("if-none-match") && r.headers.at("if-none-match") == etag) {
            reply.status = 304;
            return reply;
        }
        reply = Answer(Png(24, 24, version == 1 ? Qt::red : Qt::blue));
        reply.headers.push_back("ETag: " + etag);
        return reply;
    });
    const LogoAddress logo{server.Url("/logo.png")};
    const auto shownAfterRestart = [&](QColor colour, int requests) {
        LogoCache cache(Options());
        cache.Want({{logo, 24}});
        EXPECT_TRUE(Settles(cache, logo, LogoState::Ready));
        EXPECT_TRUE(Near(Centre(cache.Image(logo, 24)), colour));
        EXPECT_TRUE(QTest::qWaitFor([&] { return server.Requests().size() == static_cast<size_t>(requests); }, kWait))
            << server.Requests().size();
        // A replaced logo reaches the cells once its answer is in.
        EXPECT_TRUE(QTest::qWaitFor([&] { return Near(Centre(cache.Image(logo, 24)), colour); }, kWait));
        QTest::qWait(200);
        EXPECT_EQ(server.Requests().size(), static_cast<size_t>(requests));
        return Centre(cache.Image(logo, 24));
    };
    shownAfterRestart(Qt::red, 1);
    now += 29 * kDay;
    shownAfterRestart(Qt::red, 1);
    now += 2 * kDay;
    shownAfterRestart(Qt::red, 2);  // 304
    ASSERT_EQ(server.Requests()[1].headers.count("if-none-match"), 1u);
    EXPECT_EQ(server.Requests()[1].headers.at("if-none-match"), "\"v1\"");
    now += 29 * kDay;  // a month since the 304, not since the first fetch
    shownAfterRestart(Qt::red, 2);

    version = 2;
    now += 2 * kDay;
    {
        LogoCache cache(Options());
        QSignalSpy changed(&cache, &LogoCache::logoChanged);
        cache.Want({{logo, 24}});
        ASSERT_TRUE(QTest::qWaitFor([&] { return Near(Centre(cache.Image(logo, 24)), Qt::blue); }, kWait));
        EXPECT_EQ(changed.count(), 2);  // from disk, then the new answer
        EXPECT_TRUE(Near(QImage(cache.File(logo, 24)).pixel(12, 12), Qt::blue));
    }
    EXPECT_EQ(server.Requests().size(), 3u);

    broken = true;
    now += 31 * kDay;
    shownAfterRestart(Qt::blue, 4);
    now += 3600;
    shownAfterRestart(Qt::blue, 4);
}

TEST_F(Logos, AFailureIsRememberedForADay) {
    HandlerServer server([](const HttpRequest&) {
        HttpReply reply;
        reply.status = 404;
        return reply;
    });
    const LogoAddress dead{server.Url("/dead.png")};
    {
        LogoCache cache(Options());
        cache.Want({{dead, 24}});
        ASSERT_TRUE(Settles(cache, dead, LogoState::Failed));
        EXPECT_TRUE(cache.Pixmap(dead, 24, 1).isNull());
        EXPECT_TRUE(cache.File(dead, 24).isEmpty());
        cache.Want({});
        cache.Want({{dead, 24}});  // scrolled back
        QTest::qWait(300);
        EXPECT_EQ(cache.State(dead, 24), LogoState::Failed);
    }
    now += 23 * 3600;
    {
        LogoCache cache(Options());
        cache.Want({{dead, 24}});
        ASSERT_TRUE(Settles(cache, dead, LogoState::Failed));
    }
    EXPECT_EQ(server.Count("/dead.png"), 1);
    now += 2 * 3600;
    LogoCache cache(Options());
    cache.Want({{dead, 24}});
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.Count("/dead.png") == 2; }, kWait));
    EXPECT_TRUE(Settles(cache, dead, LogoState::Failed));
}

// Each hostile logo ends as an empty cell, remembered as failed across a restart, with memory bounded.
TEST_F(Logos, HostileLogosLeaveAnEmptyCellAndAreRememberedAsFailed) {
    std::string loop;
    QImage tiffImage = Filled(8, 8, Qt::red);
    const std::string tiff = Encoded(tiffImage, "tiff");
    HandlerServer server([&](const HttpRequest& r) {
        HttpReply reply;
        if (r.path == "/html") return Answer("<!DOCTYPE html><html><body>Not here</body></html>", "text/html");
        if (r.path == "/claims") return Answer(ClaimingPng(60000, 60000));
        if (r.path == "/tiff") return Answer(tiff, "image/tiff");
        if (r.path == "/svgz") return Answer(Gzip(kSvg), "image/svg+xml");
        if (r.path == "/svg-file")
            return Answer("<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
                          "width=\"10\" height=\"10\"><image xlink:href=\"/dev/stdin\" width=\"10\" "
                          "height=\"10\"/></svg>",
                          "image/svg+xml");
        if (r.path == "/truncated") return Answer(Png(64, 64, Qt::red).substr(0, 60));
        if (r.path == "/huge") {
            reply.headers = {"Content-Length: 104857600"};
            reply.endless = 100ull * 1024 * 1024;
        } else if (r.path == "/endless") {
            reply.endless = 100ull * 1024 * 1024;
        } else if (r.path == "/silent") {
            reply.silent = true;
        } else if (r.path == "/slow") {
            reply.body = Png(24, 24, Qt::red);
            reply.trickle = 100ms;
        } else if (r.path == "/loop") {
            reply.status = 302;
            reply.headers = {"Location: " + loop};
        }
        return reply;
    });
    loop = server.Url("/loop");
    ASSERT_FALSE(tiff.empty());
    const char* paths[] = {"/html", "/claims",  "/tiff",   "/svgz", "/svg-file", "/truncated",
                           "/huge", "/endless", "/silent", "/slow", "/loop"};
    std::vector<LogoRequest> rows;
    for (const char* path : paths) rows.push_back({{server.Url(path)}, 24});
    // A playlist from the web may not name a local file.
    TempDir local;
    WriteFile(local / "logo.png", Png(24, 24, Qt::red));
    rows.push_back({{"file://" + (local / "logo.png").string()}, 24});
    rows.push_back({{(local / "logo.png").string()}, 24});
    const int64_t peak = PeakMemoryKiB();
    {
        LogoCache cache(Options());
        QSignalSpy changed(&cache, &LogoCache::logoChanged);
        cache.Want(rows);
        for (const LogoRequest& r : rows) {
            EXPECT_TRUE(Settles(cache, r.address, LogoState::Failed)) << r.address.url;
            EXPECT_TRUE(cache.Pixmap(r.address, 24, 1).isNull()) << r.address.url;
        }
        EXPECT_EQ(changed.count(), 0);
    }
    EXPECT_LT(PeakMemoryKiB() - peak, 64 * 1024) << "KiB more at the peak";
    for (const char* path : paths) EXPECT_LE(server.Count(path), std::string(path) == "/loop" ? 6 : 1) << path;
    const size_t asked = server.Requests().size();

    LogoCache again(Options());
    again.Want(rows);
    for (const LogoRequest& r : rows) EXPECT_TRUE(Settles(again, r.address, LogoState::Failed)) << r.address.url;
    EXPECT_EQ(server.Requests().size(), asked);
}

TEST_F(Logos, ALocalFileOnlyWhenTheUserChoseIt) {
    const fs::path file = dir / "mine.png";
    WriteFile(file, Png(32, 32, Qt::red));
    const LogoAddress chosen{file.string(), true};
    const LogoAddress named{file.string(), false};
    LogoCache cache(Options());
    cache.Want({{chosen, 24}, {named, 24}});
    ASSERT_TRUE(Settles(cache, chosen, LogoState::Ready));
    ASSERT_TRUE(Settles(cache, named, LogoState::Failed));
    EXPECT_TRUE(Near(Centre(cache.Image(chosen, 24)), Qt::red));

    // The user puts another picture under the same name and sets it again.
    WriteFile(file, Png(32, 32, Qt::blue));
    fs::last_write_time(file, fs::last_write_time(file) + std::chrono::seconds(5));
    cache.Forget(chosen);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Near(Centre(cache.Image(chosen, 24)), Qt::blue); }, kWait));
}

TEST_F(Logos, ClearRemovesTheFilesAndFetchesWhatIsShownAgain) {
    HandlerServer server([](const HttpRequest&) { return Answer(Png(24, 24, Qt::red)); });
    const LogoAddress logo{server.Url("/logo.png")};
    LogoCache cache(Options());
    cache.Want({{logo, 24}});
    ASSERT_TRUE(Settles(cache, logo, LogoState::Ready));
    const QString file = cache.File(logo, 24);
    ASSERT_TRUE(QFile::exists(file));
    QSignalSpy cleared(&cache, &LogoCache::cleared);
    cache.Clear();
    EXPECT_EQ(cleared.count(), 1);
    EXPECT_FALSE(QFile::exists(file));
    EXPECT_NE(cache.State(logo, 24), LogoState::Ready);
    ASSERT_TRUE(Settles(cache, logo, LogoState::Ready));
    EXPECT_EQ(server.Count("/logo.png"), 2);
    EXPECT_TRUE(QFile::exists(cache.File(logo, 24)));
    // Only the cache itself is left in its parent directory once the old files are gone.
    const auto entries = [&] {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename().string());
        return names;
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return entries() == std::vector<std::string>{"logos"}; }, kWait));
}

TEST(LogoStore, DecodesTheFormatsQtReadsHereAndNothingElse) {
    EnsureApp();
    const QImage red = Filled(100, 50, Qt::red);
    struct Case {
        const char* name;
        std::string bytes;
        bool shown;
    } cases[] = {
        {"png", Encoded(red, "png"), true},
        {"jpeg", Encoded(red, "jpeg"), true},
        {"gif", Gif(100, 50, Qt::red), true},
        {"bmp", Encoded(red, "bmp"), true},
        {"webp", Encoded(red, "webp"), true},
        {"svg", kSvg, true},
        {"svg drawn at 100000 x 50000",
         "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100000\" height=\"50000\" viewBox=\"0 0 100 50\"><rect "
         "width=\"100\" height=\"50\" fill=\"#ff0000\"/></svg>",
         true},
        {"svg with a local image inside",
         "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"4\" height=\"4\"><image "
         "href = 'logo.png' width=\"4\" height=\"4\"/></svg>",
         false},
        {"svg with entities",
         "<?xml version=\"1.0\"?><!DOCTYPE svg [<!ENTITY a \"aaaaaaaa\">]><svg "
         "xmlns=\"http://www.w3.org/2000/svg\" width=\"4\" height=\"4\"><text>&a;</text></svg>",
         false},
        {"compressed svg", Gzip(kSvg), false},
        {"tiff", Encoded(red, "tiff"), false},
        {"html", "<html><head><title>404</title></head></html>", false},
        {"60000 x 60000 png", ClaimingPng(60000, 60000), false},
        {"empty", "", false},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(!c.bytes.empty() || std::string(c.name) == "empty") << c.name << ": this Qt cannot write it";
        std::string reason;
        const QImage image = LogoStore::Decode(c.bytes, 24, 4096 * 4096, &reason);
        EXPECT_EQ(!image.isNull(), c.shown) << c.name << ": " << reason;
        if (!c.shown || image.isNull()) {
            EXPECT_FALSE(reason.empty()) << c.name;
            continue;
        }
        const QImage thumbnail = LogoStore::Thumbnail(image, 24);
        EXPECT_EQ(thumbnail.size(), QSize(24, 12)) << c.name;
        EXPECT_TRUE(Near(thumbnail.pixel(12, 6), Qt::red)) << c.name;
    }
}

// ---- the grid's logo column (offscreen) ------------------------------------------------------------------

namespace {

class LogoGrid : public Logos {
protected:
    void Fill(int32_t count) {
        for (int32_t i = 1; i <= count; ++i)
            table.AppendChannel(Channel("Ch" + std::to_string(i), "http://c/" + std::to_string(i)));
        Show(count, [](int32_t row) { return row; });
    }
    // Grid rows 1..rows show the records `record` gives them.
    void Show(int32_t rows, const std::function<int32_t(int32_t row)>& record) {
        std::vector<int32_t> map(static_cast<size_t>(table.ChannelCount) + 2, 0);
        for (int32_t r = 1; r <= rows; ++r) map[static_cast<size_t>(r)] = record(r);
        table.SetRowMap(std::move(map));
        model.SetRows(rows);
    }
    std::vector<int> Widths() {
        std::vector<int> out;
        for (int c = 0; c < ChannelColumnCount; ++c) out.push_back(grid.isColumnHidden(c) ? 0 : grid.columnWidth(c));
        return out;
    }

    QApplication& app = EnsureApp();  // before the first widget
    ChannelTable table;
    ChannelModel model{table};
    TChannelGrid grid{model};
};

}  // namespace

TEST_F(LogoGrid, TheLogoColumnAndTheRowHeightFollowTheLogos) {
    Fill(3);
    grid.setFixedSize(497, 315);
    std::vector<QString> headers;
    for (int c = 0; c < ChannelColumnCount; ++c)
        headers.push_back(model.headerData(c, Qt::Horizontal, Qt::DisplayRole).toString());
    EXPECT_EQ(headers, (std::vector<QString>{"", " Channel", "Now", "Genre", "Bitrate", "Comments"}));
    EXPECT_EQ(model.headerData(0, Qt::Horizontal, Qt::AccessibleTextRole).toString(), "Logo");
    EXPECT_EQ(model.CellText(ChannelColumn::Name, 2), " Ch2");

    // Without logos the grid is as it always was.
    EXPECT_EQ(Widths(), (std::vector<int>{0, 140, 0, 80, 50, 224}));
    EXPECT_EQ(grid.rowHeight(0), 20);

    LogoCache cache(Options());
    std::map<int32_t, std::string> logos{{2, "http://127.0.0.1:9/two.png"}};
    grid.SetLogos(&cache, [&logos](int32_t record) {
        const auto it = logos.find(record);
        return it == logos.end() ? LogoAddress{} : LogoAddress{it->second};
    });
    EXPECT_EQ(Widths(), (std::vector<int>{30, 140, 0, 80, 50, 194}));
    EXPECT_EQ(grid.rowHeight(0), 28);
    // What a screen reader reads for the headers.
    QAccessibleInterface* view = QAccessible::queryAccessibleInterface(&grid);
    ASSERT_TRUE(view && view->tableInterface());
    std::vector<QString> spoken;
    for (int c = 0; c < ChannelColumnCount; ++c) {
        const QList<QAccessibleInterface*> cells =
            view->tableInterface()->cellAt(0, c)->tableCellInterface()->columnHeaderCells();
        spoken.push_back(cells.isEmpty() ? QString() : cells.first()->text(QAccessible::Name));
    }
    EXPECT_EQ(spoken, (std::vector<QString>{"Logo", " Channel", "Now", "Genre", "Bitrate", "Comments"}));
    EXPECT_EQ(model.LogoAt(1).url, "");
    EXPECT_EQ(model.LogoAt(2).url, "http://127.0.0.1:9/two.png");

    // A filter that shows only channels without logos: the rows return to their height.
    Show(2, [](int32_t row) { return row == 1 ? 1 : 3; });
    EXPECT_EQ(Widths(), (std::vector<int>{0, 140, 0, 80, 50, 224}));
    EXPECT_EQ(grid.rowHeight(0), 20);

    logos[3] = "http://127.0.0.1:9/three.png";
    grid.LogosChanged();
    EXPECT_EQ(grid.rowHeight(0), 28);
    EXPECT_FALSE(grid.isColumnHidden(0));
}

// Only the rows in view and a screenful ahead are fetched, in the direction of scrolling.
TEST_F(LogoGrid, FetchesTheRowsInViewAndAScreenfulAhead) {
    HandlerServer server([](const HttpRequest&) { return Answer(Png(24, 24, Qt::red)); });
    Fill(2000);
    grid.setFixedSize(497, 315);
    grid.horizontalHeader()->setFixedHeight(20);
    LogoCache cache(Options());
    grid.SetLogos(&cache,
                  [&](int32_t record) { return LogoAddress{server.Url("/" + std::to_string(record) + ".png")}; });
    grid.show();
    const auto asked = [&] {
        std::set<int> rows;
        for (const HttpRequest& r : server.Requests()) rows.insert(std::stoi(r.path.substr(1)));
        return rows;
    };
    const int page = grid.viewport()->height() / TChannelGrid::LogoRowHeight + 1;
    const auto ready = [&](int first, int last) {
        return QTest::qWaitFor(
            [&] {
                for (int record = first; record <= last; ++record)
                    if (cache.State({server.Url("/" + std::to_string(record) + ".png")}, 24) != LogoState::Ready)
                        return false;
                return true;
            },
            kWait);
    };
    ASSERT_TRUE(ready(1, 2 * page));
    QTest::qWait(200);
    EXPECT_EQ(*asked().rbegin(), 2 * page);
    EXPECT_EQ(asked().size(), static_cast<size_t>(2 * page));

    grid.verticalScrollBar()->setValue(1000);
    const int first = grid.rowAt(0) + 1;
    ASSERT_TRUE(ready(first, first + 2 * page - 1));
    grid.verticalScrollBar()->setValue(500);
    const int back = grid.rowAt(0) + 1;
    ASSERT_TRUE(ready(back - page, back + page - 1));
    QTest::qWait(200);
    for (int record : asked()) {
        const bool shown = record <= 2 * page || (record >= first && record < first + 2 * page) ||
                           (record >= back - page && record < back + page);
        EXPECT_TRUE(shown) << record << " was never in view nor a screenful ahead";
    }
}

// A grid of many rows, the only logo far from both ends: the rows are shown at once, and the grid makes
// room for logos once the model has read far enough.
TEST_F(LogoGrid, ALogoFarFromBothEndsIsFoundInTheBackground) {
    Fill(20000);
    grid.setFixedSize(497, 315);
    LogoCache cache(Options());
    // A slow store: the model reads a few milliseconds' worth of rows at a time.
    grid.SetLogos(&cache, [](int32_t record) {
        std::this_thread::sleep_for(20us);
        return record == 10000 ? LogoAddress{"http://127.0.0.1:9/middle.png"} : LogoAddress{};
    });
    EXPECT_FALSE(model.ShowsLogos());
    EXPECT_EQ(grid.rowHeight(0), 20);
    EXPECT_TRUE(QTest::qWaitFor([&] { return model.ShowsLogos(); }, kWait));
    EXPECT_EQ(grid.rowHeight(0), 28);

    // The same rows again, now with the logo in view: decided before they are painted.
    grid.verticalScrollBar()->setValue(9995);
    model.SetRows(20000);
    EXPECT_FALSE(model.ShowsLogos());
    QCoreApplication::processEvents();
    EXPECT_TRUE(model.ShowsLogos());
}
