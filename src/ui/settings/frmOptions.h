#pragma once

#include "core/settings/EventLog.h"
#include "ui/chrome/SkinnedWindow.h"

#include <QString>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSlider;
class QTabWidget;
class QTreeView;

namespace quillon::shell {
class Program;
}

namespace quillon::settings {

class LogModel;

// The console: the three rule lists, the event log view, the switches and the security
// level. The local-network box Check1 and the level slider Slider1 set the two settings the
// block decision reads. Every creation restores the controls from the hive and fills the
// rule lists and the log view; every show refills the lists.
class frmOptions : public chrome::SkinnedWindow {
    Q_OBJECT
public:
    explicit frmOptions(shell::Program& program);
    ~frmOptions() override;

    // Tab "拦截选项": the rule lists on the inner tabs, the entry field and its two buttons.
    QTabWidget* SSTab1 = nullptr;
    QTabWidget* SSTab2 = nullptr;
    QListWidget* lstIP = nullptr;
    QListWidget* lstRemP = nullptr;
    QListWidget* lstLocP = nullptr;
    QLineEdit* txtAdd = nullptr;
    QPushButton* Command1 = nullptr; // "清除记录" (tab "记录")
    QPushButton* Command2 = nullptr; // "增加"
    QPushButton* Command3 = nullptr; // "删除"

    // Tab "安全选项".
    QCheckBox* Check1 = nullptr;
    QCheckBox* Check2 = nullptr;
    QCheckBox* Check3 = nullptr;
    QSlider* Slider1 = nullptr;
    QLabel* lblTitle = nullptr;
    QLabel* lblDes = nullptr;
    QGroupBox* Frame1 = nullptr;
    QGroupBox* Frame2 = nullptr;
    QLabel* Picture1 = nullptr; // in Frame2
    QLabel* Picture2 = nullptr; // the banner
    QLabel* Image1 = nullptr;   // the small icon beside the level title
    QLabel* Label1 = nullptr;   // the About text in Frame2

    // Tab "记录".
    QTreeView* lstLog = nullptr;
    LogModel* logModel = nullptr;

    // Empties the three rule lists and fills them again from the hive's deny entries,
    // in the order \block\ip, \block\lp, \block\rp.
    void fillRuleLists();
    // Replaces the log view's rows with the records of the event log file.
    void fillLogView();

    // The About text of Frame2.
    static QString aboutText();

signals:
    // The console accepted a close request; it is deleted right after.
    void closed();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildControls();
    void openUp();

    void Check1_Click();
    void Check2_Click();
    void Check3_Click();
    void Slider1_Change();
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();

    // The list box and rule key of the inner tab shown now.
    QListWidget* currentList() const;
    QString currentKey() const;

    shell::Program& program_;
};

} // namespace quillon::settings
