#include "ui/shell/frmSplash.h"

#include "platform/InstanceLock.h"
#include "platform/SafeFiles.h"
#include "ui/chrome/Twips.h"
#include "ui/monitor/frmMain.h"
#include "ui/shell/Program.h"
#include "ui/shell/TrayIcon.h"
#include "ui/shell/modGeneral.h"

#include <QFile>
#include <QImageReader>
#include <QLabel>
#include <QPixmap>
#include <QTimer>
#include <cstdlib>

namespace quillon::shell {

frmSplash::frmSplash(Program& program)
    : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint), program_(program) {
    setWindowTitle(QStringLiteral("Quillon防火墙"));
    setWindowIcon(programIcon());
    resize(chrome::px(3480), chrome::px(2190));

    imgSplash = new QLabel(this);
    imgSplash->setObjectName(QStringLiteral("imgSplash"));
    imgSplash->move(0, 0);
    imgSplash->resize(size());

    tmrEnd = new QTimer(this);
    tmrEnd->setObjectName(QStringLiteral("tmrEnd"));
    tmrEnd->setInterval(50);
    tmrEnd->setSingleShot(true);
    connect(tmrEnd, &QTimer::timeout, this, &frmSplash::tmrEnd_Timer);

    // Ends the process on the spot: no window is closed, no handler runs, nothing more is
    // written. The settings hive commits each write as it is made, so nothing is lost.
    endAction_ = [] { std::_Exit(0); };
}

frmSplash::~frmSplash() = default;

bool frmSplash::startUp() {
    lock_ = std::make_unique<platform::InstanceLock>(program_.config().lockPath);
    if (!lock_->tryLock() && lock_->heldElsewhere()) {
        lock_.reset();
        return false;
    }
    // With no place of the user's own for the lock, the program runs unguarded rather than
    // not at all: a firewall that refuses to start protects nothing.

    // A missing or unreadable picture leaves the plain splash: the product name on white.
    // Read only as a regular file, never through a link: a device in its place would hold
    // the start-up.
    QFile file;
    QImage picture;
    const int fd = platform::SafeFiles::open(program_.programDir() + QStringLiteral("/SPLH.jpg"),
                                             platform::SafeFiles::Mode::Read);
    if (fd >= 0 && file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        QImageReader reader(&file);
        picture = reader.read();
    }
    hasPicture_ = !picture.isNull();
    if (hasPicture_) {
        imgSplash->setPixmap(QPixmap::fromImage(picture));
        imgSplash->resize(picture.size());
        resize(picture.size());
    } else {
        imgSplash->setAlignment(Qt::AlignCenter);
        imgSplash->setText(windowTitle());
        imgSplash->setStyleSheet(QStringLiteral("background: white; color: #1d3f73;"));
        imgSplash->resize(size());
    }
    modGeneral::CentreOnScreen(*this);
    show();

    program_.main().startUp();

    hide();
    return true;
}

void frmSplash::tmrEnd_Timer() {
    tmrEnd->stop();
    // The kernel would release the lock with the process anyway; this only makes it prompt.
    if (lock_) {
        lock_->unlock();
    }
    if (endAction_) {
        endAction_();
    }
}

} // namespace quillon::shell
