#pragma once

#include <QWidget>
#include <functional>
#include <memory>

class QLabel;
class QTimer;

namespace quillon::platform {
class InstanceLock;
}

namespace quillon::shell {

class Program;

// The splash window: shown while the main window starts, then hidden for the rest of the run.
// It stays alive because its timer tmrEnd carries out the end of the program.
class frmSplash : public QWidget {
    Q_OBJECT
public:
    explicit frmSplash(Program& program);
    ~frmSplash() override;

    // The start of the program. Returns false, having shown and written nothing, when another
    // copy of the program is already running; the caller then ends at once. Otherwise shows
    // the splash picture, starts the main window (which ends hidden, or shown where there is
    // no tray) and hides the splash.
    bool startUp();

    // Whether the splash picture was found and shown (false: the plain splash).
    bool hasPicture() const { return hasPicture_; }

    // What the tick of tmrEnd does: by default the process ends at once, without closing any
    // window or running any more handlers. Tests put a recorder here.
    void setEndAction(std::function<void()> action) { endAction_ = std::move(action); }

    QLabel* imgSplash = nullptr;
    // 50 ms, disabled until the exit is confirmed.
    QTimer* tmrEnd = nullptr;

private:
    void tmrEnd_Timer();

    Program& program_;
    std::unique_ptr<platform::InstanceLock> lock_;
    std::function<void()> endAction_;
    bool hasPicture_ = false;
};

} // namespace quillon::shell
