#pragma once
#include <QString>
#include <QStringList>
#include <vector>
#include <string>
#include <string_view>

namespace castora {

// Records hold Windows-1251 bytes; widgets hold QString. Convert only where the two meet.
QString FromAnsi(std::string_view bytes);
std::string ToAnsi(const QString& text);

}  // namespace castora

class QComboBox;

namespace castora {

// Replaces a drop-down list's entries by the given Windows-1251 lines and selects entry 0, without
// signalling each step; returns the entries as shown.
QStringList FillLookupList(QComboBox* box, const std::vector<std::string>& entries);

}  // namespace castora
