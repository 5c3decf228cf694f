// The internet connection watch (Timer11) and the companion's start (Timer13).

#include "core/program_folder.h"
#include "engine/internet_watch.h"
#include "engine/watchdog.h"
#include "monitor/main_window.h"
#include "tests/gui/gui_test_support.h"
#include "tests/gui/new_main_window.h"

#include <QCheckBox>
#include <QLabel>
#include <QRegularExpression>

#include <signal.h>

using namespace testing_support;

namespace {

class InternetWatchTest : public WindowTest {
protected:
    void TearDown() override {
        for (const auto &companion : companions_) {
            killAll(companion);
        }
        WindowTest::TearDown();
    }
    MainWindow *start(const std::string &settings) {
        writeSettings("[log]\npath=" + log_.string() + "\n" + settings);
        form_ = testing_support::newMainWindow();
        form_->show();
        return form_;
    }
    void lose() const {
        form_->watchdog().internetWatch().setProbe([] { return false; });
    }
    template <class T> T *control(const char *name) const {
        return form_->findChild<T *>(QString::fromLatin1(name));
    }
    QString toolTip() const { return control<QLabel>("Picture10")->toolTip(); }
    bool visualAlarm() const {
        return control<engine::SwitchedTimer>("flashtmr")->isEnabled() &&
               !control<QLabel>("Gif89a1")->isHidden();
    }
    bool audioAlarm() const { return control<engine::SwitchedTimer>("Timer12")->isEnabled(); }
    /// The log after the start line.
    std::string entries() const {
        const auto text = readFile(log_);
        return text.substr(text.find('\n') + 1);
    }
    std::filesystem::path companionIn(const std::filesystem::path &folder) {
        companions_.push_back(copyExecutable(LINKMIND_BINARY, folder, "linkmind"));
        return companions_.back();
    }

    std::filesystem::path log_ = folder_ / "watch.log";
    MainWindow *form_ = nullptr;
    std::vector<std::filesystem::path> companions_;
};

TEST_F(InternetWatchTest, EachTickWithoutAConnectionRaisesTheSwitchedAlarmsAndLogsAnEntry) {
    const std::string stars(54, '*');
    static const QRegularExpression entry(QStringLiteral(
        "^\\*{54}\\n\\d{1,2}/\\d{1,2}/\\d{4} \\d{1,2}:\\d{2}:\\d{2} [AP]M Internet Connection "
        "has been Lost!\\n\\*{54}\\n$"));
    struct Case {
        const char *visual;
        const char *audio;
        bool expectVisual;
        bool expectAudio;
    };
    for (const Case &c : {Case{"On", "Off", true, false}, Case{"on", "On", false, true},
                          Case{"Off", "", false, false}}) {
        SCOPED_TRACE(std::string(c.visual) + "/" + c.audio);
        start(std::string("[Alerts]\nvisual=") + c.visual + "\naudio=" + c.audio + "\n");
        lose();
        EXPECT_TRUE(toolTip().isEmpty()) << "nothing is known before the first check";
        form_->watchdog().internetWatch().check();
        EXPECT_EQ(visualAlarm(), c.expectVisual);
        EXPECT_EQ(audioAlarm(), c.expectAudio);
        EXPECT_EQ(toolTip(), QStringLiteral("Internet Connection has been Lost"));
        EXPECT_TRUE(entry.match(QString::fromStdString(entries())).hasMatch()) << entries();
        for (int tick = 2; tick <= 10; ++tick) {
            form_->watchdog().internetWatch().check();
        }
        const auto text = entries();
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 30);
        const std::string lostEnding = " Internet Connection has been Lost!\n" + stars + "\n";
        std::size_t lost = 0;
        for (auto at = text.find(lostEnding); at != std::string::npos;
             at = text.find(lostEnding, at + 1)) {
            ++lost;
        }
        EXPECT_EQ(lost, 10u) << "one entry per tick, none merged";
        delete form_;
        form_ = nullptr;
        std::filesystem::remove(log_);
    }
}

TEST_F(InternetWatchTest, AConnectionOnlyChangesTheToolTip) {
    start("[Alerts]\nvisual=On\naudio=On\n");
    form_->watchdog().internetWatch().setProbe([] { return true; });
    form_->watchdog().internetWatch().check();
    EXPECT_EQ(toolTip(), QStringLiteral("Internet Connection is now Active"));
    EXPECT_FALSE(visualAlarm());
    EXPECT_FALSE(audioAlarm());
    EXPECT_EQ(entries(), "");

    // Back after a loss: the user acknowledges the alarms, the watch does not.
    lose();
    form_->watchdog().internetWatch().check();
    const auto afterLoss = entries();
    form_->watchdog().internetWatch().setProbe([] { return true; });
    form_->watchdog().internetWatch().check();
    EXPECT_EQ(toolTip(), QStringLiteral("Internet Connection is now Active"));
    EXPECT_TRUE(visualAlarm());
    EXPECT_TRUE(audioAlarm());
    EXPECT_EQ(entries(), afterLoss);
}

TEST_F(InternetWatchTest, AnUnwritableLogDoesNotSilenceTheAlarms) {
    log_ = folder_ / "missing" / "watch.log";
    start("[Alerts]\nvisual=On\naudio=On\n");
    lose();
    form_->watchdog().internetWatch().check();
    EXPECT_TRUE(visualAlarm());
    EXPECT_TRUE(audioAlarm());
    EXPECT_EQ(toolTip(), QStringLiteral("Internet Connection has been Lost"));
}

TEST_F(InternetWatchTest, Timer11RunsTheWatchWhileTheSwitchIsOn) {
    start("[Internet]\nMonitor=On\n");
    lose();
    control<engine::SwitchedTimer>("Timer11")->setIntervalMs(20);
    ASSERT_TRUE(waitFor([&] {
        const auto text = entries();
        return std::count(text.begin(), text.end(), '!') >= 2;
    })) << entries();
}

TEST_F(InternetWatchTest, LinkmindCheckStartsTheCompanionOnlyForExactlyOn) {
    // A program folder with a blank in its name, as under "My Programs".
    const auto folder = folder_ / "My Programs";
    std::filesystem::create_directory(folder);
    core::setProgramFolderOverride(folder.string());
    const auto companion = companionIn(folder);
    writeFile(folder / "settings.ini", "[Internet]\nalive=on\n");
    form_ = testing_support::newMainWindow();

    form_->watchdog().checkKeepUp();
    EXPECT_FALSE(waitUntil([&] { return !pidsOf(companion).empty(); }, std::chrono::seconds(1)))
        << "\"on\" is not \"On\"";

    writeFile(folder / "settings.ini", "[Internet]\nalive=On\n");
    form_->watchdog().checkKeepUp();
    EXPECT_TRUE(waitUntil([&] { return pidsOf(companion).size() == 1; }));
}

TEST_F(InternetWatchTest, Timer13StartsTheCompanionOnceEvenWhilePaused) {
    const auto companion = companionIn(folder_.path());
    start("[Internet]\nalive=On\n");
    control<QCheckBox>("Check1")->setChecked(true);
    ASSERT_TRUE(waitFor([&] { return pidsOf(companion).size() == 1; }, 15000));
    EXPECT_FALSE(control<engine::SwitchedTimer>("Timer13")->isEnabled());
}

} // namespace
