#include "ui/settings/frmOptions.h"

#include "core/monitor/Commands.h"
#include "core/monitor/CoreServices.h"
#include "core/settings/EventLog.h"
#include "core/settings/LogModel.h"
#include "core/settings/RuleEntry.h"
#include "core/settings/RuleListModel.h"
#include "core/settings/Switches.h"
#include "ui/chrome/MessageBoxes.h"
#include "ui/chrome/Twips.h"
#include "ui/chrome/WindowHelpers.h"
#include "ui/settings/LogView.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPointer>
#include <QPushButton>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QSlider>
#include <QTabWidget>
#include <utility>
#include <vector>

#ifndef QUILLON_VERSION
#error "QUILLON_VERSION must be defined by the build"
#endif

namespace quillon::settings {
namespace {

// A page of a tab control whose controls are laid out relative to the whole tab control,
// tab strip included. The strip's height depends on the style and font, so the page works
// out where it stands inside its tab control whenever it is placed, and puts its controls
// at the same spots of the tab control every time.
class TabPage : public QWidget {
public:
    explicit TabPage(QTabWidget* owner) : owner_(owner) {}

    template <typename W>
    W* place(W* control, QRect twipsRect) {
        control->setParent(this);
        places_.emplace_back(control, chrome::pxRect(twipsRect.x(), twipsRect.y(),
                                                     twipsRect.width(), twipsRect.height()));
        relayout();
        return control;
    }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        relayout();
    }
    void showEvent(QShowEvent* event) override {
        QWidget::showEvent(event);
        relayout();
    }

private:
    void relayout() {
        // Until the page is inside its tab control there is no offset to work out; placing
        // it there resizes it, which lays it out.
        if (!owner_->isAncestorOf(this)) {
            return;
        }
        const QPoint offset = mapTo(owner_, QPoint(0, 0));
        for (const auto& [control, rect] : places_) {
            control->setGeometry(rect.translated(-offset));
        }
    }

    QTabWidget* owner_;
    std::vector<std::pair<QWidget*, QRect>> places_;
};

QRect tw(int left, int top, int width, int height) {
    return QRect(left, top, width, height);
}

void placeIn(QWidget* parent, QWidget* control, int left, int top, int width, int height) {
    control->setParent(parent);
    control->setGeometry(chrome::pxRect(left, top, width, height));
}

QListView* newRuleList(RuleListModel* rules) {
    auto* list = new QListView;
    list->setModel(rules);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setUniformItemSizes(true);
    return list;
}

QLabel* newPicture(const QString& resource) {
    auto* label = new QLabel;
    label->setPixmap(QPixmap(resource));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

} // namespace

frmOptions::frmOptions(monitor::CoreServices& services,
                       std::function<chrome::MessageBoxes&()> boxes)
    : chrome::SkinnedWindow(QStringLiteral("控制台"), 8070, 7185), services_(services),
      boxes_(std::move(boxes)) {
    setAttribute(Qt::WA_DeleteOnClose);
    buildControls();
    openUp();
    fillLogView();
    // The view stays current with every event written from now on, whoever writes it.
    connect(&services_.eventLog(), &EventLog::logged, this,
            [this](const LogRecord& record) { logModel->append(record); });
}

frmOptions::~frmOptions() = default;

QString frmOptions::aboutText() {
    return QStringLiteral("Quillon 防火墙\n版本 %1\n\n"
                          "监视本机的每个 TCP 连接，按您定下的规则和安全级别拦截可疑连接。")
        .arg(QStringLiteral(QUILLON_VERSION));
}

void frmOptions::buildControls() {
    SSTab1 = new QTabWidget(this);
    SSTab1->setGeometry(chrome::pxRect(360, 600, 7335, 6075));
    auto* tabRules = new TabPage(SSTab1);
    auto* tabLog = new TabPage(SSTab1);
    auto* tabSecurity = new TabPage(SSTab1);
    SSTab1->addTab(tabRules, QStringLiteral("拦截选项"));
    SSTab1->addTab(tabLog, QStringLiteral("记录"));
    SSTab1->addTab(tabSecurity, QStringLiteral("安全选项"));

    // Tab 0: the rule lists and the entry field.
    SSTab2 = tabRules->place(new QTabWidget, tw(480, 480, 6315, 4575));
    // Each list reads its key when first asked for its rows: a console that stays hidden
    // holds none of them.
    const auto rulesOf = [this](monitor::RuleList list) {
        return new RuleListModel(RuleListModel::denyRules(services_.hive(), monitor::ruleKey(list)),
                                 this);
    };
    lstIP = newRuleList(rulesOf(monitor::RuleList::Ip));
    lstRemP = newRuleList(rulesOf(monitor::RuleList::RemotePort));
    lstLocP = newRuleList(rulesOf(monitor::RuleList::LocalPort));
    // The lists follow every rule a command stores or deletes, whichever window gave it.
    monitor::Commands& commands = services_.commands();
    connect(&commands, &monitor::Commands::ruleStored, this,
            [this](monitor::RuleList list, const QString& name) {
                // The hive holds one value per item: listing it twice would leave a stale line
                // behind once one of them is deleted.
                RuleListModel* rules = rulesFor(list);
                if (rules->find(name) < 0) {
                    rules->append(name);
                }
            });
    connect(&commands, &monitor::Commands::ruleDeleted, this,
            [this](monitor::RuleList list, const QString& name) {
                RuleListModel* rules = rulesFor(list);
                if (const int row = rules->find(name); row >= 0) {
                    rules->removeAt(row);
                }
            });
    const std::pair<QListView*, QString> innerTabs[] = {
        {lstIP, QStringLiteral("IP拦截")},
        {lstRemP, QStringLiteral("远程端口拦截")},
        {lstLocP, QStringLiteral("本地端口拦截")},
    };
    for (const auto& [list, caption] : innerTabs) {
        auto* page = new TabPage(SSTab2);
        page->place(list, tw(120, 480, 6075, 3570));
        SSTab2->addTab(page, caption);
    }
    Command3 = tabRules->place(new QPushButton(QStringLiteral("删除")), tw(510, 5160, 1575, 315));
    txtAdd = tabRules->place(new QLineEdit, tw(2310, 5160, 2835, 315));
    Command2 = tabRules->place(new QPushButton(QStringLiteral("增加")), tw(5190, 5160, 1575, 315));
    // One line under the entry row, in the tab's free strip: a refusal is said where the
    // user is looking, and nothing else in the console moves.
    lblRefused = tabRules->place(new QLabel, tw(510, 5535, 6255, 255));

    // Tab 1: the log view. It paints only the rows in sight and the model decodes only
    // those, so a log of a million records opens and scrolls as quickly as a short one.
    logModel = new LogModel(this);
    lstLog = tabLog->place(new LogView, tw(480, 480, 6375, 4695));
    lstLog->setModel(logModel);
    lstLog->header()->setSectionResizeMode(QHeaderView::Interactive);
    lstLog->header()->setStretchLastSection(true);
    // Wide enough for a full time stamp and any dotted address; the action takes the rest.
    lstLog->setColumnWidth(LogModel::Time, chrome::px(2040));
    lstLog->setColumnWidth(LogModel::RemoteAddress, chrome::px(1440));
    lstLog->setColumnWidth(LogModel::RemotePort, chrome::px(840));
    lstLog->setColumnWidth(LogModel::LocalPort, chrome::px(840));
    Command1 =
        tabLog->place(new QPushButton(QStringLiteral("清除记录")), tw(4800, 5280, 1995, 315));

    // Tab 2: switches, the level and the credits.
    Picture2 = tabSecurity->place(newPicture(QStringLiteral(":/settings/banner.png")),
                                  tw(180, 720, 6975, 1215));
    // Between the banner and the first switch, one step of the switches' pitch above it, so
    // the four boxes form one column and nothing else moves. Created first, it comes
    // first in the keyboard order too, as it stands first.
    Check4 = tabSecurity->place(new QCheckBox(QStringLiteral("IPv6连接同样受控")),
                                tw(180, 1980, 6255, 195));
    Check1 =
        tabSecurity->place(new QCheckBox(QStringLiteral(" 区域网IP不受限制比如(192.168.X.X这类)")),
                           tw(180, 2340, 6255, 195));
    Check2 = tabSecurity->place(
        new QCheckBox(QStringLiteral("提示在关闭程序时是否把程序隐藏在系统托盘下.")),
        tw(180, 2700, 6255, 195));
    Check3 = tabSecurity->place(new QCheckBox(QStringLiteral("提示关闭时是否真的退出.")),
                                tw(180, 3060, 6255, 195));
    Frame1 = tabSecurity->place(new QGroupBox(QStringLiteral("安全级别调节")),
                                tw(180, 3420, 7035, 2355));

    Slider1 = new QSlider(Qt::Vertical);
    Slider1->setRange(1, 3);
    Slider1->setSingleStep(1);
    Slider1->setPageStep(1);
    Slider1->setTickPosition(QSlider::TicksBothSides);
    Slider1->setTickInterval(1);
    // Level 1 (high) at the top, as the levels read from strict to lax.
    Slider1->setInvertedAppearance(true);
    Slider1->setInvertedControls(true);
    // Where the slider stands until the stored level is applied; it stays there only when
    // the stored level is unusable, and then the default level is the one written back.
    Slider1->setValue(2);
    placeIn(Frame1, Slider1, 120, 240, 630, 1995);
    Image1 = newPicture(QStringLiteral(":/settings/level.png"));
    placeIn(Frame1, Image1, 780, 240, 240, 240);
    lblTitle = new QLabel(QStringLiteral("安全级别"));
    placeIn(Frame1, lblTitle, 1080, 240, 780, 195);
    lblDes = new QLabel(QStringLiteral("[description]"));
    lblDes->setWordWrap(true);
    lblDes->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    placeIn(Frame1, lblDes, 1140, 480, 2115, 1755);

    Frame2 = new QGroupBox(QStringLiteral("程序制作"));
    placeIn(Frame1, Frame2, 3240, 240, 3615, 2055);
    Picture1 = newPicture(QStringLiteral(":/settings/emblem.png"));
    placeIn(Frame2, Picture1, 240, 480, 1455, 1215);
    Label1 = new QLabel(aboutText());
    Label1->setWordWrap(true);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    placeIn(Frame2, Label1, 1800, 360, 1695, 1575);

    connect(Check1, &QCheckBox::toggled, this, &frmOptions::Check1_Click);
    connect(Check2, &QCheckBox::toggled, this, &frmOptions::Check2_Click);
    connect(Check3, &QCheckBox::toggled, this, &frmOptions::Check3_Click);
    connect(Check4, &QCheckBox::toggled, this, &frmOptions::Check4_Click);
    connect(Slider1, &QSlider::valueChanged, this, &frmOptions::Slider1_Change);
    connect(Command1, &QPushButton::clicked, this, &frmOptions::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &frmOptions::Command2_Click);
    connect(Command3, &QPushButton::clicked, this, &frmOptions::Command3_Click);
    connect(txtAdd, &QLineEdit::returnPressed, this, &frmOptions::Command2_Click);
    // Mending the entry takes back what was said about the last one.
    connect(txtAdd, &QLineEdit::textEdited, lblRefused, &QLabel::clear);
    connect(SSTab2, &QTabWidget::currentChanged, lblRefused, &QLabel::clear);
}

void frmOptions::openUp() {
    Switches& switches = services_.switches();
    // A console opening takes what the hive holds now.
    switches.load();

    modGeneral::CentreOnScreen(*this);

    // Checking a box runs its click handling, which writes the switch back.
    if (switches.subnet()) {
        Check1->setChecked(true);
    }
    if (!switches.warnSysSilenced()) {
        Check2->setChecked(true);
    }
    if (!switches.warnExitSilenced()) {
        Check3->setChecked(true);
    }
    if (switches.ipv6()) {
        Check4->setChecked(true);
    }

    if (switches.read(Switch::Level).isEmpty()) {
        switches.write(Switch::Level, Switches::defaultValue(Switch::Level));
    }
    // A stored level outside the slider's range counts as the default, where the slider
    // stands already.
    Slider1->setValue(switches.level());
    Slider1_Change();
}

// While the console is open, it follows what another process stores: the boxes and the
// slider are set without their handlers, since showing a value must never write it back (one
// the slider cannot show would be replaced by the default). A stored level outside the slider's
// range counts as the default, as at start.
void frmOptions::showStored() {
    Switches& switches = services_.switches();
    const std::pair<QCheckBox*, bool> boxes[] = {
        {Check1, switches.subnet()},
        {Check2, switches.read(Switch::WarnSys) != QLatin1String("1")},
        {Check3, switches.read(Switch::WarnExit) != QLatin1String("1")},
        {Check4, switches.ipv6()},
    };
    for (const auto& [box, checked] : boxes) {
        const QSignalBlocker quiet(box);
        box->setChecked(checked);
    }
    const QSignalBlocker quiet(Slider1);
    Slider1->setValue(switches.level());
    showLevel(Slider1->value());
}

void frmOptions::fillRuleLists() {
    for (QListView* list : {lstIP, lstLocP, lstRemP}) {
        static_cast<RuleListModel*>(list->model())->reload();
    }
}

void frmOptions::fillLogView() {
    // A missing or unreadable file leaves no rows; a damaged one the records that are whole.
    // A long log's background pass starts when the console is first shown: the console is
    // made, hidden, during start-up, which must not share the machine with the pass.
    logModel->open(services_.eventLog().filePath(), isVisible());
}

void frmOptions::showEvent(QShowEvent* event) {
    chrome::SkinnedWindow::showEvent(event);
    // Alerts and the connection menu write rules while the console is hidden; the lists
    // show what is in force each time the console comes up. A show from the window system
    // (restored from the task bar) is not a new opening.
    if (!event->spontaneous()) {
        fillRuleLists();
    }
    logModel->startPass();
}

void frmOptions::closeEvent(QCloseEvent* event) {
    chrome::SkinnedWindow::closeEvent(event);
    if (event->isAccepted()) {
        emit closed();
    }
}

void frmOptions::Check1_Click() {
    services_.switches().setSubnet(Check1->isChecked());
}

// The prompts' own "do not ask again" boxes silence them, so a checked box here (ask) clears it.
void frmOptions::Check2_Click() {
    services_.switches().setWarnSysSilenced(!Check2->isChecked());
}

void frmOptions::Check3_Click() {
    services_.switches().setWarnExitSilenced(!Check3->isChecked());
}

void frmOptions::Check4_Click() {
    services_.switches().setIpv6(Check4->isChecked());
}

void frmOptions::Slider1_Change() {
    showLevel(Slider1->value());
    services_.switches().setLevel(Slider1->value());
}

void frmOptions::showLevel(int level) {
    switch (level) {
    case 1:
        lblTitle->setText(QStringLiteral("安全度高"));
        lblDes->setText(QStringLiteral("任何网络连接如果没在此软件设置规则的话都属非法!"));
        break;
    case 2:
        lblTitle->setText(QStringLiteral("安全度中"));
        lblDes->setText(QStringLiteral("非系统自身访问为非法!(基本推荐)"));
        break;
    case 3:
        lblTitle->setText(QStringLiteral("安全度底"));
        lblDes->setText(QStringLiteral("允许任何网络连接!"));
        break;
    default:
        break;
    }
}

QListView* frmOptions::currentList() const {
    switch (SSTab2->currentIndex()) {
    case 0:
        return lstIP;
    case 1:
        return lstRemP;
    case 2:
        return lstLocP;
    default:
        return nullptr;
    }
}

RuleListModel* frmOptions::currentRules() const {
    QListView* list = currentList();
    return list != nullptr ? static_cast<RuleListModel*>(list->model()) : nullptr;
}

monitor::RuleList frmOptions::currentRuleList() const {
    switch (SSTab2->currentIndex()) {
    case 1:
        return monitor::RuleList::RemotePort;
    case 2:
        return monitor::RuleList::LocalPort;
    default:
        return monitor::RuleList::Ip;
    }
}

RuleListModel* frmOptions::rulesFor(monitor::RuleList list) const {
    QListView* view = list == monitor::RuleList::Ip           ? lstIP
                      : list == monitor::RuleList::RemotePort ? lstRemP
                                                              : lstLocP;
    return static_cast<RuleListModel*>(view->model());
}

void frmOptions::Command2_Click() {
    QListView* list = currentList();
    if (list == nullptr) {
        return;
    }
    const std::optional<QString> item =
        list == lstIP ? RuleEntry::address(txtAdd->text()) : RuleEntry::port(txtAdd->text());
    // An item that could never match a connection is not a rule: the text stays for the
    // user to mend, with the reason on the line below.
    if (!item) {
        lblRefused->setText(list == lstIP ? RuleEntry::whyNotAddress(txtAdd->text())
                                          : RuleEntry::whyNotPort(txtAdd->text()));
        return;
    }
    lblRefused->clear();
    // A rule that did not reach the hive is not in force and is not listed either; one that
    // did is listed by the command's notice. The selection stays where the user left it:
    // selecting the new line would make an immediate "删除" remove what was just added.
    if (!services_.commands().addRule(currentRuleList(), *item).done()) {
        return;
    }
    txtAdd->clear();
}

void frmOptions::Command3_Click() {
    QListView* list = currentList();
    if (list == nullptr) {
        return;
    }
    const QModelIndexList selected = list->selectionModel()->selectedIndexes();
    if (selected.isEmpty()) {
        return;
    }
    // A rule the hive refused to delete is still in force and stays listed.
    services_.commands().deleteRule(currentRuleList(),
                                    currentRules()->text(selected.first().row()));
}

void frmOptions::Command1_Click() {
    // The console may be closed while the question is open; then nothing is cleared.
    QPointer<frmOptions> self(this);
    boxes_().askYesNo(this, QStringLiteral("警告！"),
                      QStringLiteral("日志记录是你抓小黑客的重要证据~！") +
                          QStringLiteral("\r\n\r\n") + QStringLiteral("是否真的要清除记录？"),
                      [self](int answer) {
                          frmOptions* console = self.data();
                          if (console == nullptr || answer != chrome::MessageBoxes::Yes) {
                              return;
                          }
                          // The view keeps showing the records as long as the file still holds
                          // them.
                          if (console->services_.commands().clearLog().done()) {
                              console->logModel->clear();
                          }
                      });
}

} // namespace quillon::settings
