#include "ui/shell/frmWarnExit.h"

#include "core/settings/Switches.h"
#include "ui/chrome/Twips.h"
#include "ui/shell/Program.h"
#include "ui/shell/TrayIcon.h"
#include "ui/shell/frmSplash.h"
#include "ui/shell/modGeneral.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QTimer>

namespace quillon::shell {

frmWarnExit::frmWarnExit(Program& program)
    : chrome::SkinnedWindow(QStringLiteral("提示"), 4635, 2535), program_(program) {
    Label1 =
        new QLabel(QStringLiteral("如果你现在关闭本软件您将不会受到任何保护.是非确定关闭?"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setWordWrap(true);
    Label1->setGeometry(chrome::pxRect(240, 480, 4095, 735));

    Command1 = new QPushButton(QStringLiteral("是的"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(chrome::pxRect(885, 1260, 1335, 375));
    connect(Command1, &QPushButton::clicked, this, &frmWarnExit::Command1_Click);

    Command2 = new QPushButton(QStringLiteral("不"), this);
    Command2->setObjectName(QStringLiteral("Command2"));
    Command2->setGeometry(chrome::pxRect(2265, 1260, 1335, 375));
    connect(Command2, &QPushButton::clicked, this, &frmWarnExit::Command2_Click);

    Check1 = new QCheckBox(QStringLiteral(" 我已经知道,请不要再提示我"), this);
    Check1->setObjectName(QStringLiteral("Check1"));
    Check1->setGeometry(chrome::pxRect(840, 1800, 3015, 195));

    modGeneral::CentreOnScreen(*this);
}

void frmWarnExit::showEvent(QShowEvent* event) {
    chrome::SkinnedWindow::showEvent(event);
    if (event->spontaneous() || confirmed_) {
        return;
    }
    if (program_.switches().warnExitSilenced()) {
        Check1->setChecked(true);
        Command1_Click();
    }
}

void frmWarnExit::rememberIfTicked() {
    if (Check1->isChecked()) {
        program_.switches().setWarnExitSilenced(true);
    }
}

void frmWarnExit::Command1_Click() {
    if (confirmed_) {
        return;
    }
    confirmed_ = true;
    rememberIfTicked();
    modSystray::UnhookTrayMessages(program_);
    QCoreApplication::processEvents();
    modSystray::RemoveTrayIcon(program_);
    QCoreApplication::processEvents();
    program_.splash().tmrEnd->start();
}

void frmWarnExit::Command2_Click() {
    rememberIfTicked();
    hide();
}

} // namespace quillon::shell
