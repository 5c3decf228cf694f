// A settings file that exists but cannot be read makes every setting read as
// empty, so nothing is watched: the window, the tray and standard error say so.

#include "tests/gui/main_window_fixture.h"

#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTest>

namespace {

using UnreadableSettingsTest = testing_support::Form1Test;

TEST_F(UnreadableSettingsTest, IsSaidInTheStatusBarTrayAndOnStandardError) {
    std::filesystem::create_directory(settingsFile()); // even root cannot read a folder as a file
    const QString said = QStringLiteral("The settings file ") +
                         QString::fromStdString(settingsFile().string()) +
                         QStringLiteral(" cannot be read: Is a directory");
    ::testing::internal::CaptureStderr();
    start();
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find(said.toStdString()), std::string::npos) << errors;
    auto *statusBar = control<QStatusBar>("StatusBar1");
    EXPECT_EQ(statusBar->currentMessage(), said);
    auto *tray = control<QSystemTrayIcon>("TrayIcon1");
    EXPECT_TRUE(waitFor([&] { return tray->toolTip().contains(said); }))
        << tray->toolTip().toStdString();

    // Readable again: the next activation, which re-reads every setting, clears it.
    std::filesystem::remove(settingsFile());
    writeSettings("[exe1]\nname=One\n");
    form_->activate();
    EXPECT_EQ(statusBar->currentMessage(), QString());
    EXPECT_TRUE(waitFor([&] { return tray->toolTip() == QStringLiteral("Tenacor"); }))
        << tray->toolTip().toStdString();
}

} // namespace
