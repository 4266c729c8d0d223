#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

// The files the program shares with its users (the trojan port table, the event log) are
// in the Simplified-Chinese ANSI code page, GBK, whatever the desktop's locale is.
namespace quillon::platform::CodePage {

// Invalid or truncated sequences become U+FFFD; never fails.
QString fromGbk(QByteArrayView bytes);

// Characters GBK cannot hold become '?'; never fails.
QByteArray toGbk(QStringView text);

} // namespace quillon::platform::CodePage
