#pragma once

#include "core/monitor/Commands.h"
#include "core/settings/EventLog.h"
#include "ui/chrome/SkinnedWindow.h"

#include <QString>
#include <functional>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListView;
class QPushButton;
class QSlider;
class QTabWidget;

namespace quillon::monitor {
class CoreServices;
}
namespace quillon::chrome {
class MessageBoxes;
}

namespace quillon::settings {

class LogModel;
class LogView;
class RuleListModel;

// The console: the three rule lists, the event log view, the switches and the security
// level. The local-network box Check1 and the level slider Slider1 set the two settings the
// block decision reads; the family box Check4 sets whether the guard takes IPv6 connections. Every
// creation restores the controls from the hive and opens the log view over the event log file; the
// rule lists read the hive when first asked for their rows, and again at every show.
class frmOptions : public chrome::SkinnedWindow {
    Q_OBJECT
public:
    // `boxes` asks the user (the program's, or a test's stand-in in its place).
    frmOptions(monitor::CoreServices& services, std::function<chrome::MessageBoxes&()> boxes);
    ~frmOptions() override;

    // Tab "拦截选项": the rule lists on the inner tabs, the entry field and its two buttons.
    QTabWidget* SSTab1 = nullptr;
    QTabWidget* SSTab2 = nullptr;
    QListView* lstIP = nullptr;
    QListView* lstRemP = nullptr;
    QListView* lstLocP = nullptr;
    QLineEdit* txtAdd = nullptr;
    QPushButton* Command1 = nullptr; // "清除记录" (tab "记录")
    QPushButton* Command2 = nullptr; // "增加"
    QPushButton* Command3 = nullptr; // "删除"
    // The line under the entry field: why the entry was refused, empty otherwise.
    QLabel* lblRefused = nullptr;

    // Tab "安全选项".
    QCheckBox* Check1 = nullptr;
    QCheckBox* Check2 = nullptr;
    QCheckBox* Check3 = nullptr;
    QCheckBox* Check4 = nullptr; // "IPv6连接同样受控": IPv6 connections listed and judged
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
    LogView* lstLog = nullptr;
    LogModel* logModel = nullptr;

    // Empties the three rule lists; they show the hive's deny entries again, read when next
    // asked for.
    void fillRuleLists();
    // Replaces the log view's rows with the records of the event log file (found in the
    // background when the file is large).
    void fillLogView();
    // Sets the boxes and the slider to the switches in force, without storing anything.
    void showStored();

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
    void Check4_Click();
    void Slider1_Change();
    void showLevel(int level);
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();

    // The list, its rules and rule key of the inner tab shown now.
    QListView* currentList() const;
    RuleListModel* currentRules() const;
    monitor::RuleList currentRuleList() const;
    RuleListModel* rulesFor(monitor::RuleList list) const;

    monitor::CoreServices& services_;
    std::function<chrome::MessageBoxes&()> boxes_;
};

} // namespace quillon::settings
