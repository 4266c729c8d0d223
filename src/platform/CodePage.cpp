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
    // The converter holds back a lead byte cut off at the very end of its input, waiting for
    // a trail byte that never comes, and drops it. An ASCII sentinel (never a trail byte)
    // makes such a truncated character come out as U+FFFD like any other broken sequence.
    QByteArray withSentinel;
    withSentinel.reserve(bytes.size() + 1);
    withSentinel.append(bytes.data(), bytes.size());
    withSentinel.append(' ');
    QString text = decoder.decode(withSentinel);
    text.chop(1);
    return text;
}

QByteArray toGbk(QStringView text) {
    QStringEncoder encoder("GBK", QStringConverter::Flag::Stateless);
    if (!encoder.isValid()) {
        return text.toLatin1();
    }
    return encoder.encode(text);
}

} // namespace quillon::platform::CodePage
