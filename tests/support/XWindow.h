#pragma once
// What the X server holds for a top-level window, read over the application's own connection (so it
// sees every request Qt has sent). Tests that include this link libxcb.
#include <QGuiApplication>
#include <QWidget>
#include <xcb/xcb.h>

#include <cstdlib>
#include <string>

namespace castora::test {

// The window's _NET_WM_NAME, the title window managers and task bars show; empty when there is none.
inline QString XWindowName(const QWidget* window) {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !window) return {};
    xcb_connection_t* c = x11->connection();
    auto atom = [c](const std::string& name) {
        xcb_intern_atom_reply_t* r =
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr);
        const xcb_atom_t a = r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
        std::free(r);
        return a;
    };
    const auto id = static_cast<xcb_window_t>(window->winId());
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        c, xcb_get_property(c, 0, id, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 0, 4096), nullptr);
    if (!reply) return {};
    const QString name = QString::fromUtf8(static_cast<const char*>(xcb_get_property_value(reply)),
                                           xcb_get_property_value_length(reply));
    std::free(reply);
    return name;
}

}  // namespace castora::test
