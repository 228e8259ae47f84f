#include "catalogue/GuideReader.h"

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "catalogue/GuideTime.h"
#include "catalogue/Playlist.h"

namespace castora {

namespace {

class BorrowedSource : public ByteSource {
public:
    explicit BorrowedSource(ByteSource& inner) : inner_(inner) {}
    size_t Read(char* buffer, size_t size) override { return inner_.Read(buffer, size); }

private:
    ByteSource& inner_;
};

enum class Encoding { Utf8, Cp1251, Latin1 };

Encoding EncodingOf(const std::string& name) {
    if (name.empty() || name == "utf-8" || name == "utf8" || name == "us-ascii" || name == "ascii")
        return Encoding::Utf8;
    if (name == "windows-1251" || name == "cp1251") return Encoding::Cp1251;
    if (name == "iso-8859-1" || name == "latin1" || name == "iso8859-1") return Encoding::Latin1;
    throw GuideError("The guide's encoding \"" + name + "\" is not supported.");
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void Trim(std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    if (b > 0 || e < s.size()) s = s.substr(b, e - b);
}

class Reader {
public:
    Reader(XmlReader& x, GuideBuilder& b, const GuideReadOptions& o, GuideReadStats& s) : x_(x), b_(b), o_(o), s_(s) {}

    void Run() {
        if (x_.Next() != XmlReader::Event::StartElement) throw GuideError("The guide has no XML element.");
        if (x_.Name() != "tv")
            throw GuideError("This is not an XMLTV guide: its root element is <" +
                             std::string(x_.Name().substr(0, 40)) + ">.");
        encoding_ = EncodingOf(x_.Encoding());
        for (;;) {
            const XmlReader::Event e = x_.Next();
            if (e == XmlReader::Event::End) break;
            if (e != XmlReader::Event::StartElement) continue;
            if (x_.Name() == "programme") Programme();
            else if (x_.Name() == "channel") Channel();
            else x_.SkipElement();
        }
    }

private:
    // Text in the guide's encoding as UTF-8.
    std::string_view Utf8(std::string_view text, std::string& scratch) {
        if (encoding_ == Encoding::Utf8) return text;
        if (encoding_ == Encoding::Cp1251) return scratch = Cp1251ToUtf8(text);
        scratch.clear();
        for (char c : text) {
            const auto b = static_cast<unsigned char>(c);
            if (b < 0x80) {
                scratch.push_back(c);
            } else {
                scratch.push_back(static_cast<char>(0xC0 | (b >> 6)));
                scratch.push_back(static_cast<char>(0x80 | (b & 0x3F)));
            }
        }
        return scratch;
    }

    // The text of the element just started, nested elements left out; its end tag is consumed.
    void ElementText(std::string& out) {
        out.clear();
        const int depth = x_.Depth();
        for (;;) {
            const XmlReader::Event e = x_.Next();
            if (e == XmlReader::Event::Text) {
                // A few bytes past the limit show where the character at the limit ends; the text is cut
                // before it is trimmed, so that how the text came in pieces changes nothing.
                const size_t room = GuideBuilder::MaxText + 4 - std::min(out.size(), GuideBuilder::MaxText + 4);
                out.append(x_.Text().substr(0, room));
            } else if (e == XmlReader::Event::StartElement) {
                x_.SkipElement();
            } else if (x_.Depth() < depth) {
                break;
            }
        }
        if (out.size() > GuideBuilder::MaxText) {
            size_t n = GuideBuilder::MaxText;
            while (n > 0 && (static_cast<unsigned char>(out[n]) & 0xC0) == 0x80) --n;
            out.resize(n);
        }
        Trim(out);
        if (encoding_ != Encoding::Utf8) out = std::string(Utf8(out, scratch_));
    }

    void Channel() {
        std::string id(Utf8(x_.Attribute("id"), scratch_));
        if (id.empty()) {
            x_.SkipElement();
            return;
        }
        names_.clear();
        std::string icon;
        const int depth = x_.Depth();
        for (;;) {
            const XmlReader::Event e = x_.Next();
            if (e == XmlReader::Event::StartElement) {
                if (x_.Depth() == depth + 1 && x_.Name() == "display-name") {
                    ElementText(text_);
                    if (!text_.empty()) names_.push_back(text_);
                } else {
                    if (x_.Depth() == depth + 1 && x_.Name() == "icon" && icon.empty())
                        icon = Utf8(x_.Attribute("src"), scratch_);
                    x_.SkipElement();
                }
            } else if (e == XmlReader::Event::EndElement && x_.Depth() < depth) {
                break;
            }
        }
        ++s_.channels;
        if (b_.ChannelCount() >= o_.maxChannels && b_.FindChannel(id) < 0)
            throw GuideError("The guide has more than " + std::to_string(o_.maxChannels) + " channels.");
        const int32_t c = b_.AddChannel(id);
        if (!names_.empty()) b_.SetName(c, names_.front());
        b_.SetIcon(c, icon);
        bool wanted = !o_.wanted || o_.wanted->WantsId(id);
        for (const std::string& name : names_) {
            const std::string key = GuideNameKeyUtf8(name);
            b_.AddKey(c, key);
            if (!wanted && o_.wanted->WantsNameKey(key)) wanted = true;
        }
        if (wanted_.size() <= static_cast<size_t>(c)) wanted_.resize(static_cast<size_t>(c) + 1, false);
        if (wanted) wanted_[c] = true;
        lastId_.clear();  // a channel declared again may now be wanted
    }

    void Programme() {
        ++s_.programmes;
        const std::string_view id = x_.Attribute("channel");
        if (id != lastId_ || lastChannel_ < 0) {
            lastId_.assign(id);
            lastChannel_ = b_.FindChannel(encoding_ == Encoding::Utf8 ? id : Utf8(id, scratch_));
        }
        const int32_t c = lastChannel_;
        if (c < 0) {
            ++s_.unknownChannel;
            x_.SkipElement();
            return;
        }
        if (!wanted_[c]) {
            ++s_.unwanted;
            x_.SkipElement();
            return;
        }
        const std::optional<int64_t> start = ParseXmltvTime(x_.Attribute("start"));
        if (!start) {
            ++s_.badTime;
            x_.SkipElement();
            return;
        }
        const std::optional<int64_t> stop = ParseXmltvTime(x_.Attribute("stop"));
        const bool ends = stop && *stop > *start;
        // Without an end a programme lasts until the next one: one from the day before may still run.
        if (*start >= o_.keepTo || (ends ? *stop <= o_.keepFrom : *start + 86400 < o_.keepFrom)) {
            ++s_.outside;
            x_.SkipElement();
            return;
        }
        GuideProgramme p;
        p.start = *start;
        p.stop = ends ? *stop : *start;
        p.channel = static_cast<uint32_t>(c);
        bool onscreen = false;
        const int depth = x_.Depth();
        for (;;) {
            const XmlReader::Event e = x_.Next();
            if (e == XmlReader::Event::EndElement && x_.Depth() < depth) break;
            if (e != XmlReader::Event::StartElement) continue;
            if (x_.Depth() != depth + 1) {
                x_.SkipElement();
                continue;
            }
            const std::string_view name = x_.Name();
            uint32_t* field = nullptr;
            if (name == "title") field = &p.title;
            else if (name == "sub-title") field = &p.subTitle;
            else if (name == "desc") field = &p.desc;
            else if (name == "category") field = &p.category;
            if (field) {
                if (*field != 0) {
                    x_.SkipElement();  // the first of each is kept (usually the guide's main language)
                    continue;
                }
                ElementText(text_);
                *field = b_.Intern(text_);
            } else if (name == "episode-num") {
                const bool isOnscreen = x_.Attribute("system") == "onscreen";
                const bool isNs = x_.Attribute("system") == "xmltv_ns";
                if (onscreen || (!isOnscreen && !isNs) || (isNs && p.episode != 0)) {
                    x_.SkipElement();
                    continue;
                }
                ElementText(text_);
                const std::string shown = isOnscreen ? text_ : EpisodeFromNs(text_);
                if (!shown.empty()) {
                    p.episode = b_.Intern(shown);
                    onscreen = isOnscreen;
                }
            } else {
                x_.SkipElement();
            }
        }
        if (b_.ProgrammeCount() >= o_.maxProgrammes)
            throw GuideError("The guide has more than " + std::to_string(o_.maxProgrammes) + " programmes to keep.");
        b_.AddProgramme(p);
        ++s_.kept;
    }

    // "2.11.0/1" (zero-based season, episode, part) as "S3 E12".
    static std::string EpisodeFromNs(std::string_view ns) {
        std::string_view parts[2];
        for (int k = 0; k < 2; ++k) {
            const size_t dot = ns.find('.');
            parts[k] = ns.substr(0, dot);
            ns = dot == std::string_view::npos ? std::string_view() : ns.substr(dot + 1);
        }
        std::string out;
        const char* prefix[2] = {"S", "E"};
        for (int k = 0; k < 2; ++k) {
            std::string_view v = parts[k].substr(0, parts[k].find('/'));
            while (!v.empty() && IsBlank(v.front())) v.remove_prefix(1);
            while (!v.empty() && IsBlank(v.back())) v.remove_suffix(1);
            if (v.empty() || v.size() > 6 || v.find_first_not_of("0123456789") != std::string_view::npos) continue;
            if (!out.empty()) out += ' ';
            out += prefix[k] + std::to_string(std::stol(std::string(v)) + 1);
        }
        return out;
    }

    XmlReader& x_;
    GuideBuilder& b_;
    const GuideReadOptions& o_;
    GuideReadStats& s_;
    Encoding encoding_ = Encoding::Utf8;
    std::vector<bool> wanted_;
    std::vector<std::string> names_;
    std::string text_, scratch_, lastId_;
    int32_t lastChannel_ = -1;
};

}  // namespace

void ReadGuide(ByteSource& raw, GuideBuilder& into, const GuideReadOptions& options, GuideReadStats* stats) {
    GuideReadStats local;
    auto source = OpenDecoded(std::make_unique<BorrowedSource>(raw), options.decode);
    XmlReader x(*source, options.limits);
    Reader(x, into, options, stats ? *stats : local).Run();
}

std::shared_ptr<GuideIndex> ReadGuide(std::unique_ptr<ByteSource> raw, const GuideReadOptions& options,
                                      GuideReadStats* stats) {
    GuideInfo info;
    info.keepFrom = options.keepFrom;
    info.keepTo = options.keepTo;
    info.wantedStamp = options.wanted ? options.wanted->Stamp() : 0;
    GuideBuilder builder(info);
    ReadGuide(*raw, builder, options, stats);
    return builder.Finish();
}

std::shared_ptr<GuideIndex> ReadGuideFile(const std::filesystem::path& file, const GuideReadOptions& options,
                                          GuideReadStats* stats) {
    return ReadGuide(std::make_unique<FileByteSource>(file), options, stats);
}

std::shared_ptr<GuideIndex> ReadGuideText(std::string_view bytes, const GuideReadOptions& options,
                                          GuideReadStats* stats) {
    return ReadGuide(std::make_unique<MemoryByteSource>(bytes), options, stats);
}

GuideSpan GuideKeepSpan(int64_t now, int32_t maxShiftSeconds) {
    const auto midnight = [](int64_t t, int days) {
        const time_t tt = static_cast<time_t>(t);
        struct tm local {};
        localtime_r(&tt, &local);
        local.tm_mday += days;
        local.tm_hour = local.tm_min = local.tm_sec = 0;
        local.tm_isdst = -1;
        return static_cast<int64_t>(mktime(&local));
    };
    const int64_t shift = maxShiftSeconds < 0 ? -int64_t{maxShiftSeconds} : maxShiftSeconds;
    return {midnight(now, -1) - shift, midnight(now, 8) + shift};
}

}  // namespace castora
