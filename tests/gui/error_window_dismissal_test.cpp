// Form1 dismissing error-report windows on a real X display. The test below
// starts Xvfb and runs this binary again with Qt on xcb on that display; the
// cases that need it are registered only inside that child.

#include "monitor/main_window.h"
#include "tests/gui/gui_test_support.h"
#include "tests/gui/new_main_window.h"
#include "tests/support/x_server.h"

#include <QCheckBox>
#include <QPointer>
#include <QTest>

#include <sys/wait.h>

#include <cstdlib>
#include <memory>

using namespace testing_support;

namespace {

constexpr const char *ChildVariable = "PERSTANDO_XCB_CHILD";
constexpr const char *ManagedVariable = "PERSTANDO_XCB_MANAGED";

class OnXcb : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        display_ = std::getenv("DISPLAY");
        managed_ = std::getenv(ManagedVariable) != nullptr;
        client_ = std::make_unique<XClient>(display_);
        form_ = testing_support::newMainWindow();
        form_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form_));
    }

    /// A window of our test program, waited for until the desktop lists it.
    std::unique_ptr<TestWindow> open(const std::string &title) {
        auto window = std::make_unique<TestWindow>(display_, titled(title));
        const std::uint32_t id = window->id();
        EXPECT_TRUE(waitFor([&] {
            const auto windows = client_->topmostFirst(managed_);
            return std::find(windows.begin(), windows.end(), id) != windows.end();
        }));
        return window;
    }

    std::string display_;
    bool managed_ = false;
    std::unique_ptr<XClient> client_;
    MainWindow *form_ = nullptr;
};

/// Paused, Timer14 still dismisses foreign windows and windows of our own.
class DismissesWhilePaused : public OnXcb {
    void TestBody() override {
        form_->watchdog().setPaused(true);
        auto *own = new QWidget();
        own->setAttribute(Qt::WA_DeleteOnClose);
        own->setWindowTitle(QStringLiteral("Perstando - aPPLICATION eRROR"));
        own->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(own));
        QPointer<QWidget> ownGuard(own);
        // Whether checking was paused when our window went (activation may end the pause later).
        auto *pause = form_->findChild<QCheckBox *>(QStringLiteral("Check1"));
        bool pausedAtClose = false;
        QObject::connect(own, &QObject::destroyed, pause,
                         [&] { pausedAtClose = pause->isChecked(); });
        auto foreign = open("Crash.exe - Application Error");
        ASSERT_TRUE(pause->isChecked());

        EXPECT_TRUE(waitFor([&] { return ownGuard.isNull(); }, 20000)) << "own window still open";
        EXPECT_TRUE(pausedAtClose);
        EXPECT_TRUE(waitFor([&] { return foreign->count("closed") == 1; }, 20000));
        EXPECT_TRUE(form_->isVisible()) << "the main window's own title does not match";
        delete ownGuard.data(); // still open after a failure: its handler refers to this frame
    }
};

/// One tick tries each text: an error report and an application error open
/// at once are both dismissed by it.
class OneTickDismissesBothKinds : public OnXcb {
    void TestBody() override {
        auto *timer14 = form_->findChild<engine::SwitchedTimer *>(QStringLiteral("Timer14"));
        timer14->setEnabled(false);
        auto reporting = open("Crash.exe - Error Reporting");
        auto application = open("Other.exe - Application Error");

        ASSERT_TRUE(QMetaObject::invokeMethod(timer14, "timeout", Qt::DirectConnection));
        for (TestWindow *window : {reporting.get(), application.get()}) {
            EXPECT_TRUE(waitFor([&] { return window->count("closed") == 1; }, 20000));
        }
    }
};

template <class Case> void registerChildCase(const char *name) {
    ::testing::RegisterTest("ErrorWindowsOnXcb", name, nullptr, nullptr, __FILE__, __LINE__,
                            []() -> WindowTest * { return new Case(); });
}

const bool childCasesRegistered = [] {
    if (!std::getenv(ChildVariable)) {
        return false;
    }
    registerChildCase<DismissesWhilePaused>("DismissesWhilePaused");
    registerChildCase<OneTickDismissesBothKinds>("OneTickDismissesBothKinds");
    return true;
}();

class ErrorWindowDismissal : public ::testing::TestWithParam<bool> {};

TEST_P(ErrorWindowDismissal, RunsWithQtOnARealXDisplay) {
    if (childCasesRegistered) {
        GTEST_SKIP() << "inside the child";
    }
    XServer server(GetParam());
    const auto self = std::filesystem::read_symlink("/proc/self/exe");
    std::vector<std::string> env{"QT_QPA_PLATFORM=xcb", "DISPLAY=" + server.display(),
                                 std::string(ChildVariable) + "=1"};
    if (GetParam()) {
        env.push_back(std::string(ManagedVariable) + "=1");
    }
    Child child({self.string(), "--gtest_filter=ErrorWindowsOnXcb.*"}, {}, env);
    const int status = child.waitExit(std::chrono::seconds(120));
    ASSERT_NE(status, -1) << "the child test process hung";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the cases on xcb failed; their output is above";
}

INSTANTIATE_TEST_SUITE_P(X11, ErrorWindowDismissal, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? "Openbox" : "NoWindowManager";
                         });

} // namespace
