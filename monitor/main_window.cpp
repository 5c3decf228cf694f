#include "monitor/main_window.h"

#include "core/companion.h"
#include "core/log_file.h"
#include "core/program_folder.h"
#include "core/window_closer.h"
#include "dialogs/alert_dialog.h"
#include "dialogs/command_line_dialog.h"
#include "dialogs/email_dialog.h"
#include "dialogs/interval_dialog.h"
#include "dialogs/log_file_dialog.h"
#include "dialogs/setup_dialog.h"
#include "engine/locale_text.h"
#include "monitor/alarm_sound.h"
#include "monitor/internet_watch.h"
#include "monitor/restart_mailer.h"
#include "monitor/run_at_start.h"
#include "monitor/watch_cycle.h"
#include "ui/activation_tracker.h"
#include "ui/settings.h"
#include "ui/window_registry.h"
#include "viewers/about_box.h"
#include "viewers/log_viewer.h"
#include "viewers/running_apps_viewer.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenuBar>
#include <QMovie>
#include <QPushButton>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QToolBar>
#include <QVBoxLayout>
#include <cmath>
#include <cstdio>

namespace {

QString slotSection(int slot) {
    return QStringLiteral("exe%1").arg(slot);
}

QString placeholder(int slot) {
    return QStringLiteral("Executable %1").arg(slot);
}

/// A timer interval as the original runtime converted it: a number in the
/// user's (or the C) locale, rounded to nearest with ties to even; nullopt when
/// it is no number or outside what a window timer takes.
std::optional<int> intervalFromText(const QString &text) {
    const QString trimmed = text.trimmed();
    bool ok = false;
    double value = QLocale().toDouble(trimmed, &ok);
    if (!ok) {
        value = QLocale::c().toDouble(trimmed, &ok);
    }
    if (!ok || !std::isfinite(value)) {
        return std::nullopt;
    }
    const double rounded = std::nearbyint(value); // default rounding: ties to even
    if (rounded < 0 || rounded > 65535) {
        return std::nullopt;
    }
    return static_cast<int>(rounded);
}

/// The read-only status lines would take copy, select-all and end-of-line
/// (Ctrl+C, Ctrl+A, Ctrl+E) for themselves; the menu's shortcuts come first
/// wherever the focus sits in the window.
class MenuShortcutsFirst final : public QObject {
public:
    explicit MenuShortcutsFirst(QWidget *window) : QObject(window), window_(window) {
        for (QWidget *child : window->findChildren<QWidget *>()) {
            child->installEventFilter(this);
        }
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() != QEvent::ShortcutOverride) {
            return QObject::eventFilter(watched, event);
        }
        const QKeySequence pressed(static_cast<QKeyEvent *>(event)->keyCombination());
        for (const QAction *action : window_->findChildren<QAction *>()) {
            if (action->shortcut() == pressed) {
                // Left unaccepted, the key goes on to the shortcut.
                event->ignore();
                return true;
            }
        }
        return false;
    }

private:
    QWidget *window_;
};

} // namespace

Form1::Form1(QWidget *parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(restingCaption());
    ui::WindowRegistry::instance().add(this);
    ui::setMainWindowLink(this);

    timer1_ = new ui::FormTimer(QStringLiteral("Timer1"), 500, true, this);
    timer10_ = new ui::FormTimer(QStringLiteral("Timer10"), 500, true, this);
    timer11_ = new ui::FormTimer(QStringLiteral("Timer11"), 30000, true, this);
    timer12_ = new ui::FormTimer(QStringLiteral("Timer12"), 5000, false, this);
    timer13_ = new ui::FormTimer(QStringLiteral("Timer13"), 4000, false, this);
    timer14_ = new ui::FormTimer(QStringLiteral("Timer14"), 500, true, this);
    flashtmr_ = new ui::FormTimer(QStringLiteral("flashtmr"), 1000, false, this);
    icon_ = new ui::FormTimer(QStringLiteral("icon"), 500, true, this);
    icontray_ = new ui::FormTimer(QStringLiteral("icontray"), 100, false, this);

    auto *central = new QWidget(this);
    setCentralWidget(central);
    buildSlots(central);
    buildMenus();
    buildToolbar();
    buildStatusBar();

    mailer_ =
        new RestartMailer([this](const QStringList &lines) { return appendLog(lines); }, this);

    trayIcon1_ = new QSystemTrayIcon(this);
    trayIcon1_->setObjectName(QStringLiteral("TrayIcon1"));
    buildTrayIcon();

    watchCycle_ = new WatchCycle(*this);
    watchCycle_->hooks().sendMail = [this](int slot, bool restartFailed) {
        sendRestartMail(slot, restartFailed);
    };
    watchCycle_->hooks().showPopup = [this](int slot, bool restartFailed) {
        showRestartPopup(slot, restartFailed);
    };
    // Slot 1's check shows its program in the setup dialog, loading it hidden when needed.
    watchCycle_->hooks().slotOneProgram = [](const QString &program) {
        ui::WindowRegistry::instance().load<Form2>()->setProgramOfSlotOne(program);
    };
    for (int n = 1; n <= SlotCount; ++n) {
        connect(slots_[n - 1].timer, &QTimer::timeout, this, [this, n] { watchCycle_->tick(n); });
    }
    connect(timer1_, &QTimer::timeout, this, &Form1::timer1Tick);
    connect(timer10_, &QTimer::timeout, this, &Form1::timer10Tick);
    internetWatch_ = new InternetWatch(*this, *picture10_);
    connect(timer11_, &QTimer::timeout, internetWatch_, &InternetWatch::check);
    connect(timer13_, &QTimer::timeout, this, [this] {
        LinkmindCheck();
        timer13_->setEnabled(false);
    });
    connect(icontray_, &QTimer::timeout, this, [this] {
        sendToTray();
        icontray_->setEnabled(false);
    });
    // Error-report windows keep a crashed program alive; this runs paused or not.
    connect(timer14_, &QTimer::timeout, this, [this] {
        KillWin(QStringLiteral("Error Reporting"));
        KillWin(QStringLiteral("Application Error"));
        KillWin(QStringLiteral("Application error"));
    });
    connect(command2_, &QPushButton::clicked, this, &Form1::sendToTray);
    connect(command1_, &QPushButton::clicked, this, &Form1::acknowledgeAlarms);
    connect(icon_, &QTimer::timeout, this, &Form1::pausePoll);

    // Load, in its order. Nothing here can stop the start: a value that does
    // not convert or a log that cannot be written is passed over.
    const QString folder = ui::programFolderText();
    prepareAlarmControls(folder);

    readStartMode();
    readCommandLines();
    readNotificationSwitch();
    readSlotNames();
    readWorkingDirectories();
    readLogPath();
    readMailSettings();
    readAlertSwitches();
    readSlotIntervals();
    readInternetSettings();
    reportUnreadableSettings();

    appendLog({engine::timestampNow() + QStringLiteral(", ") +
               QStringLiteral("Tenacor has been started.")});

    trayIcon1_->setVisible(false);
    timer13_->setEnabled(true);
    icontray_->setEnabled(held_.startMode == QStringLiteral("Yes"));

    ui::ActivationTracker::instance().watch(this, [this] { activate(); });
    new MenuShortcutsFirst(this);
}

Form1::~Form1() {
    if (ui::mainWindowLink() == this) {
        ui::setMainWindowLink(nullptr);
    }
}

QString Form1::restingCaption() {
    return QStringLiteral("Perstando (Tenacor)") + QString(47, QLatin1Char(' '));
}

void Form1::activate() {
    check1_->setChecked(false);
    readStartMode();
    readSlotNames();
    readCommandLines();
    readAlertSwitches();
    readLogPath();
    readMailSettings();
    readSlotIntervals();
    readWorkingDirectories();
    readNotificationSwitch();
    held_.address = readValue("mail", "address");
    readInternetSettings();
    reportUnreadableSettings();
}

void Form1::reportUnreadableSettings() {
    const QString problem = ui::settingsUnreadableMessage();
    if (problem != settingsProblem_ && !problem.isEmpty()) {
        std::fprintf(stderr, "perstando: %s\n", problem.toLocal8Bit().constData());
    }
    settingsProblem_ = problem;
    if (problem.isEmpty()) {
        statusBar1_->clearMessage();
    } else {
        statusBar1_->showMessage(problem);
    }
}

QString Form1::readValue(const char *section, const char *key) {
    return ui::readSetting(QString::fromLatin1(section), QString::fromLatin1(key));
}

void Form1::readStartMode() {
    held_.startMode = readValue("Startupmode", "InIconTray");
}

void Form1::readCommandLines() {
    for (int n = 1; n <= SlotCount; ++n) {
        held_.commandLine[n - 1] =
            ui::readSetting(QStringLiteral("cmdline"), QStringLiteral("cmdexe%1").arg(n));
    }
    for (int n = 1; n <= SlotCount; ++n) {
        held_.commandSwitch[n - 1] =
            ui::readSetting(QStringLiteral("cmdline"), QStringLiteral("statusexe%1").arg(n));
    }
}

void Form1::readNotificationSwitch() {
    text9_->setText(readValue("mail", "notification"));
}

void Form1::readSlotNames() {
    for (int n = 1; n <= SlotCount; ++n) {
        slots_[n - 1].frame->setTitle(ui::readSetting(slotSection(n), QStringLiteral("name")));
    }
}

void Form1::readWorkingDirectories() {
    for (int n = 1; n <= SlotCount; ++n) {
        held_.workingDirectory[n - 1] =
            ui::readSetting(QStringLiteral("workingexe%1").arg(n), QStringLiteral("path%1").arg(n));
    }
}

void Form1::readLogPath() {
    held_.logPath = readValue("log", "path");
}

void Form1::readMailSettings() {
    held_.sendTo = readValue("mail", "Sendto");
    held_.port = readValue("mail", "port");
    held_.address = readValue("mail", "address");
    held_.server = readValue("mail", "server");
}

void Form1::readAlertSwitches() {
    held_.visual = readValue("Alerts", "visual");
    held_.pop = readValue("Alerts", "Pop");
    held_.audio = readValue("Alerts", "audio");
}

void Form1::readInternetSettings() {
    held_.monitor = readValue("Internet", "Monitor");
    held_.restart = readValue("Internet", "Restart");
    held_.restartName = readValue("Internet", "Restartname");
    held_.alive = readValue("Internet", "alive");
}

void Form1::readSlotIntervals() {
    for (int n = 1; n <= SlotCount; ++n) {
        held_.interval[n - 1] = ui::readSetting(slotSection(n), QStringLiteral("timer"));
        applyInterval(n, held_.interval[n - 1]);
    }
}

void Form1::applyInterval(int slot, const QString &text) {
    if (const auto ms = intervalFromText(text)) {
        slots_[slot - 1].timer->setIntervalMs(*ms);
    }
}

QString Form1::slotName(int slot) const {
    return slots_[slot - 1].frame->title();
}

ui::FormTimer *Form1::slotTimer(int slot) const {
    return slots_[slot - 1].timer;
}

QLineEdit *Form1::slotStatus(int slot) const {
    return slots_[slot - 1].status;
}

bool Form1::appendLog(const QStringList &lines) const {
    std::vector<std::string> entry;
    entry.reserve(static_cast<std::size_t>(lines.size()));
    for (const auto &line : lines) {
        entry.push_back(line.toStdString());
    }
    return core::appendLogLines(held_.logPath.toStdString(), entry);
}

QString Form1::notificationSwitch() const {
    return text9_->text();
}

void Form1::sendRestartMail(int slot, bool restartFailed) {
    mailer_->sendRestartMail({held_.sendTo, held_.port, held_.address, held_.server},
                             slotName(slot), restartFailed);
}

void Form1::KillWin(const QString &Title) {
    windowcloser::closeTopmostTitled(Title.toStdString());
}

void Form1::pauseChecking() {
    check1_->setChecked(true);
}

void Form1::setNotificationSwitch(const QString &value) {
    text9_->setText(value);
}

void Form1::setSlotTimersEnabled(bool enabled) {
    for (auto &slot : slots_) {
        slot.timer->setEnabled(enabled);
    }
}

void Form1::closeEvent(QCloseEvent *event) {
    event->accept();
    ui::WindowRegistry::instance().unloadAll();
    trayIcon1_->setVisible(false);
    QApplication::quit();
}

void Form1::showEvent(QShowEvent *event) {
    QMainWindow::showEvent(event);
    if (!firstShowDone_) {
        // The first show activates the window whether or not the desktop gives
        // it the focus.
        firstShowDone_ = true;
        ui::ActivationTracker::instance().noteActive(this);
        activate();
    }
}

void Form1::sendToTray() {
    trayIcon1_->setVisible(true);
    // Hidden with no notification area to show the icon in, the program could
    // not be reached again.
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        hide();
    } else {
        showMinimized();
    }
}

void Form1::timer1Tick() {
    for (int n = 1; n <= SlotCount; ++n) {
        if (slots_[n - 1].frame->title().isEmpty()) {
            slots_[n - 1].frame->setTitle(placeholder(n));
        }
    }
    for (int n = 1; n <= SlotCount; ++n) {
        auto &slot = slots_[n - 1];
        if (slot.frame->title() == placeholder(n)) {
            slot.timer->setEnabled(false);
            slot.status->clear();
        } else {
            slot.timer->setEnabled(true);
        }
    }
    for (const auto &slot : slots_) {
        if (slot.timer->isEnabled()) {
            timer10_->setEnabled(true);
        }
    }
    for (int n = 1; n <= SlotCount; ++n) {
        slots_[n - 1].commandPicture->setVisible(held_.commandSwitch[n - 1] ==
                                                 QStringLiteral("On"));
    }
    const bool watchInternet = held_.monitor == QStringLiteral("On");
    timer11_->setEnabled(watchInternet);
    picture10_->setVisible(watchInternet);
}

void Form1::timer10Tick() {
    anistate_ = anistate_ + 1 >= 10 ? 1 : anistate_ + 1;
    for (int i = 8; i >= 0; --i) {
        hourglass_[static_cast<std::size_t>(i)]->setVisible(false);
    }
    hourglass_[static_cast<std::size_t>(9 - anistate_)]->setVisible(true);
    timer11_->setEnabled(held_.monitor == QStringLiteral("On"));
}

void Form1::buildSlots(QWidget *central) {
    auto *outer = new QVBoxLayout(central);
    auto *grid = new QGridLayout();
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(8);
    for (int n = 1; n <= SlotCount; ++n) {
        auto &slot = slots_[n - 1];
        slot.frame = new QGroupBox(central);
        slot.frame->setObjectName(QStringLiteral("Frame%1").arg(n));
        auto *row = new QHBoxLayout(slot.frame);
        slot.status = new QLineEdit(slot.frame);
        slot.status->setObjectName(QStringLiteral("Text%1").arg(n));
        slot.status->setReadOnly(true);
        slot.status->setToolTip(QStringLiteral("This is the display for Exe%1").arg(n));
        slot.status->setMinimumWidth(220);
        slot.commandPicture = new QLabel(slot.frame);
        slot.commandPicture->setObjectName(QStringLiteral("Picture%1").arg(n + 17));
        slot.commandPicture->setToolTip(QStringLiteral("Command Line Enabled"));
        slot.commandPicture->setPixmap(QPixmap(QStringLiteral(":/pictures/cmdline.png")));
        slot.commandPicture->setFixedWidth(20);
        slot.commandPicture->setVisible(false);
        row->addWidget(slot.status, 1);
        row->addWidget(slot.commandPicture);
        grid->addWidget(slot.frame, (n - 1) % 4, (n - 1) / 4);
        slot.timer = new ui::FormTimer(QStringLiteral("Timer%1").arg(n + 1), 0, true, this);
    }
    outer->addLayout(grid);

    auto *bottom = new QHBoxLayout();
    auto *hourglassBox = new QWidget(central);
    auto *hourglassLayout = new QGridLayout(hourglassBox);
    hourglassLayout->setContentsMargins(0, 0, 0, 0);
    for (int i = 0; i < 9; ++i) {
        auto *picture = new QLabel(hourglassBox);
        picture->setObjectName(QStringLiteral("Picture%1").arg(i + 1));
        picture->setFixedSize(32, 32);
        picture->setPixmap(QPixmap(QStringLiteral(":/pictures/hourglass_%1.png").arg(i + 1)));
        picture->setVisible(false);
        hourglassLayout->addWidget(picture, 0, 0);
        hourglass_[static_cast<std::size_t>(i)] = picture;
    }
    hourglass_[8]->setToolTip(
        QStringLiteral("If hourglass is running, an exe check is occurring."));
    bottom->addWidget(hourglassBox);

    picture10_ = new QLabel(central);
    picture10_->setObjectName(QStringLiteral("Picture10"));
    picture10_->setFixedSize(32, 32);
    picture10_->setPixmap(QPixmap(QStringLiteral(":/pictures/internet.png")));
    picture10_->setVisible(false);
    bottom->addWidget(picture10_);

    gif89a1_ = new QLabel(central);
    gif89a1_->setObjectName(QStringLiteral("Gif89a1"));
    gif89a1_->setFixedSize(48, 48);
    bottom->addWidget(gif89a1_);
    bottom->addStretch(1);

    check1_ = new QCheckBox(QStringLiteral("&Pause Checking"), central);
    check1_->setObjectName(QStringLiteral("Check1"));
    check1_->setToolTip(QStringLiteral(
        "By clicking \"Pause Checking,\" all monitoring will stop.  This is useful when a user is "
        "configuring Perstando, or if the user just wants to pause Perstando."));
    bottom->addWidget(check1_);

    command1_ = new QPushButton(QStringLiteral("Alarm Acknowledge&ment"), central);
    command1_->setObjectName(QStringLiteral("Command1"));
    command1_->setToolTip(QStringLiteral("Click here to stop all alarms"));
    bottom->addWidget(command1_);

    command2_ = new QPushButton(QStringLiteral("Send to &Tray"), central);
    command2_->setObjectName(QStringLiteral("Command2"));
    bottom->addWidget(command2_);
    outer->addLayout(bottom);

    text9_ = new QLineEdit(central);
    text9_->setObjectName(QStringLiteral("Text9"));
    text9_->setVisible(false);
}

void Form1::buildMenus() {
    struct Item {
        const char *name;
        const char *caption;
        const char *shortcut;
    };
    auto add = [this](QMenu *menu, const Item &item) {
        auto *action = menu->addAction(QString::fromUtf8(item.caption));
        action->setObjectName(QString::fromLatin1(item.name));
        if (item.shortcut) {
            action->setShortcut(QKeySequence(QString::fromLatin1(item.shortcut)));
        }
        return action;
    };
    auto menu = [this](const char *name, const char *caption) {
        auto *m = menuBar()->addMenu(QString::fromUtf8(caption));
        m->setObjectName(QString::fromLatin1(name));
        m->menuAction()->setObjectName(QString::fromLatin1(name));
        return m;
    };

    auto *exitNow = menu("mnuexitnow", "Exit Now");
    add(exitNow, {"mnuexit", "E&xit", nullptr});

    auto *setup = menu("mnumenu", "&Setup");
    add(setup, {"mnuSetup", "File and Internet Setup", "Ctrl+F"});
    add(setup, {"mnulog", "Log File ", "Ctrl+L"});
    add(setup, {"mnuemail", "E-mail Settings", "Ctrl+E"});
    add(setup, {"mnucmd", "Command Line Settings", "Ctrl+C"});
    add(setup, {"mnuAlert", "Visual and Audio Alert Options", "Ctrl+A"});
    add(setup, {"mnuscan", "Settings for Interval Scan of Executables", "Ctrl+S"});
    auto *startup = setup->addMenu(QStringLiteral("Startup Options"));
    startup->setObjectName(QStringLiteral("mnustupoptions"));
    startup->menuAction()->setObjectName(QStringLiteral("mnustupoptions"));
    add(startup, {"mnustartup", "Start Perstando Automatically when Windows Starts", "Ctrl+T"});
    add(startup,
        {"mnudisable", "Do not Start Perstando Automatically when Windows Starts", "Ctrl+D"});
    add(startup, {"mnuiconyes", "Run Perstando in Icon Tray upon Startup", nullptr});
    add(startup, {"mnunormalmode", "Run Perstando in Normal Mode upon Startup", nullptr});

    auto *tools = menu("mnutools", "&Tools");
    add(tools, {"mnuapprunning", "Show Applications Running", "Ctrl+R"});

    auto *log = menu("mnulogview2", "Log");
    add(log, {"mnuview", "&View Log", nullptr});

    auto *help = menu("mnuhelp1", "&Help");
    add(help, {"mnuhelp", "Help &Topics", nullptr});
    add(help, {"mnuabout", "&About", nullptr});

    registerMenuHandlers();
    for (QAction *action : findChildren<QAction *>()) {
        const QString name = action->objectName();
        if (name.startsWith(QStringLiteral("mnu"))) {
            connect(action, &QAction::triggered, this, [this, name] { runMenuItem(name); });
        }
    }
}

void Form1::registerMenuHandlers() {
    // Each menu item's handler, by the item's name; the toolbar reuses them.
    menuHandlers_ = {
        {QStringLiteral("mnuexit"), [this] { close(); }},
        {QStringLiteral("mnuiconyes"), [this] { writeStartMode(QStringLiteral("Yes")); }},
        {QStringLiteral("mnunormalmode"), [this] { writeStartMode(QStringLiteral("No")); }},
        {QStringLiteral("mnuhelp"), [this] { showHelp(); }},
        {QStringLiteral("mnuSetup"), [] { ui::WindowRegistry::instance().show<Form2>(); }},
        {QStringLiteral("mnuscan"), [] { ui::WindowRegistry::instance().show<Form8>(); }},
        {QStringLiteral("mnucmd"), [] { ui::WindowRegistry::instance().show<Form6>(); }},
        {QStringLiteral("mnustartup"), [this] { enableRunAtStart(*this); }},
        {QStringLiteral("mnudisable"), [this] { disableRunAtStart(*this); }},
        {QStringLiteral("mnuAlert"), [] { ui::WindowRegistry::instance().show<Form7>(); }},
        {QStringLiteral("mnuemail"), [] { ui::WindowRegistry::instance().show<Form5>(); }},
        {QStringLiteral("mnulog"), [] { ui::WindowRegistry::instance().show<Form3>(); }},
        {QStringLiteral("mnuview"), [] { ui::WindowRegistry::instance().show<Form4>(); }},
        {QStringLiteral("mnuapprunning"), [] { ui::WindowRegistry::instance().show<Form9>(); }},
        {QStringLiteral("mnuabout"), [] { ui::WindowRegistry::instance().show<frmAbout>(); }},
    };
}

void Form1::LinkmindCheck() {
    held_.alive = ui::readSetting(QStringLiteral("Internet"), QStringLiteral("alive"));
    if (held_.alive == QStringLiteral("On")) {
        core::startCompanion(core::programFolder());
    }
}

void Form1::runMenuItem(const QString &itemName) {
    const auto handler = menuHandlers_.constFind(itemName);
    if (handler != menuHandlers_.constEnd()) {
        (*handler)();
    }
}

void Form1::toolbarClick(const QString &key) {
    static const QHash<QString, QString> itemOfKey = {
        {QStringLiteral("file"), QStringLiteral("mnuSetup")},
        {QStringLiteral("log"), QStringLiteral("mnulog")},
        {QStringLiteral("mail"), QStringLiteral("mnuemail")},
        {QStringLiteral("cmd"), QStringLiteral("mnucmd")},
        {QStringLiteral("audio"), QStringLiteral("mnuAlert")},
        {QStringLiteral("timer"), QStringLiteral("mnuscan")},
        {QStringLiteral("view"), QStringLiteral("mnuview")},
        {QStringLiteral("help"), QStringLiteral("mnuhelp")},
    };
    const auto item = itemOfKey.constFind(key);
    if (item != itemOfKey.constEnd()) {
        runMenuItem(*item);
    }
}

void Form1::startVisualAlarm() {
    gif89a1_->setVisible(true);
    warning_->start();
    flashtmr_->setEnabled(true);
}

void Form1::startAudioAlarm() {
    timer12_->setEnabled(true);
}

void Form1::acknowledgeAlarms() {
    timer12_->setEnabled(false);
    mmControl1_->stop();
    flashtmr_->setEnabled(false);
    gif89a1_->setVisible(false);
    warning_->stop();
}

void Form1::buildToolbar() {
    toolbar1_ = addToolBar(QStringLiteral("Toolbar1"));
    toolbar1_->setObjectName(QStringLiteral("Toolbar1"));
    toolbar1_->setMovable(false);
    struct Button {
        const char *key;
        const char *tip;
    };
    static constexpr Button buttons[] = {
        {"file", "File Configuration"},
        {"log", "Log File Setup"},
        {"mail", "E-mail Settings"},
        {"cmd", "Command Line Settings"},
        {"audio", "Visual and Audio Alert Options"},
        {"timer", "Settings for Interval Scan of Executables"},
        {"view", "View Log File"},
        {"help", "Help Topics"},
    };
    for (const auto &b : buttons) {
        const QString key = QString::fromLatin1(b.key);
        auto *action =
            toolbar1_->addAction(QIcon(QStringLiteral(":/pictures/toolbar_%1.png").arg(key)), key);
        action->setData(key);
        action->setToolTip(QString::fromLatin1(b.tip));
        connect(action, &QAction::triggered, this, [this, key] { toolbarClick(key); });
    }
}

void Form1::buildStatusBar() {
    statusBar1_ = statusBar();
    statusBar1_->setObjectName(QStringLiteral("StatusBar1"));
    auto *product = new QLabel(QStringLiteral("Perstando"), statusBar1_);
    statusDate_ = new QLabel(statusBar1_);
    statusTime_ = new QLabel(statusBar1_);
    statusBar1_->addWidget(product, 1);
    statusBar1_->addPermanentWidget(statusDate_);
    statusBar1_->addPermanentWidget(statusTime_);
    auto refresh = [this] {
        const auto now = QDateTime::currentDateTime();
        statusDate_->setText(engine::shortDate(now.date()));
        statusTime_->setText(engine::longTime(now.time()));
    };
    refresh();
    auto *clock = new QTimer(this);
    connect(clock, &QTimer::timeout, this, refresh);
    clock->start(1000);
}
