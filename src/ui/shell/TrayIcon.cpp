#include "ui/shell/TrayIcon.h"

#include "ui/monitor/frmMain.h"
#include "ui/shell/Program.h"

#include <QIconEngine>
#include <QPainter>
#include <QPen>
#include <QPixmap>
#include <QTimer>
#include <algorithm>
#include <utility>

namespace quillon::shell {

namespace {

// The program's icon with a warning mark in its lower right corner, at every size it has: a
// firewall that lacks a right must not look like one that works.
QIcon withWarningMark(const QIcon& icon) {
    QIcon marked;
    QList<QSize> sizes = icon.availableSizes();
    if (sizes.isEmpty()) {
        sizes = {QSize(16, 16), QSize(32, 32), QSize(64, 64)};
    }
    for (const QSize& size : sizes) {
        QPixmap pixmap = icon.pixmap(size);
        if (pixmap.isNull()) {
            continue;
        }
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal width = pixmap.width() / pixmap.devicePixelRatio();
        const qreal height = pixmap.height() / pixmap.devicePixelRatio();
        const qreal side = width * 0.5;
        const QRectF box(width - side, height - side, side, side);
        painter.setPen(QPen(Qt::white, std::max<qreal>(1, side / 10)));
        painter.setBrush(QColor(0xd0, 0x20, 0x20));
        painter.drawEllipse(box);
        painter.setPen(
            QPen(Qt::white, std::max<qreal>(1.5, side / 7), Qt::SolidLine, Qt::RoundCap));
        const qreal x = box.center().x();
        painter.drawLine(QPointF(x, box.top() + side * 0.22), QPointF(x, box.top() + side * 0.58));
        painter.drawPoint(QPointF(x, box.top() + side * 0.78));
        painter.end();
        marked.addPixmap(pixmap);
    }
    return marked;
}

// How often a desktop without a tray is asked again whether one has appeared (a panel
// started after the program, or restarted).
constexpr int kTrayWatchMs = 2000;
} // namespace

TrayIcon::TrayIcon(Program& program, QObject* parent)
    : QObject(parent), program_(program), icon_(new QSystemTrayIcon(this)),
      trayWatch_(new QTimer(this)) {
    probe_ = [this] { return program_.config().trayAvailable; };
    trayWatch_->setInterval(kTrayWatchMs);
    connect(trayWatch_, &QTimer::timeout, this, &TrayIcon::checkTray);
}

TrayIcon::~TrayIcon() = default;

void TrayIcon::setAvailabilityProbe(std::function<bool()> probe) {
    probe_ = std::move(probe);
}

bool TrayIcon::available() const {
    return probe_ && probe_();
}

void TrayIcon::hook(monitor::frmMain& window) {
    if (hooked_) {
        return;
    }
    window_ = &window;
    hook_ = connect(icon_, &QSystemTrayIcon::activated, this, &TrayIcon::onActivated);
    hooked_ = true;
}

void TrayIcon::unhook() {
    if (!hooked_) {
        return;
    }
    disconnect(hook_);
    hooked_ = false;
}

void TrayIcon::add(const QIcon& icon, const QString& tip) {
    plainIcon_ = icon;
    icon_->setIcon(missingLine_.isEmpty() ? icon : withWarningMark(icon));
    tip_ = tip;
    icon_->setToolTip(toolTip());
    added_ = true;
    checkTray();
    if (!shown()) {
        trayWatch_->start();
    }
}

void TrayIcon::setQuestionLine(const QString& line) {
    questionLine_ = line;
    icon_->setToolTip(toolTip());
}

void TrayIcon::setMissingRights(const QString& line) {
    missingLine_ = line;
    if (!plainIcon_.isNull()) {
        icon_->setIcon(line.isEmpty() ? plainIcon_ : withWarningMark(plainIcon_));
    }
    icon_->setToolTip(toolTip());
}

QString TrayIcon::toolTip() const {
    QString tip = tip_;
    for (const QString& line : {missingLine_, questionLine_}) {
        if (!line.isEmpty()) {
            tip += QLatin1Char('\n') + line;
        }
    }
    return tip;
}

void TrayIcon::remove() {
    trayWatch_->stop();
    added_ = false;
    icon_->hide();
    emit iconRemoved();
}

bool TrayIcon::shown() const {
    return icon_->isVisible();
}

bool TrayIcon::showMessage(const QString& title, const QString& text) {
    if (!shown()) {
        return false;
    }
    icon_->showMessage(title, text, QSystemTrayIcon::Information);
    return true;
}

void TrayIcon::checkTray() {
    if (!added_ || shown()) {
        trayWatch_->stop();
        return;
    }
    if (available()) {
        trayWatch_->stop();
        icon_->show();
        emit iconShown();
    }
}

void TrayIcon::onActivated(QSystemTrayIcon::ActivationReason reason) {
    // On the X tray a double click first arrives as a single click (Trigger): acting on
    // single clicks would toggle the window twice for one double click, so only the double
    // click and the right button act. A D-Bus tray sends each click as an activation
    // (Trigger) and never a double click, so there the activation is what opens the window.
    monitor::frmMain& window = window_ ? *window_ : program_.main();
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        if (statusNotifier_) {
            window.SysTray();
        }
        break;
    case QSystemTrayIcon::DoubleClick:
        window.SysTray();
        break;
    case QSystemTrayIcon::Context:
        window.SysTray2();
        break;
    default:
        break;
    }
}

namespace modSystray {

void HookTrayMessages(Program& program, monitor::frmMain& window) {
    program.tray().hook(window);
}

void UnhookTrayMessages(Program& program) {
    program.tray().unhook();
}

void AddTrayIcon(Program& program, const QIcon& icon, const QString& tipText) {
    program.tray().add(icon, tipText);
}

void RemoveTrayIcon(Program& program) {
    program.tray().remove();
}

} // namespace modSystray

namespace {

// The compiled-in pictures under the installed icon's theme name. A D-Bus tray host draws
// the named icon from its own theme at the panel's size (crisp at any scale) and falls back
// to the pictures sent along, every size up to 256 px; Qt's own tray sends a pixmap only,
// a 16 px one, when the icon has no name. QIcon::fromTheme would drop the name whenever the
// program's own process finds no theme entry (a build run from the checkout).
class NamedIconEngine : public QIconEngine {
public:
    NamedIconEngine(QString name, QIcon pictures)
        : name_(std::move(name)), pictures_(std::move(pictures)) {}

    QString iconName() override { return name_; }
    QString key() const override { return QStringLiteral("quillon.named"); }
    QIconEngine* clone() const override { return new NamedIconEngine(name_, pictures_); }
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode,
               QIcon::State state) override {
        pictures_.paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return pictures_.pixmap(size, mode, state);
    }
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return pictures_.actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override {
        return pictures_.availableSizes(mode, state);
    }
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state,
                         qreal scale) override {
        return pictures_.pixmap(size, scale, mode, state);
    }

private:
    QString name_;
    QIcon pictures_;
};

} // namespace

QIcon programIcon() {
    QIcon pictures;
    for (const int size : {16, 22, 32, 48, 64, 128, 256}) {
        pictures.addFile(QStringLiteral(":/quillon/icon-%1.png").arg(size), QSize(size, size));
    }
    return QIcon(new NamedIconEngine(QStringLiteral("quillon"), pictures));
}

} // namespace quillon::shell
