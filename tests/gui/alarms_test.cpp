#include "engine/hang_watch.h"
#include "engine/locale_text.h"
#include "engine/slot_watcher.h"
#include "engine/watchdog.h"
#include "monitor/alarm_sound.h"
#include "monitor/restart_popup.h"
#include "monitor/window_flash.h"
#include "tests/gui/main_window_fixture.h"
#include "ui/window_registry.h"

#include <QLabel>
#include <QLineEdit>
#include <QMovie>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <map>

using testing_support::Form1Test;

namespace {

/// Alarms as restarts raise them: each slot watches a real program that the
/// test kills, so the slot's tick starts it again and raises what is switched on.
class AlarmsTest : public Form1Test {
protected:
    void SetUp() override {
        Form1Test::SetUp();
        RestartPopup::setBeeper([this] { ++beeps_; });
        for (int slot : {2, 3, 7}) {
            programs_[slot] = testing_support::copyExecutable(
                WATCHED_PROGRAM, folder_.path(), testing_support::uniqueName("watched"));
        }
    }
    void TearDown() override {
        for (const auto &[slot, exe] : programs_) {
            testing_support::killAll(exe);
        }
        RestartPopup::setBeeper({});
        Form1Test::TearDown();
    }
    void startWithSwitches(const std::string &visual, const std::string &audio,
                           const std::string &pop) {
        std::string settings;
        const std::pair<int, const char *> names[] = {
            {2, "Billing"}, {3, "Orders"}, {7, "Mail relay"}};
        for (const auto &[slot, name] : names) {
            settings += "[exe" + std::to_string(slot) + "]\nname=" + name +
                        "\npath=" + programs_[slot].string() + "\n";
        }
        writeSettings(settings + "[Alerts]\nvisual=" + visual + "\naudio=" + audio +
                      "\nPop=" + pop + "\n");
        start();
    }
    /// Kills the slot's program and lets the slot's tick find it gone.
    void restart(int slot) {
        const auto &exe = programs_[slot];
        testing_support::killAll(exe);
        ASSERT_TRUE(
            testing_support::waitUntil([&] { return testing_support::pidsOf(exe).empty(); }));
        form_->watchdog().slotWatcher().tick(slot);
        ASSERT_TRUE(form_->slotStatus(slot)->text().startsWith(u"Restarted: "))
            << form_->slotStatus(slot)->text().toStdString();
    }
    static QList<RestartPopup *> popups() {
        QList<RestartPopup *> found;
        for (QWidget *w : ui::WindowRegistry::instance().loaded()) {
            if (auto *popup = qobject_cast<RestartPopup *>(w)) {
                found.append(popup);
            }
        }
        return found;
    }
    static QString textOf(const RestartPopup *popup) {
        return popup->findChild<QLabel *>(QStringLiteral("Label1"))->text();
    }
    AlarmSound *sound() const { return control<AlarmSound>("MMControl1"); }
    QLabel *picture() const { return control<QLabel>("Gif89a1"); }
    /// Runs the alarm timers fast so a test sees several ticks.
    void speedUpAlarmTimers() const {
        timer("Timer12")->setIntervalMs(40);
        timer("flashtmr")->setIntervalMs(40);
    }
    void closeAllWindows() const {
        for (QWidget *w : ui::WindowRegistry::instance().loaded()) {
            delete w;
        }
    }
    int beeps_ = 0;
    std::map<int, std::filesystem::path> programs_;
};

TEST_F(AlarmsTest, ARestartStartsExactlyTheChannelsSwitchedOn) {
    for (int combination = 0; combination < 8; ++combination) {
        const bool visual = combination & 1;
        const bool audio = combination & 2;
        const bool pop = combination & 4;
        const auto word = [](bool on) { return on ? std::string("On") : std::string("Off"); };
        startWithSwitches(word(visual), word(audio), word(pop));
        restart(2);
        SCOPED_TRACE(combination);
        EXPECT_EQ(picture()->isVisible(), visual);
        EXPECT_EQ(timer("flashtmr")->isEnabled(), visual);
        EXPECT_EQ(timer("Timer12")->isEnabled(), audio);
        EXPECT_EQ(ui::WindowRegistry::instance().find<SlotPopup<2>>() != nullptr, pop);
        EXPECT_EQ(popups().size(), pop ? 1 : 0);
        closeAllWindows();
    }

    // Only "On" in that spelling counts.
    beeps_ = 0;
    startWithSwitches("on", "ON", "On ");
    restart(3);
    EXPECT_FALSE(picture()->isVisible());
    EXPECT_FALSE(timer("flashtmr")->isEnabled());
    EXPECT_FALSE(timer("Timer12")->isEnabled());
    EXPECT_EQ(popups().size(), 1) << "surrounding blanks are trimmed on read";
    EXPECT_EQ(beeps_, 1);
}

TEST_F(AlarmsTest, ANotRespondingProgramRaisesTheAlarmsAndSaysSoInItsPopup) {
    startWithSwitches("On", "Off", "On");
    form_->watchdog().slotWatcher().reportNotResponding(3);
    EXPECT_TRUE(picture()->isVisible());
    const auto *popup = ui::WindowRegistry::instance().find<SlotPopup<3>>();
    ASSERT_NE(popup, nullptr);
    EXPECT_TRUE(textOf(popup).startsWith(u"Orders stopped responding at "))
        << textOf(popup).toStdString();
    EXPECT_EQ(beeps_, 1);
    closeAllWindows();

    startWithSwitches("Off", "Off", "On");
    restart(3);
    form_->watchdog().slotWatcher().reportNotResponding(3);
    ASSERT_EQ(popups().size(), 1);
    EXPECT_TRUE(textOf(popups().front()).startsWith(u"Orders has been restarted at "))
        << "an open popup keeps its first text";
    EXPECT_EQ(beeps_, 2);
    closeAllWindows();

    startWithSwitches("Off", "Off", "Off");
    form_->watchdog().slotWatcher().reportNotResponding(3);
    EXPECT_TRUE(popups().isEmpty());
}

TEST_F(AlarmsTest, VisualAlarmShowsTheMovingWarningAndFlashesUntilAcknowledgedThenStaysQuiet) {
    copyProgramFile("warning_4.gif");
    startWithSwitches("On", "Off", "Off");
    speedUpAlarmTimers();
    restart(3);
    auto *movie = picture()->movie();
    ASSERT_NE(movie, nullptr);
    EXPECT_TRUE(movie->isValid());
    EXPECT_GT(movie->frameCount(), 1);
    EXPECT_EQ(movie->state(), QMovie::Running);

    // Each tick toggles the demands-attention state.
    QList<bool> states;
    ASSERT_TRUE(waitFor([&] {
        const bool now = windowflash::isOn(form_);
        if (states.isEmpty() || states.last() != now) {
            states.append(now);
        }
        return states.size() >= 4;
    }));
    EXPECT_EQ(states.mid(0, 4), (QList<bool>{false, true, false, true}));

    QTest::mouseClick(control<QPushButton>("Command1"), Qt::LeftButton);
    EXPECT_FALSE(timer("flashtmr")->isEnabled());
    EXPECT_FALSE(picture()->isVisible());
    EXPECT_NE(movie->state(), QMovie::Running);
    const bool settled = windowflash::isOn(form_);
    EXPECT_TRUE(holdsFor([&] { return windowflash::isOn(form_) == settled; }, 200))
        << "five former flash periods";
}

TEST_F(AlarmsTest, SoundPlaysFromItsStartOneAtATimeAndStaysQuietForItsLengthOnceAcknowledged) {
    copyProgramFile("ringin.wav");
    startWithSwitches("Off", "On", "Off");
    speedUpAlarmTimers();
    restart(3);
    EXPECT_EQ(sound()->startedCount(), 0) << "the first ring comes with the first tick";
    ASSERT_TRUE(waitFor([&] { return sound()->startedCount() == 1; }));
    ASSERT_TRUE(waitFor([&] { return sound()->isLoaded(); })) << "ringin.wav did not decode";

    // Ticks while it plays do not start a second playing over the first.
    ASSERT_TRUE(waitFor([&] { return sound()->isPending(); }));
    ASSERT_TRUE(waitForTicks("Timer12", 5)); // well within the 1.6 s sound
    EXPECT_EQ(sound()->startedCount(), 1);

    QTest::mouseClick(control<QPushButton>("Command1"), Qt::LeftButton);
    EXPECT_FALSE(timer("Timer12")->isEnabled());
    EXPECT_FALSE(sound()->isPlaying());
    EXPECT_FALSE(sound()->isPending());
    // Longer than the sound: nothing plays again.
    EXPECT_TRUE(
        holdsFor([&] { return sound()->startedCount() == 1 && !sound()->isPlaying(); }, 2000));
}

TEST_F(AlarmsTest, ACutShortSoundFileDoesNotSilenceTheAlarmForGood) {
    // The header promises more sound than the file holds, as a file caught
    // while being copied does; the decoder waits for the rest.
    const auto full =
        testing_support::readFile(std::filesystem::path(PERSTANDO_PROGRAM_DIR) / "ringin.wav");
    testing_support::writeFile(folder_ / "ringin.wav", full.substr(0, 4000));
    startWithSwitches("Off", "On", "Off");
    speedUpAlarmTimers();
    restart(7);
    ASSERT_TRUE(waitFor([&] { return sound()->startedCount() >= 1; }));
    ASSERT_TRUE(waitForTicks("Timer12", 5));
    EXPECT_FALSE(sound()->isLoaded());

    copyProgramFile("ringin.wav", true);
    ASSERT_TRUE(waitFor([&] { return sound()->isLoaded(); }, 8000))
        << "the alarm stays silent after a sound file that never finished loading";
    EXPECT_TRUE(timer("Timer12")->isEnabled());
}

TEST_F(AlarmsTest, MissingSoundAndPictureAreSilentAndStopNothingElse) {
    startWithSwitches("On", "On", "On");
    speedUpAlarmTimers();
    restart(7);
    ASSERT_TRUE(waitFor([&] { return sound()->startedCount() >= 2; }))
        << "every tick tries the missing file again";
    EXPECT_FALSE(sound()->isLoaded());
    EXPECT_TRUE(timer("Timer12")->isEnabled());
    ASSERT_TRUE(waitFor([&] { return windowflash::isOn(form_); }));
    EXPECT_TRUE(picture()->isVisible());
    ASSERT_EQ(popups().size(), 1);
    EXPECT_TRUE(textOf(popups().first()).startsWith(QStringLiteral("Mail relay has been")));

    // A file that appears later is found by the next tick.
    copyProgramFile("ringin.wav");
    ASSERT_TRUE(waitFor([&] { return sound()->isLoaded(); }));

    form_->acknowledgeAlarms();
    EXPECT_FALSE(timer("Timer12")->isEnabled());
    EXPECT_FALSE(timer("flashtmr")->isEnabled());
    EXPECT_FALSE(picture()->isVisible());
    ASSERT_EQ(popups().size(), 1) << "acknowledging leaves popups open";
    EXPECT_TRUE(popups().first()->isVisible());

    // Acknowledging with nothing running changes nothing visible.
    form_->acknowledgeAlarms();
    EXPECT_FALSE(picture()->isVisible());
    EXPECT_EQ(popups().size(), 1);
}

TEST_F(AlarmsTest, OneSlotRestartedTwiceKeepsOnePopupWithTheFirstTimeAndBeepsOnce) {
    startWithSwitches("Off", "Off", "On");
    restart(3);
    ASSERT_EQ(popups().size(), 1);
    auto *first = popups().first();
    const QString firstText = textOf(first);
    EXPECT_TRUE(first->isVisible());
    EXPECT_EQ(beeps_, 1);

    // Let the clock pass the second the popup shows.
    const QString shownTime = firstText.section(QStringLiteral(", "), -1);
    ASSERT_TRUE(waitFor([&] { return engine::longTime(QTime::currentTime()) != shownTime; }, 3000));
    restart(3);
    ASSERT_EQ(popups().size(), 1);
    EXPECT_EQ(popups().first(), first);
    EXPECT_EQ(textOf(first), firstText);
    EXPECT_EQ(beeps_, 1);

    // "&Ok" unloads it; the next restart makes a fresh one.
    QTest::mouseClick(first->findChild<QPushButton *>(QStringLiteral("Command1")), Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return popups().isEmpty(); }));
    restart(3);
    ASSERT_EQ(popups().size(), 1);
    EXPECT_NE(textOf(popups().first()), firstText);
    EXPECT_EQ(beeps_, 2);
}

TEST_F(AlarmsTest, TwoSlotsGiveTwoPopupsEachNamingItsOwnSlot) {
    startWithSwitches("Off", "Off", "On");
    restart(2);
    restart(7);
    auto &registry = ui::WindowRegistry::instance();
    auto *billing = registry.find<SlotPopup<2>>();
    auto *relay = registry.find<SlotPopup<7>>();
    ASSERT_NE(billing, nullptr);
    ASSERT_NE(relay, nullptr);
    EXPECT_EQ(popups().size(), 2);
    EXPECT_EQ(beeps_, 2);
    static const QRegularExpression text(QStringLiteral(
        "^(.+) has been restarted at \\d{1,2}/\\d{1,2}/\\d{4}, \\d{1,2}:\\d{2}:\\d{2} [AP]M$"));
    const auto billingMatch = text.match(textOf(billing));
    const auto relayMatch = text.match(textOf(relay));
    ASSERT_TRUE(billingMatch.hasMatch()) << textOf(billing).toStdString();
    ASSERT_TRUE(relayMatch.hasMatch()) << textOf(relay).toStdString();
    EXPECT_EQ(billingMatch.captured(1), QStringLiteral("Billing"));
    EXPECT_EQ(relayMatch.captured(1), QStringLiteral("Mail relay"));
    EXPECT_TRUE(billing->findChild<QLabel *>(QStringLiteral("Label1"))->font().bold());

    // Closing one leaves the other.
    billing->close();
    ASSERT_TRUE(waitFor([&] { return registry.find<SlotPopup<2>>() == nullptr; }));
    EXPECT_EQ(registry.find<SlotPopup<7>>(), relay);
}

// Giving up is said in the slot's popup, over the text of the restart before.
TEST_F(AlarmsTest, GivingUpIsSaidInTheSlotsPopupOverTheRestartBefore) {
    writeSettings("[exe3]\nname=Orders\npath=" + programs_[3].string() +
                  "\ngiveup=1\n[Alerts]\nPop=On\n");
    start();
    restart(3);
    testing_support::killAll(programs_[3]);
    ASSERT_TRUE(
        testing_support::waitUntil([&] { return testing_support::pidsOf(programs_[3]).empty(); }));
    form_->watchdog().slotWatcher().tick(3);
    EXPECT_TRUE(form_->slotStatus(3)->text().startsWith(u"Gave up: "));
    const auto shown = popups();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(textOf(shown.first()),
              QStringLiteral("Orders ended 1 time in 10 minutes and is no longer restarted."));
    EXPECT_EQ(beeps_, 2);
}

} // namespace
