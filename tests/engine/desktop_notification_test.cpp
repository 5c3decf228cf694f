// Desktop notifications as a channel of the event stream, shown by a
// notification server on a private session bus: what is shown for which
// event, what its buttons do, and what happens when no server answers.

#include "engine/alarm_state.h"
#include "engine/desktop_notifier.h"
#include "tests/engine/program_folder_test.h"
#include "tests/engine/wait_with_events.h"
#include "tests/support/notification_server.h"
#include "tests/support/scoped_env.h"
#include "tests/support/secret_service.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <optional>

using namespace testing_support;

namespace {

const QStringList Actions{QStringLiteral("acknowledge"), QStringLiteral("Acknowledge"),
                          QStringLiteral("open-log"), QStringLiteral("Open Log")};

class DesktopNotificationTest : public ReapingFolderTest {
protected:
    void SetUp() override {
        ReapingFolderTest::SetUp();
        // No service files on this bus: no real notification server is started on demand.
        bus_ = std::make_unique<SecretServiceSession>(SecretServiceSession::Keyring::None);
        busEnv_.emplace("DBUS_SESSION_BUS_ADDRESS", bus_->address());
        dataHome_.emplace("XDG_DATA_HOME", (folder_ / "data").string());
        dataDirs_.emplace("XDG_DATA_DIRS", (folder_ / "system").string());
        std::filesystem::create_directories(folder_ / "data/applications");
        std::filesystem::create_directories(folder_ / "system/applications");
    }
    void TearDown() override {
        ReapingFolderTest::TearDown();
        server_.reset();
    }
    QString address() const { return QString::fromStdString(bus_->address()); }
    void startServer(QStringList capabilities = {QStringLiteral("actions"),
                                                 QStringLiteral("body")}) {
        server_.reset(); // the name is free before another takes it
        server_ = std::make_unique<NotificationServer>(address(), std::move(capabilities));
    }
    /// A watchdog watching `exe` in slot 2 as `name` with `more` settings.
    engine::SlotWatcher &watch(const std::filesystem::path &exe, const std::string &more,
                               const std::string &name = "Orders") {
        return start("[exe2]\nname=" + name + "\npath=" + exe.string() + "\ntimer=60000\n" + more);
    }
    size_t shownCount() const { return server_->shown().size(); }

    std::unique_ptr<SecretServiceSession> bus_;
    std::optional<ScopedEnv> busEnv_, dataHome_, dataDirs_;
    std::unique_ptr<NotificationServer> server_;
};

TEST_F(DesktopNotificationTest, TheChosenEventsAreShownWithTextUrgencyActionsAndIcon) {
    struct Expected {
        std::string body; ///< "": the gave-up sentence
        int urgency;
    };
    struct Case {
        std::string events;
        QStringList capabilities;
        std::string name;
        std::vector<Expected> expected;
    };
    const Expected first{"Orders has been restarted.", 1};
    const Expected second{"Orders has been restarted.\nLast exit: killed by signal 9 (SIGKILL)", 1};
    const std::vector<Case> cases{
        {"restarted, gave up", {QStringLiteral("actions")}, "Orders", {first, second, {"", 2}}},
        {"Gave Up", {QStringLiteral("actions")}, "Orders", {{"", 2}}},
        // A server that reads markup must not take a name for markup.
        {"restarted",
         {QStringLiteral("actions"), QStringLiteral("body-markup")},
         "Orders & <b>Co</b>",
         {{"Orders &amp; &lt;b&gt;Co&lt;/b&gt; has been restarted.", 1},
          {"Orders &amp; &lt;b&gt;Co&lt;/b&gt; has been restarted.\nLast exit: killed by signal 9 "
           "(SIGKILL)",
           1}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.events);
        startServer(c.capabilities);
        const auto exe = program("notified");
        // The user's entries come before the system's.
        writeFile(folder_ / "data/applications/orders.desktop",
                  "[Desktop Entry]\nType=Application\nName=Orders\nExec=\"" +
                      exe.filename().string() + "\" %U\nIcon=orders-icon\n");
        writeFile(folder_ / "system/applications/orders.desktop",
                  "[Desktop Entry]\nExec=" + exe.string() + "\nIcon=system-icon\n");
        auto &watcher = watch(
            exe, "giveup=2\ngiveupminutes=5\n[notify]\non=On\nevents=" + c.events + "\n", c.name);
        watcher.tick(2);
        killAndCheck(watcher, exe);
        killAndCheck(watcher, exe); // the third start would pass the limit: gave up
        ASSERT_TRUE(waitWithEvents([&] { return shownCount() == c.expected.size(); }));
        for (size_t i = 0; i < c.expected.size(); ++i) {
            const NotificationServer::Shown &shown = server_->shown()[i];
            const std::string body = shown.body.toStdString();
            if (c.expected[i].body.empty()) {
                EXPECT_NE(body.find("is no longer restarted"), std::string::npos) << body;
            } else {
                EXPECT_EQ(body, c.expected[i].body);
            }
            EXPECT_EQ(shown.urgency, c.expected[i].urgency) << body;
            EXPECT_EQ(shown.app, u"Perstando");
            EXPECT_EQ(shown.summary, u"Perstando");
            EXPECT_EQ(shown.replaces, 0u);
            EXPECT_EQ(shown.timeout, -1);
            EXPECT_EQ(shown.actions, Actions);
            EXPECT_EQ(shown.icon, u"orders-icon");
            EXPECT_EQ(shown.desktopEntry, u"perstando");
        }
        watchdog_.reset();
        killAll(exe);
    }
}

TEST_F(DesktopNotificationTest, OnlyOurServersButtonsOnOurNotificationsActAndEachDoesItsPart) {
    startServer();
    const auto exe = program("acted");
    auto &watcher = watch(exe, "[Alerts]\nvisual=On\naudio=On\n[notify]\non=On\n");
    int openLog = 0;
    QObject::connect(watchdog_.get(), &engine::Watchdog::openLogRequested, watchdog_.get(),
                     [&] { ++openLog; });
    watcher.tick(2);
    ASSERT_TRUE(waitWithEvents([&] { return shownCount() == 1; }));
    const uint ours = server_->shown().front().id;
    ASSERT_TRUE(watchdog_->alarms().visualRaised() && watchdog_->alarms().audioRaised());

    // Another program's notification, a click on the body, and a stranger on
    // the bus who claims our id: none of them acknowledges.
    server_->invoke(ours + 100, QStringLiteral("acknowledge"));
    server_->invoke(ours, QStringLiteral("default"));
    QDBusConnection stranger = QDBusConnection::connectToBus(address(), QStringLiteral("stranger"));
    QDBusMessage claim = QDBusMessage::createSignal(
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("ActionInvoked"));
    claim << ours << QStringLiteral("acknowledge");
    ASSERT_TRUE(stranger.send(claim));
    // The bus has routed the claim once it answers the stranger's next call.
    stranger.call(QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId")));
    QDBusConnection::disconnectFromBus(QStringLiteral("stranger"));

    server_->invoke(ours, QStringLiteral("open-log"));
    ASSERT_TRUE(waitWithEvents([&] { return openLog == 1; }));
    EXPECT_TRUE(watchdog_->alarms().visualRaised()) << "nothing before acknowledged";
    EXPECT_TRUE(watchdog_->alarms().audioRaised());

    server_->invoke(ours, QStringLiteral("acknowledge"));
    ASSERT_TRUE(waitWithEvents([&] { return !watchdog_->alarms().visualRaised(); }));
    EXPECT_FALSE(watchdog_->alarms().audioRaised());
    EXPECT_EQ(openLog, 1);
}

TEST_F(DesktopNotificationTest, AMissingServerIsLoggedOnceUntilOneIsShownAndNothingElseWaits) {
    const auto exe = program("unheard");
    auto &watcher = watch(exe, "[Alerts]\nPop=On\n[notify]\non=On\n");
    int popups = 0;
    int failures = 0;
    QObject::connect(watchdog_.get(), &engine::Watchdog::popupRequested, watchdog_.get(),
                     [&] { ++popups; });
    QObject::connect(&watchdog_->notifier(), &engine::DesktopNotifier::unavailable, watchdog_.get(),
                     [&] { ++failures; });
    const std::string line = "notify: no notification server answers: ";

    // Each restart fails on its own, and the program is back each time.
    watcher.tick(2);
    ASSERT_TRUE(waitWithEvents([&] { return failures == 1; }));
    for (int restart = 2; restart <= 3; ++restart) {
        killAndCheck(watcher, exe);
        ASSERT_TRUE(waitWithEvents([&] { return failures == restart; }));
    }
    EXPECT_EQ(occurrences(logText(), line), 1) << logText();
    EXPECT_EQ(watchdog_->counters().deliveryFailures(engine::AlertChannel::Notify), 3u);
    EXPECT_EQ(occurrences(logText(), "Orders has been restarted."), 3);
    EXPECT_EQ(popups, 3);
    EXPECT_EQ(pidsOf(exe).size(), 1u);

    // The window's test is told, not logged.
    std::optional<std::pair<bool, QString>> tested;
    watchdog_->notifier().sendTest([&](bool ok, const QString &text) { tested = {ok, text}; });
    ASSERT_TRUE(waitWithEvents([&] { return tested.has_value(); }));
    EXPECT_FALSE(tested->first);
    EXPECT_EQ(occurrences(logText(), line), 1);

    startServer();
    tested.reset();
    watchdog_->notifier().sendTest([&](bool ok, const QString &text) { tested = {ok, text}; });
    ASSERT_TRUE(waitWithEvents([&] { return tested.has_value(); }));
    EXPECT_TRUE(tested->first);
    EXPECT_EQ(tested->second, u"Shown by testserver 1.2.3");

    // Shown again: the next outage is worth a line of its own.
    server_.reset();
    killAndCheck(watcher, exe);
    ASSERT_TRUE(waitWithEvents([&] { return failures == 4; }));
    EXPECT_EQ(occurrences(logText(), line), 2) << logText();
    // The failed tests are no alerts lost.
    EXPECT_EQ(watchdog_->counters().deliveryFailures(engine::AlertChannel::Notify), 4u);
}

TEST_F(DesktopNotificationTest, WithoutASessionBusTheRestartIsLoggedWithWhy) {
    busEnv_.reset();
    busEnv_.emplace("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (folder_ / "no-bus").string());
    const auto exe = program("busless");
    watch(exe, "[notify]\non=On\n").tick(2);
    ASSERT_TRUE(waitWithEvents([&] {
        return occurrences(logText(), "notify: no notification server answers: no session bus") ==
               1;
    })) << logText();
    EXPECT_EQ(occurrences(logText(), "Orders has been restarted."), 1);
}

TEST_F(DesktopNotificationTest, SwitchedOffNothingTouchesTheBus) {
    const auto exe = program("quiet");
    auto &watcher = watch(exe, "[notify]\non=Off\nevents=bogus\n");
    watcher.tick(2);
    killAndCheck(watcher, exe);
    EXPECT_EQ(occurrences(logText(), "Orders has been restarted."), 2);
    EXPECT_EQ(occurrences(logText(), "notify"), 0) << logText();
    EXPECT_EQ(bus_->connections(), 1) << "only the count's own";
}

} // namespace
