#pragma once
// What the program knows of a channel beyond its list record: the user's favourites and history, what an
// import said about it, the user's guide match and logo. Kept in one file of the program's beside the
// lists (which keep their format), keyed by the channel's address as the table holds it, header suffix
// included, so that it outlives updates, re-imports and deletes: a channel that comes back finds it again.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace castora {

inline constexpr const char* NotesFileName = "channels.meta";

struct ChannelNote {
    int32_t favourite = 0;  // place among the favourites, from 1; 0 when not one
    int64_t played = 0;     // when it last reached playing, in seconds since 1970; 0 never
    // What the playlist it was imported from said (UTF-8, as written there).
    std::string tvgId, tvgName, tvgLogo, tvgShift;
    // The user's own choices: a guide channel id and shift in hours, a logo file or address.
    std::string guideId, guideShift, logo;

    bool Empty() const;
    friend bool operator==(const ChannelNote&, const ChannelNote&) = default;
};

// Ordered by address, so that the file is written the same way each time; looked up by a view of one.
using NoteMap = std::map<std::string, ChannelNote, std::less<>>;

// The notes of every channel, as read from and written to their file. Changes are kept in memory and
// written by Save, which first takes in what another copy of the program wrote meanwhile: an address this
// copy did not change keeps the file's newer note.
class ChannelNotes {
public:
    explicit ChannelNotes(std::filesystem::path file = {});

    struct ReadResult {
        bool ok = true;     // false: the file is there but could not be read; the notes start empty
        std::string error;  // why, naming the file
    };
    // A missing or empty file is no notes at all. A file that cannot be read is never written over until
    // something changes (and is then kept beside as <name>.bak).
    ReadResult Load();
    const std::filesystem::path& File() const { return file_; }

    // The note of an address; null when it has none.
    const ChannelNote* Find(std::string_view url) const;
    const NoteMap& All() const { return notes_; }
    bool IsFavourite(std::string_view url) const;
    // Changes the note of an address (made when missing; dropped when the change leaves it empty).
    void Change(std::string_view url, const std::function<void(ChannelNote&)>& change);
    // The channel's address was edited: its note goes with it. A note at the new address is kept where
    // the moved one has nothing.
    void Move(std::string_view from, std::string_view to);

    // Favourites in the user's order, as addresses.
    std::vector<std::string> Favourites() const;
    // Appends a favourite at the end, or removes one (the rest close up).
    void SetFavourite(std::string_view url, bool on);
    // Moves a favourite one place up (-1) or down (+1); false when it cannot move.
    bool MoveFavourite(std::string_view url, int step);
    // The most recently played addresses, newest first.
    std::vector<std::string> Recent(size_t count) const;
    void Played(std::string_view url, int64_t when);
    void ClearHistory();

    bool Dirty() const { return !changed_.empty(); }
    // Writes the notes if anything changed (merging the file's newer content first). Returns an error
    // text, empty on success.
    std::string Save();

    // The file's text for these notes, and the notes a text holds (nullopt when it is not such a file).
    static std::string Format(const NoteMap& notes);
    static std::optional<NoteMap> Parse(std::string_view text);

private:
    struct Stamp {
        bool exists = false;
        uint64_t size = 0, inode = 0;
        int64_t mtimeNs = 0;
        friend bool operator==(const Stamp&, const Stamp&) = default;
    };
    Stamp ReadStamp() const;
    void Renumber();

    std::filesystem::path file_;
    NoteMap notes_;
    std::set<std::string> changed_;  // addresses changed since the last Load or Save
    Stamp stamp_;                    // the file as this copy last read or wrote it
    bool unreadable_ = false;        // the file could not be read: keep it until a change
};

}  // namespace castora
