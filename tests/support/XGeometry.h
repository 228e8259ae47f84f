#pragma once
// Window geometry and hints as the X server holds them, read over the application's own connection.
// Tests that include this link libxcb.
#include <QGuiApplication>
#include <QRect>
#include <QSize>
#include <QStringList>
#include <xcb/xcb.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace castora::test {

inline xcb_connection_t* XConnection() {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

inline xcb_atom_t XAtom(const std::string& name) {
    xcb_connection_t* c = XConnection();
    xcb_intern_atom_reply_t* r =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr);
    const xcb_atom_t a = r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(r);
    return a;
}

// A window's rectangle in root coordinates; empty when the server does not know the window.
inline QRect XGeometryOf(WId window) {
    xcb_connection_t* c = XConnection();
    if (!c || !window) return {};
    const auto id = static_cast<xcb_window_t>(window);
    xcb_get_geometry_reply_t* g = xcb_get_geometry_reply(c, xcb_get_geometry(c, id), nullptr);
    if (!g) return {};
    const xcb_window_t root = g->root;
    const QSize size(g->width, g->height);
    std::free(g);
    xcb_translate_coordinates_reply_t* t =
        xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, id, root, 0, 0), nullptr);
    if (!t) return {};
    const QRect rect(QPoint(t->dst_x, t->dst_y), size);
    std::free(t);
    return rect;
}

inline bool XMapped(WId window) {
    xcb_connection_t* c = XConnection();
    xcb_get_window_attributes_reply_t* a =
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, static_cast<xcb_window_t>(window)), nullptr);
    const bool viewable = a && a->map_state == XCB_MAP_STATE_VIEWABLE;
    std::free(a);
    return viewable;
}

// The 32-bit values of a window property; empty when it is not set.
inline std::vector<uint32_t> XCardinals(WId window, const std::string& property, xcb_atom_t type) {
    xcb_connection_t* c = XConnection();
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        c, xcb_get_property(c, 0, static_cast<xcb_window_t>(window), XAtom(property), type, 0, 64), nullptr);
    std::vector<uint32_t> values;
    if (reply && reply->format == 32) {
        const auto* data = static_cast<const uint32_t*>(xcb_get_property_value(reply));
        values.assign(data, data + xcb_get_property_value_length(reply) / 4);
    }
    std::free(reply);
    return values;
}

// WM_NORMAL_HINTS: the smallest size a window manager may give the window, and the largest (empty when
// there is no limit).
struct XSizeHints {
    QSize minimum;
    QSize maximum;
};

inline XSizeHints XNormalHints(WId window) {
    const std::vector<uint32_t> v = XCardinals(window, "WM_NORMAL_HINTS", XCB_ATOM_WM_SIZE_HINTS);
    XSizeHints hints;
    if (v.size() < 9) return hints;
    constexpr uint32_t kMinSize = 1 << 4, kMaxSize = 1 << 5;
    if (v[0] & kMinSize) hints.minimum = QSize(static_cast<int>(v[5]), static_cast<int>(v[6]));
    if (v[0] & kMaxSize) hints.maximum = QSize(static_cast<int>(v[7]), static_cast<int>(v[8]));
    return hints;
}

// The names of the atoms in _NET_WM_STATE ("_NET_WM_STATE_FULLSCREEN", ...).
inline QStringList XNetWmState(WId window) {
    QStringList names;
    xcb_connection_t* c = XConnection();
    for (uint32_t atom : XCardinals(window, "_NET_WM_STATE", XCB_ATOM_ATOM)) {
        xcb_get_atom_name_reply_t* r = xcb_get_atom_name_reply(c, xcb_get_atom_name(c, atom), nullptr);
        if (!r) continue;
        names << QString::fromLatin1(xcb_get_atom_name_name(r), xcb_get_atom_name_name_length(r));
        std::free(r);
    }
    return names;
}

}  // namespace castora::test
