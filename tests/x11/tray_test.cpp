// The tray icon, the window states and the flashing on a real X server, with
// Debian's trayer as the notification area and openbox as window manager.

#include "engine/alarm_state.h"
#include "engine/watchdog.h"
#include "monitor/main_window.h"
#include "tests/gui/main_window_fixture.h"

#include <QGuiApplication>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>
#include <xcb/xcb.h>

using testing_support::Child;
using testing_support::Form1Test;

namespace {

xcb_connection_t *connection() {
    return qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
}

xcb_atom_t atom(const char *name) {
    auto *reply = xcb_intern_atom_reply(
        connection(), xcb_intern_atom(connection(), 0, static_cast<uint16_t>(strlen(name)), name),
        nullptr);
    const xcb_atom_t result = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    free(reply);
    return result;
}

/// The 32-bit values of a window property, empty when it is not set.
std::vector<uint32_t> property(xcb_window_t window, const char *name) {
    auto *reply = xcb_get_property_reply(
        connection(), xcb_get_property(connection(), 0, window, atom(name), XCB_ATOM_ANY, 0, 64),
        nullptr);
    std::vector<uint32_t> values;
    if (reply && reply->format == 32) {
        const auto *data = static_cast<const uint32_t *>(xcb_get_property_value(reply));
        values.assign(data, data + xcb_get_property_value_length(reply) / 4);
    }
    free(reply);
    return values;
}

xcb_window_t root() {
    return xcb_setup_roots_iterator(xcb_get_setup(connection())).data->root;
}

class TrayTest : public Form1Test {
protected:
    void TearDown() override {
        Form1Test::TearDown();
        trayer_ = Child();
        windowManager_ = Child();
        // Qt must see the notification area go before the next test asks for one.
        EXPECT_TRUE(waitFor([] { return !QSystemTrayIcon::isSystemTrayAvailable(); }));
    }
    void startTrayHost() {
        trayer_ = Child({"/usr/bin/trayer", "--edge", "top", "--align", "right", "--widthtype",
                         "request", "--height", "32", "--SetDockType", "true"});
        ASSERT_TRUE(waitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10000))
            << "trayer did not take the notification area";
    }
    void startWindowManager() {
        windowManager_ = Child({"/usr/bin/openbox", "--sm-disable"});
        ASSERT_TRUE(
            waitFor([] { return !property(root(), "_NET_SUPPORTING_WM_CHECK").empty(); }, 10000))
            << "openbox did not start";
    }
    QSystemTrayIcon *tray() const { return control<QSystemTrayIcon>("TrayIcon1"); }
    xcb_window_t formWindow() const { return static_cast<xcb_window_t>(form_->winId()); }
    bool wmStateIs(uint32_t wanted) const {
        const auto state = property(formWindow(), "WM_STATE");
        return !state.empty() && state[0] == wanted;
    }
    /// Clicks the icon in the notification area: the tray's restore event.
    void clickTrayIcon() const {
        // The icon sits in the tray host once it has been given a place on the screen.
        ASSERT_TRUE(waitFor([&] { return tray()->geometry().width() > 0; }));
        QWidget *iconWidget = nullptr;
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (QString::fromLatin1(w->metaObject()->className()) == u"QSystemTrayIconSys" &&
                w->isVisible()) {
                iconWidget = w;
            }
        }
        ASSERT_NE(iconWidget, nullptr);
        QTest::mousePress(iconWidget, Qt::LeftButton);
    }
    /// Asks the window manager to bring the window back, as a task bar or pager does.
    void activateThroughWindowManager() const {
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = formWindow();
        message.type = atom("_NET_ACTIVE_WINDOW");
        message.data.data32[0] = 2; // from a pager
        message.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(connection(), 0, root(),
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char *>(&message));
        xcb_flush(connection());
    }
    static constexpr uint32_t Normal = 1;
    static constexpr uint32_t Iconic = 3;

    Child trayer_;
    Child windowManager_;
};

TEST_F(TrayTest, StartInTheTrayHidesTheWindowAndRestoreBringsItBack) {
    startTrayHost();
    writeSettings("[StartupMode]\nInIconTray=Yes\n");
    start();
    ASSERT_TRUE(waitFor([&] { return !form_->isVisible() && tray()->isVisible(); }));
    // A click on the icon is the restore event; the icon goes away with the press.
    clickTrayIcon();
    ASSERT_TRUE(waitFor([&] { return form_->isVisible() && form_->windowHandle()->isExposed(); }));
    EXPECT_FALSE(tray()->isVisible());

    // "Send to Tray" does the same as the start in the tray.
    QTest::mouseClick(control<QPushButton>("Command2"), Qt::LeftButton);
    EXPECT_FALSE(form_->isVisible());
    EXPECT_TRUE(tray()->isVisible());
}

TEST_F(TrayTest, WithoutANotificationAreaTheWindowIsMinimizedInstead) {
    startWindowManager();
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    writeSettings("[StartupMode]\nInIconTray=Yes\n");
    start();
    constexpr uint32_t iconic = 3;
    ASSERT_TRUE(waitFor([&] {
        const auto state = property(formWindow(), "WM_STATE");
        return !state.empty() && state[0] == iconic;
    })) << "openbox did not iconify the window";
    EXPECT_TRUE(form_->isVisible());
    EXPECT_TRUE(form_->isMinimized());

    form_->restoreFromTray();
    ASSERT_TRUE(waitFor([&] {
        const auto state = property(formWindow(), "WM_STATE");
        return !state.empty() && state[0] == 1; // normal
    }));
}

// Minimized for want of a notification area, brought back by the window
// manager, then sent to a tray that has come meanwhile: every later click on
// the icon brings the window back as a normal one.
TEST_F(TrayTest, ATrayThatComesLaterRestoresAWindowOnceMinimizedInstead) {
    // Openbox and a tray host under a loaded machine: waits are long, passes short.
    constexpr int Generous = 20000;
    startWindowManager();
    start();
    ASSERT_TRUE(waitFor([&] { return wmStateIs(Normal); }, Generous));
    QTest::mouseClick(control<QPushButton>("Command2"), Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return wmStateIs(Iconic); }, Generous))
        << "openbox did not iconify it";
    // Asked again while it stays iconic: a loaded openbox may pass over the first request.
    // Back means mapped and shown by X; Qt's own state may still say minimized then.
    ASSERT_TRUE(waitFor(
        [&] {
            if (wmStateIs(Iconic)) {
                activateThroughWindowManager();
            }
            return wmStateIs(Normal) && form_->windowHandle()->isExposed();
        },
        Generous))
        << "openbox did not bring it back";

    startTrayHost();
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        QTest::mouseClick(control<QPushButton>("Command2"), Qt::LeftButton);
        ASSERT_TRUE(waitFor([&] { return !form_->isVisible() && tray()->isVisible(); }, Generous));
        clickTrayIcon();
        bool iconic = false;
        EXPECT_TRUE(waitFor(
            [&] {
                iconic = iconic || wmStateIs(Iconic);
                return wmStateIs(Normal) && form_->windowHandle()->isExposed() &&
                       !form_->isMinimized();
            },
            Generous))
            << "the window stayed iconic";
        EXPECT_FALSE(iconic) << "the window came back minimized";
        EXPECT_FALSE(tray()->isVisible());
    }
}

TEST_F(TrayTest, VisualAlarmTogglesDemandsAttentionAndStaysQuietForThreePeriodsOnceAcknowledged) {
    startWindowManager();
    start();
    ASSERT_TRUE(waitFor([&] { return form_->windowHandle()->isExposed(); }));
    // An active window is never marked, so another window takes the focus.
    QWidget other;
    other.setWindowTitle(QStringLiteral("other"));
    other.show();
    other.activateWindow();
    ASSERT_TRUE(waitFor([&] { return other.isActiveWindow(); }));

    timer("flashtmr")->setIntervalMs(300);
    form_->watchdog().alarms().raiseVisual();
    const xcb_atom_t demands = atom("_NET_WM_STATE_DEMANDS_ATTENTION");
    const auto marked = [&] {
        const auto state = property(formWindow(), "_NET_WM_STATE");
        return std::find(state.begin(), state.end(), demands) != state.end();
    };
    ASSERT_TRUE(waitFor(marked));
    ASSERT_TRUE(waitFor([&] { return !marked(); }));
    ASSERT_TRUE(waitFor(marked)) << "it blinks";

    form_->acknowledgeAlarms();
    ASSERT_TRUE(waitFor([&] { return !marked(); }));
    EXPECT_TRUE(holdsFor([&] { return !marked(); }, 900));
}

} // namespace
