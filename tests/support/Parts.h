#pragma once
#include <stdexcept>
#include <string>

#include <QObject>

namespace castora::test {

// A part of a window by its object name; a test that names a part the window lacks fails loudly.
template <class T>
T& PartOf(const QObject& window, const char* name) {
    T* part = window.findChild<T*>(name);
    if (!part) throw std::runtime_error(std::string("no part named ") + name);
    return *part;
}

}  // namespace castora::test
