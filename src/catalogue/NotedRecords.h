#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "catalogue/ChannelTable.h"

namespace castora {

// Where the channels of the user's lists (favourites, recently played) stand in the table: a few hundred
// addresses, found by one scan of the table and then kept in step with each of its changes, so that
// showing those lists never scans a large catalogue again.
class NotedRecords {
public:
    // Finds each address in the table (the first record that has it), replacing what was known.
    void Build(const ChannelTable& table, const std::vector<std::string>& urls);
    // Tracks one more address: record `hint` when it holds it, else the table is scanned for it.
    void Want(const ChannelTable& table, std::string_view url, int32_t hint = 0);
    // The addresses tracked.
    std::vector<std::string> Urls() const;
    // 0 when the address is not in the table (or not tracked).
    int32_t RecordOf(std::string_view url) const;

    // The table's changes, told after they were made.
    void Appended(const ChannelTable& table, int32_t first);  // records first..ChannelCount are new
    void Deleted(int32_t index);
    void Stored(const ChannelTable& table, int32_t index, std::string_view oldUrl);

    size_t Size() const { return records_.size(); }

private:
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_map<std::string, int32_t, Hash, std::equal_to<>> records_;  // address -> record, 0 absent
};

}  // namespace castora
