// Reading XMLTV guides: what is kept of a guide, what makes one unreadable, and that a stream read in
// any pieces gives the same guide.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "catalogue/GuideReader.h"
#include "catalogue/GuideTime.h"
#include "catalogue/XmlReader.h"
#include "support/Guides.h"
#include "support/TempDir.h"

using namespace castora;
using namespace castora::test;

namespace {

// Hands out the bytes in pieces of the given sizes, in turn, as a network or a slow disk might.
class PieceSource : public ByteSource {
public:
    PieceSource(std::string bytes, std::vector<size_t> pieces) : bytes_(std::move(bytes)), pieces_(std::move(pieces)) {}
    size_t Read(char* buffer, size_t size) override {
        const size_t n = std::min({size, bytes_.size() - at_, pieces_[turn_++ % pieces_.size()]});
        std::copy_n(bytes_.data() + at_, n, buffer);
        at_ += n;
        return n;
    }

private:
    std::string bytes_;
    std::vector<size_t> pieces_;
    size_t at_ = 0, turn_ = 0;
};

const std::string kTwoChannels =
    Xmltv(XmlChannel("one.uk", {"One", "BBC One HD"}, "http://logo.example/one.png") + XmlChannel("two.ru", {"Два"}) +
          XmlProgramme("one.uk", "20261209100000 +0000", "20261209110000 +0000", "News &amp; Weather",
                       "    <sub-title>Evening</sub-title>\n    <desc lang=\"en\">Line &lt;one&gt;.</desc>\n"
                       "    <desc lang=\"de\">Zeile.</desc>\n    <category>News</category>\n"
                       "    <episode-num system=\"xmltv_ns\">2.11.0/1</episode-num>\n") +
          XmlProgramme("one.uk", "20261209110000 +0000", "20261209120000 +0000", "<![CDATA[Tom & Jerry <3>]]>",
                       "    <episode-num system=\"xmltv_ns\">0.4.</episode-num>\n"
                       "    <episode-num system=\"onscreen\">Part 5</episode-num>\n"
                       "    <credits><actor>Someone</actor></credits>\n") +
          XmlProgramme("two.ru", "20261209130000 +0300", "20261209140000 +0300",
                       "&#1053;&#x43E;&#x432;&#x43E;&#x441;&#x442;&#x438;"));

std::shared_ptr<GuideIndex> Read(const std::string& bytes, const GuideReadOptions& options = {},
                                 GuideReadStats* stats = nullptr) {
    return ReadGuideText(bytes, options, stats);
}

std::string ErrorOf(const std::string& bytes, const GuideReadOptions& options = {}) {
    try {
        Read(bytes, options);
    } catch (const GuideError& e) {
        return e.what();
    }
    return "(read)";
}

}  // namespace

TEST(GuideReader, KeepsChannelsAndProgrammesWithTheirTexts) {
    GuideReadStats stats;
    const auto g = Read(kTwoChannels, {}, &stats);
    EXPECT_EQ(stats.programmes, 3u);
    EXPECT_EQ(stats.kept, 3u);
    const auto span = [](const char* from, const char* to) {
        return std::to_string(At(from)) + "-" + std::to_string(At(to));
    };
    // The first of several texts is kept (the guide's first language), an onscreen episode number
    // over the xmltv_ns one, and nothing of elements the guide does not show (credits).
    EXPECT_EQ(Dump(*g), "channel one.uk name=One icon=http://logo.example/one.png keys=one,bbconehd,\n"
                        "  " +
                            span("20261209100000", "20261209110000") +
                            " News & Weather | Evening | Line <one>. | News | S3 E12\n"
                            "  " +
                            span("20261209110000", "20261209120000") +
                            " Tom & Jerry <3> |  |  |  | Part 5\n"
                            "channel two.ru name=Два icon= keys=\xe4\xe2\xe0,\n"
                            "  " +
                            span("20261209100000", "20261209110000") + " Новости |  |  |  | \n");
}

TEST(GuideReader, RefusesWhatItCannotReadWithAClearMessage) {
    const std::string good = Xmltv(XmlChannel("one.uk", {"One"}) +
                                   XmlProgramme("one.uk", "20261209100000 +0000", "20261209110000 +0000", "News"));
    std::string corrupt = Gzip(good + std::string(5000, 'x'));
    for (size_t i = 20; i < 40; ++i) corrupt[i] = static_cast<char>(corrupt[i] ^ 0x5A);
    const std::string packed = Gzip(good);
    GuideReadOptions oneMiB;
    oneMiB.decode.maxDecodedBytes = 1024 * 1024;
    GuideReadOptions few;
    few.maxChannels = 2;
    few.maxProgrammes = 2;
    const std::string three =
        Xmltv(XmlChannel("a", {"A"}) + XmlChannel("b", {"B"}) + XmlChannel("a", {"A again"}) + XmlChannel("c", {"C"}));
    std::string many = XmlChannel("a", {"A"});
    for (int i = 0; i < 3; ++i) many += XmlProgramme("a", "2026120910" + std::to_string(10 + i) + "00", "", "p");
    std::string deep = "<tv>";
    for (int i = 0; i < 300; ++i) deep += "<a>";

    struct Case {
        const char* what;
        std::string bytes;
        std::string error;  // the message holds this
        GuideReadOptions options = {};
    } cases[] = {
        {"empty", "", "The guide is empty."},
        {"blank", " \n\t ", "The guide has no XML element."},
        {"plain text", "Not found\n", "The guide is not XML."},
        {"JSON", "{\"programmes\": []}", "The guide is not XML."},
        {"UTF-16", std::string("\xFF\xFE<\0t\0v\0>\0", 10), "The guide is not XML."},
        {"an HTML page", "<!DOCTYPE html>\n<html><body>Error 500</body></html>",
         "This is not an XMLTV guide: its root element is <html>."},
        {"cut inside a title", good.substr(0, good.find("</title>")), "The guide ends early: <title> is not closed."},
        {"cut inside a tag", good.substr(0, good.find("channel=\"one.uk\">")), "The guide ends inside a tag."},
        {"cut before its end", good.substr(0, good.find("</tv>")), "The guide ends early: <tv> is not closed."},
        {"a mismatched end tag",
         Xmltv(XmlChannel("a", {"A"}) + "<programme start=\"20261209\" channel=\"a\"><title>x</desc>"),
         "The guide is not well-formed XML near byte 2"},
        {"a mismatched end tag, said how", Xmltv(XmlChannel("a", {"A"}) + "<channel id=\"b\"><display-name>x</desc>"),
         "</desc> closes <display-name>."},
        {"an unquoted attribute", "<tv><channel id=one></channel></tv>", "an unquoted attribute value in <channel>."},
        {"an unclosed comment", "<tv><!-- <channel>", "The guide ends inside a comment."},
        {"an unclosed DOCTYPE", "<!DOCTYPE tv [ <!ENTITY a \"b\"> ", "The guide ends inside its DOCTYPE."},
        {"a tag beyond the limit", Xmltv("<channel id=\"" + std::string(70000, 'x') + "\"></channel>"),
         "a tag longer than 65536 bytes."},
        {"nesting beyond the limit", deep, "elements nested deeper than 256."},
        {"an unsupported encoding", "<?xml version=\"1.0\" encoding=\"UTF-16\"?><tv></tv>",
         "The guide's encoding \"utf-16\" is not supported."},
        {"a cut gzip", packed.substr(0, packed.size() / 2), "The guide's gzip data is truncated."},
        {"gzip without its trailer", packed.substr(0, packed.size() - 4), "The guide's gzip data is truncated."},
        {"a corrupt gzip", corrupt, "The guide's gzip data is corrupt: "},
        // 200 MiB of blanks pack into a fifth of a MiB.
        {"a decompression bomb", Gzip("<tv>" + std::string(200 * 1024 * 1024, ' ') + "</tv>", 9),
         "The guide is larger than 1 MiB unpacked.", oneMiB},
        {"too many channels", three, "The guide has more than 2 channels.", few},
        {"too many programmes", Xmltv(many), "The guide has more than 2 programmes to keep.", few},
        {"plain XML beyond the limit", "<tv>" + std::string(1024 * 1024, ' ') + "</tv>",
         "The guide is larger than 1 MiB.", oneMiB},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string error = ErrorOf(c.bytes, c.options);
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

TEST(GuideReader, NeverProcessesTheDtdNorExpandsEntities) {
    // A billion laughs, an external file and a remote address, declared in a subset that also holds a
    // "]>" in quotes and in a comment: all of it is passed over, and references to it stay as written.
    const std::string guide = "<?xml version=\"1.0\"?>\n<!DOCTYPE tv [\n"
                              "  <!ENTITY lol \"lol\">\n"
                              "  <!ENTITY lol2 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">\n"
                              "  <!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">\n"
                              "  <!ENTITY xxe SYSTEM \"file:///etc/passwd\">\n"
                              "  <!ENTITY remote SYSTEM \"http://127.0.0.1:9/guide.dtd\">\n"
                              "  <!ATTLIST programme note CDATA \"]>\">\n"
                              "  <!-- ]> -->\n"
                              "]>\n<tv>" +
                              XmlChannel("a", {"A"}) +
                              XmlProgramme("a", "20261209100000", "20261209110000", "&lol3;&xxe;&remote;",
                                           "<desc>&#0;&#xD800;&#x110000;&#65;&#x42;&bogus;&amp;&amp</desc>") +
                              "</tv>";
    const auto g = Read(guide);
    ASSERT_EQ(g->ProgrammeCount(), 1u);
    const GuideProgramme& p = g->Programmes(0)[0];
    EXPECT_EQ(g->Text(p.title), "&lol3;&xxe;&remote;");
    EXPECT_EQ(g->Text(p.desc), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
                               "AB&bogus;&&amp");
}

TEST(GuideReader, FindsGzipByItsBytesNotItsName) {
    TempDir dir;
    const std::string plain = kTwoChannels;
    const size_t half = plain.size() / 2;
    WriteFile(dir / "packed.xml", Gzip(plain));
    WriteFile(dir / "plain.xml.gz", plain);
    WriteFile(dir / "members.xml.gz", Gzip(plain.substr(0, half)) + Gzip(plain.substr(half)));
    WriteFile(dir / "packed twice", Gzip(Gzip(plain)));
    WriteFile(dir / "trailing zeros.gz", Gzip(plain) + std::string(512, '\0'));
    const std::string expected = Dump(*Read(plain));
    for (const char* name : {"packed.xml", "plain.xml.gz", "members.xml.gz", "packed twice", "trailing zeros.gz"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Dump(*ReadGuideFile(dir / name, {})), expected);
    }
    try {
        ReadGuideFile(dir / "missing.xml", {});
        ADD_FAILURE() << "a missing file was read";
    } catch (const GuideError& e) {
        EXPECT_EQ(std::string(e.what()), "The guide file " + (dir / "missing.xml").string() +
                                             " could not be opened: No such file or directory.");
    }
}

TEST(GuideReader, GivesTheSameGuideWhateverPiecesTheBytesComeIn) {
    // Texts longer than a text event, references and characters of several bytes everywhere, a long
    // comment and CDATA sections, so that piece boundaries fall inside each of them.
    std::string longDesc;
    for (int i = 0; longDesc.size() < 100000; ++i) longDesc += (i % 7 == 0) ? "&amp;&#x44F;" : "Ж€x ";
    std::string body = XmlChannel("a", {"Канал А"}, "http://l/a.png") + XmlChannel("b", {"B"});
    body += "<!-- " + std::string(300000, '-').replace(0, 1, " ") + " -->\n";
    for (int i = 0; i < 40; ++i) {
        char start[32];
        std::snprintf(start, sizeof start, "202612%02d%02d0000 +0000", 9 + i / 24, i % 24);
        body += XmlProgramme(i % 2 ? "a" : "b", start, "", i % 3 ? "Title &lt;" + std::to_string(i) + "&gt;" : "",
                             i % 5 == 0 ? "<desc>" + longDesc + "</desc>"
                                        : "<desc><![CDATA[" + std::string(70000 + i, 'c') + "]]> and more</desc>");
    }
    const std::string plain = Xmltv(body);
    const std::string expected = Dump(*Read(plain));
    ASSERT_EQ(Read(plain)->ProgrammeCount(), 40u);
    const std::vector<std::vector<size_t>> pieces = {{1}, {3, 7, 1}, {4095, 2}, {65536}, {300001}};
    for (const std::string& bytes : {plain, Gzip(plain)}) {
        for (const auto& p : pieces) {
            SCOPED_TRACE(std::to_string(p.front()) + (bytes == plain ? " plain" : " gzip"));
            EXPECT_EQ(Dump(*ReadGuide(std::make_unique<PieceSource>(bytes, p), {})), expected);
        }
    }
}

TEST(GuideReader, CutsLongTextsAtACharacterBoundary) {
    std::string euros;
    for (int i = 0; i < 20000; ++i) euros += "€";  // three bytes each
    const auto g = Read(
        Xmltv(XmlChannel("a", {"A"}) + XmlProgramme("a", "20261209100000", "", "t", "<desc>" + euros + "</desc>")));
    const std::string_view desc = g->Text(g->Programmes(0)[0].desc);
    EXPECT_EQ(desc.size(), GuideBuilder::MaxText / 3 * 3);
    EXPECT_EQ(desc, std::string_view(euros).substr(0, desc.size()));
}

TEST(GuideReader, SkipsProgrammesItCannotPlaceAndCountsThem) {
    std::string body = XmlChannel("a", {"A"}) + XmlChannel("b.de", {"Bee TV"}) + XmlChannel("c", {"Unused"});
    const char* inside = "20261209100000 +0000";
    struct Programme {
        const char* channel;
        const char* start;
        const char* stop;
    } programmes[] = {
        {"a", inside, "20261209110000 +0000"},            // kept
        {"b.de", "20261209110000 +0000", ""},             // kept, without an end
        {"B.DE", inside, ""},                             // ids are compared exactly within a guide
        {"zz", inside, "20261209110000 +0000"},           // unknown channel
        {"a", "", "20261209110000 +0000"},                // no start
        {"a", "2026-12-09 10:00", ""},                    // a start in another form
        {"a", "20261309100000 +0000", ""},                // month 13
        {"a", "20261201100000 +0000", "20261201110000"},  // ends before the span
        {"a", "20261230100000 +0000", "20261230110000"},  // starts after it
        {"a", "20261205000000 +0000", ""},                // no end, a day and more before the span
        {"c", inside, "20261209110000 +0000"},            // no catalogue channel takes it
    };
    for (const Programme& p : programmes) body += XmlProgramme(p.channel, p.start, p.stop, "x");
    GuideChannelKeys records[2];
    records[0].tvgId = "A";
    records[1].name = "BEE-tv";
    const GuideWanted wanted = GuideWanted::Of(2, [&](int32_t r) { return records[r - 1]; });
    GuideReadOptions options;
    options.wanted = &wanted;
    options.keepFrom = At("20261208000000");
    options.keepTo = At("20261216000000");
    GuideReadStats stats;
    const auto g = Read(Xmltv(body), options, &stats);

    EXPECT_EQ(stats.programmes, 11u);
    EXPECT_EQ(stats.kept, 2u);
    EXPECT_EQ(stats.unknownChannel, 2u);
    EXPECT_EQ(stats.badTime, 3u);
    EXPECT_EQ(stats.outside, 3u);
    EXPECT_EQ(stats.unwanted, 1u);
    // Every declared channel is there to be chosen by hand, with programmes only where wanted.
    ASSERT_EQ(g->ChannelCount(), 3);
    EXPECT_EQ(g->Programmes(0).size(), 1u);
    EXPECT_EQ(g->Programmes(2).size(), 0u);
}

TEST(XmlReader, ReadsTagsAndSectionsAsXmlDefinesThem) {
    MemoryByteSource source("\xEF\xBB\xBF<?xml version='1.0'?><tv a='1' b=\"x>y\" c = \"&quot;q&apos;\" ><e/>"
                            "<f x='&lt;'/>text<!-- <g> --><![CDATA[]]]]><![CDATA[>]]><?pi <h>?></tv  >");
    XmlReader x(source);
    using E = XmlReader::Event;
    std::string seen;
    for (E e = x.Next(); e != E::End; e = x.Next()) {
        if (e == E::StartElement) {
            seen += "<" + std::string(x.Name());
            for (const char* a : {"a", "b", "c", "x"})
                if (!x.Attribute(a).empty()) seen += " " + std::string(a) + "=" + std::string(x.Attribute(a));
            seen += ">";
        } else if (e == E::EndElement) {
            seen += "</" + std::string(x.Name()) + ">";
        } else {
            seen += "[" + std::string(x.Text()) + "]";
        }
    }
    EXPECT_EQ(seen, "<tv a=1 b=x>y c=\"q'><e></e><f x=<></f>[text][]]][>]</tv>");
}

TEST(GuideTime, ReadsXmltvTimesWithTheirOffsets) {
    const int64_t day = DaysFromCivil(2026, 12, 9) * 86400;
    const int64_t at1430 = day + 14 * 3600 + 30 * 60;
    struct Case {
        const char* text;
        std::optional<int64_t> utc;
    } cases[] = {
        {"20261209143000 +0100", at1430 - 3600},
        {"20261209143000 -0530", at1430 + 5 * 3600 + 1800},
        {"20261209143000+0100", at1430 - 3600},
        {"20261209143000 +01:00", at1430 - 3600},
        {"20261209143000 +01", at1430 - 3600},
        {"20261209143000 Z", at1430},
        {"20261209143000 UTC", at1430},
        {"20261209143000", at1430},
        {"202612091430", at1430},
        {"2026120914", at1430 - 1800},
        {"20261209", day},
        {"20261209143000.250 +0000", at1430},
        {"  20261209143000 +0000  ", at1430},
        {"20261209143007 +0000", at1430 + 7},
        {"20241231235960 +0000", DaysFromCivil(2025, 1, 1) * 86400},
        {"20240229000000", DaysFromCivil(2024, 2, 29) * 86400},
        {"20250229000000", std::nullopt},
        {"", std::nullopt},
        {"2026120", std::nullopt},
        {"202612091", std::nullopt},
        {"20261309000000", std::nullopt},
        {"20261200000000", std::nullopt},
        {"20261209240000", std::nullopt},
        {"20261209146000", std::nullopt},
        {"20261209143000 +1500", std::nullopt},
        {"20261209143000 +01x0", std::nullopt},
        {"20261209143000 CET", std::nullopt},
        {"20261209143000.", std::nullopt},
        {"19691231000000", std::nullopt},
        {"abc", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseXmltvTime(c.text), c.utc) << c.text;
    EXPECT_EQ(DaysFromCivil(1970, 1, 1), 0);
    int64_t y;
    unsigned m, d;
    CivilFromDays(DaysFromCivil(2026, 12, 9), y, m, d);
    EXPECT_EQ(std::make_tuple(y, m, d), std::make_tuple(int64_t{2026}, 12u, 9u));
}

TEST(GuideTime, ReadsTvgShiftInHours) {
    struct Case {
        const char* text;
        std::optional<int32_t> seconds;
    } cases[] = {
        {"2", 7200},        {"-1.5", -5400},       {"+0,5", 1800},          {"0", 0},
        {" 3 ", 10800},     {"24", 86400},         {"-24", -86400},         {"25", std::nullopt},
        {"", std::nullopt}, {"abc", std::nullopt}, {"1.2.3", std::nullopt}, {"-", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseTvgShift(c.text), c.seconds) << c.text;
}

TEST(GuideTime, KeepsFromYesterdayToAWeekAhead) {
    const int64_t now = At("20261209143000");
    const GuideSpan span = GuideKeepSpan(now, 0);
    EXPECT_LE(span.from, now - 86400);
    EXPECT_GT(span.from, now - 2 * 86400);
    EXPECT_GE(span.to, now + 7 * 86400);
    EXPECT_LT(span.to, now + 9 * 86400);
    const GuideSpan shifted = GuideKeepSpan(now, -3 * 3600);
    EXPECT_EQ(shifted.from, span.from - 3 * 3600);
    EXPECT_EQ(shifted.to, span.to + 3 * 3600);
}
