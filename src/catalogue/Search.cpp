#include "catalogue/Search.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <system_error>
#include <thread>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace castora {

namespace {

bool IsWordBreak(unsigned char c) { return c <= 0x20 || c == 0x7F || c == 0xA0; }

void AppendFolded(std::string& out, std::string_view text) {
    const size_t at = out.size();
    out.resize(at + text.size());
    char* dst = out.data() + at;
    for (size_t i = 0; i < text.size(); ++i) dst[i] = static_cast<char>(Fold1251[static_cast<unsigned char>(text[i])]);
}

void AppendRecordText(std::string& out, const TChannelRec& rec) {
    AppendFolded(out, rec.Name);
    out.push_back('\n');
    AppendFolded(out, rec.Comments);
    out.push_back('\n');
}

#if defined(__x86_64__)
// Compares a block of positions at once against the word's first and last byte and checks the middle
// only where both agree: several times faster than memmem on folded text, where a short word such as
// "ra" is rare but its single letters are everywhere. The tail shorter than a block goes byte by byte.
const char* FindTail(const char* hay, size_t i, size_t length, const std::string& word) {
    for (; i + word.size() <= length; ++i)
        if (hay[i] == word[0] && std::memcmp(hay + i, word.data(), word.size()) == 0) return hay + i;
    return nullptr;
}

const char* FindSse2(const char* hay, size_t length, const std::string& word) {
    const size_t k = word.size();
    const __m128i first = _mm_set1_epi8(word[0]);
    const __m128i last = _mm_set1_epi8(word[k - 1]);
    size_t i = 0;
    for (; i + k - 1 + 16 <= length; i += 16) {
        const __m128i a = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + i)), first);
        const __m128i b = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + i + k - 1)), last);
        auto bits = static_cast<uint32_t>(_mm_movemask_epi8(_mm_and_si128(a, b)));
        for (; bits; bits &= bits - 1) {
            const int at = __builtin_ctz(bits);
            if (std::memcmp(hay + i + at + 1, word.data() + 1, k - 2) == 0) return hay + i + at;
        }
    }
    return FindTail(hay, i, length, word);
}

__attribute__((target("avx2"))) const char* FindAvx2(const char* hay, size_t length, const std::string& word) {
    const size_t k = word.size();
    const __m256i first = _mm256_set1_epi8(word[0]);
    const __m256i last = _mm256_set1_epi8(word[k - 1]);
    size_t i = 0;
    for (; i + k - 1 + 32 <= length; i += 32) {
        const __m256i a = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(hay + i)), first);
        const __m256i b =
            _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(hay + i + k - 1)), last);
        auto bits = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_and_si256(a, b)));
        for (; bits; bits &= bits - 1) {
            const int at = __builtin_ctz(bits);
            if (std::memcmp(hay + i + at + 1, word.data() + 1, k - 2) == 0) return hay + i + at;
        }
    }
    return FindTail(hay, i, length, word);
}

const bool HasAvx2 = [] {
    __builtin_cpu_init();  // this runs among the static constructors, maybe before the library's own
    return __builtin_cpu_supports("avx2") != 0;
}();
#endif

const char* FindWith(SearchKernel kernel, const char* hay, size_t length, const std::string& word) {
    if (word.empty()) return hay;
    // The kernels below look for two bytes at least; one byte is memchr's job.
    if (word.size() == 1) return static_cast<const char*>(std::memchr(hay, word[0], length));
#if defined(__x86_64__)
    if ((kernel == SearchKernel::Avx2 || kernel == SearchKernel::Best) && HasAvx2) return FindAvx2(hay, length, word);
    if (kernel != SearchKernel::Plain) return FindSse2(hay, length, word);
#endif
    return static_cast<const char*>(::memmem(hay, length, word.data(), word.size()));
}

const char* Find(const char* hay, size_t length, const std::string& word) {
    return FindWith(SearchKernel::Best, hay, length, word);
}

bool Contains(std::string_view text, const std::string& word) {
    return Find(text.data(), text.size(), word) != nullptr;
}

bool Passes(const RowFilter& f, int32_t source, int32_t country, int32_t genre) {
    return (f.source == 0 || f.source == source) && (f.country == 0 || f.country == country) &&
           (f.genre == 0 || f.genre == genre);
}

// Each filter code of `narrower` is the same as in `wider` or wider lets every code pass, over all records.
bool CodesRefine(const RowFilter& narrower, const RowFilter& wider) {
    const auto refines = [](int32_t n, int32_t w) { return w == 0 || n == w; };
    return narrower.view == RowView::All && wider.view == RowView::All && refines(narrower.source, wider.source) &&
           refines(narrower.country, wider.country) && refines(narrower.genre, wider.genre);
}

constexpr int32_t PollEvery = 4096;
// Below this many records a second thread costs more than it saves.
constexpr int32_t MinPerThread = 32768;
constexpr size_t SliceSize = 16384;
// Testing the previous rows one by one costs a cache miss or two each; a scan of the whole buffer
// runs at memory speed. At a million records the scan wins above some 30,000 previous rows.
constexpr size_t NarrowShare = 32;

struct Part {
    std::vector<int32_t> rows;
    bool cancelled = false;
};

bool Cancelled(const std::atomic<bool>* cancel) { return cancel && cancel->load(std::memory_order_relaxed); }

// Records first..last, the codes first: used with no words typed, or when a filter is set and so
// leaves few records whose text needs looking at.
void ScanCodes(const SearchIndex& index, const RowRequest& req, int32_t first, int32_t last, Part& out) {
    const RowFilter& f = req.filter;
    for (int32_t k = first; k <= last; ++k) {
        if ((k & (PollEvery - 1)) == 0 && Cancelled(req.cancel)) {
            out.cancelled = true;
            return;
        }
        const SearchIndex::Codes& c = index.CodesOf(k);
        if (Passes(f, c.source, c.country, c.genre) && index.Matches(k, f.query)) out.rows.push_back(k);
    }
}

// Records first..last with no filter set: the first (longest) word is searched in the whole stretch of
// buffer at once, and only a record where it occurs is tested further.
void ScanText(const SearchIndex& index, const RowRequest& req, int32_t first, int32_t last, Part& out) {
    const std::vector<std::string>& words = req.filter.query.words;
    const char* base = index.Buffer().data();
    const std::vector<size_t>& off = index.Offsets();
    for (int32_t block = first; block <= last; block += PollEvery) {
        if (Cancelled(req.cancel)) {
            out.cancelled = true;
            return;
        }
        const int32_t blockLast = std::min(last, block + PollEvery - 1);
        const size_t end = off[blockLast + 1];
        size_t pos = off[block];
        int32_t k = block;
        while (pos < end) {
            const char* hit = Find(base + pos, end - pos, words[0]);
            if (!hit) break;
            const auto at = static_cast<size_t>(hit - base);
            while (off[k + 1] <= at) ++k;
            const std::string_view text = index.Text(k);
            bool all = true;
            for (size_t w = 1; w < words.size() && all; ++w) all = Contains(text, words[w]);
            if (all) out.rows.push_back(k);
            pos = off[k + 1];
            ++k;
        }
    }
}

// Only the previous result's rows [from, to) are tested again.
void Narrow(const SearchIndex& index, const RowRequest& req, size_t from, size_t to, Part& out) {
    const std::vector<int32_t>& previous = *req.previousRows;
    const int32_t count = index.Count();
    for (size_t i = from; i < to; ++i) {
        if ((i & (PollEvery - 1)) == 0 && Cancelled(req.cancel)) {
            out.cancelled = true;
            return;
        }
        const int32_t k = previous[i];
        if (k < 1 || k > count) continue;
        const SearchIndex::Codes& c = index.CodesOf(k);
        if (Passes(req.filter, c.source, c.country, c.genre) && index.Matches(k, req.filter.query))
            out.rows.push_back(k);
    }
}

// Without an index that fits the table: the records themselves, slower but right.
void ScanTable(const ChannelTable& table, const RowRequest& req, int32_t first, int32_t last, Part& out) {
    for (int32_t k = first; k <= last; ++k) {
        if ((k & (PollEvery - 1)) == 0 && Cancelled(req.cancel)) {
            out.cancelled = true;
            return;
        }
        const TChannelRec& rec = table.Channels[k];
        if (Passes(req.filter, rec.Source, rec.Country, rec.Genre) && MatchesChannel(rec, req.filter.query))
            out.rows.push_back(k);
    }
}

int ThreadCount(const RowRequest& req, size_t work) {
    int n = req.threads;
    if (n <= 0) n = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
    const auto most = static_cast<int>(std::max<size_t>(1, work / MinPerThread));
    return std::max(1, std::min(n, most));
}

// Runs job(part, begin, end) over [0, work) cut into small slices that the threads take in turn, the
// calling thread among them: a thread the scheduler keeps waiting holds up one slice, not half the work.
template <class Job>
std::vector<Part> RunParts(int threads, size_t work, const Job& job) {
    const size_t slices = std::clamp<size_t>(work / SliceSize, 1, 1024);
    std::vector<Part> out(slices);
    std::atomic<size_t> next{0};
    const auto run = [&] {
        for (size_t s = next.fetch_add(1); s < slices; s = next.fetch_add(1))
            job(out[s], work * s / slices, work * (s + 1) / slices);
    };
    std::vector<std::thread> helpers;
    for (int t = 1; t < threads; ++t) {
        try {
            helpers.emplace_back(run);
        } catch (const std::system_error&) {
            break;  // no thread to be had: the ones running take all the slices
        }
    }
    run();
    for (std::thread& t : helpers) t.join();
    return out;
}

}  // namespace

const char* FindWord(SearchKernel kernel, std::string_view text, const std::string& word) {
    return FindWith(kernel, text.data(), text.size(), word);
}

std::string FoldText(std::string_view text) {
    std::string out;
    AppendFolded(out, text);
    return out;
}

SearchQuery ParseSearch(std::string_view typed) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < typed.size()) {
        while (i < typed.size() && IsWordBreak(static_cast<unsigned char>(typed[i]))) ++i;
        const size_t start = i;
        while (i < typed.size() && !IsWordBreak(static_cast<unsigned char>(typed[i]))) ++i;
        if (i > start) words.push_back(FoldText(typed.substr(start, i - start)));
    }
    // A word inside another adds nothing; the longest goes first, as it is usually the rarest.
    std::stable_sort(words.begin(), words.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
    SearchQuery query;
    for (std::string& w : words) {
        const bool covered = std::any_of(query.words.begin(), query.words.end(),
                                         [&](const std::string& kept) { return kept.find(w) != std::string::npos; });
        if (!covered) query.words.push_back(std::move(w));
    }
    return query;
}

bool Refines(const SearchQuery& narrower, const SearchQuery& wider) {
    return std::all_of(wider.words.begin(), wider.words.end(), [&](const std::string& w) {
        return std::any_of(narrower.words.begin(), narrower.words.end(),
                           [&](const std::string& n) { return n.find(w) != std::string::npos; });
    });
}

bool MatchesChannel(const TChannelRec& rec, const SearchQuery& query) {
    if (query.Empty()) return true;
    std::string text;
    AppendRecordText(text, rec);
    return std::all_of(query.words.begin(), query.words.end(), [&](const std::string& w) { return Contains(text, w); });
}

void SearchIndex::Clear() {
    text_.clear();
    offsets_.assign(2, 0);
    codes_.assign(1, Codes{});
}

void SearchIndex::Build(const ChannelTable& table) {
    const int32_t count = table.ChannelCount;
    size_t bytes = 0;
    for (int32_t i = 1; i <= count; ++i) bytes += table.Channels[i].Name.size() + table.Channels[i].Comments.size() + 2;
    std::string text;
    text.reserve(bytes);
    std::vector<size_t> offsets;
    offsets.reserve(static_cast<size_t>(count) + 2);
    offsets.push_back(0);
    std::vector<Codes> codes;
    codes.reserve(static_cast<size_t>(count) + 1);
    codes.push_back(Codes{});
    for (int32_t i = 1; i <= count; ++i) {
        const TChannelRec& rec = table.Channels[i];
        offsets.push_back(text.size());
        AppendRecordText(text, rec);
        codes.push_back({rec.Source, rec.Country, rec.Genre});
    }
    offsets.push_back(text.size());
    text_ = std::move(text);
    offsets_ = std::move(offsets);
    codes_ = std::move(codes);
}

void SearchIndex::Append(const TChannelRec& rec) {
    AppendRecordText(text_, rec);
    offsets_.push_back(text_.size());
    codes_.push_back({rec.Source, rec.Country, rec.Genre});
}

void SearchIndex::Store(int32_t index, const TChannelRec& rec) {
    if (index < 1 || index > Count()) return;
    std::string text;
    AppendRecordText(text, rec);
    const size_t at = offsets_[index];
    const size_t old = offsets_[index + 1] - at;
    text_.replace(at, old, text);
    if (text.size() != old) {
        const size_t grow = text.size() - old;  // wraps when shrinking; the sums below wrap back
        for (size_t j = static_cast<size_t>(index) + 1; j < offsets_.size(); ++j) offsets_[j] += grow;
    }
    codes_[index] = {rec.Source, rec.Country, rec.Genre};
}

void SearchIndex::Delete(int32_t index) {
    if (index < 1 || index > Count()) return;
    const size_t at = offsets_[index];
    const size_t length = offsets_[index + 1] - at;
    text_.erase(at, length);
    offsets_.erase(offsets_.begin() + index + 1);
    for (size_t j = static_cast<size_t>(index) + 1; j < offsets_.size(); ++j) offsets_[j] -= length;
    codes_.erase(codes_.begin() + index);
}

size_t SearchIndex::MemoryBytes() const {
    return text_.capacity() + offsets_.capacity() * sizeof(size_t) + codes_.capacity() * sizeof(Codes);
}

bool SearchIndex::Matches(int32_t index, const SearchQuery& query) const {
    const std::string_view text = Text(index);
    return std::all_of(query.words.begin(), query.words.end(), [&](const std::string& w) { return Contains(text, w); });
}

RowsStatus ComputeRows(const ChannelTable& table, const SearchIndex& index, const RowRequest& req,
                       std::vector<int32_t>& rows) {
    rows.clear();
    const int32_t count = table.ChannelCount;
    if (req.filter.view != RowView::All) {
        // A few hundred records of the user's: each is looked at, in the user's order.
        const bool indexed = index.Count() == count;
        for (const int32_t r : req.filter.order) {
            if (r < 1 || r > count) continue;
            const TChannelRec& rec = table.Channels[r];
            if (!Passes(req.filter, rec.Source, rec.Country, rec.Genre)) continue;
            if (!req.filter.query.Empty() &&
                !(indexed ? index.Matches(r, req.filter.query) : MatchesChannel(rec, req.filter.query)))
                continue;
            rows.push_back(r);
        }
        return RowsStatus::Done;
    }
    std::vector<Part> parts;
    const auto records = [](auto scan) {
        return [scan](Part& part, size_t begin, size_t end) {
            if (end > begin) scan(part, static_cast<int32_t>(begin) + 1, static_cast<int32_t>(end));
        };
    };
    if (index.Count() != count) {
        parts = RunParts(ThreadCount(req, static_cast<size_t>(count)), static_cast<size_t>(count),
                         records([&](Part& p, int32_t a, int32_t b) { ScanTable(table, req, a, b, p); }));
    } else if (req.previousRows && req.previousFilter && CodesRefine(req.filter, *req.previousFilter) &&
               Refines(req.filter.query, req.previousFilter->query) &&
               req.previousRows->size() * NarrowShare <= static_cast<size_t>(count)) {
        const size_t work = req.previousRows->size();
        parts =
            RunParts(ThreadCount(req, work), work, [&](Part& p, size_t a, size_t b) { Narrow(index, req, a, b, p); });
    } else if (req.filter.query.Empty() || req.filter.source || req.filter.country || req.filter.genre) {
        parts = RunParts(ThreadCount(req, static_cast<size_t>(count)), static_cast<size_t>(count),
                         records([&](Part& p, int32_t a, int32_t b) { ScanCodes(index, req, a, b, p); }));
    } else {
        parts = RunParts(ThreadCount(req, static_cast<size_t>(count)), static_cast<size_t>(count),
                         records([&](Part& p, int32_t a, int32_t b) { ScanText(index, req, a, b, p); }));
    }
    size_t total = 0;
    for (const Part& p : parts) {
        if (p.cancelled) return RowsStatus::Cancelled;
        total += p.rows.size();
    }
    if (parts.size() == 1) {
        rows = std::move(parts[0].rows);
    } else {
        rows.reserve(total);
        for (const Part& p : parts) rows.insert(rows.end(), p.rows.begin(), p.rows.end());
    }
    if (Cancelled(req.cancel)) {
        rows.clear();
        return RowsStatus::Cancelled;
    }
    return RowsStatus::Done;
}

}  // namespace castora
