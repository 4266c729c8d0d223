#pragma once

#include "core/monitor/Commands.h"
#include "platform/SocketOwners.h"
#include "ui/chrome/SkinnedWindow.h"

#include <QString>

class QLabel;
class QPushButton;

namespace quillon::monitor {
class CoreServices;
}

namespace quillon::blocking {

// The question about one connection no rule settles: who is connecting to which local port,
// what the trojan table knows about the ports, and five answers that become stored rules.
// Each window owns one entry of the guard's pending-alert list, at slot t, and gives
// it back exactly once when it closes, however it closes. It deletes itself when closed.
class frmAlert : public chrome::SkinnedWindow {
    Q_OBJECT
public:
    explicit frmAlert(monitor::CoreServices& services);
    ~frmAlert() override;

    // Set by the block decision before the window is opened.
    qint32 t = -1;
    QString RemA;
    QString RemP;
    QString LocP;
    qint16 b_Type = 0;
    // The program behind the connection, as far as it is known.
    platform::SocketOwner owner;

    QLabel* Label1 = nullptr;
    // Under Label1: which program is asking, when anything of it is known.
    QLabel* lblProgram = nullptr;
    QPushButton* Command1 = nullptr; // "禁止 ip"
    QPushButton* Command2 = nullptr; // "放行通过"
    QPushButton* Command3 = nullptr; // "禁程远端口"
    QPushButton* Command4 = nullptr; // "禁本地端口"
    QPushButton* Command5 = nullptr; // "全部禁止"

    // Opens the window: centred, on top of every window without taking the focus, and for
    // a connection alert with its composed text.
    void Form_Load();

    // The composed question for a connection, with `info` on the line below "连接信息:".
    static QString composeText(const QString& RemA, const QString& RemP, const QString& LocP,
                               const QString& info);

    // The five answers.
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Command4_Click();
    void Command5_Click();

    // Whether the window has closed and given its entry back.
    bool isClosed() const { return entryReturned_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void answer(monitor::Answer answer);
    void centre();
    void showProgram();

    monitor::CoreServices& services_;
    bool answering_ = false;
    bool entryReturned_ = false;
};

} // namespace quillon::blocking
