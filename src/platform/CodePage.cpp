#include "platform/CodePage.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace quillon::platform::CodePage {

QString fromGbk(QByteArrayView bytes) {
    // A fresh decoder per call: a decoder keeps state between calls, and a truncated
    // sequence at the end of one text must not leak into the next.
    QStringDecoder decoder("GBK", QStringConverter::Flag::Stateless);
    if (!decoder.isValid()) {
        return QString::fromLatin1(bytes);
    }
    return decoder.decode(bytes);
}

QByteArray toGbk(QStringView text) {
    QStringEncoder encoder("GBK", QStringConverter::Flag::Stateless);
    if (!encoder.isValid()) {
        return text.toLatin1();
    }
    return encoder.encode(text);
}

} // namespace quillon::platform::CodePage
