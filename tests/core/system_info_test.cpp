#include "core/system_info.h"
#include "tests/support/scoped_env.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

const std::string MsinfoKey = "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO";

std::filesystem::path makeTool(const std::filesystem::path &folder, const std::string &name,
                               bool executable = true) {
    std::filesystem::create_directories(folder);
    const auto tool = folder / name;
    writeFile(tool, "#!/bin/sh\nexit 0\n");
    std::filesystem::permissions(tool, executable ? std::filesystem::perms::owner_all
                                                  : std::filesystem::perms::owner_read |
                                                        std::filesystem::perms::owner_write);
    return tool;
}

TEST(SystemInfoProgram, ListOrderWinsOverPathOrderAndOnlyExecutableFilesCount) {
    TempDir dir;
    const auto first = dir / "first";
    const auto second = dir / "second";
    makeTool(first, "xfce4-taskmanager");
    const auto hardinfo = makeTool(second, "hardinfo");
    const std::string path = first.string() + ":" + second.string();
    EXPECT_EQ(core::findSystemInfoProgram(path), hardinfo.string());

    // A non-executable file and a folder of a preferred name are passed over.
    makeTool(first, "hardinfo2", false);
    std::filesystem::create_directories(first / "kinfocenter");
    EXPECT_EQ(core::findSystemInfoProgram(path), hardinfo.string());

    std::filesystem::remove(hardinfo);
    EXPECT_EQ(core::findSystemInfoProgram(path), (first / "xfce4-taskmanager").string());
    EXPECT_EQ(core::findSystemInfoProgram(second.string() + "/"), "");
    EXPECT_EQ(core::findSystemInfoProgram(""), "");
}

TEST(SystemInfoProgram, EmptyPathEntriesNeverMeanTheCurrentFolder) {
    TempDir dir;
    makeTool(dir.path(), "hardinfo2");
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    EXPECT_EQ(core::findSystemInfoProgram(":"), "");
    EXPECT_EQ(core::findSystemInfoProgram("::/nonexistent:"), "");
    std::filesystem::current_path(previous);
}

TEST(SystemInfoRegistry, OnlyTheToolPathIsAnsweredFromPath) {
    TempDir dir;
    const auto tool = makeTool(dir.path(), "gnome-system-monitor");
    {
        ScopedEnv env("PATH", dir.path().string());
        const auto value =
            core::readRegistryValue(core::RegistryRoot::LocalMachine, MsinfoKey, "path");
        ASSERT_TRUE(value);
        EXPECT_EQ(value->type, core::REG_SZ);
        EXPECT_EQ(core::registryValueText(*value), tool.string());
        EXPECT_TRUE(core::readRegistryValue(core::RegistryRoot::LocalMachine,
                                            "software\\microsoft\\shared tools\\msinfo", "PATH"));

        EXPECT_FALSE(core::readRegistryValue(core::RegistryRoot::CurrentUser, MsinfoKey, "path"));
        EXPECT_FALSE(core::readRegistryValue(core::RegistryRoot::LocalMachine, MsinfoKey, "other"));
        EXPECT_FALSE(core::readRegistryValue(core::RegistryRoot::LocalMachine,
                                             "SOFTWARE\\Microsoft\\Shared Tools Location",
                                             "MSINFO"));
    }
    ScopedEnv none("PATH", (dir / "empty").string());
    EXPECT_FALSE(core::readRegistryValue(core::RegistryRoot::LocalMachine, MsinfoKey, "path"));
}

TEST(RegistryValueText, TextsLoseOneTerminatorAndNumbersReadAsDecimal) {
    using core::RegistryValue;
    EXPECT_EQ(core::registryValueText(RegistryValue{core::REG_SZ, "C:\\x.exe"}), "C:\\x.exe");
    EXPECT_EQ(core::registryValueText(RegistryValue{core::REG_SZ, std::string("abc\0", 4)}), "abc");
    EXPECT_EQ(core::registryValueText(RegistryValue{core::REG_SZ, std::string("ab\0\0", 4)}),
              std::string("ab\0", 3));
    EXPECT_EQ(core::registryValueText(RegistryValue{core::REG_SZ, std::string("\0", 1)}), "");

    EXPECT_EQ(core::registryValueText(RegistryValue{core::REG_DWORD, "\x78\x56\x34\x12"}),
              "305419896");
    EXPECT_EQ(core::registryValueText(RegistryValue{core::REG_DWORD, "\xff\xff\xff\xff"}),
              "4294967295");
    EXPECT_EQ(core::registryValueText(RegistryValue{core::REG_DWORD, std::string("\0\1\0\0", 4)}),
              "256");

    EXPECT_EQ(core::registryValueText(RegistryValue{3, "\x01\x02"}), std::nullopt);
    EXPECT_THROW(core::registryValueText(RegistryValue{core::REG_SZ, ""}),
                 core::RegistryValueEmpty);
    EXPECT_THROW(core::registryValueText(RegistryValue{core::REG_DWORD, ""}),
                 core::RegistryValueEmpty);
}

} // namespace
