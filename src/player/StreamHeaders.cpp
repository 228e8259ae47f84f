#include "player/StreamHeaders.h"

#include <mpv/client.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/Playlist.h"

namespace castora {

namespace {

// A path without a scheme, as a list may hold one ("C:\\Radio\\a.mp3", "music/a.ogg"). "-" would be the
// engine's standard input, and "name://" its protocols.
bool IsPlainPath(std::string_view address) {
    return !address.empty() && address[0] != '-' && address.find("://") == std::string_view::npos &&
           !HasControl(address);
}

bool Opens(std::string_view address) { return IsPlayableAddress(address) || IsPlainPath(address); }

}  // namespace

bool PlayerOpens(const QString& url) { return Opens(SplitHeaderSuffix(url.toStdString()).address); }

int LoadWithHeaders(mpv_handle* mpv, const QString& url) {
    const HeaderSuffix parts = SplitHeaderSuffix(url.toStdString());
    if (!Opens(parts.address)) return MPV_ERROR_INVALID_PARAMETER;
    std::string agent;
    if (char* value = mpv_get_property_string(mpv, "option-info/user-agent/default-value")) {
        agent = value;
        mpv_free(value);
    }
    // The referrer goes with the other fields: once set, the engine's own option can only be emptied, and
    // an empty one still sends "Referer:".
    std::vector<std::string> fields;
    for (const auto& [name, value] : parts.headers) {
        if (name.empty() || HasControl(name) || HasControl(value)) continue;
        const QString key = QString::fromStdString(name).toLower();
        if (key == "user-agent") agent = value;
        else if (key == "referer" || key == "referrer") fields.push_back("Referer: " + value);
        else fields.push_back(name + ": " + value);
    }
    std::vector<mpv_node> items(fields.size());
    for (size_t i = 0; i < fields.size(); ++i) {
        items[i].format = MPV_FORMAT_STRING;
        items[i].u.string = fields[i].data();
    }
    // A node list, not a string: header values may hold the commas a string list splits at.
    mpv_node_list list{static_cast<int>(items.size()), items.data(), nullptr};
    mpv_node node;
    node.format = MPV_FORMAT_NODE_ARRAY;
    node.u.list = &list;
    int rc = mpv_set_property_string(mpv, "user-agent", agent.c_str());
    if (rc >= 0) rc = mpv_set_property(mpv, "http-header-fields", MPV_FORMAT_NODE, &node);
    if (rc < 0) return rc;
    const char* args[] = {"loadfile", parts.address.c_str(), "replace", nullptr};
    return mpv_command(mpv, args);
}

}  // namespace castora
