#include "pages/Text.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace castora {

// The converters are reused: opening one per call costs more than the conversion of a grid cell.
QString FromAnsi(std::string_view bytes) {
    thread_local QStringDecoder decoder("windows-1251");
    decoder.resetState();
    return decoder(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
}

std::string ToAnsi(const QString& text) {
    thread_local QStringEncoder encoder("windows-1251");
    encoder.resetState();
    const QByteArray bytes = encoder(text);
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

} // namespace castora
