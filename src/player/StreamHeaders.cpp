#include "player/StreamHeaders.h"

#include <mpv/client.h>

#include <string>
#include <vector>

#include "catalogue/Playlist.h"

namespace castora {

int LoadWithHeaders(mpv_handle* mpv, const QString& url) {
    const HeaderSuffix parts = SplitHeaderSuffix(url.toStdString());
    std::string agent;
    if (char* value = mpv_get_property_string(mpv, "option-info/user-agent/default-value")) {
        agent = value;
        mpv_free(value);
    }
    // The referrer goes with the other fields: once set, the engine's own option can only be emptied, and
    // an empty one still sends "Referer:".
    std::vector<std::string> fields;
    for (const auto& [name, value] : parts.headers) {
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
