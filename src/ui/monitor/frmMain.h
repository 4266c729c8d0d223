#pragma once

#include "core/monitor/ConnectionListModel.h"
#include "ui/chrome/SkinnedWindow.h"

#include <QPoint>
#include <QString>
#include <array>
#include <functional>
#include <optional>

class QTimer;
class QTreeView;
class QToolBar;
class QToolButton;
class QLineEdit;
class QLabel;
class QMenu;

namespace quillon::monitor {

class CoreServices;
class Guard;
class frmMain;

// What the main window needs of the program around it, which the shell provides: the menus
// it pops up, the console it opens, and the start-up and close handling of the window's life.
class MainLinks {
public:
    virtual ~MainLinks() = default;
    virtual QMenu& connectionMenu() = 0;
    virtual QMenu& trayMenu() = 0;
    // Shows the console on its security tab.
    virtual void openConsole() = 0;
    virtual void startUp(frmMain& window) = 0;
    // A close request the window ignored: hide it or offer to end the program.
    virtual void closeRequested(frmMain& window) = 0;
};

// The main window: a view of the guard's connection list, and the toolbar whose buttons
// send it commands (pause, refresh, list mode) or open the console.
class frmMain : public chrome::SkinnedWindow {
    Q_OBJECT
public:
    frmMain(CoreServices& services, MainLinks& links);
    ~frmMain() override;

    // The list row the user has selected, as it was built; nullopt when nothing is selected.
    // While a rebuild is refilling the list (and the view has lost its selection with the
    // old rows), this is the row that was selected when the rebuild began, unless the user
    // has picked one of the rows shown so far since.
    std::optional<ConnectionListModel::Item> selectedItem() const;

    QTreeView* ListView1 = nullptr;
    // The guard's list and poll timer, which this window shows and starts.
    ConnectionListModel* listModel = nullptr;
    QTimer* tmrRefresh = nullptr;
    QToolBar* Toolbar1 = nullptr;
    // Toolbar1's buttons by position 1..6 (3 and 6 are separators: null).
    QToolButton* button(int position) const;
    QLineEdit* Text1 = nullptr;
    QWidget* WebBrowser1 = nullptr;
    QLabel* Picture1 = nullptr;

    // Sets the caption of button 4, which says the list mode: listening sockets are listed
    // under the caption "所有连接" only.
    void setListModeCaption(const QString& caption);

    // Toolbar click, by the button's position (1..6).
    void Toolbar1_ButtonClick(int position);
    // Mouse button released over the list: the right button pops up the connection menu
    // at `globalPos` when the list is not empty.
    void ListView1_MouseUp(Qt::MouseButton button, const QPoint& globalPos);

    // Pops up a menu at a screen position; tests replace it to see the pop-up without
    // showing one.
    std::function<void(QMenu&, const QPoint&)> popUpMenu;

    // --- life of the main window ---
    // The main window's start-up, in order: autostart entry, centre, hide, process events,
    // InitStateNames, LoadSettings, HookTrayMessages, AddTrayIcon, first RefreshTable, hide.
    void startUp();
    // Left double-click on the tray icon: show or hide.
    void SysTray();
    // Right button on the tray icon: pop up mnuMain.
    void SysTray2();

protected:
    // A close request only hides the window (after the tray prompt unless turned off).
    void closeEvent(QCloseEvent* event) override;

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildToolbar();
    // The guard's rebuild begins and ends: the selection is kept across it.
    void rebuildStarting();
    void rebuildFinished();
    // The row selected in the view among the rows it shows, if any.
    std::optional<ConnectionListModel::Item> viewSelection() const;

    CoreServices& services_;
    MainLinks& links_;
    Guard& guard_;
    std::array<QToolButton*, 7> buttons_{};
    std::optional<ConnectionListModel::Item> selectedAtRebuild_;
    // Where on screen the selected row stood when the rebuild began (its top, in the
    // viewport), so that it keeps that place while connections come and go above it.
    std::optional<int> selectedTopAtRebuild_;
};

} // namespace quillon::monitor
