#include "core/system_info.h"
#include "tests/support/scoped_env.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

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

TEST(SystemInfoTool, IsTheFirstToolOnPathAndNothingWithoutOne) {
    TempDir dir;
    const auto tool = makeTool(dir.path(), "gnome-system-monitor");
    {
        ScopedEnv env("PATH", (dir / "empty").string() + ":" + dir.path().string());
        EXPECT_EQ(core::systemInfoTool(), tool.string());
    }
    ScopedEnv none("PATH", (dir / "empty").string());
    EXPECT_EQ(core::systemInfoTool(), "");
}

} // namespace
