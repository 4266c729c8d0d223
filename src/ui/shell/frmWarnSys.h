#pragma once

#include "ui/chrome/SkinnedWindow.h"

class QLabel;
class QCheckBox;
class QPushButton;

namespace quillon::shell {

class Program;

// The notice shown when the main window is closed: the program goes on in the tray.
class frmWarnSys : public chrome::SkinnedWindow {
    Q_OBJECT
public:
    explicit frmWarnSys(Program& program);

    QLabel* Label1 = nullptr;
    QCheckBox* Check1 = nullptr;
    QPushButton* Command1 = nullptr;

    // "是的": remembers "don't show again" when ticked, then hides.
    void Command1_Click();

private:
    Program& program_;
};

} // namespace quillon::shell
