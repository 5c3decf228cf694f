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
    ScopedEnv dirs("XDG_CONFIG_DIRS", "relative/ignored:" + config.path().string() + ":/etc/xdg");
    const auto entry = config / "autostart" / "Perstando.desktop";
    auto exec = [&](const std::string &program) {
        std::string reason;
        EXPECT_TRUE(Module6::SetRegValue(Module6::HKEY_LOCAL_MACHINE, Module6::RunKey, "Perstando",
                                         program, &reason))
            << reason;
        return execLine(entry);
    };
    EXPECT_EQ(exec("/opt/perstando/perstando"), "Exec=/opt/perstando/perstando");
    EXPECT_EQ(exec("/opt/My Tools/perstando"), "Exec=\"/opt/My Tools/perstando\"");
    // Quoting escapes $ and \ inside the quotes; the string escape then doubles
    // every backslash, and field codes need % doubled.
    EXPECT_EQ(exec("/opt/a$b\\c 100%/perstando"), "Exec=\"/opt/a\\\\$b\\\\\\\\c 100%%/perstando\"");
}

TEST(Autostart, OnlyTheRunKeyHasACounterpartAndTheUserHasAnEntryOfTheirOwn) {
    TempDir config;
    ScopedEnv home("XDG_CONFIG_HOME", config.path().string());
    std::string reason;
    EXPECT_FALSE(Module6::SetRegValue(Module6::HKEY_LOCAL_MACHINE, "Software\\Other", "Perstando",
                                      "/x", &reason));
    EXPECT_NE(reason.find("Software\\Other"), std::string::npos) << reason;
    EXPECT_FALSE(
        Module6::SetRegValue(Module6::HKEY_CURRENT_USER, Module6::RunKey, "../evil", "/x"));

    ASSERT_TRUE(Module6::SetRegValue(Module6::HKEY_CURRENT_USER,
                                     "software\\microsoft\\windows\\currentversion\\run",
                                     "Perstando", "/opt/p/perstando"));
    EXPECT_EQ(execLine(config / "autostart" / "Perstando.desktop"), "Exec=/opt/p/perstando");
    EXPECT_TRUE(Module6::DeleteRegValue(Module6::HKEY_CURRENT_USER, Module6::RunKey, "Perstando"));
    EXPECT_FALSE(std::filesystem::exists(config / "autostart" / "Perstando.desktop"));
}

TEST(Companion, PathHasOneSeparatorBeforeItsName) {
    EXPECT_EQ(core::companionPath("/opt/perstando"), "/opt/perstando/linkmind");
    EXPECT_EQ(core::companionPath("/opt/perstando/"), "/opt/perstando/linkmind");
    EXPECT_EQ(core::companionPath("/"), "/linkmind");
}

} // namespace
