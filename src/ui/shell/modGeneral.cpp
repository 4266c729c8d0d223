#include "ui/shell/modGeneral.h"

#include "core/monitor/Guard.h"
#include "core/settings/EventLog.h"
#include "core/settings/Switches.h"
#include "ui/monitor/frmMain.h"
#include "ui/settings/frmOptions.h"
#include "ui/shell/Program.h"

#include <QToolButton>
#include <QWidget>

namespace quillon::modGeneral {

void LoadSettings(shell::Program& program) {
    program.options();

    // Button 4 stores its pressed state under its own caption; pressed means the listening
    // rows are hidden.
    if (!program.switches().listeningHidden()) {
        return;
    }
    monitor::frmMain& window = program.main();
    if (QToolButton* button = window.button(4)) {
        window.setListModeCaption(QStringLiteral("全部"));
        button->setToolTip(QStringLiteral("显示所有连接"));
        button->setChecked(true);
    }
    program.guard().RefreshTable(true);
}

} // namespace quillon::modGeneral
