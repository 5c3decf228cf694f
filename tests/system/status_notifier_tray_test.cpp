// The tray icon where the notification area is a StatusNotifierItem host on
// D-Bus (KDE Plasma, most Wayland desktops): the real binary on an Xvfb
// display of its own, a private session bus and a watcher with a host on it.

#include "tests/support/secret_service.h"
#include "tests/support/test_support.h"
#include "tests/support/x_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

using namespace testing_support;

namespace {

class StatusNotifierTray : public ::testing::Test {
protected:
    void SetUp() override {
        watcher_ = Child({"/usr/bin/python3", PERSTANDO_SNI_WATCHER_SCRIPT, record_.string()}, {},
                         {"DBUS_SESSION_BUS_ADDRESS=" + bus_.address()});
        ASSERT_TRUE(waitUntil([&] { return lines().size() == 1 || !watcher_.running(); }));
        ASSERT_EQ(lines(), std::vector<std::string>{"ready"}) << "the watcher did not start";
        binary_ = copyPerstando(folder_.path());
    }
    Child startPerstando() {
        return Child({binary_.string()}, folder_.path(),
                     {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + x_.display(),
                      "DBUS_SESSION_BUS_ADDRESS=" + bus_.address()});
    }
    /// What the watcher wrote: "ready", then the bus name of each item.
    std::vector<std::string> lines() const {
        std::istringstream in(readFile(record_));
        std::vector<std::string> result;
        for (std::string line; std::getline(in, line);) {
            result.push_back(line);
        }
        return result;
    }
    /// gdbus on the test's bus; its output, empty when it failed.
    std::string gdbus(std::vector<std::string> arguments) {
        const auto out = folder_ / "gdbus-out";
        writeFile(out, "");
        arguments.insert(arguments.begin(),
                         {"/bin/sh", "-c", "exec \"$@\" >\"$0\"", out.string(), "/usr/bin/gdbus"});
        Child call(arguments);
        const int status = call.waitExit(std::chrono::seconds(20));
        return status == 0 ? readFile(out) : std::string();
    }
    std::string itemProperty(const std::string &item, const std::string &name) {
        return gdbus({"call", "--address", bus_.address(), "--dest", item, "--object-path",
                      "/StatusNotifierItem", "--method", "org.freedesktop.DBus.Properties.Get",
                      "org.kde.StatusNotifierItem", name});
    }

    XServer x_;
    XClient client_{x_.display()};
    // A private session bus; no keyring on it.
    SecretServiceSession bus_{SecretServiceSession::Keyring::None};
    TempDir folder_;
    std::filesystem::path record_ = folder_ / "watcher-record";
    std::filesystem::path binary_;
    Child watcher_;
};

TEST_F(StatusNotifierTray, StartInTheTrayRegistersAnItemWhoseActivationShowsTheWindow) {
    writeFile(folder_ / "settings.ini", "[StartupMode]\nInIconTray=Yes\n");
    Child perstando = startPerstando();
    ASSERT_TRUE(waitUntil([&] { return lines().size() == 2; }, std::chrono::seconds(20)))
        << "no item registered with the watcher";
    const std::string item = lines()[1];

    EXPECT_EQ(itemProperty(item, "Status"), "(<'Active'>,)\n");
    EXPECT_EQ(itemProperty(item, "Title"), "(<'Perstando'>,)\n");
    // The pause poll writes the tool tip; the host reads it over the bus.
    EXPECT_TRUE(waitUntil(
        [&] { return itemProperty(item, "ToolTip").find("'Tenacor'") != std::string::npos; }));
    // The picture travels as pixels: a host shows it without an icon theme.
    EXPECT_NE(itemProperty(item, "IconPixmap").find("[(32, 32, [byte 0x"), std::string::npos);

    // In the tray the window is hidden, not minimized: the icon is the way back.
    ASSERT_TRUE(waitUntil([&] { return client_.shownTitled("Tenacor").empty(); }));
    ASSERT_FALSE(
        gdbus({"call", "--address", bus_.address(), "--dest", item, "--object-path",
               "/StatusNotifierItem", "--method", "org.kde.StatusNotifierItem.Activate", "0", "0"})
            .empty());
    EXPECT_TRUE(waitUntil([&] { return client_.shownTitled("Tenacor").size() == 1; }));
    EXPECT_TRUE(perstando.running());
}

} // namespace
