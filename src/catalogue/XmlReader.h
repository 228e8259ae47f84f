#pragma once
// A small pull parser for XML read from a stream, for guides of any size in bounded memory.
//
// It knows what a guide needs and refuses what makes XML dangerous: no DTD is processed (a DOCTYPE,
// internal subset included, is skipped unread), so no entity is ever defined, expanded or fetched; only
// the five predefined entities and numeric character references are replaced, anything else after an
// '&' is kept as it stands. Tags, texts and nesting have limits, so no input makes it hold more than its
// buffer. Texts are the document's bytes (UTF-8 for a guide), references decoded to UTF-8.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "catalogue/GuideStream.h"

namespace castora {

class XmlReader {
public:
    struct Limits {
        size_t tag = 64 * 1024;   // a start tag with its attributes
        size_t text = 64 * 1024;  // one Text event; a longer text comes as several
        int depth = 256;
    };
    enum class Event { StartElement, EndElement, Text, End };

    explicit XmlReader(ByteSource& source) : XmlReader(source, Limits{}) {}
    XmlReader(ByteSource& source, Limits limits);

    // The next event; End once the root element is closed (what follows it is not read). Throws
    // GuideError for what is not well-formed, past a limit, or truncated.
    // The views below stay valid until the next call.
    Event Next();

    // Of a StartElement or EndElement. A self-closing element gives both, one after the other.
    std::string_view Name() const { return name_; }
    // Of the last StartElement; empty when it has none of that name.
    std::string_view Attribute(std::string_view name) const;
    // Of a Text event (character data or a CDATA section).
    std::string_view Text() const { return text_; }
    // Elements open, the current one included after a StartElement.
    int Depth() const { return static_cast<int>(open_.size()); }

    // Right after a StartElement: passes over everything up to its end without decoding it, minding
    // nesting, comments and CDATA but not the names of the elements inside. The next event is the one
    // after the element's end tag.
    void SkipElement();

    // The encoding named by the XML declaration, lower case; empty when there is none.
    const std::string& Encoding() const { return encoding_; }
    // Decoded bytes consumed so far, for messages.
    uint64_t Offset() const { return consumed_ + pos_; }

private:
    [[noreturn]] void Fail(const std::string& what) const;
    // Makes at least `need` bytes from pos_ available when the input has them; false at the end.
    bool Ensure(size_t need);
    // Reads more bytes behind end_, first moving [pos_, end_) to the front when room is short.
    bool Fill();
    size_t FindTagEnd(size_t from);  // index of the '>' closing the start tag at pos_
    size_t FindEndTagEnd();          // the same for an end tag
    void SkipPast(std::string_view terminator, const char* what);
    void SkipDoctype();
    Event ReadText();
    Event ReadCdata();
    Event ReadStartTag();
    Event ReadEndTag();
    void ReadDeclaration(std::string_view body);
    void Push(std::string_view name);
    void Pop(std::string_view name);

    ByteSource& source_;
    Limits limits_;
    std::unique_ptr<char[]> buf_;
    size_t cap_ = 0, pos_ = 0, end_ = 0;
    bool eof_ = false;
    uint64_t consumed_ = 0;  // bytes dropped from the front of buf_

    std::string_view name_, text_;
    std::vector<std::pair<std::string_view, std::string_view>> attributes_;
    bool pendingEnd_ = false;
    bool inCdata_ = false;
    bool started_ = false;  // past the byte-order mark and the declaration
    bool rootSeen_ = false, rootClosed_ = false;
    std::string names_;  // the open elements' names, back to back
    std::vector<uint32_t> open_;
    std::string encoding_;
};

// Replaces the predefined entities and character references in [begin, begin + size) in place and
// returns the new size; references never decode to more bytes than they take.
size_t DecodeXmlText(char* begin, size_t size);

}  // namespace castora
