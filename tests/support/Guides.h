#pragma once
// XMLTV guides written by tests, and an index spelt out as text to compare two of them.

#include <zlib.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "catalogue/GuideIndex.h"
#include "catalogue/GuideTime.h"

namespace castora::test {

inline std::string Xmltv(std::string_view body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE tv SYSTEM \"xmltv.dtd\">\n<tv "
           "generator-info-name=\"test\">\n" +
           std::string(body) + "</tv>\n";
}

inline std::string XmlChannel(std::string_view id, std::initializer_list<std::string_view> names,
                              std::string_view icon = {}) {
    std::string s = "  <channel id=\"" + std::string(id) + "\">\n";
    for (std::string_view n : names) s += "    <display-name lang=\"en\">" + std::string(n) + "</display-name>\n";
    if (!icon.empty()) s += "    <icon src=\"" + std::string(icon) + "\" />\n";
    return s + "  </channel>\n";
}

// start and stop as XMLTV writes them; an empty stop leaves the attribute out.
inline std::string XmlProgramme(std::string_view channel, std::string_view start, std::string_view stop,
                                std::string_view title, std::string_view inner = {}) {
    std::string s = "  <programme start=\"" + std::string(start) + "\"";
    if (!stop.empty()) s += " stop=\"" + std::string(stop) + "\"";
    s += " channel=\"" + std::string(channel) + "\">\n";
    if (!title.empty()) s += "    <title lang=\"en\">" + std::string(title) + "</title>\n";
    return s + std::string(inner) + "  </programme>\n";
}

inline std::string Gzip(std::string_view text, int level = 6) {
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, static_cast<uLong>(text.size())) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Seconds for an XMLTV time the test knows to be valid.
inline int64_t At(std::string_view xmltvTime) { return ParseXmltvTime(xmltvTime).value(); }

// Every channel and programme with every text, one a line.
inline std::string Dump(const GuideIndex& g) {
    std::string out;
    for (int32_t c = 0; c < g.ChannelCount(); ++c) {
        const GuideChannel& ch = g.Channel(c);
        out += "channel " + std::string(g.Text(ch.id)) + " name=" + std::string(g.Text(ch.name)) +
               " icon=" + std::string(g.Text(ch.icon)) + " keys=";
        for (uint32_t k = 0; k < ch.keyCount; ++k) out += std::string(g.Key(c, k)) + ",";
        out += "\n";
        for (const GuideProgramme& p : g.Programmes(c))
            out += "  " + std::to_string(p.start) + "-" + std::to_string(p.stop) + " " + std::string(g.Text(p.title)) +
                   " | " + std::string(g.Text(p.subTitle)) + " | " + std::string(g.Text(p.desc)) + " | " +
                   std::string(g.Text(p.category)) + " | " + std::string(g.Text(p.episode)) + "\n";
    }
    return out;
}

}  // namespace castora::test
