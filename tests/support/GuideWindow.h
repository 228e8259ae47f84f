#pragma once
// Guides around the present moment, for tests of what the window shows of them.

#include <QDateTime>
#include <QString>
#include <QTimeZone>
#include <cstdint>
#include <string>

namespace castora::test {

// An XMLTV time, in UTC.
inline std::string XmltvAt(int64_t t) {
    return QDateTime::fromSecsSinceEpoch(t, QTimeZone::utc()).toString("yyyyMMddHHmmss").toStdString() + " +0000";
}

// "20:00" in the user's time, as the window writes programme times.
inline QString ClockAt(int64_t t) { return QDateTime::fromSecsSinceEpoch(t).toString("HH:mm"); }

}  // namespace castora::test
