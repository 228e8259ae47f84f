#pragma once
#include <QString>
#include <string>
#include <string_view>

namespace castora {

// Records hold Windows-1251 bytes; widgets hold QString. Convert only where the two meet.
QString FromAnsi(std::string_view bytes);
std::string ToAnsi(const QString& text);

} // namespace castora
