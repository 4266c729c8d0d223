#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>

namespace quillon::app {

// Qt ends a program whose display cannot be opened with a fatal message, a list of platform
// plugins and abort() (exit 134, maybe a core file). While the application object is being
// built, Qt's messages are held back; a fatal one becomes one plain line and exit status 1.
// Once the display is open, the held-back messages go out as usual.
class DisplayOpenGuard {
public:
    DisplayOpenGuard() { previous_ = qInstallMessageHandler(&DisplayOpenGuard::handle); }
    ~DisplayOpenGuard() {
        qInstallMessageHandler(previous_);
        for (const Held& m : held()) {
            if (previous_ != nullptr) {
                previous_(m.type, QMessageLogContext(), m.text);
            } else {
                std::fprintf(stderr, "%s\n", qUtf8Printable(m.text));
            }
        }
        held().clear();
    }
    DisplayOpenGuard(const DisplayOpenGuard&) = delete;
    DisplayOpenGuard& operator=(const DisplayOpenGuard&) = delete;

private:
    struct Held {
        QtMsgType type;
        QString text;
    };
    static QList<Held>& held() {
        static QList<Held> messages;
        return messages;
    }
    static void handle(QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type != QtFatalMsg) {
            held().append({type, text});
            return;
        }
        const QByteArray display = qgetenv("DISPLAY");
        std::fprintf(stderr, "quillon: cannot open the display %s (is an X server running?)\n",
                     display.isEmpty() ? "(DISPLAY is not set)"
                                       : ("\"" + display + "\"").constData());
        std::_Exit(1);
    }
    QtMessageHandler previous_ = nullptr;
};

} // namespace quillon::app
