// The real binary on an X display dismissing error-report windows it did not open.

#include "tests/support/test_support.h"
#include "tests/support/x_server.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

class ErrorWindows : public ::testing::TestWithParam<bool> {
protected:
    ErrorWindows() : server_(GetParam()) {
        binary_ = copyPerstando(folder_.path());
        log_ = folder_ / "watch.log";
        writeFile(folder_ / "settings.ini", "[log]\npath=" + log_.string() + "\n");
    }
    TempDir folder_;
    XServer server_;
    std::filesystem::path binary_;
    std::filesystem::path log_;
};

TEST_P(ErrorWindows, AreDismissedOnTheDesktopWhileTheProgramRuns) {
    Child perstando({binary_.string()}, folder_.path(),
                    {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + server_.display()});
    ASSERT_TRUE(waitUntil(
        [&] { return readFile(log_).find("Tenacor has been started.") != std::string::npos; }));

    TestWindow application(server_.display(), titled("Explorer.EXE - Application Error"));
    TestWindow report(server_.display(), titled("Microsoft Windows - ERROR REPORTING"));
    for (TestWindow *window : {&application, &report}) {
        ASSERT_NE(window->id(), 0u);
        EXPECT_TRUE(window->waitFor("closed"));
        EXPECT_NE(window->process().waitExit(std::chrono::seconds(10)), -1);
    }
    EXPECT_TRUE(perstando.running()) << "the main window is no error window";
}

INSTANTIATE_TEST_SUITE_P(X11, ErrorWindows, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? "Openbox" : "NoWindowManager";
                         });

} // namespace
