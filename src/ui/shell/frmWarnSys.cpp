#include "ui/shell/frmWarnSys.h"

#include "core/settings/Switches.h"
#include "ui/chrome/Twips.h"
#include "ui/shell/Program.h"
#include "ui/shell/modGeneral.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

namespace quillon::shell {

frmWarnSys::frmWarnSys(Program& program)
    : chrome::SkinnedWindow(QStringLiteral("提示"), 3915, 2355), program_(program) {
    Label1 = new QLabel(QStringLiteral("是否隐藏在系统托盘里？"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(chrome::pxRect(240, 600, 3375, 375));

    Check1 = new QCheckBox(QStringLiteral(" 我知道了请不要在显示！"), this);
    Check1->setObjectName(QStringLiteral("Check1"));
    Check1->setGeometry(chrome::pxRect(720, 1200, 2595, 195));

    Command1 = new QPushButton(QStringLiteral("是的"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(chrome::pxRect(1320, 1560, 1095, 375));
    connect(Command1, &QPushButton::clicked, this, &frmWarnSys::Command1_Click);

    modGeneral::CentreOnScreen(*this);
}

void frmWarnSys::Command1_Click() {
    if (Check1->isChecked()) {
        program_.switches().setWarnSysSilenced(true);
    }
    hide();
}

} // namespace quillon::shell
