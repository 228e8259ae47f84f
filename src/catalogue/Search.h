#pragma once
// Finding channels by words of their name or comments, and the rows the grid shows for a set of filters.
//
// Texts are Windows-1251 bytes. Matching ignores the case of Latin and Cyrillic letters: both sides are
// folded to lower case byte by byte, so a word is found wherever its folded bytes occur.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/ChannelTable.h"
#include "catalogue/Text.h"

namespace castora {

// The text with every byte folded by FoldByte (catalogue/Text.h).
std::string FoldText(std::string_view text);

// Where word first occurs in text, or nullptr. The kernels give the same answer; Best is the fastest the
// processor has, the others are there to be compared with it.
enum class SearchKernel { Best, Plain, Sse2, Avx2 };
const char* FindWord(SearchKernel kernel, std::string_view text, const std::string& word);

// The words typed, folded; a record matches when its Name or its Comments contains every one.
struct SearchQuery {
    std::vector<std::string> words;
    bool Empty() const { return words.empty(); }
    friend bool operator==(const SearchQuery&, const SearchQuery&) = default;
};

// Splits typed text (Windows-1251) at blanks and control characters; repeated words count once.
SearchQuery ParseSearch(std::string_view typed);

// True when every record matching `narrower` also matches `wider`: each word of wider lies inside
// some word of narrower. Typing more letters or words gives such a pair.
bool Refines(const SearchQuery& narrower, const SearchQuery& wider);

// The matching rule on one record, without an index.
bool MatchesChannel(const TChannelRec& rec, const SearchQuery& query);

// Folded Name and Comments of every record, with its three codes, laid out for scanning: one
// contiguous buffer in record order, so a word is searched across the whole catalogue at memory
// speed and only the records that hold it are looked at.
//
// It must describe the same records as the table it is used with: build it after the table is loaded
// and duplicates are removed, and call Append, Store and Delete beside the table's own operations.
// Like the table it is not locked: change it only while no row job reads it.
class SearchIndex {
public:
    SearchIndex() { Clear(); }

    void Clear();
    // Replaces the contents by the table's records 1..ChannelCount.
    void Build(const ChannelTable& table);
    void Append(const TChannelRec& rec);
    // Record `index` (1..Count) now holds rec. Other indices change nothing here: the table writes
    // them to its placeholder, which is never shown.
    void Store(int32_t index, const TChannelRec& rec);
    // Removes record `index` and moves the later ones down, as ChannelTable::DeleteChannel does.
    void Delete(int32_t index);

    int32_t Count() const { return static_cast<int32_t>(codes_.size()) - 1; }
    size_t MemoryBytes() const;
    // Record `index`'s folded Name, "\n", folded Comments, "\n".
    std::string_view Text(int32_t index) const {
        return std::string_view(text_).substr(offsets_[index], offsets_[index + 1] - offsets_[index]);
    }
    bool Matches(int32_t index, const SearchQuery& query) const;

    struct Codes {
        int32_t source = 0, country = 0, genre = 0;
    };
    const Codes& CodesOf(int32_t index) const { return codes_[index]; }
    const std::string& Buffer() const { return text_; }
    const std::vector<size_t>& Offsets() const { return offsets_; }

private:
    std::string text_;
    std::vector<size_t> offsets_;  // Count + 2 entries; record i spans [offsets_[i], offsets_[i + 1])
    std::vector<Codes> codes_;     // Count + 1 entries; entry 0 unused
};

// Which records the grid starts from: all of them in table order, or a list of the user's in its own order.
enum class RowView { All, Favourites, Recent };

// What the grid shows: the three filter codes (0 lets every code pass) and the words typed, over the
// records of the view; `order` holds those of a view other than All, in the order they show.
struct RowFilter {
    int32_t source = 0;
    int32_t country = 0;
    int32_t genre = 0;
    SearchQuery query;
    RowView view = RowView::All;
    std::vector<int32_t> order;
    friend bool operator==(const RowFilter&, const RowFilter&) = default;
};

struct RowRequest {
    RowFilter filter;
    // The last result and the filter it was made for, when there is one: if the new filter only narrows
    // it and those rows are few, only they are tested again. Drop them once the table changes: record
    // indices move on a delete, and a stored record may now match.
    const RowFilter* previousFilter = nullptr;
    const std::vector<int32_t>* previousRows = nullptr;
    // Set by another thread to stop the job; polled every few thousand records.
    const std::atomic<bool>* cancel = nullptr;
    // Threads to use, the calling one included; 0 takes one per core.
    int threads = 0;
};

enum class RowsStatus { Done, Cancelled };

// The record indices that pass the filter, ascending (or in the view's order): rows[r - 1] is the record
// of grid row r.
// Reads only the index (and the table to check it describes as many records); rows is left empty when
// cancelled. An index that does not match the table's count is ignored and the table is scanned.
RowsStatus ComputeRows(const ChannelTable& table, const SearchIndex& index, const RowRequest& request,
                       std::vector<int32_t>& rows);

}  // namespace castora
