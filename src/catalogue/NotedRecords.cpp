#include "catalogue/NotedRecords.h"

#include <algorithm>

namespace castora {

void NotedRecords::Build(const ChannelTable& table, const std::vector<std::string>& urls) {
    records_.clear();
    for (const std::string& url : urls) records_.emplace(url, 0);
    if (records_.empty()) return;
    size_t left = records_.size();
    for (int32_t i = 1; i <= table.ChannelCount && left > 0; ++i) {
        const auto it = records_.find(table.Channels[i].Url.view());
        if (it != records_.end() && it->second == 0) {
            it->second = i;
            --left;
        }
    }
}

void NotedRecords::Want(const ChannelTable& table, std::string_view url, int32_t hint) {
    if (url.empty() || records_.find(url) != records_.end()) return;
    const bool holds = hint >= 1 && hint <= table.ChannelCount && table.Channels[hint].Url == url;
    records_.emplace(std::string(url), holds ? hint : table.IndexOfUrl(url));
}

std::vector<std::string> NotedRecords::Urls() const {
    std::vector<std::string> urls;
    urls.reserve(records_.size());
    for (const auto& [url, record] : records_) urls.push_back(url);
    return urls;
}

int32_t NotedRecords::RecordOf(std::string_view url) const {
    const auto it = records_.find(url);
    return it == records_.end() ? 0 : it->second;
}

void NotedRecords::Appended(const ChannelTable& table, int32_t first) {
    if (records_.empty()) return;
    for (int32_t i = std::max(first, 1); i <= table.ChannelCount; ++i) {
        const auto it = records_.find(table.Channels[i].Url.view());
        if (it != records_.end() && it->second == 0) it->second = i;
    }
}

void NotedRecords::Deleted(int32_t index) {
    for (auto& [url, record] : records_) {
        if (record == index) record = 0;
        else if (record > index) --record;
    }
}

void NotedRecords::Stored(const ChannelTable& table, int32_t index, std::string_view oldUrl) {
    if (index < 1 || index > table.ChannelCount) return;
    const std::string_view newUrl = table.Channels[index].Url.view();
    if (newUrl == oldUrl) return;
    if (const auto it = records_.find(oldUrl); it != records_.end() && it->second == index) it->second = 0;
    if (const auto it = records_.find(newUrl); it != records_.end() && it->second == 0) it->second = index;
}

}  // namespace castora
