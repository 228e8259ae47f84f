#include "catalogue/ChannelNotes.h"

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <sys/stat.h>

#include "catalogue/ListFiles.h"

namespace castora {

namespace {

constexpr std::string_view Header = "# Castora Player channel notes 1";
// Far above any real catalogue's notes; a file beyond it is not read into memory.
constexpr uint64_t MaxFileBytes = 256ull << 20;

// Fields are separated by tabs and records by line ends: those bytes, the escape itself and every other
// control byte are written as %XX, so any address and any text survive.
std::string Escape(std::string_view s) {
    static const char* const Hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(s.size());
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7F || c == '%') {
            out += '%';
            out += Hex[c >> 4];
            out += Hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::optional<std::string> Unescape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        if (i + 2 >= s.size()) return std::nullopt;
        const int hi = HexValue(s[i + 1]);
        const int lo = HexValue(s[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return out;
}

bool ParseInt(std::string_view s, int64_t& value) {
    if (s.empty() || s.size() > 18) return false;
    int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    value = v;
    return true;
}

// The text fields of a note by their names in the file.
struct TextField {
    std::string_view key;
    std::string ChannelNote::*member;
};
constexpr TextField TextFields[] = {
    {"tvg-id", &ChannelNote::tvgId},     {"tvg-name", &ChannelNote::tvgName},
    {"tvg-logo", &ChannelNote::tvgLogo}, {"tvg-shift", &ChannelNote::tvgShift},
    {"guide", &ChannelNote::guideId},    {"guide-shift", &ChannelNote::guideShift},
    {"logo", &ChannelNote::logo},
};

std::string ReadWhole(const std::filesystem::path& file, std::string& error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = std::strerror(errno);
        return {};
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad()) error = "read error";
    return bytes.str();
}

}  // namespace

bool ChannelNote::Empty() const { return *this == ChannelNote{}; }

ChannelNotes::ChannelNotes(std::filesystem::path file) : file_(std::move(file)) {}

ChannelNotes::Stamp ChannelNotes::ReadStamp() const {
    struct stat st {};
    Stamp s;
    if (file_.empty() || ::stat(file_.c_str(), &st) != 0) return s;
    s.exists = true;
    s.size = static_cast<uint64_t>(st.st_size);
    s.inode = static_cast<uint64_t>(st.st_ino);
    s.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return s;
}

ChannelNotes::ReadResult ChannelNotes::Load() {
    notes_.clear();
    changed_.clear();
    unreadable_ = false;
    stamp_ = ReadStamp();
    ReadResult result;
    std::error_code ec;
    const bool link = std::filesystem::is_symlink(file_, ec);
    if (!stamp_.exists && !link) return result;  // no notes yet
    const std::string name = file_.filename().string();
    auto fail = [&](const std::string& why) {
        unreadable_ = true;
        result.ok = false;
        result.error = "Can't read " + name + ": " + why + ".";
        return result;
    };
    if (!stamp_.exists) return fail("it is a link to nothing");
    if (!std::filesystem::is_regular_file(file_, ec)) return fail("it is not a file");
    if (stamp_.size > MaxFileBytes) return fail("the file is too large");
    std::string error;
    const std::string text = ReadWhole(file_, error);
    if (!error.empty()) return fail(error);
    if (text.empty()) return result;
    auto parsed = Parse(text);
    if (!parsed) return fail("the file is damaged");
    notes_ = std::move(*parsed);
    return result;
}

std::optional<NoteMap> ChannelNotes::Parse(std::string_view text) {
    NoteMap notes;
    size_t pos = 0;
    bool first = true;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.find('\0') != std::string_view::npos) return std::nullopt;
        if (first) {
            // Only a file of ours is read: anything else under the name is left as it is.
            if (line != Header) return std::nullopt;
            first = false;
            continue;
        }
        if (line.empty() || line.front() == '#') continue;
        const size_t tab = line.find('\t');
        auto url = Unescape(line.substr(0, tab));
        if (!url || url->empty()) return std::nullopt;
        ChannelNote note;
        std::string_view rest = tab == std::string_view::npos ? std::string_view() : line.substr(tab + 1);
        while (!rest.empty()) {
            const size_t next = rest.find('\t');
            const std::string_view field = rest.substr(0, next);
            rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
            const size_t eq = field.find('=');
            if (eq == std::string_view::npos) return std::nullopt;
            const std::string_view key = field.substr(0, eq);
            auto value = Unescape(field.substr(eq + 1));
            if (!value) return std::nullopt;
            int64_t number = 0;
            if (key == "favourite") {
                if (!ParseInt(*value, number) || number > INT32_MAX) return std::nullopt;
                note.favourite = static_cast<int32_t>(number);
            } else if (key == "played") {
                if (!ParseInt(*value, number)) return std::nullopt;
                note.played = number;
            } else {
                for (const TextField& f : TextFields)
                    if (key == f.key) note.*f.member = std::move(*value);
                // A key of a later version is skipped, not an error.
            }
        }
        if (!note.Empty()) notes[std::move(*url)] = std::move(note);
    }
    if (first) return std::nullopt;  // bytes, but not even the header line
    return notes;
}

std::string ChannelNotes::Format(const NoteMap& notes) {
    std::string out(Header);
    out += '\n';
    for (const auto& [url, note] : notes) {
        if (note.Empty()) continue;
        out += Escape(url);
        if (note.favourite > 0) out += "\tfavourite=" + std::to_string(note.favourite);
        if (note.played > 0) out += "\tplayed=" + std::to_string(note.played);
        for (const TextField& f : TextFields)
            if (!(note.*f.member).empty()) {
                out += '\t';
                out += f.key;
                out += '=';
                out += Escape(note.*f.member);
            }
        out += '\n';
    }
    return out;
}

const ChannelNote* ChannelNotes::Find(std::string_view url) const {
    const auto it = notes_.find(url);
    return it == notes_.end() ? nullptr : &it->second;
}

bool ChannelNotes::IsFavourite(std::string_view url) const {
    const ChannelNote* note = Find(url);
    return note && note->favourite > 0;
}

void ChannelNotes::Change(std::string_view url, const std::function<void(ChannelNote&)>& change) {
    if (url.empty()) return;
    const std::string key(url);
    ChannelNote& note = notes_[key];
    const ChannelNote before = note;
    change(note);
    if (note != before) changed_.insert(key);
    if (note.Empty()) notes_.erase(key);
}

void ChannelNotes::Move(std::string_view from, std::string_view to) {
    if (from == to || from.empty() || to.empty()) return;
    const auto it = notes_.find(from);
    if (it == notes_.end()) return;
    ChannelNote moved = std::move(it->second);
    notes_.erase(it);
    changed_.insert(std::string(from));
    Change(to, [&moved](ChannelNote& note) {
        if (moved.favourite == 0) moved.favourite = note.favourite;
        if (moved.played == 0) moved.played = note.played;
        for (const TextField& f : TextFields)
            if ((moved.*f.member).empty()) moved.*f.member = note.*f.member;
        note = moved;
    });
    Renumber();
}

std::vector<std::string> ChannelNotes::Favourites() const {
    std::vector<std::pair<int32_t, const std::string*>> ranked;
    for (const auto& [url, note] : notes_)
        if (note.favourite > 0) ranked.emplace_back(note.favourite, &url);
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> out;
    out.reserve(ranked.size());
    for (const auto& [rank, url] : ranked) out.push_back(*url);
    return out;
}

// Places 1, 2, 3 … in the favourites' order, whatever gaps or ties a merge or a move left.
void ChannelNotes::Renumber() {
    const std::vector<std::string> order = Favourites();
    for (size_t i = 0; i < order.size(); ++i) {
        const auto place = static_cast<int32_t>(i + 1);
        if (notes_[order[i]].favourite != place) {
            notes_[order[i]].favourite = place;
            changed_.insert(order[i]);
        }
    }
}

void ChannelNotes::SetFavourite(std::string_view url, bool on) {
    if (url.empty() || IsFavourite(url) == on) return;
    const auto count = static_cast<int32_t>(Favourites().size());
    Change(url, [&](ChannelNote& note) { note.favourite = on ? count + 1 : 0; });
    Renumber();
}

bool ChannelNotes::MoveFavourite(std::string_view url, int step) {
    std::vector<std::string> order = Favourites();
    const auto it = std::find(order.begin(), order.end(), url);
    if (it == order.end()) return false;
    const auto at = it - order.begin();
    const auto to = at + (step < 0 ? -1 : 1);
    if (to < 0 || to >= static_cast<std::ptrdiff_t>(order.size())) return false;
    std::swap(order[static_cast<size_t>(at)], order[static_cast<size_t>(to)]);
    for (size_t i = 0; i < order.size(); ++i)
        Change(order[i], [i](ChannelNote& note) { note.favourite = static_cast<int32_t>(i + 1); });
    return true;
}

std::vector<std::string> ChannelNotes::Recent(size_t count) const {
    std::vector<std::pair<int64_t, const std::string*>> played;
    for (const auto& [url, note] : notes_)
        if (note.played > 0) played.emplace_back(note.played, &url);
    std::stable_sort(played.begin(), played.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<std::string> out;
    for (size_t i = 0; i < played.size() && i < count; ++i) out.push_back(*played[i].second);
    return out;
}

void ChannelNotes::Played(std::string_view url, int64_t when) {
    Change(url, [when](ChannelNote& note) { note.played = std::max<int64_t>(when, 1); });
}

void ChannelNotes::ClearHistory() {
    std::vector<std::string> urls;
    for (const auto& [url, note] : notes_)
        if (note.played > 0) urls.push_back(url);
    for (const std::string& url : urls) Change(url, [](ChannelNote& note) { note.played = 0; });
}

std::string ChannelNotes::Save() {
    if (changed_.empty() || file_.empty()) return {};
    const std::string name = file_.filename().string();
    // Another copy of the program may have written since: its notes stand where this one changed nothing.
    const Stamp now = ReadStamp();
    if (now.exists && now != stamp_ && !unreadable_) {
        std::string error;
        const std::string text = ReadWhole(file_, error);
        std::optional<NoteMap> theirs;
        if (error.empty() && now.size <= MaxFileBytes) theirs = text.empty() ? NoteMap{} : Parse(text);
        if (theirs) {
            for (auto& [url, note] : *theirs)
                if (!changed_.count(url)) notes_[url] = std::move(note);
            for (auto it = notes_.begin(); it != notes_.end();)
                if (!changed_.count(it->first) && !theirs->count(it->first)) it = notes_.erase(it);
                else ++it;
            Renumber();
        }
    }
    if (unreadable_) {
        // The file that could not be read is kept for the user, once: a later backup never replaces it.
        std::filesystem::path backup = file_;
        backup += ".bak";
        std::error_code ec;
        if (!std::filesystem::exists(std::filesystem::symlink_status(backup, ec)))
            std::filesystem::rename(file_, backup, ec);
    }
    std::filesystem::path tmp = file_;
    tmp += ".tmp";
    const int rc = ReplaceFile(tmp, file_, Format(notes_));
    if (rc != 0) return "Can't write " + name + ": " + std::strerror(rc) + ".";
    changed_.clear();
    unreadable_ = false;
    stamp_ = ReadStamp();
    return {};
}

}  // namespace castora
