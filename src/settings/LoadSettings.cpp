#include "settings/LoadSettings.h"

#include "monitor/frmMain.h"
#include "settings/frmOptions.h"
#include "settings/modReg.h"
#include "shell/Program.h"

#include <QToolButton>

namespace quillon::modGeneral {

void LoadSettings(shell::Program& program) {
    program.options();

    // Button 4 stores its pressed state under its own caption; pressed means the listening
    // rows are hidden.
    if (settings::modReg::ReadRegString(program.hive(), settings::modReg::HKEY_LOCAL_MACHINE,
                                        settings::modReg::OptionsKey,
                                        QStringLiteral("所有连接")) != QLatin1String("1")) {
        return;
    }
    monitor::frmMain& window = program.main();
    if (QToolButton* button = window.button(4)) {
        button->setText(QStringLiteral("全部"));
        button->setToolTip(QStringLiteral("显示所有连接"));
        button->setChecked(true);
    }
    window.RefreshTable(true);
}

} // namespace quillon::modGeneral
