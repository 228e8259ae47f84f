#pragma once
#include <cstdint>
#include <cstring>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/Progress.h"

namespace castora {

// A record's text: 8-bit bytes, always followed by a NUL. It either owns its bytes or refers to bytes in
// an arena of the table that holds the record, which is how a loaded list keeps its texts where the file
// was read instead of in a heap block per field. Copies always own their bytes, so a copied record is
// independent of any table; a move keeps the reference, so records may be moved freely within their
// table but must be copied to go elsewhere. 12 bytes (pointer and size, packed): a million records
// hold four each.
class __attribute__((packed)) TText {
public:
    static constexpr size_t npos = std::string_view::npos;

    TText() noexcept = default;
    TText(const char* s) { Assign(std::string_view(s)); }
    TText(std::string_view s) { Assign(s); }
    TText(const std::string& s) { Assign(s); }
    TText(const TText& other) { Assign(other.view()); }
    TText(TText&& other) noexcept : p_(other.p_), n_(other.n_) { other.Clear(); }
    ~TText() { Release(); }

    TText& operator=(const TText& other) {
        if (this != &other) Assign(other.view());
        return *this;
    }
    TText& operator=(TText&& other) noexcept {
        if (this != &other) {
            Release();
            p_ = other.p_;
            n_ = other.n_;
            other.Clear();
        }
        return *this;
    }
    TText& operator=(std::string_view s) { return Assign(s); }
    TText& operator=(const std::string& s) { return Assign(s); }
    TText& operator=(const char* s) { return Assign(std::string_view(s)); }

    // Refers to size bytes at p, owned by something that outlives the reference; p[size] must be a NUL.
    static TText Ref(const char* p, size_t size) {
        TText t;
        t.p_ = p;
        t.n_ = Checked(size);
        return t;
    }

    std::string_view view() const noexcept { return {p_, size()}; }
    std::string str() const { return std::string(view()); }
    operator std::string_view() const noexcept { return view(); }
    operator std::string() const { return str(); }

    const char* data() const noexcept { return p_; }
    const char* c_str() const noexcept { return p_; }
    size_t size() const noexcept { return n_ & SizeMask; }
    size_t length() const noexcept { return size(); }
    bool empty() const noexcept { return size() == 0; }
    const char* begin() const noexcept { return p_; }
    const char* end() const noexcept { return p_ + size(); }
    char operator[](size_t i) const noexcept { return p_[i]; }
    char front() const noexcept { return p_[0]; }
    char back() const noexcept { return p_[size() - 1]; }
    std::string_view substr(size_t pos, size_t count = npos) const { return view().substr(pos, count); }
    size_t find(std::string_view s, size_t pos = 0) const noexcept { return view().find(s, pos); }
    size_t find(char c, size_t pos = 0) const noexcept { return view().find(c, pos); }
    bool starts_with(std::string_view s) const noexcept { return view().starts_with(s); }
    bool ends_with(std::string_view s) const noexcept { return view().ends_with(s); }
    int compare(std::string_view s) const noexcept { return view().compare(s); }
    // Whether the bytes are this text's own rather than a table's.
    bool Owned() const noexcept { return (n_ & OwnedBit) != 0; }

    friend bool operator==(const TText& a, const TText& b) noexcept { return a.view() == b.view(); }
    friend bool operator==(const TText& a, std::string_view b) noexcept { return a.view() == b; }
    friend bool operator==(const TText& a, const std::string& b) noexcept { return a.view() == b; }
    friend bool operator==(const TText& a, const char* b) noexcept { return a.view() == b; }
    friend auto operator<=>(const TText& a, const TText& b) noexcept { return a.view() <=> b.view(); }
    friend auto operator<=>(const TText& a, std::string_view b) noexcept { return a.view() <=> b; }
    friend auto operator<=>(const TText& a, const std::string& b) noexcept { return a.view() <=> b; }
    friend auto operator<=>(const TText& a, const char* b) noexcept { return a.view() <=> b; }
    friend std::string operator+(const TText& a, std::string_view b) { return Concat(a.view(), b); }
    friend std::string operator+(std::string_view a, const TText& b) { return Concat(a, b.view()); }
    friend std::string operator+(const TText& a, const std::string& b) { return Concat(a.view(), b); }
    friend std::string operator+(const std::string& a, const TText& b) { return Concat(a, b.view()); }
    friend std::string operator+(const TText& a, const char* b) { return Concat(a.view(), b); }
    friend std::string operator+(const char* a, const TText& b) { return Concat(a, b.view()); }
    friend std::string operator+(const TText& a, const TText& b) { return Concat(a.view(), b.view()); }
    friend std::ostream& operator<<(std::ostream& out, const TText& t);

private:
    static constexpr uint32_t OwnedBit = 0x80000000u;
    static constexpr uint32_t SizeMask = 0x7FFFFFFFu;

    static uint32_t Checked(size_t size);
    static std::string Concat(std::string_view a, std::string_view b);
    TText& Assign(std::string_view s);
    void Clear() noexcept {
        p_ = "";
        n_ = 0;
    }
    void Release() noexcept {
        if (Owned()) delete[] p_;
    }

    const char* p_ = "";
    uint32_t n_ = 0;  // size, and OwnedBit when p_ is this text's own block
};

// One channel. Texts are 8-bit Windows-1251 bytes, exactly as the list files hold them.
struct TChannelRec {
    int32_t Format = 0;
    int32_t Source = 0;
    int32_t Country = 0;
    int32_t Genre = 0;
    TText Name;
    TText Url;  // clear text in memory; scrambled only in the files
    TText Bitrate;
    TText Comments;
    bool IsLocal = false;

    friend bool operator==(const TChannelRec&, const TChannelRec&) = default;
};

// The catalogue in memory. Channels[0] is a placeholder that is never shown or saved. The table keeps
// its arrays in step: Channels has ChannelCount + 1 elements and RowMap ChannelCount + 2, whatever is
// done to it; others read them and change the table through its functions only.
class ChannelTable {
public:
    ChannelTable() { ResetChannels(); }
    ChannelTable(const ChannelTable& other);
    ChannelTable(ChannelTable&& other) noexcept;
    ChannelTable& operator=(const ChannelTable& other);
    ChannelTable& operator=(ChannelTable&& other) noexcept;

    const std::vector<TChannelRec>& Channels = channels_;
    const int32_t& ChannelCount = count_;
    // Grid row r shows record RowMap[r]; the rows in use end with a 0.
    const std::vector<int32_t>& RowMap = rowMap_;
    int32_t SelectedChannel = 0;
    std::string ListDate;

    void ResetChannels();
    void AppendChannel(const TChannelRec& rec);
    void AppendChannels(const std::vector<TChannelRec>& records);
    void StoreChannel(int32_t index, const TChannelRec& rec);
    // Deletes a record; of the first `shownRows` rows those that showed it go and those after it follow
    // their records one place down. Returns how many rows are left.
    int32_t DeleteChannel(int32_t index, int32_t shownRows = 0);
    // The first record with this URL, or 0.
    int32_t IndexOfUrl(std::string_view url) const;
    bool ChannelExists(std::string_view url) const { return IndexOfUrl(url) > 0; }
    // Drops every record whose URL an earlier record already has; earliest wins. The rows are all zero
    // after it: they are to be computed afresh.
    void RemoveDuplicates(ProgressSink* progress = nullptr);

    // Resizes both arrays together; new records are empty.
    void Resize(int32_t count);
    // Room for this many records in all, so that growing to them moves none.
    void Reserve(size_t records) { channels_.reserve(records + 1); }
    // For a reader that fills the records of a Resize in place, on several threads.
    TChannelRec& Record(int32_t index) { return channels_[static_cast<size_t>(index)]; }
    // Rows computed apart from the table (ChannelCount + 2 elements).
    void SetRowMap(std::vector<int32_t> rowMap);

    // The record SelectedChannel names, the placeholder when that is 0 or out of range.
    int32_t SelectedIndex() const;
    const TChannelRec& Selected() const { return Channels[SelectedIndex()]; }
    bool HasSelection() const { return SelectedIndex() > 0; }

    // Keeps bytes that records of this table refer to (TText::Ref) for as long as the table holds records.
    void KeepArena(std::shared_ptr<char[]> bytes) { arenas_.push_back(std::move(bytes)); }
    size_t ArenaCount() const { return arenas_.size(); }

private:
    std::vector<TChannelRec> channels_;
    int32_t count_ = 0;
    std::vector<int32_t> rowMap_;
    std::vector<std::shared_ptr<char[]>> arenas_;
};

}  // namespace castora
