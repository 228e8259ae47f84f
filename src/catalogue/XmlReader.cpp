#include "catalogue/XmlReader.h"

#include <algorithm>
#include <cstring>

namespace castora {

namespace {

constexpr size_t Block = 256 * 1024;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool AllBlank(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return IsBlank(c); });
}

size_t PutUtf8(char* out, uint32_t cp) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

// The code point of "#65" or "#x41", or -1 when it is not a character reference.
int64_t CharacterReference(std::string_view ref) {
    if (ref.size() < 2 || ref[0] != '#') return -1;
    const bool hex = ref[1] == 'x';
    std::string_view digits = ref.substr(hex ? 2 : 1);
    if (digits.empty() || digits.size() > 8) return -1;
    int64_t v = 0;
    for (char c : digits) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return -1;
        v = v * (hex ? 16 : 10) + d;
    }
    return v;
}

std::string Quoted(std::string_view name) {
    std::string s = "<";
    for (char c : name.substr(0, 64)) s += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
    return s + ">";
}

}  // namespace

size_t DecodeXmlText(char* begin, size_t size) {
    char* const end = begin + size;
    char* r = static_cast<char*>(std::memchr(begin, '&', size));
    if (!r) return size;
    char* w = r;
    while (r < end) {
        if (*r != '&') {
            char* next = static_cast<char*>(std::memchr(r, '&', static_cast<size_t>(end - r)));
            if (!next) next = end;
            std::memmove(w, r, static_cast<size_t>(next - r));
            w += next - r;
            r = next;
            continue;
        }
        // The longest reference worth reading is "#x10FFFF" with a few leading zeros.
        const size_t window = std::min<size_t>(static_cast<size_t>(end - r), 13);
        const char* semi = static_cast<const char*>(std::memchr(r + 1, ';', window - 1));
        if (!semi) {
            *w++ = *r++;
            continue;
        }
        const std::string_view ref(r + 1, static_cast<size_t>(semi - r - 1));
        char c = 0;
        if (ref == "lt") c = '<';
        else if (ref == "gt") c = '>';
        else if (ref == "amp") c = '&';
        else if (ref == "quot") c = '"';
        else if (ref == "apos") c = '\'';
        if (c) {
            *w++ = c;
        } else {
            int64_t cp = CharacterReference(ref);
            if (cp < 0) {
                *w++ = *r++;  // not a reference this reader knows: the text keeps it
                continue;
            }
            // Characters XML does not allow become the replacement character.
            if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) cp = 0xFFFD;
            w += PutUtf8(w, static_cast<uint32_t>(cp));
        }
        r = const_cast<char*>(semi) + 1;
    }
    return static_cast<size_t>(w - begin);
}

XmlReader::XmlReader(ByteSource& source, Limits limits) : source_(source), limits_(limits) {
    cap_ = Block + std::max(limits_.tag, limits_.text) + 64;
    buf_.reset(new char[cap_]);
}

void XmlReader::Fail(const std::string& what) const {
    throw GuideError("The guide is not well-formed XML near byte " + std::to_string(Offset()) + ": " + what + ".");
}

bool XmlReader::Fill() {
    if (eof_) return false;
    if (pos_ > 0 && cap_ - end_ < Block) {
        std::memmove(buf_.get(), buf_.get() + pos_, end_ - pos_);
        consumed_ += pos_;
        end_ -= pos_;
        pos_ = 0;
    }
    if (end_ == cap_) return false;
    const size_t n = source_.Read(buf_.get() + end_, cap_ - end_);
    if (n == 0) {
        eof_ = true;
        return false;
    }
    end_ += n;
    return true;
}

bool XmlReader::Ensure(size_t need) {
    while (end_ - pos_ < need)
        if (!Fill()) return end_ - pos_ >= need;
    return true;
}

XmlReader::Event XmlReader::Next() {
    if (pendingEnd_) {
        pendingEnd_ = false;
        Pop(name_);
        return Event::EndElement;
    }
    if (rootClosed_) return Event::End;
    if (inCdata_) return ReadCdata();
    for (;;) {
        if (pos_ == end_ && !Fill()) {
            if (!open_.empty())
                throw GuideError("The guide ends early: " + Quoted(names_.substr(open_.back())) + " is not closed.");
            throw GuideError(started_ ? "The guide has no XML element." : "The guide is empty.");
        }
        if (!started_) {
            Ensure(3);
            if (end_ - pos_ >= 3 && std::memcmp(buf_.get() + pos_, "\xEF\xBB\xBF", 3) == 0) pos_ += 3;
            for (;;) {
                while (pos_ < end_ && IsBlank(buf_[pos_])) ++pos_;
                if (pos_ < end_ || !Fill()) break;
            }
            started_ = true;
            if (pos_ == end_) continue;
            if (buf_[pos_] != '<') throw GuideError("The guide is not XML.");
            Ensure(6);
            if (end_ - pos_ >= 6 && std::memcmp(buf_.get() + pos_, "<?xml", 5) == 0 && IsBlank(buf_[pos_ + 5])) {
                const void* close;
                while (!(close = ::memmem(buf_.get() + pos_, end_ - pos_, "?>", 2)) && end_ - pos_ < limits_.tag &&
                       Fill()) {}
                if (close) {
                    const size_t stop = static_cast<size_t>(static_cast<const char*>(close) - buf_.get()) + 2;
                    ReadDeclaration({buf_.get() + pos_, stop - pos_});
                    pos_ = stop;
                } else {
                    pos_ += 5;
                    SkipPast("?>", "the XML declaration");
                }
            }
            continue;
        }
        if (buf_[pos_] != '<') {
            const Event e = ReadText();
            if (!open_.empty()) return e;
            if (!AllBlank(text_)) {
                if (!rootSeen_) throw GuideError("The guide is not XML.");
                Fail("text outside the root element");
            }
            continue;
        }
        Ensure(9);
        const std::string_view head(buf_.get() + pos_, std::min<size_t>(end_ - pos_, 9));
        if (head.starts_with("</")) return ReadEndTag();
        if (head.starts_with("<?")) {
            pos_ += 2;
            SkipPast("?>", "a processing instruction");
            continue;
        }
        if (head.starts_with("<!--")) {
            pos_ += 4;
            SkipPast("-->", "a comment");
            continue;
        }
        if (head.starts_with("<![CDATA[")) {
            if (open_.empty()) Fail("a CDATA section outside the root element");
            pos_ += 9;
            inCdata_ = true;
            return ReadCdata();
        }
        if (head.starts_with("<!DOCTYPE")) {
            if (rootSeen_) Fail("a DOCTYPE inside the document");
            SkipDoctype();
            continue;
        }
        if (head.starts_with("<!")) Fail("an unknown declaration");
        return ReadStartTag();
    }
}

void XmlReader::SkipPast(std::string_view terminator, const char* what) {
    for (;;) {
        const void* hit = ::memmem(buf_.get() + pos_, end_ - pos_, terminator.data(), terminator.size());
        if (hit) {
            pos_ = static_cast<size_t>(static_cast<const char*>(hit) - buf_.get()) + terminator.size();
            return;
        }
        pos_ = end_ - std::min(end_ - pos_, terminator.size() - 1);
        if (!Fill()) throw GuideError(std::string("The guide ends inside ") + what + ".");
    }
}

void XmlReader::SkipDoctype() {
    // Passed over, never read: whatever its internal subset declares is not defined here.
    pos_ += 9;
    char quote = 0;
    int brackets = 0;
    for (;;) {
        if (pos_ == end_ && !Fill()) throw GuideError("The guide ends inside its DOCTYPE.");
        const char c = buf_[pos_];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '[') {
            ++brackets;
        } else if (c == ']') {
            if (brackets > 0) --brackets;
        } else if (c == '<' && brackets > 0) {
            Ensure(4);
            if (end_ - pos_ >= 4 && std::memcmp(buf_.get() + pos_, "<!--", 4) == 0) {
                pos_ += 4;
                SkipPast("-->", "a comment");
                continue;
            }
        } else if (c == '>' && brackets == 0) {
            ++pos_;
            return;
        }
        ++pos_;
    }
}

void XmlReader::ReadDeclaration(std::string_view body) {
    const size_t at = body.find("encoding");
    if (at == std::string_view::npos) return;
    size_t i = at + 8;
    while (i < body.size() && (IsBlank(body[i]) || body[i] == '=')) ++i;
    if (i >= body.size() || (body[i] != '"' && body[i] != '\'')) return;
    const size_t close = body.find(body[i], i + 1);
    if (close == std::string_view::npos) return;
    encoding_.assign(body.substr(i + 1, std::min<size_t>(close - i - 1, 40)));
    for (char& c : encoding_) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

XmlReader::Event XmlReader::ReadText() {
    size_t scanned = 0;  // bytes from pos_ known to hold no '<'
    size_t stop;
    for (;;) {
        const char* lt = static_cast<const char*>(std::memchr(buf_.get() + pos_ + scanned, '<', end_ - pos_ - scanned));
        if (lt) {
            stop = static_cast<size_t>(lt - buf_.get());
            break;
        }
        scanned = end_ - pos_;
        // A few bytes beyond the cut show whether a character straddles it.
        if (scanned >= limits_.text + 4) {
            // Cut before a reference or a character that would straddle the two parts.
            stop = pos_ + limits_.text;
            const char* amp = static_cast<const char*>(::memrchr(buf_.get() + stop - 12, '&', 12));
            if (amp && amp > buf_.get() + pos_ &&
                !std::memchr(amp, ';', static_cast<size_t>(buf_.get() + stop - amp))) {
                stop = static_cast<size_t>(amp - buf_.get());
            }
            for (int k = 0; k < 3 && (static_cast<unsigned char>(buf_[stop]) & 0xC0) == 0x80; ++k) --stop;
            break;
        }
        if (!Fill()) {
            stop = end_;
            break;
        }
    }
    char* begin = buf_.get() + pos_;
    text_ = std::string_view(begin, DecodeXmlText(begin, stop - pos_));
    pos_ = stop;
    return Event::Text;
}

XmlReader::Event XmlReader::ReadCdata() {
    size_t scanned = 0;
    for (;;) {
        const char* from = buf_.get() + pos_ + scanned;
        const void* hit = ::memmem(from, end_ - pos_ - scanned, "]]>", 3);
        if (hit) {
            const size_t stop = static_cast<size_t>(static_cast<const char*>(hit) - buf_.get());
            text_ = std::string_view(buf_.get() + pos_, stop - pos_);
            pos_ = stop + 3;
            inCdata_ = false;
            return Event::Text;
        }
        const size_t have = end_ - pos_;
        if (have >= limits_.text) {
            size_t stop = pos_ + limits_.text - 2;  // "]]" at the end may begin the terminator
            for (int k = 0; k < 3 && (static_cast<unsigned char>(buf_[stop]) & 0xC0) == 0x80; ++k) --stop;
            text_ = std::string_view(buf_.get() + pos_, stop - pos_);
            pos_ = stop;
            return Event::Text;
        }
        scanned = have >= 2 ? have - 2 : 0;
        if (!Fill()) throw GuideError("The guide ends inside a CDATA section.");
    }
}

size_t XmlReader::FindTagEnd(size_t from) {
    size_t i = from - pos_;  // relative: Fill may move the bytes
    char quote = 0;
    for (;;) {
        const char* p = buf_.get();
        for (size_t k = pos_ + i; k < end_; ++k) {
            const char c = p[k];
            if (quote) {
                if (c == quote) quote = 0;
            } else if (c == '>') {
                if (k - pos_ > limits_.tag) Fail("a tag longer than " + SizeText(limits_.tag));
                return k;
            } else if (c == '"' || c == '\'') {
                quote = c;
            }
        }
        i = end_ - pos_;
        if (i > limits_.tag) Fail("a tag longer than " + SizeText(limits_.tag));
        if (!Fill()) throw GuideError("The guide ends inside a tag.");
    }
}

XmlReader::Event XmlReader::ReadStartTag() {
    if (rootClosed_) Fail("a second root element");
    const size_t gt = FindTagEnd(pos_ + 1);
    char* const p = buf_.get();
    size_t i = pos_ + 1;
    const auto nameEnd = [&](char c) { return IsBlank(c) || c == '/' || c == '>' || c == '=' || c == '<'; };
    while (i < gt && !nameEnd(p[i])) ++i;
    if (i == pos_ + 1) Fail("an element without a name");
    name_ = std::string_view(p + pos_ + 1, i - pos_ - 1);
    attributes_.clear();
    bool selfClosing = false;
    for (;;) {
        while (i < gt && IsBlank(p[i])) ++i;
        if (i == gt) break;
        if (p[i] == '/') {
            if (i + 1 != gt) Fail("a stray '/' in " + Quoted(name_));
            selfClosing = true;
            break;
        }
        const size_t n0 = i;
        while (i < gt && !nameEnd(p[i]) && p[i] != '"' && p[i] != '\'') ++i;
        if (i == n0) Fail("a malformed attribute in " + Quoted(name_));
        const std::string_view attr(p + n0, i - n0);
        while (i < gt && IsBlank(p[i])) ++i;
        if (i == gt || p[i] != '=') Fail("an attribute without a value in " + Quoted(name_));
        ++i;
        while (i < gt && IsBlank(p[i])) ++i;
        if (i == gt || (p[i] != '"' && p[i] != '\'')) Fail("an unquoted attribute value in " + Quoted(name_));
        const char quote = p[i];
        const char* close = static_cast<const char*>(std::memchr(p + i + 1, quote, gt - i - 1));
        if (!close) Fail("an unterminated attribute value in " + Quoted(name_));
        const size_t v0 = i + 1, v1 = static_cast<size_t>(close - p);
        attributes_.emplace_back(attr, std::string_view(p + v0, DecodeXmlText(p + v0, v1 - v0)));
        i = v1 + 1;
        if (i < gt && !IsBlank(p[i]) && p[i] != '/') Fail("attributes without a blank between them");
    }
    Push(name_);
    rootSeen_ = true;
    pos_ = gt + 1;
    pendingEnd_ = selfClosing;
    return Event::StartElement;
}

size_t XmlReader::FindEndTagEnd() {
    size_t scanned = 2;
    for (;;) {
        const char* hit =
            static_cast<const char*>(std::memchr(buf_.get() + pos_ + scanned, '>', end_ - pos_ - scanned));
        if (hit) {
            const size_t gt = static_cast<size_t>(hit - buf_.get());
            if (gt - pos_ > limits_.tag) Fail("a tag longer than " + SizeText(limits_.tag));
            return gt;
        }
        scanned = end_ - pos_;
        if (scanned > limits_.tag) Fail("a tag longer than " + SizeText(limits_.tag));
        if (!Fill()) throw GuideError("The guide ends inside a tag.");
    }
}

XmlReader::Event XmlReader::ReadEndTag() {
    const size_t gt = FindEndTagEnd();
    size_t last = gt;
    while (last > pos_ + 2 && IsBlank(buf_[last - 1])) --last;
    name_ = std::string_view(buf_.get() + pos_ + 2, last - pos_ - 2);
    Pop(name_);
    pos_ = gt + 1;
    return Event::EndElement;
}

void XmlReader::Push(std::string_view name) {
    if (static_cast<int>(open_.size()) >= limits_.depth)
        Fail("elements nested deeper than " + std::to_string(limits_.depth));
    open_.push_back(static_cast<uint32_t>(names_.size()));
    names_.append(name);
}

void XmlReader::Pop(std::string_view name) {
    if (open_.empty()) Fail("</" + std::string(name.substr(0, 64)) + "> closes nothing");
    if (std::string_view(names_).substr(open_.back()) != name)
        Fail("</" + std::string(name.substr(0, 64)) + "> closes " + Quoted(names_.substr(open_.back())));
    names_.resize(open_.back());
    open_.pop_back();
    if (open_.empty()) rootClosed_ = true;
}

std::string_view XmlReader::Attribute(std::string_view name) const {
    for (const auto& [n, v] : attributes_)
        if (n == name) return v;
    return {};
}

void XmlReader::SkipElement() {
    if (pendingEnd_) {
        pendingEnd_ = false;
        Pop(name_);
        return;
    }
    const size_t base = open_.size();
    int depth = 1;
    for (;;) {
        const char* lt = static_cast<const char*>(std::memchr(buf_.get() + pos_, '<', end_ - pos_));
        if (!lt) {
            pos_ = end_;
            if (!Fill())
                throw GuideError("The guide ends early: " + Quoted(names_.substr(open_.back())) + " is not closed.");
            continue;
        }
        pos_ = static_cast<size_t>(lt - buf_.get());
        Ensure(9);
        const std::string_view head(buf_.get() + pos_, std::min<size_t>(end_ - pos_, 9));
        if (head.starts_with("</")) {
            if (--depth == 0) {
                ReadEndTag();
                return;
            }
            pos_ = FindEndTagEnd() + 1;
        } else if (head.starts_with("<!--")) {
            pos_ += 4;
            SkipPast("-->", "a comment");
        } else if (head.starts_with("<![CDATA[")) {
            pos_ += 9;
            SkipPast("]]>", "a CDATA section");
        } else if (head.starts_with("<?")) {
            pos_ += 2;
            SkipPast("?>", "a processing instruction");
        } else if (head.size() < 2 || head.starts_with("<!")) {
            Fail("a malformed tag");
        } else {
            const size_t gt = FindTagEnd(pos_ + 1);
            const bool selfClosing = buf_[gt - 1] == '/';
            pos_ = gt + 1;
            if (!selfClosing && ++depth + static_cast<int>(base) > limits_.depth)
                Fail("elements nested deeper than " + std::to_string(limits_.depth));
        }
    }
}

}  // namespace castora
