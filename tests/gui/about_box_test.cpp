#include "monitor/main_window.h"
#include "tests/gui/gui_test_support.h"
#include "tests/gui/new_main_window.h"
#include "tests/support/scoped_env.h"
#include "ui/window_registry.h"
#include "viewers/about_box.h"
#include "viewers/log_viewer.h"
#include "viewers/running_apps_viewer.h"

#include <QLabel>
#include <QPushButton>

using namespace testing_support;

namespace {

class AboutBoxTest : public WindowTest {
protected:
    AboutBox *open() { return ui::WindowRegistry::instance().show<AboutBox>(); }
    static void clickSysInfo(AboutBox *box) {
        box->findChild<QPushButton *>(QStringLiteral("cmdSysInfo"))->click();
    }
    /// A system information tool that writes its own path into `marker` when run.
    std::filesystem::path fakeTool(const std::string &name, const std::filesystem::path &marker) {
        std::filesystem::create_directories(bin_);
        const auto tool = bin_ / name;
        writeFile(tool, "#!/bin/sh\necho \"$0\" > '" + marker.string() + "'\n");
        std::filesystem::permissions(tool, std::filesystem::perms::owner_all);
        return tool;
    }
    std::filesystem::path bin_ = folder_ / "tool bin"; // a blank, as in many install paths
};

TEST_F(AboutBoxTest, ShowsTitleAndTheBuildsVersion) {
    AboutBox *box = open();
    EXPECT_EQ(box->windowTitle(), QStringLiteral("About Tenacor "));
    EXPECT_EQ(box->findChild<QLabel *>(QStringLiteral("lblTitle"))->text(),
              QStringLiteral("Perstando"));
    EXPECT_EQ(box->findChild<QLabel *>(QStringLiteral("lblVersion"))->text(),
              QStringLiteral("Version " PERSTANDO_TEST_VERSION));
    EXPECT_EQ(box->findChild<QLabel *>(QStringLiteral("lblSettingsFolder"))->text(),
              QStringLiteral("Settings folder: ") + folderText());
    auto *picIcon = box->findChild<QLabel *>(QStringLiteral("picIcon"));
    ASSERT_NE(picIcon, nullptr);
    EXPECT_FALSE(picIcon->pixmap().isNull());
    EXPECT_EQ(box->findChild<QPushButton *>(QStringLiteral("cmdSysInfo"))->text(),
              QStringLiteral("&System Info..."));

    QPointer<AboutBox> guard = box;
    auto *ok = box->findChild<QPushButton *>(QStringLiteral("cmdOK"));
    EXPECT_EQ(ok->text(), QStringLiteral("OK"));
    ok->click();
    EXPECT_TRUE(waitFor([&] { return guard.isNull(); }));
}

TEST_F(AboutBoxTest, SystemInfoStartsTheFirstToolOnThePath) {
    const auto marker = folder_ / "ran";
    fakeTool("gnome-system-monitor", folder_ / "wrong");
    const auto preferred = fakeTool("hardinfo", marker);
    ScopedEnv path("PATH", bin_.string());
    clickSysInfo(open());
    EXPECT_TRUE(waitUntil([&] { return readFile(marker) == preferred.string() + "\n"; }));
    EXPECT_TRUE(messages_.shown.isEmpty());
    EXPECT_FALSE(std::filesystem::exists(folder_ / "wrong"));
}

TEST_F(AboutBoxTest, WithoutAToolOrWhenItCannotStartSystemInfoIsUnavailable) {
    ScopedEnv path("PATH", bin_.string());
    AboutBox *box = open();
    clickSysInfo(box);
    EXPECT_EQ(messages_.texts(), QStringList{AboutBox::unavailableMessage()});
    EXPECT_EQ(messages_.shown.value(0).buttons, QMessageBox::Ok);

    // Found, but its interpreter is missing: both ways of starting it fail.
    std::filesystem::create_directories(bin_);
    writeFile(bin_ / "hardinfo2", "#!/nonexistent/interpreter\n");
    std::filesystem::permissions(bin_ / "hardinfo2", std::filesystem::perms::owner_all);
    messages_.shown.clear();
    clickSysInfo(box);
    EXPECT_EQ(messages_.texts(), QStringList{AboutBox::unavailableMessage()});
}

TEST_F(AboutBoxTest, MainWindowMenusOpenEachViewerOnce) {
    auto *main = testing_support::newMainWindow();
    main->show();
    const struct {
        const char *item;
        std::function<QWidget *()> find;
    } entries[] = {
        {"mnuview", [] { return ui::WindowRegistry::instance().find<LogViewer>(); }},
        {"mnuapprunning", [] { return ui::WindowRegistry::instance().find<RunningAppsViewer>(); }},
        {"mnuabout", [] { return ui::WindowRegistry::instance().find<AboutBox>(); }},
    };
    for (const auto &entry : entries) {
        main->runMenuItem(QString::fromLatin1(entry.item));
        QWidget *window = entry.find();
        ASSERT_NE(window, nullptr) << entry.item;
        EXPECT_TRUE(window->isVisible()) << entry.item;
        main->runMenuItem(QString::fromLatin1(entry.item));
        EXPECT_EQ(entry.find(), window) << entry.item;
    }
    QPointer<LogViewer> closing = ui::WindowRegistry::instance().find<LogViewer>();
    closing->close();
    ASSERT_TRUE(waitFor([&] { return closing.isNull(); }));
    main->toolbarClick(QStringLiteral("view"));
    EXPECT_NE(ui::WindowRegistry::instance().find<LogViewer>(), nullptr);
}

} // namespace
