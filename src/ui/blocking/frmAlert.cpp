#include "ui/blocking/frmAlert.h"

#include "core/monitor/CoreServices.h"
#include "core/monitor/Guard.h"
#include "core/monitor/ProgramText.h"
#include "ui/chrome/Twips.h"
#include "ui/chrome/WindowHelpers.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QPointer>
#include <QPushButton>

namespace quillon::blocking {

namespace {

QPushButton* makeButton(QWidget* parent, const char* name, const QString& caption, int left,
                        int top) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setGeometry(chrome::pxRect(left, top, 1215, 375));
    b->setAutoDefault(false);
    return b;
}

} // namespace

frmAlert::frmAlert(monitor::CoreServices& services)
    : chrome::SkinnedWindow(QStringLiteral("Quillon提醒您"), 5925, 4230, 480), services_(services) {
    setAttribute(Qt::WA_DeleteOnClose);
    // The question comes up over whatever the user is doing without taking the keyboard
    // from it, from the very first show on: a key typed at that moment must not answer it.
    setAttribute(Qt::WA_ShowWithoutActivating);

    Label1 = new QLabel(QStringLiteral("[description]"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(chrome::pxRect(360, 480, 5115, 1695));
    Label1->setWordWrap(true);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label1->setTextFormat(Qt::PlainText);

    // In the gap between the question and the buttons, which all keep their places.
    lblProgram = new QLabel(this);
    lblProgram->setObjectName(QStringLiteral("lblProgram"));
    lblProgram->setGeometry(chrome::pxRect(360, 2190, 5115, 420));
    lblProgram->setWordWrap(true);
    lblProgram->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblProgram->setTextFormat(Qt::PlainText);

    Command1 = makeButton(this, "Command1", QStringLiteral("禁止 ip"), 960, 2640);
    Command3 = makeButton(this, "Command3", QStringLiteral("禁程远端口"), 2280, 2640);
    Command4 = makeButton(this, "Command4", QStringLiteral("禁本地端口"), 3600, 2640);
    Command5 = makeButton(this, "Command5", QStringLiteral("全部禁止"), 1560, 3240);
    Command2 = makeButton(this, "Command2", QStringLiteral("放行通过"), 3000, 3240);
    connect(Command1, &QPushButton::clicked, this, &frmAlert::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &frmAlert::Command2_Click);
    connect(Command3, &QPushButton::clicked, this, &frmAlert::Command3_Click);
    connect(Command4, &QPushButton::clicked, this, &frmAlert::Command4_Click);
    connect(Command5, &QPushButton::clicked, this, &frmAlert::Command5_Click);
}

frmAlert::~frmAlert() = default;

void frmAlert::centre() {
    modGeneral::CentreOnScreen(*this);
}

void frmAlert::Form_Load() {
    QPointer<frmAlert> self(this);
    centre();
    show();
    modGeneral::PlaceWindow(this, 1);
    modGeneral::ActivateWindow(this, true);
    QCoreApplication::processEvents();
    // Events may have answered or closed this very window meanwhile.
    if (self.isNull() || entryReturned_) {
        return;
    }
    centre();
    if (b_Type != 1) {
        return;
    }
    // The local port says most about what is being reached; the remote port comes next.
    // A failed lookup counts as knowing nothing.
    QString info = services_.guard().GetTrojan(LocP).value_or(QString());
    if (info.isEmpty()) {
        info = services_.guard().GetTrojan(RemP).value_or(QString());
    }
    if (info.isEmpty()) {
        info = QStringLiteral("端口资料未收集完整建议不要轻易接受连接~");
    }
    Label1->setText(composeText(RemA, RemP, LocP, info));
    showProgram();
}

void frmAlert::showProgram() {
    const QString full = monitor::ProgramLineText(owner);
    // A path too long for one line is shortened in its middle, so the PID and the user still
    // show on the line below; the whole text stays in the tooltip.
    platform::SocketOwner shown = owner;
    const QFontMetrics fm = lblProgram->fontMetrics();
    const int room = lblProgram->width() - fm.horizontalAdvance(QStringLiteral("程序： 等"));
    shown.path = fm.elidedText(owner.path, Qt::ElideMiddle, room);
    const QString text = monitor::ProgramLineText(shown);
    lblProgram->setText(text);
    lblProgram->setToolTip(text == full ? QString() : full);
}

QString frmAlert::composeText(const QString& RemA, const QString& RemP, const QString& LocP,
                              const QString& info) {
    const QString crlf = QStringLiteral("\r\n");
    return RemA + QStringLiteral(" 此IP尝试连接本地端口: ") + LocP +
           QStringLiteral(" 他的端口是: ") + RemP + QStringLiteral(".") + crlf + crlf +
           QStringLiteral("连接信息:") + crlf + info + crlf + crlf + QStringLiteral("可否连接?");
}

void frmAlert::answer(monitor::Answer answer) {
    // The rebuild lets events run: a second click on this window meanwhile is not a second
    // answer.
    if (answering_ || entryReturned_) {
        return;
    }
    answering_ = true;
    // Events run during the rebuild may even close this window.
    QPointer<frmAlert> self(this);
    services_.commands().answer(answer, RemA, RemP, LocP, [self](const monitor::CommandResult&) {
        if (frmAlert* window = self.data(); window != nullptr) {
            window->answering_ = false;
            window->close();
        }
    });
}

void frmAlert::Command1_Click() {
    answer(monitor::Answer::DenyIp);
}

void frmAlert::Command2_Click() {
    answer(monitor::Answer::Allow);
}

void frmAlert::Command3_Click() {
    answer(monitor::Answer::DenyRemotePort);
}

void frmAlert::Command4_Click() {
    answer(monitor::Answer::DenyLocalPort);
}

void frmAlert::Command5_Click() {
    answer(monitor::Answer::DenyAll);
}

void frmAlert::closeEvent(QCloseEvent* event) {
    // Whatever closes the window (an answer, the frame's close button, the system), its
    // pending entry is given back once, so connections sharing its fields are decided again.
    if (!entryReturned_) {
        entryReturned_ = true;
        services_.guard().ShiftAlertList(t);
    }
    event->accept();
}

} // namespace quillon::blocking
