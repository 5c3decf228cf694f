#include "monitor/main_window.h"

#include "dialogs/alert_channels_dialog.h"
#include "dialogs/email_dialog.h"
#include "dialogs/setup_dialog.h"
#include "engine/alarm_state.h"
#include "engine/internet_watch.h"
#include "engine/locale_text.h"
#include "engine/mailer.h"
#include "engine/slot_state.h"
#include "engine/slot_watcher.h"
#include "engine/switched_timer.h"
#include "engine/watchdog.h"
#include "monitor/restart_popup.h"
#include "ui/activation_tracker.h"
#include "ui/message_box.h"
#include "ui/window_registry.h"
#include "viewers/log_viewer.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace {

/// The width that shows the longest status line of any state in `line`'s
/// font, at most half the screen.
int statusWidth(const QLineEdit *line) {
    const QFontMetrics metrics = line->fontMetrics();
    int widest = 0;
    for (int phase = static_cast<int>(engine::Phase::Running);
         phase <= static_cast<int>(engine::Phase::Closed); ++phase) {
        for (const int hour : {0, 8, 10, 12, 20, 23}) {
            engine::SlotState state;
            state.phase = static_cast<engine::Phase>(phase);
            state.since = state.lastCheck = QDateTime(QDate(2026, 12, 28), QTime(hour, 58, 58));
            widest = std::max(widest, metrics.horizontalAdvance(engine::statusLine(state)));
        }
    }
    QStyleOptionFrame option;
    option.initFrom(line);
    option.lineWidth = line->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, line);
    const QMargins margins = line->textMargins() + line->contentsMargins();
    // A line edit keeps 2 pixels beside its text, and 1 for the cursor.
    const QSize text(widest + 5 + margins.left() + margins.right(), line->sizeHint().height());
    int width = line->style()->sizeFromContents(QStyle::CT_LineEdit, &option, text, line).width();
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        width = std::min(width, screen->availableGeometry().width() / 2 - 60);
    }
    return std::max(width, 220);
}

} // namespace

MainWindow::MainWindow(engine::Watchdog &watchdog, QWidget *parent)
    : QMainWindow(parent), watchdog_(&watchdog) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(restingCaption());
    ui::WindowRegistry::instance().add(this);
    registerWindowFactories();

    flashTimer_ = new engine::SwitchedTimer(QStringLiteral("flashtmr"), 1000, false, this);
    trayTimer_ = new engine::SwitchedTimer(QStringLiteral("icontray"), 100, false, this);

    auto *central = new QWidget(this);
    setCentralWidget(central);
    buildSlots(central);
    buildMenus();
    buildToolbar();
    buildStatusBar();
    trayIcon_ = new QSystemTrayIcon(this);
    trayIcon_->setObjectName(QStringLiteral("TrayIcon1"));
    watchdog_->mailer().setConfirm([this](const QString &text,
                                          const engine::Mailer::Answer &answer) {
        ui::ask(
            this,
            {text, ui::programTitle(), QMessageBox::NoIcon, QMessageBox::Yes | QMessageBox::No},
            [answer](QMessageBox::StandardButton pressed) { answer(pressed == QMessageBox::Yes); });
    });
    buildTrayIcon();
    prepareAlarms();
    observeWatchdog();

    connect(trayButton_, &QPushButton::clicked, this, &MainWindow::sendToTray);
    connect(acknowledgeButton_, &QPushButton::clicked, this, &MainWindow::acknowledgeAlarms);
    connect(pauseBox_, &QCheckBox::toggled, watchdog_, &engine::Watchdog::setPaused);
    connect(trayTimer_, &QTimer::timeout, this, [this] {
        sendToTray();
        trayTimer_->setEnabled(false);
    });
    trayIcon_->setVisible(false);

    ui::ActivationTracker::instance().watch(this, [this] { activate(); });
    installMenuShortcutsFirst();
    // Not shown yet: the panel and the animation wait for the first show.
    watchdog_->setShown(false);
}

MainWindow::~MainWindow() {
    // The factories hand out this window's watchdog.
    ui::WindowRegistry::instance().clearFactories();
}

void MainWindow::registerWindowFactories() {
    auto &registry = ui::WindowRegistry::instance();
    engine::Watchdog *watchdog = watchdog_;
    registry.setFactory<SetupDialog>([watchdog] { return new SetupDialog(watchdog); });
    registry.setFactory<EmailDialog>([watchdog] { return new EmailDialog(watchdog); });
    registry.setFactory<AlertChannelsDialog>(
        [watchdog] { return new AlertChannelsDialog(watchdog); });
    registry.setFactory<LogViewer>([watchdog] { return new LogViewer(watchdog); });
}

QString MainWindow::restingCaption() {
    return QStringLiteral("Perstando (Tenacor)") + QString(47, QLatin1Char(' '));
}

void MainWindow::observeWatchdog() {
    auto &watcher = watchdog_->slotWatcher();
    connect(&watcher, &engine::SlotWatcher::nameChanged, this,
            [this](int slot, const QString &name) { slotViews_[slot - 1].frame->setTitle(name); });
    connect(&watcher, &engine::SlotWatcher::stateChanged, this, [this](int slot) {
        // Hidden in the tray, eight lines laid out afresh every second
        // were a fifth of the idle cost; they are filled in on show.
        if (shown_) {
            showStatusLine(slot);
        } else {
            statusLinesStale_ = true;
        }
    });
    // Slot 1's check shows its program in the setup dialog, loading it hidden when needed.
    connect(&watcher, &engine::SlotWatcher::checked, this, [](int slot, const QString &program) {
        if (slot == 1) {
            ui::WindowRegistry::instance().load<SetupDialog>()->setProgramOfSlotOne(program);
        }
    });
    connect(watchdog_, &engine::Watchdog::popupRequested, this,
            [this](int slot, const QString &, bool failed) { showRestartPopup(slot, failed); });
    connect(watchdog_, &engine::Watchdog::giveUpPopupRequested, this,
            [](int slot, const QString &sentence) { showGiveUpPopupOf(slot, sentence); });
    connect(watchdog_, &engine::Watchdog::started, this, [this] {
        showPause();
        trayTimer_->setEnabled(watchdog_->settings().startInTray);
    });
    // "Open Log" on a desktop notification, as View Log in the menu.
    connect(watchdog_, &engine::Watchdog::openLogRequested, this,
            [] { ui::WindowRegistry::instance().show<LogViewer>(); });
    connect(watchdog_, &engine::Watchdog::settingsRead, this, &MainWindow::showSettings);
    connect(watchdog_, &engine::Watchdog::panelRefreshed, this, &MainWindow::showPanel);
    connect(watchdog_, &engine::Watchdog::activityTicked, this, &MainWindow::showNextActivityFrame);
    connect(watchdog_, &engine::Watchdog::pausedChanged, this, &MainWindow::showPause);
    connect(
        &watchdog_->internetWatch(), &engine::InternetWatch::checked, this, [this](bool connected) {
            internetPicture_->setToolTip(connected
                                             ? QStringLiteral("Internet Connection is now Active")
                                             : QStringLiteral("Internet Connection has been Lost"));
        });
}

QLineEdit *MainWindow::slotStatus(int slot) const {
    showStatusLines();
    return slotViews_[static_cast<std::size_t>(slot - 1)].status;
}

QString MainWindow::slotName(int slot) const {
    return slotViews_[static_cast<std::size_t>(slot - 1)].frame->title();
}

void MainWindow::activate() {
    watchdog_->setPaused(false);
    watchdog_->reload();
}

void MainWindow::showSettings() {
    const QString &problem = watchdog_->settings().problem;
    if (problem.isEmpty()) {
        statusBar_->clearMessage();
    } else {
        statusBar_->showMessage(problem);
    }
    showTrayToolTip(); // it carries the problem
}

void MainWindow::showPanel() {
    const auto &current = watchdog_->settings();
    for (std::size_t i = 0; i < slotViews_.size(); ++i) {
        slotViews_[i].commandPicture->setVisible(current.perSlot[i].commandLineOn);
    }
    internetPicture_->setVisible(current.watchInternet);
}

void MainWindow::showNextActivityFrame() {
    frame_ = frame_ + 1 >= 10 ? 1 : frame_ + 1;
    for (QLabel *picture : activityPictures_) {
        picture->setVisible(false);
    }
    activityPictures_[static_cast<std::size_t>(9 - frame_)]->setVisible(true);
}

void MainWindow::closeEvent(QCloseEvent *event) {
    event->accept();
    ui::WindowRegistry::instance().unloadAll();
    trayIcon_->setVisible(false);
    QApplication::quit();
}

void MainWindow::showStatusLine(int slot) const {
    QLineEdit *line = slotViews_[static_cast<std::size_t>(slot - 1)].status;
    // The same text again would repaint the line and put its cursor back.
    if (const QString text = watchdog_->slotWatcher().status(slot); line->text() != text) {
        line->setText(text);
        // setText leaves the cursor at the end, and a line too narrow would
        // then show the end of its text: the time, without the state.
        line->setCursorPosition(0);
    }
}

void MainWindow::showStatusLines() const {
    if (!statusLinesStale_) {
        return;
    }
    statusLinesStale_ = false;
    for (int n = 1; n <= settings::SlotCount; ++n) {
        showStatusLine(n);
    }
}

void MainWindow::setShown(bool shown) {
    if (shown_ == shown) {
        return;
    }
    shown_ = shown;
    if (shown) {
        showStatusLines();
        showClock_();
        clockTimer_->start();
    } else {
        clockTimer_->stop();
    }
    watchdog_->setShown(shown);
}

void MainWindow::hideEvent(QHideEvent *event) {
    QMainWindow::hideEvent(event);
    setShown(false);
}

void MainWindow::changeEvent(QEvent *event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) {
        setShown(isVisible() && !isMinimized());
    }
}

void MainWindow::showEvent(QShowEvent *event) {
    setShown(!isMinimized());
    QMainWindow::showEvent(event);
    if (!firstShowDone_) {
        // The first show activates the window whether or not the desktop gives
        // it the focus.
        firstShowDone_ = true;
        ui::ActivationTracker::instance().noteActive(this);
        activate();
    }
}

void MainWindow::sendToTray() {
    trayIcon_->setVisible(true);
    // Hidden with no notification area to show the icon in, the program could
    // not be reached again.
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        hide();
    } else {
        showMinimized();
    }
}

void MainWindow::buildSlots(QWidget *central) {
    auto *outer = new QVBoxLayout(central);
    auto *grid = new QGridLayout();
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(8);
    for (int n = 1; n <= settings::SlotCount; ++n) {
        auto &slot = slotViews_[static_cast<std::size_t>(n - 1)];
        slot.frame = new QGroupBox(central);
        slot.frame->setObjectName(QStringLiteral("Frame%1").arg(n));
        auto *row = new QHBoxLayout(slot.frame);
        slot.status = new QLineEdit(slot.frame);
        slot.status->setObjectName(QStringLiteral("Text%1").arg(n));
        slot.status->setReadOnly(true);
        slot.status->setToolTip(QStringLiteral("This is the display for Exe%1").arg(n));
        slot.status->setMinimumWidth(statusWidth(slot.status));
        // Opaque, so that its new text every second repaints the line alone,
        // not the frame and window beneath it; the corners its rounded frame
        // leaves get the window's colour they had.
        slot.status->setBackgroundRole(QPalette::Window);
        slot.status->setAutoFillBackground(true);
        slot.commandPicture = new QLabel(slot.frame);
        slot.commandPicture->setObjectName(QStringLiteral("Picture%1").arg(n + 17));
        slot.commandPicture->setToolTip(QStringLiteral("Command Line Enabled"));
        slot.commandPicture->setPixmap(QPixmap(QStringLiteral(":/pictures/cmdline.png")));
        slot.commandPicture->setFixedWidth(20);
        slot.commandPicture->setVisible(false);
        row->addWidget(slot.status, 1);
        row->addWidget(slot.commandPicture);
        grid->addWidget(slot.frame, (n - 1) % 4, (n - 1) / 4);
    }
    outer->addLayout(grid);
    auto *bottom = new QHBoxLayout();
    buildControls(central, bottom);
    outer->addLayout(bottom);
}

void MainWindow::buildControls(QWidget *central, QBoxLayout *bottom) {
    auto *activityBox = new QWidget(central);
    auto *activityLayout = new QGridLayout(activityBox);
    activityLayout->setContentsMargins(0, 0, 0, 0);
    for (int i = 0; i < 9; ++i) {
        auto *picture = new QLabel(activityBox);
        picture->setObjectName(QStringLiteral("Picture%1").arg(i + 1));
        picture->setFixedSize(32, 32);
        picture->setPixmap(QPixmap(QStringLiteral(":/pictures/hourglass_%1.png").arg(i + 1)));
        picture->setVisible(false);
        activityLayout->addWidget(picture, 0, 0);
        activityPictures_[static_cast<std::size_t>(i)] = picture;
    }
    activityPictures_[8]->setToolTip(
        QStringLiteral("If hourglass is running, an exe check is occurring."));
    bottom->addWidget(activityBox);

    internetPicture_ = new QLabel(central);
    internetPicture_->setObjectName(QStringLiteral("Picture10"));
    internetPicture_->setFixedSize(32, 32);
    internetPicture_->setPixmap(QPixmap(QStringLiteral(":/pictures/internet.png")));
    internetPicture_->setVisible(false);
    bottom->addWidget(internetPicture_);

    warningPicture_ = new QLabel(central);
    warningPicture_->setObjectName(QStringLiteral("Gif89a1"));
    warningPicture_->setFixedSize(48, 48);
    bottom->addWidget(warningPicture_);
    bottom->addStretch(1);

    pauseBox_ = new QCheckBox(QStringLiteral("&Pause Checking"), central);
    pauseBox_->setObjectName(QStringLiteral("Check1"));
    pauseBox_->setToolTip(QStringLiteral(
        "By clicking \"Pause Checking,\" all monitoring will stop.  This is useful when a user is "
        "configuring Perstando, or if the user just wants to pause Perstando."));
    bottom->addWidget(pauseBox_);

    acknowledgeButton_ = new QPushButton(QStringLiteral("Alarm Acknowledge&ment"), central);
    acknowledgeButton_->setObjectName(QStringLiteral("Command1"));
    acknowledgeButton_->setToolTip(QStringLiteral("Click here to stop all alarms"));
    bottom->addWidget(acknowledgeButton_);

    trayButton_ = new QPushButton(QStringLiteral("Send to &Tray"), central);
    trayButton_->setObjectName(QStringLiteral("Command2"));
    bottom->addWidget(trayButton_);
}

void MainWindow::buildStatusBar() {
    statusBar_ = statusBar();
    statusBar_->setObjectName(QStringLiteral("StatusBar1"));
    auto *product = new QLabel(QStringLiteral("Perstando"), statusBar_);
    auto *date = new QLabel(statusBar_);
    auto *time = new QLabel(statusBar_);
    statusBar_->addWidget(product, 1);
    statusBar_->addPermanentWidget(date);
    statusBar_->addPermanentWidget(time);
    // As wide as the widest time of the day, fixed: a new second then lays
    // out nothing, and the clock does not shift as its digits change.
    int widest = 0;
    for (const int hour : {0, 8, 10, 12, 20, 23}) {
        time->setText(engine::longTime(QTime(hour, 58, 8)));
        widest = std::max(widest, time->sizeHint().width());
    }
    time->setFixedSize(widest, time->sizeHint().height());
    // The date is written out again only when it changes.
    showClock_ = [date, time, shown = QDate()]() mutable {
        const auto now = QDateTime::currentDateTime();
        if (now.date() != shown) {
            shown = now.date();
            date->setText(engine::shortDate(shown));
        }
        time->setText(engine::longTime(now.time()));
    };
    showClock_();
    // Nobody reads the clock of a window in the tray: it ticks while shown.
    clockTimer_ = new QTimer(this);
    clockTimer_->setObjectName(QStringLiteral("ClockTimer"));
    clockTimer_->setInterval(1000);
    connect(clockTimer_, &QTimer::timeout, this, [this] { showClock_(); });
}
