// The real program started twice in one list directory, under a session bus and an X server of the
// test's own: the second start hands its playlist to the first and ends, and the first one's window is
// the only one. What the X server holds is read with libxcb; the first copy is driven with key presses.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/Catalogues.h"
#include "support/TempDir.h"

#ifndef CASTORA_PLAYER_BINARY
#error "CASTORA_PLAYER_BINARY must name the program"
#endif

using namespace castora::test;
using namespace std::chrono_literals;

namespace {

struct XTopLevel {
    xcb_window_t id = 0;
    std::string name;
    uint32_t pid = 0;
    int width = 0, height = 0;
};

class XServer {
public:
    XServer() : c_(xcb_connect(nullptr, nullptr)) {}
    ~XServer() { xcb_disconnect(c_); }
    bool Connected() const { return c_ && !xcb_connection_has_error(c_); }

    // The top-level windows on screen (mapped and viewable): without a window manager, the root's children.
    std::vector<XTopLevel> Viewable() {
        std::vector<XTopLevel> out;
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
        xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c_, xcb_query_tree(c_, root), nullptr);
        if (!tree) return out;
        const xcb_window_t* children = xcb_query_tree_children(tree);
        for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
            xcb_get_window_attributes_reply_t* a =
                xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, children[i]), nullptr);
            const bool viewable = a && a->map_state == XCB_MAP_STATE_VIEWABLE && !a->override_redirect;
            std::free(a);
            if (!viewable) continue;
            XTopLevel w;
            w.id = children[i];
            w.name = Property(w.id, "_NET_WM_NAME", "UTF8_STRING");
            const std::string pid = Property(w.id, "_NET_WM_PID", "CARDINAL");
            if (pid.size() == 4) std::memcpy(&w.pid, pid.data(), 4);
            if (xcb_get_geometry_reply_t* g = xcb_get_geometry_reply(c_, xcb_get_geometry(c_, w.id), nullptr)) {
                w.width = g->width;
                w.height = g->height;
                std::free(g);
            }
            out.push_back(w);
        }
        std::free(tree);
        return out;
    }

    // A key press and release sent to the window, which takes the input focus first.
    void Key(xcb_window_t window, uint32_t keysym, uint16_t modifiers = 0) {
        xcb_set_input_focus(c_, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
        xcb_flush(c_);
        std::this_thread::sleep_for(100ms);  // lets the program see the focus before the key
        const xcb_keycode_t code = KeyCode(keysym);
        for (uint8_t type : {uint8_t(XCB_KEY_PRESS), uint8_t(XCB_KEY_RELEASE)}) {
            xcb_key_press_event_t e{};
            e.response_type = type;
            e.detail = code;
            e.time = XCB_CURRENT_TIME;
            e.root = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
            e.event = window;
            e.state = modifiers;
            e.same_screen = 1;
            xcb_send_event(c_, 1, window, type == XCB_KEY_PRESS ? XCB_EVENT_MASK_KEY_PRESS : XCB_EVENT_MASK_KEY_RELEASE,
                           reinterpret_cast<const char*>(&e));
        }
        xcb_flush(c_);
    }

private:
    xcb_atom_t Atom(const char* name) {
        xcb_intern_atom_reply_t* r =
            xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
        const xcb_atom_t atom = r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
        std::free(r);
        return atom;
    }
    std::string Property(xcb_window_t w, const char* name, const char* type) {
        xcb_get_property_reply_t* r =
            xcb_get_property_reply(c_, xcb_get_property(c_, 0, w, Atom(name), Atom(type), 0, 1024), nullptr);
        if (!r) return {};
        std::string value(static_cast<const char*>(xcb_get_property_value(r)),
                          static_cast<size_t>(xcb_get_property_value_length(r)));
        std::free(r);
        return value;
    }
    xcb_keycode_t KeyCode(uint32_t keysym) {
        const xcb_setup_t* setup = xcb_get_setup(c_);
        const int count = setup->max_keycode - setup->min_keycode + 1;
        xcb_get_keyboard_mapping_reply_t* map = xcb_get_keyboard_mapping_reply(
            c_, xcb_get_keyboard_mapping(c_, setup->min_keycode, static_cast<uint8_t>(count)), nullptr);
        xcb_keycode_t found = 0;
        if (map) {
            const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map);
            for (int k = 0; k < count && !found; ++k)
                if (syms[k * map->keysyms_per_keycode] == keysym)
                    found = static_cast<xcb_keycode_t>(setup->min_keycode + k);
            std::free(map);
        }
        return found;
    }

    xcb_connection_t* c_;
};

constexpr uint32_t kReturn = 0xff0d;

pid_t Launch(const std::filesystem::path& dir, const std::filesystem::path& runtime, const std::string& argument) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(dir.c_str()) != 0) _exit(126);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        const std::string log = (dir / (argument.empty() ? "first.log" : "second.log")).string();
        if (!std::freopen(log.c_str(), "w", stdout) || !std::freopen(log.c_str(), "a", stderr)) _exit(126);
        if (argument.empty()) ::execl(CASTORA_PLAYER_BINARY, CASTORA_PLAYER_BINARY, static_cast<char*>(nullptr));
        else ::execl(CASTORA_PLAYER_BINARY, CASTORA_PLAYER_BINARY, argument.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds limit = 30s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

bool Ended(pid_t pid, int& status, std::chrono::milliseconds limit = 30s) {
    return WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit);
}

}  // namespace

TEST(SecondStart, HandsItsPlaylistToTheFirstCopyAndEnds) {
    XServer x;
    ASSERT_TRUE(x.Connected()) << "no X server";
    ASSERT_NE(std::getenv("DBUS_SESSION_BUS_ADDRESS"), nullptr) << "no session bus";
    TempDir dir, runtime;
    ::chmod(runtime.path().c_str(), 0700);
    CopySampleCatalogue(dir.path());
    WriteFile(dir / "handed.m3u", "#EXTM3U\n#EXTINF:-1,Handed One\nhttp://handed.example/one\n"
                                  "#EXTINF:-1,Handed Two\nhttp://handed.example/two\n");

    const pid_t first = Launch(dir.path(), runtime.path(), "");
    ASSERT_GT(first, 0);
    const auto windowsOf = [&](pid_t pid) {
        std::vector<XTopLevel> out;
        for (const XTopLevel& w : x.Viewable())
            if (w.pid == static_cast<uint32_t>(pid)) out.push_back(w);
        return out;
    };
    const auto mainWindows = [&] {
        int n = 0;
        for (const XTopLevel& w : x.Viewable()) n += w.name == "Castora Player" && w.width == 512 && w.height == 474;
        return n;
    };
    ASSERT_TRUE(WaitUntil([&] { return mainWindows() == 1; })) << ReadFile(dir / "first.log");
    const xcb_window_t mainWindow = windowsOf(first).at(0).id;

    // Started from a file manager: the playlist's path, relative to the working directory here.
    const pid_t second = Launch(dir.path(), runtime.path(), "handed.m3u");
    int status = 0;
    ASSERT_TRUE(Ended(second, status)) << "the second start kept running: " << ReadFile(dir / "second.log");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << ReadFile(dir / "second.log");

    // The first copy asks about the import; nothing on screen belongs to another process.
    xcb_window_t question = 0;
    ASSERT_TRUE(WaitUntil([&] {
        for (const XTopLevel& w : windowsOf(first))
            if (w.id != mainWindow) question = w.id;
        return question != 0;
    })) << ReadFile(dir / "first.log");
    EXPECT_EQ(mainWindows(), 1);
    for (const XTopLevel& w : x.Viewable()) EXPECT_EQ(w.pid, static_cast<uint32_t>(first)) << w.name;

    // OK, then Ctrl+S, Yes ("y") and OK: the handed playlist's channels are in the first copy's list.
    x.Key(question, kReturn);
    ASSERT_TRUE(WaitUntil([&] { return windowsOf(first).size() == 1; }));
    const auto answerNextBox = [&](uint32_t keysym) {
        xcb_window_t box = 0;
        const bool shown = WaitUntil([&] {
            for (const XTopLevel& w : windowsOf(first))
                if (w.id != mainWindow) box = w.id;
            return box != 0;
        });
        if (shown) x.Key(box, keysym);
        return shown && WaitUntil([&] {
                   for (const XTopLevel& w : windowsOf(first))
                       if (w.id == box) return false;
                   return true;
               });
    };
    x.Key(mainWindow, 's', XCB_MOD_MASK_CONTROL);
    ASSERT_TRUE(answerNextBox('y')) << "no save question";
    ASSERT_TRUE(answerNextBox(kReturn)) << "no save message";
    const std::string saved = ReadFile(dir / "local.dat");
    EXPECT_NE(saved.find("Handed One"), std::string::npos);
    EXPECT_NE(saved.find("Handed Two"), std::string::npos);

    ::kill(first, SIGTERM);
    ASSERT_TRUE(Ended(first, status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadFile(dir / "first.log");
}
