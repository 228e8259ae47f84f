#pragma once
// Pointer and keyboard input made by the X server itself (the XTEST extension), so that it reaches the
// program the way a user's does: to whichever window lies under the pointer or holds the focus. The
// libraries are loaded at run time; Available() is false without them.
#include <dlfcn.h>

#include <QCoreApplication>
#include <QPoint>
#include <QTest>

namespace castora::test {

class XInput {
public:
    XInput() {
        x11_ = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
        xtst_ = dlopen("libXtst.so.6", RTLD_NOW | RTLD_LOCAL);
        if (!x11_ || !xtst_) return;
        open_ = reinterpret_cast<void* (*)(const char*)>(dlsym(x11_, "XOpenDisplay"));
        close_ = reinterpret_cast<int (*)(void*)>(dlsym(x11_, "XCloseDisplay"));
        sync_ = reinterpret_cast<int (*)(void*, int)>(dlsym(x11_, "XSync"));
        keycode_ = reinterpret_cast<unsigned char (*)(void*, unsigned long)>(dlsym(x11_, "XKeysymToKeycode"));
        motion_ = reinterpret_cast<int (*)(void*, int, int, int, unsigned long)>(dlsym(xtst_, "XTestFakeMotionEvent"));
        button_ = reinterpret_cast<int (*)(void*, unsigned, int, unsigned long)>(dlsym(xtst_, "XTestFakeButtonEvent"));
        key_ = reinterpret_cast<int (*)(void*, unsigned, int, unsigned long)>(dlsym(xtst_, "XTestFakeKeyEvent"));
        if (open_ && close_ && sync_ && keycode_ && motion_ && button_ && key_) display_ = open_(nullptr);
    }
    ~XInput() {
        if (display_) close_(display_);
        if (xtst_) dlclose(xtst_);
        if (x11_) dlclose(x11_);
    }
    XInput(const XInput&) = delete;
    XInput& operator=(const XInput&) = delete;

    bool Available() const { return display_ != nullptr; }

    // Screen coordinates.
    void Move(QPoint at) {
        motion_(display_, -1, at.x(), at.y(), 0);
        Sync();
    }
    void Click(QPoint at, unsigned button = 1) {
        Move(at);
        Press(button);
    }
    void DoubleClick(QPoint at) {
        Move(at);
        Press(1);
        Press(1);
    }
    // Wheel: button 4 up, 5 down.
    void Wheel(QPoint at, bool up) { Click(at, up ? 4 : 5); }
    // An X keysym: 0xffc8 F11, 0xff1b Escape, 0xff56 Page Down, 0x66 "f", ...
    void Key(unsigned long keysym, unsigned long modifierKeysym = 0) {
        const unsigned modifier = modifierKeysym ? keycode_(display_, modifierKeysym) : 0;
        const unsigned code = keycode_(display_, keysym);
        if (modifier) key_(display_, modifier, 1, 0);
        key_(display_, code, 1, 0);
        key_(display_, code, 0, 0);
        if (modifier) key_(display_, modifier, 0, 0);
        Sync();
    }

private:
    void Press(unsigned button) {
        button_(display_, button, 1, 0);
        button_(display_, button, 0, 0);
        Sync();
    }
    // The server has the events once this returns; the program reads them in its own time.
    void Sync() {
        sync_(display_, 0);
        QCoreApplication::processEvents();
    }

    void* x11_ = nullptr;
    void* xtst_ = nullptr;
    void* display_ = nullptr;
    void* (*open_)(const char*) = nullptr;
    int (*close_)(void*) = nullptr;
    int (*sync_)(void*, int) = nullptr;
    unsigned char (*keycode_)(void*, unsigned long) = nullptr;
    int (*motion_)(void*, int, int, int, unsigned long) = nullptr;
    int (*button_)(void*, unsigned, int, unsigned long) = nullptr;
    int (*key_)(void*, unsigned, int, unsigned long) = nullptr;
};

}  // namespace castora::test
