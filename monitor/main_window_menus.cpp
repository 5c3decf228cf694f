// The main window's menus, toolbar and their shortcuts: each item's handler by
// the item's name, which the toolbar and the tray menu reuse.

#include "dialogs/alert_channels_dialog.h"
#include "dialogs/alert_dialog.h"
#include "dialogs/command_line_dialog.h"
#include "dialogs/email_dialog.h"
#include "dialogs/interval_dialog.h"
#include "dialogs/log_file_dialog.h"
#include "dialogs/restart_options_dialog.h"
#include "dialogs/setup_dialog.h"
#include "engine/watchdog.h"
#include "monitor/main_window.h"
#include "monitor/run_at_start.h"
#include "ui/window_registry.h"
#include "viewers/about_box.h"
#include "viewers/log_viewer.h"
#include "viewers/running_apps_viewer.h"

#include <QAction>
#include <QKeyEvent>
#include <QMenuBar>
#include <QToolBar>

namespace {

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

void MainWindow::installMenuShortcutsFirst() {
    new MenuShortcutsFirst(this);
}

void MainWindow::buildMenus() {
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
    add(setup, {"mnuAlertChannels", "Alert Channels", nullptr});
    add(setup, {"mnuscan", "Settings for Interval Scan of Executables", "Ctrl+S"});
    auto *startup = setup->addMenu(QStringLiteral("Startup Options"));
    startup->setObjectName(QStringLiteral("mnustupoptions"));
    startup->menuAction()->setObjectName(QStringLiteral("mnustupoptions"));
    add(startup, {"mnustartup", "Start Perstando Automatically when Windows Starts", "Ctrl+T"});
    add(startup,
        {"mnudisable", "Do not Start Perstando Automatically when Windows Starts", "Ctrl+D"});
    add(startup, {"mnuiconyes", "Run Perstando in Icon Tray upon Startup", nullptr});
    add(startup, {"mnunormalmode", "Run Perstando in Normal Mode upon Startup", nullptr});
    add(setup, {"mnurestartoptions", "Restart &Options...", "Ctrl+O"});

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

void MainWindow::registerMenuHandlers() {
    // Each menu item's handler, by the item's name; the toolbar reuses them.
    menuHandlers_ = {
        {QStringLiteral("mnuexit"), [this] { close(); }},
        {QStringLiteral("mnuiconyes"), [this] { writeStartMode(true); }},
        {QStringLiteral("mnunormalmode"), [this] { writeStartMode(false); }},
        {QStringLiteral("mnuhelp"), [this] { showHelp(); }},
        {QStringLiteral("mnuSetup"), [] { ui::WindowRegistry::instance().show<SetupDialog>(); }},
        {QStringLiteral("mnuscan"), [] { ui::WindowRegistry::instance().show<IntervalDialog>(); }},
        {QStringLiteral("mnucmd"),
         [] { ui::WindowRegistry::instance().show<CommandLineDialog>(); }},
        {QStringLiteral("mnustartup"), [this] { enableRunAtStart(*this, watchdog_->log()); }},
        {QStringLiteral("mnudisable"), [this] { disableRunAtStart(*this, watchdog_->log()); }},
        {QStringLiteral("mnuAlert"), [] { ui::WindowRegistry::instance().show<AlertDialog>(); }},
        {QStringLiteral("mnuemail"), [] { ui::WindowRegistry::instance().show<EmailDialog>(); }},
        {QStringLiteral("mnuAlertChannels"),
         [] { ui::WindowRegistry::instance().show<AlertChannelsDialog>(); }},
        {QStringLiteral("mnulog"), [] { ui::WindowRegistry::instance().show<LogFileDialog>(); }},
        {QStringLiteral("mnurestartoptions"),
         [] { ui::WindowRegistry::instance().show<RestartOptionsDialog>(); }},
        {QStringLiteral("mnuview"), [] { ui::WindowRegistry::instance().show<LogViewer>(); }},
        {QStringLiteral("mnuapprunning"),
         [] { ui::WindowRegistry::instance().show<RunningAppsViewer>(); }},
        {QStringLiteral("mnuabout"), [] { ui::WindowRegistry::instance().show<AboutBox>(); }},
    };
}

void MainWindow::runMenuItem(const QString &itemName) {
    const auto handler = menuHandlers_.constFind(itemName);
    if (handler != menuHandlers_.constEnd()) {
        (*handler)();
    }
}

void MainWindow::toolbarClick(const QString &key) {
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

void MainWindow::buildToolbar() {
    auto *toolbar = addToolBar(QStringLiteral("Toolbar1"));
    toolbar->setObjectName(QStringLiteral("Toolbar1"));
    toolbar->setMovable(false);
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
            toolbar->addAction(QIcon(QStringLiteral(":/pictures/toolbar_%1.png").arg(key)), key);
        action->setData(key);
        action->setToolTip(QString::fromLatin1(b.tip));
        connect(action, &QAction::triggered, this, [this, key] { toolbarClick(key); });
    }
}
