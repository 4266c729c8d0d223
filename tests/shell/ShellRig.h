#pragma once

#include "support/ProgramRig.h"
#include "ui/shell/frmSplash.h"

#include <QApplication>
#include <QList>

namespace quillon::test {

// A program as it starts for real: a tray is there unless the case says otherwise, and the
// end timer's tick is counted instead of ending the test.
struct ShellRig : ProgramRig {
    explicit ShellRig(bool tray = true, const QString& lockPath = {})
        : ProgramRig(ProgramSetup{tray, lockPath}) {
        program().splash().setEndAction([this] { ++ended; });
    }

    // Runs the splash start-up; the end action only counts.
    bool startUp() { return program().splash().startUp(); }

    int ended = 0;
};

// The application's top-level windows of one kind.
template <typename T>
QList<T*> topLevelWindows() {
    QList<T*> out;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* t = qobject_cast<T*>(w)) {
            out.append(t);
        }
    }
    return out;
}

} // namespace quillon::test
