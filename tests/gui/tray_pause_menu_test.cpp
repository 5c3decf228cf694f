#include "core/ini_file.h"
#include "engine/alarm_state.h"
#include "engine/settings.h"
#include "engine/slot_watcher.h"
#include "engine/watchdog.h"
#include "tests/gui/main_window_fixture.h"
#include "ui/window_registry.h"
#include "viewers/help_window.h"

#include <QAction>
#include <QCheckBox>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QToolBar>

using testing_support::Form1Test;

namespace {

class TrayPauseMenuTest : public Form1Test {
protected:
    QSystemTrayIcon *tray() const { return control<QSystemTrayIcon>("TrayIcon1"); }
    QCheckBox *pauseBox() const { return control<QCheckBox>("Check1"); }
    QAction *menuItem(const char *name) const { return control<QAction>(name); }
    /// True when exactly the slot timers of `running` are enabled.
    bool slotTimersEnabled(std::initializer_list<int> running) const {
        for (int n = 1; n <= settings::SlotCount; ++n) {
            const bool wanted = std::find(running.begin(), running.end(), n) != running.end();
            if (form_->watchdog().slotWatcher().timer(n)->isEnabled() != wanted) {
                return false;
            }
        }
        return true;
    }
};

TEST_F(TrayPauseMenuTest, PauseStopsEveryCheckAndResumesOnlyConfiguredSlots) {
    writeSettings("[exe1]\nname=Orders\ntimer=60000\n[exe3]\nname=Billing\ntimer=60000\n");
    start();
    ASSERT_TRUE(waitFor([&] { return slotTimersEnabled({1, 3}); }));
    form_->watchdog().alarms().raiseVisual();
    form_->watchdog().alarms().raiseAudio();
    const bool timer13Before = timer("Timer13")->isEnabled();

    pauseBox()->setChecked(true);
    ASSERT_TRUE(waitFor([&] { return !timer("Timer1")->isEnabled(); }, 2000));
    EXPECT_TRUE(slotTimersEnabled({}));
    EXPECT_FALSE(timer("Timer10")->isEnabled());
    EXPECT_FALSE(timer("Timer11")->isEnabled());
    EXPECT_EQ(form_->windowTitle(), QStringLiteral("Tenacor is now paused!"));
    EXPECT_EQ(tray()->toolTip(), QStringLiteral("Tenacor Paused!"));
    // Alarms and the other services run on.
    EXPECT_TRUE(timer("Timer12")->isEnabled());
    EXPECT_TRUE(timer("flashtmr")->isEnabled());
    EXPECT_TRUE(timer("Timer14")->isEnabled());
    EXPECT_EQ(timer("Timer13")->isEnabled(), timer13Before);
    ASSERT_TRUE(waitForTicks("Timer14", 2)); // no Timer1 tick undoes the pause
    EXPECT_TRUE(slotTimersEnabled({}));
    EXPECT_EQ(form_->windowTitle(), QStringLiteral("Tenacor is now paused!"));

    pauseBox()->setChecked(false);
    ASSERT_TRUE(waitFor([&] { return timer("Timer1")->isEnabled(); }, 2000));
    EXPECT_TRUE(timer("Timer10")->isEnabled());
    EXPECT_EQ(form_->windowTitle(), QStringLiteral("Tenacor"));
    EXPECT_EQ(tray()->toolTip(), QStringLiteral("Tenacor"));
    EXPECT_TRUE(slotTimersEnabled({1, 3})) << "resuming brings the named slots back at once";
    EXPECT_FALSE(timer("Timer11")->isEnabled()) << "the internet watch follows its switch, off";
    EXPECT_TRUE(timer("Timer12")->isEnabled());
    EXPECT_TRUE(timer("flashtmr")->isEnabled());
}

TEST_F(TrayPauseMenuTest, ThePauseOutlivesATripToTheTray) {
    start();
    pauseBox()->setChecked(true);
    ASSERT_TRUE(waitFor([&] { return form_->windowTitle().endsWith(u"paused!"); }));

    QTest::mouseClick(control<QPushButton>("Command2"), Qt::LeftButton);
    EXPECT_TRUE(tray()->isVisible());
    // No notification area on this platform: minimized, never out of reach.
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    EXPECT_TRUE(form_->isVisible());
    EXPECT_TRUE(form_->isMinimized());

    emit tray()->activated(QSystemTrayIcon::Trigger);
    EXPECT_FALSE(form_->isMinimized());
    EXPECT_FALSE(tray()->isVisible());
    ASSERT_TRUE(waitForTicks("Timer14", 1));
    EXPECT_TRUE(pauseBox()->isChecked());
    EXPECT_EQ(form_->windowTitle(), QStringLiteral("Tenacor is now paused!"));
}

TEST_F(TrayPauseMenuTest, TrayMenuOffersAboutRestoreAndExit) {
    start();
    int abouts = 0;
    form_->setMenuHandler(QStringLiteral("mnuabout"), [&] { ++abouts; });
    QMenu *menu = tray()->contextMenu();
    ASSERT_NE(menu, nullptr);
    QStringList captions;
    for (QAction *action : menu->actions()) {
        if (!action->isSeparator()) {
            captions << action->text();
        }
    }
    ASSERT_EQ(captions, (QStringList{QStringLiteral("&About"), QStringLiteral("&Restore"),
                                     QStringLiteral("E&xit")}));
    menu->actions().at(0)->trigger();
    EXPECT_EQ(abouts, 1);

    form_->showMinimized();
    tray()->setVisible(true);
    menu->actions().at(1)->trigger();
    EXPECT_FALSE(form_->isMinimized());
    EXPECT_FALSE(tray()->isVisible());
}

TEST_F(TrayPauseMenuTest, ToolbarDispatchesOnTheExactKey) {
    start();
    const std::pair<const char *, const char *> keys[] = {
        {"file", "mnuSetup"},  {"log", "mnulog"},    {"mail", "mnuemail"}, {"cmd", "mnucmd"},
        {"audio", "mnuAlert"}, {"timer", "mnuscan"}, {"view", "mnuview"},  {"help", "mnuhelp"},
    };
    QStringList ran;
    for (const auto &[key, item] : keys) {
        const QString name = QString::fromLatin1(item);
        form_->setMenuHandler(name, [&ran, name] { ran << name; });
    }
    form_->toolbarClick(QStringLiteral("File"));
    form_->toolbarClick(QStringLiteral("HELP"));
    form_->toolbarClick(QStringLiteral("file "));
    EXPECT_TRUE(ran.isEmpty());

    // The buttons themselves, left to right, each with its picture.
    auto *toolbar = control<QToolBar>("Toolbar1");
    const auto buttons = toolbar->actions();
    ASSERT_EQ(buttons.size(), 8);
    for (QAction *button : buttons) {
        EXPECT_FALSE(button->icon().isNull()) << button->text().toStdString();
        button->trigger();
    }
    QStringList expected;
    for (const auto &[key, item] : keys) {
        expected << QString::fromLatin1(item);
    }
    EXPECT_EQ(ran, expected);
}

TEST_F(TrayPauseMenuTest, MenuBarHasEveryCaptionAndShortcut) {
    start();
    struct Entry {
        const char *name;
        const char *caption;
        const char *shortcut;
        QStringList children;
    };
    const QList<Entry> table = {
        {"mnuexitnow", "Exit Now", "", {QStringLiteral("mnuexit")}},
        {"mnuexit", "E&xit", "", {}},
        {"mnumenu",
         "&Setup",
         "",
         {QStringLiteral("mnuSetup"), QStringLiteral("mnulog"), QStringLiteral("mnuemail"),
          QStringLiteral("mnucmd"), QStringLiteral("mnuAlert"), QStringLiteral("mnuAlertChannels"),
          QStringLiteral("mnuscan"), QStringLiteral("mnustupoptions"),
          QStringLiteral("mnurestartoptions")}},
        {"mnuSetup", "File and Internet Setup", "Ctrl+F", {}},
        {"mnulog", "Log File ", "Ctrl+L", {}},
        {"mnuemail", "E-mail Settings", "Ctrl+E", {}},
        {"mnucmd", "Command Line Settings", "Ctrl+C", {}},
        {"mnuAlert", "Visual and Audio Alert Options", "Ctrl+A", {}},
        {"mnuAlertChannels", "Alert Channels", "", {}},
        {"mnuscan", "Settings for Interval Scan of Executables", "Ctrl+S", {}},
        {"mnustupoptions",
         "Startup Options",
         "",
         {QStringLiteral("mnustartup"), QStringLiteral("mnudisable"), QStringLiteral("mnuiconyes"),
          QStringLiteral("mnunormalmode")}},
        {"mnustartup", "Start Perstando Automatically when Windows Starts", "Ctrl+T", {}},
        {"mnudisable", "Do not Start Perstando Automatically when Windows Starts", "Ctrl+D", {}},
        {"mnuiconyes", "Run Perstando in Icon Tray upon Startup", "", {}},
        {"mnunormalmode", "Run Perstando in Normal Mode upon Startup", "", {}},
        {"mnurestartoptions", "Restart &Options...", "Ctrl+O", {}},
        {"mnutools", "&Tools", "", {QStringLiteral("mnuapprunning")}},
        {"mnuapprunning", "Show Applications Running", "Ctrl+R", {}},
        {"mnulogview2", "Log", "", {QStringLiteral("mnuview")}},
        {"mnuview", "&View Log", "", {}},
        {"mnuhelp1", "&Help", "", {QStringLiteral("mnuhelp"), QStringLiteral("mnuabout")}},
        {"mnuhelp", "Help &Topics", "", {}},
        {"mnuabout", "&About", "", {}},
    };
    const auto namesOf = [](const QList<QAction *> &actions) {
        QStringList names;
        for (QAction *a : actions) {
            names << a->objectName();
        }
        return names;
    };
    EXPECT_EQ(namesOf(form_->menuBar()->actions()),
              (QStringList{QStringLiteral("mnuexitnow"), QStringLiteral("mnumenu"),
                           QStringLiteral("mnutools"), QStringLiteral("mnulogview2"),
                           QStringLiteral("mnuhelp1")}));
    for (const auto &entry : table) {
        SCOPED_TRACE(entry.name);
        QAction *action = nullptr;
        for (QAction *a : form_->findChildren<QAction *>(QString::fromLatin1(entry.name))) {
            if (!action || a->menu()) {
                action = a; // a submenu's own entry is the one in its parent menu
            }
        }
        ASSERT_NE(action, nullptr);
        EXPECT_EQ(action->text(), QString::fromUtf8(entry.caption));
        EXPECT_EQ(action->shortcut(), QKeySequence(QString::fromLatin1(entry.shortcut)));
        if (!entry.children.isEmpty()) {
            ASSERT_NE(action->menu(), nullptr);
            EXPECT_EQ(namesOf(action->menu()->actions()), entry.children);
        }
    }
}

TEST_F(TrayPauseMenuTest, StartModeItemsWriteTheKeyAndReportAFailedWrite) {
    writeSettings("; kept\n[exe1]\nname=Orders\n");
    start();
    menuItem("mnuiconyes")->trigger();
    EXPECT_EQ(ini::readValue("Startupmode", "InIconTray", settingsFile()), "Yes");
    EXPECT_FALSE(timer("icontray")->isEnabled()) << "the running program is not changed";
    menuItem("mnunormalmode")->trigger();
    EXPECT_EQ(readSettings(), "; kept\n[exe1]\nname=Orders\n[StartupMode]\nInIconTray=No\n");
    EXPECT_TRUE(messages_.shown.isEmpty());

    // A settings file that cannot be replaced: the user is told where and why.
    std::filesystem::remove(settingsFile());
    std::filesystem::create_directory(settingsFile());
    menuItem("mnuiconyes")->trigger();
    ASSERT_EQ(messages_.shown.size(), 1);
    EXPECT_TRUE(messages_.shown.first().text.contains(settings::pathText()));
    EXPECT_EQ(messages_.shown.first().title, QStringLiteral("Perstando"));
}

TEST_F(TrayPauseMenuTest, HelpShowsTheManualAtItsContentsAndReportsAMissingFile) {
    start();
    form_->runMenuItem(QStringLiteral("mnuhelp"));
    auto *help = ui::WindowRegistry::instance().find<HelpWindow>();
    ASSERT_NE(help, nullptr);
    EXPECT_TRUE(help->isVisible());
    const QString path = folderText() + QStringLiteral("/perstando.hlp");
    EXPECT_TRUE(help->shownText().contains(path));
    EXPECT_TRUE(help->shownText().contains(QStringLiteral("could not be opened")));

    // With the manual beside the program, the same window shows it from the top.
    copyProgramFile("perstando.hlp");
    form_->toolbarClick(QStringLiteral("help"));
    EXPECT_EQ(ui::WindowRegistry::instance().find<HelpWindow>(), help);
    const QString text = help->shownText();
    EXPECT_TRUE(text.startsWith(QStringLiteral("Perstando"))) << text.left(80).toStdString();
    for (const char *heading : {"Contents", "The main window", "Alarms", "Watching a script",
                                "Linux notes", "settings.ini"}) {
        EXPECT_TRUE(text.contains(QString::fromLatin1(heading))) << heading;
    }
    auto *browser = help->findChild<QTextBrowser *>(QStringLiteral("Browser"));
    help->resize(500, 300);
    EXPECT_EQ(browser->verticalScrollBar()->value(), 0);
    // Every link of the contents leads to a section.
    QStringList anchors;
    for (QTextBlock block = browser->document()->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            anchors += it.fragment().charFormat().anchorNames();
        }
    }
    const QString manual =
        QString::fromStdString(testing_support::readFile(folder_ / "perstando.hlp"));
    static const QRegularExpression link(QStringLiteral("\\]\\(#([^)]+)\\)"));
    int links = 0;
    for (const auto &match : link.globalMatch(manual)) {
        EXPECT_TRUE(anchors.contains(match.captured(1))) << match.captured(1).toStdString();
        ++links;
    }
    EXPECT_GT(links, 10);
    browser->setSource(QUrl(QStringLiteral("#linux-notes")));
    EXPECT_GT(browser->verticalScrollBar()->value(), 0);
}

TEST_F(TrayPauseMenuTest, ExitUnloadsEveryWindow) {
    writeSettings("[exe1]\nname=Orders\n");
    start();
    form_->showRestartPopup(1);
    form_->runMenuItem(QStringLiteral("mnuhelp"));
    ASSERT_EQ(ui::WindowRegistry::instance().loaded().size(), 3);
    menuItem("mnuexit")->trigger();
    ASSERT_TRUE(waitFor([] { return ui::WindowRegistry::instance().loaded().isEmpty(); }));
    form_ = nullptr;
}

} // namespace
