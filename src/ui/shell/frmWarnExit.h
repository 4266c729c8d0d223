#pragma once

#include "ui/chrome/SkinnedWindow.h"

class QLabel;
class QCheckBox;
class QPushButton;

namespace quillon::shell {

class Program;

// The exit prompt, opened by the tray menu's exit item: the only way a running Quillon ends.
class frmWarnExit : public chrome::SkinnedWindow {
    Q_OBJECT
public:
    explicit frmWarnExit(Program& program);

    QLabel* Label1 = nullptr;
    QPushButton* Command1 = nullptr;
    QPushButton* Command2 = nullptr;
    QCheckBox* Check1 = nullptr;

    // "是的": remembers "don't ask again" when ticked, takes the tray icon away and arms the
    // splash window's end timer.
    void Command1_Click();
    // "不": remembers "don't ask again" when ticked, hides; the program goes on.
    void Command2_Click();

    // Whether this prompt has confirmed the exit (the end timer is armed).
    bool confirmed() const { return confirmed_; }

protected:
    // Every opening of the prompt looks at warnexit again: after "不" with the box ticked,
    // the next exit goes through without asking.
    void showEvent(QShowEvent* event) override;

private:
    void rememberIfTicked();

    Program& program_;
    bool confirmed_ = false;
};

} // namespace quillon::shell
