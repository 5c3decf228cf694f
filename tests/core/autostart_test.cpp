#include "core/autostart.h"
#include "core/companion.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace testing_support;

namespace {

/// Points one environment variable elsewhere for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const std::string &value) : name_(name) {
        if (const char *old = std::getenv(name)) {
            old_ = old;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

private:
    const char *name_;
    std::optional<std::string> old_;
};

std::string execLine(const std::filesystem::path &entry) {
    const auto text = readFile(entry);
    const auto start = text.find("\nExec=");
    return start == std::string::npos
               ? ""
               : text.substr(start + 1, text.find('\n', start + 1) - start - 1);
}

TEST(Autostart, ExecKeepsAnAwkwardPathOneArgument) {
    TempDir config;
    ScopedEnv home("XDG_CONFIG_HOME", config.path().string());
    const auto entry = config / "autostart" / "Perstando.desktop";
    auto exec = [&](const std::string &program) {
        const auto result = autostart::enable(program);
        EXPECT_TRUE(result) << result.reason;
        return execLine(entry);
    };
    EXPECT_EQ(exec("/opt/perstando/perstando"), "Exec=/opt/perstando/perstando");
    EXPECT_EQ(exec("/opt/My Tools/perstando"), "Exec=\"/opt/My Tools/perstando\"");
    // Quoting escapes $ and \ inside the quotes; the string escape then doubles
    // every backslash, and field codes need % doubled.
    EXPECT_EQ(exec("/opt/a$b\\c 100%/perstando"), "Exec=\"/opt/a\\\\$b\\\\\\\\c 100%%/perstando\"");
}

TEST(Autostart, AnInstalledCopyIsStartedThroughThePackagesCommand) {
    TempDir folder;
    std::filesystem::create_directories(folder / "lib" / "perstando");
    const auto program = folder / "lib" / "perstando" / "perstando";
    writeFile(program, "");
    const auto installed = folder / "bin-perstando";
    std::filesystem::create_symlink(program, installed);
    EXPECT_EQ(autostart::programCommand(program.string(), installed.string()), installed.string());
    // The same copy reached through a linked folder is still the one installed.
    std::filesystem::create_directory_symlink(folder / "lib", folder / "lib-link");
    EXPECT_EQ(autostart::programCommand((folder / "lib-link" / "perstando" / "perstando").string(),
                                        installed.string()),
              installed.string());

    // A command that starts another copy, or none, is not this copy's.
    const auto other = folder / "other";
    writeFile(other, "");
    const auto elsewhere = folder / "bin-other";
    std::filesystem::create_symlink(other, elsewhere);
    EXPECT_EQ(autostart::programCommand(program.string(), elsewhere.string()), program.string());
    EXPECT_EQ(autostart::programCommand(program.string(), (folder / "none").string()),
              program.string());
}

TEST(Autostart, TheUserHasAnEntryOfTheirOwnAndTheSystemOneCountsToo) {
    TempDir config;
    ScopedEnv home("XDG_CONFIG_HOME", (config / "user").string());
    ScopedEnv dirs("XDG_CONFIG_DIRS", "relative/ignored:" + (config / "system").string());
    const auto user = config / "user" / "autostart" / "Perstando.desktop";
    EXPECT_FALSE(autostart::isEnabled());
    ASSERT_TRUE(autostart::enable("/opt/p/perstando"));
    EXPECT_EQ(execLine(user), "Exec=/opt/p/perstando");
    EXPECT_TRUE(autostart::isEnabled());
    EXPECT_TRUE(autostart::disable());
    EXPECT_FALSE(std::filesystem::exists(user));
    EXPECT_FALSE(autostart::isEnabled());
    EXPECT_TRUE(autostart::disable()) << "an entry that is not there is already removed";

    // An entry an earlier version left in the system folder still starts Perstando.
    std::filesystem::create_directories(config / "system" / "autostart");
    writeFile(config / "system" / "autostart" / "Perstando.desktop", "[Desktop Entry]\n");
    EXPECT_TRUE(autostart::isEnabled());
}

TEST(Companion, PathHasOneSeparatorBeforeItsName) {
    EXPECT_EQ(core::companionPath("/opt/perstando"), "/opt/perstando/linkmind");
    EXPECT_EQ(core::companionPath("/opt/perstando/"), "/opt/perstando/linkmind");
    EXPECT_EQ(core::companionPath("/"), "/linkmind");
}

} // namespace
