#include "platform/Autostart.h"

#include "platform/SafeFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <unistd.h>

namespace quillon::platform::Autostart {

namespace {

// One argument of an Exec line, quoted as desktop entries require: inside double quotes,
// `"`, backquote, `$` and backslash take a backslash; `%` starts a field code and is doubled.
// The whole line is then a string value, whose own escape turns each backslash into two.
QString execArgument(const QString& arg) {
    QString quoted;
    quoted.reserve(arg.size() + 8);
    quoted += QLatin1Char('"');
    for (const QChar c : arg) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
            c == QLatin1Char('\\')) {
            quoted += QLatin1Char('\\');
        } else if (c == QLatin1Char('%')) {
            quoted += QLatin1Char('%');
        }
        quoted += c;
    }
    quoted += QLatin1Char('"');

    QString value;
    value.reserve(quoted.size() + 4);
    for (const QChar c : quoted) {
        if (c == QLatin1Char('\\')) {
            value += QStringLiteral("\\\\");
        } else if (c == QLatin1Char('\n')) {
            value += QStringLiteral("\\n");
        } else if (c == QLatin1Char('\r')) {
            value += QStringLiteral("\\r");
        } else if (c == QLatin1Char('\t')) {
            value += QStringLiteral("\\t");
        } else {
            value += c;
        }
    }
    return value;
}

} // namespace

QString defaultPath() {
    return QStringLiteral("/etc/xdg/autostart/quillon.desktop");
}

QString userPath() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!QDir::isAbsolutePath(config)) {
        config = QDir::homePath() + QStringLiteral("/.config");
    }
    return config + QStringLiteral("/autostart/quillon.desktop");
}

Scope scopeFor(const QString& executable, bool runningAsRoot) {
    if (SafeFiles::rootOnlyPath(executable)) {
        return Scope::MachineWide;
    }
    return runningAsRoot ? Scope::None : Scope::User;
}

QString placeFor(const QString& executable, const QString& machineWide, const QString& user) {
    switch (scopeFor(executable, ::geteuid() == 0)) {
    case Scope::MachineWide:
        return machineWide;
    case Scope::User:
        return user;
    case Scope::None:
        break;
    }
    return {};
}

QString entryText(const QString& executable) {
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Quillon防火墙\n"
                          "Comment=Quillon超敏感防火墙\n"
                          "Exec=%1\n"
                          "Terminal=false\n"
                          "NoDisplay=true\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(execArgument(executable));
}

bool write(const QString& path, const QString& executable) {
    if (path.isEmpty() || executable.isEmpty()) {
        return false;
    }
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        return false;
    }
    // Written through a temporary file and renamed over the old entry, so that a full disk
    // or a crash never leaves a half-written entry for the session manager to trip on.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    file.write(entryText(executable).toUtf8());
    if (!file.commit()) {
        return false;
    }
    // Readable by every user's session manager, whatever the umask of the writer.
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                    QFileDevice::ReadGroup | QFileDevice::ReadOther);
    return true;
}

} // namespace quillon::platform::Autostart
