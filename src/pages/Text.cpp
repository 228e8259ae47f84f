#include "pages/Text.h"

#include <QComboBox>
#include <QSignalBlocker>
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

QStringList FillLookupList(QComboBox* box, const std::vector<std::string>& entries) {
    QStringList items;
    items.reserve(static_cast<qsizetype>(entries.size()));
    for (const std::string& e : entries) items << FromAnsi(e);
    const QSignalBlocker block(box);
    box->clear();
    box->addItems(items);
    box->setCurrentIndex(0);
    return items;
}

}  // namespace castora
