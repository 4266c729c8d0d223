#include "platform/ExeDir.h"

#include <QFileInfo>

namespace quillon::platform {

QString executablePath() {
    // /proc/self/exe names the binary even when it was started through a symlink or with a
    // relative path, unlike argv[0].
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

QString executableDir() {
    return QFileInfo(executablePath()).absolutePath();
}

} // namespace quillon::platform
