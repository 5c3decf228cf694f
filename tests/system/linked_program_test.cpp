// A program configured through a link, a linked folder or "..": the real
// binary finds the copy it started under the resolved path and starts no other.

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <signal.h>

using namespace testing_support;

namespace fs = std::filesystem;

namespace {

struct Configured {
    std::string path;
    std::string workingDirectory;
};

/// Lays the program `exe` out in `app` and says how the settings name it.
using Layout = Configured (*)(const fs::path &app, const std::string &exe);

Configured deployLink(const fs::path &app, const std::string &exe) {
    fs::create_directories(app / "releases" / "42" / "bin");
    copyExecutable(WATCHED_PROGRAM, app / "releases" / "42" / "bin", exe);
    fs::create_directory_symlink("releases/42", app / "current");
    return {(app / "current" / "bin" / exe).string(), {}};
}

Configured linkedProgram(const fs::path &app, const std::string &exe) {
    fs::create_directories(app / "real");
    fs::create_directories(app / "bin");
    copyExecutable(WATCHED_PROGRAM, app / "real", exe);
    fs::create_symlink("../real/" + exe, app / "bin" / "server-link");
    return {(app / "bin" / "server-link").string(), {}};
}

Configured dotDot(const fs::path &app, const std::string &exe) {
    fs::create_directories(app / "work");
    fs::create_directories(app / "bin");
    copyExecutable(WATCHED_PROGRAM, app / "bin", exe);
    return {(app / "work" / ".." / "bin" / exe).string(), {}};
}

Configured linkNameInWorkingDirectory(const fs::path &app, const std::string &exe) {
    fs::create_directories(app);
    copyExecutable(WATCHED_PROGRAM, app, exe);
    fs::create_symlink(exe, app / "mysvc");
    return {"mysvc", app.string()};
}

struct Case {
    const char *name;
    Layout layout;
};

class LinkedProgram : public ::testing::TestWithParam<Case> {};

// Slot 1 matches by file name (or whole path), slot 2 by part of the path:
// both must see through the link.
TEST_P(LinkedProgram, OneCopyAfterTenTicks) {
    constexpr int Interval = 200;
    TempDir folder;
    copyPerstando(folder.path());
    std::vector<fs::path> exes;
    std::string settings;
    for (int slot = 1; slot <= 2; ++slot) {
        const std::string exe = uniqueName("server");
        const auto app = folder / ("app" + std::to_string(slot));
        const Configured configured = GetParam().layout(app, exe);
        exes.push_back(fs::canonical(configured.path.front() == '/' ? fs::path(configured.path)
                                                                    : app / configured.path));
        const std::string n = std::to_string(slot);
        settings += "[exe" + n + "]\nname=Linked " + n + "\npath=" + configured.path +
                    "\ntimer=" + std::to_string(Interval) + "\n[workingexe" + n + "]\npath" + n +
                    "=" + configured.workingDirectory + "\n";
    }
    const auto log = folder / "watch.log";
    writeFile(folder / "settings.ini", settings + "[log]\npath=" + log.string() + "\n");

    Child perstando({(folder / "perstando").string()}, folder.path(),
                    {"QT_QPA_PLATFORM=offscreen"});
    for (const auto &exe : exes) {
        EXPECT_TRUE(waitUntil([&] { return !pidsOf(exe).empty(); })) << exe << " was not started";
    }
    EXPECT_FALSE(waitUntil(
        [&] {
            return std::any_of(exes.begin(), exes.end(),
                               [](const fs::path &exe) { return pidsOf(exe).size() > 1; });
        },
        std::chrono::milliseconds(10 * Interval)));
    for (const auto &exe : exes) {
        EXPECT_EQ(pidsOf(exe).size(), 1u) << exe;
    }
    const std::string text = readFile(log);
    for (const char *name : {"Linked 1", "Linked 2"}) {
        const std::string entry = std::string(",") + name + " has been restarted.";
        std::size_t count = 0;
        for (auto pos = text.find(entry); pos != std::string::npos;
             pos = text.find(entry, pos + 1)) {
            ++count;
        }
        EXPECT_EQ(count, 1u) << name;
    }
    perstando.stop(SIGKILL);
    for (const auto &exe : exes) {
        killAll(exe);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, LinkedProgram,
    ::testing::Values(Case{"DeployLink", deployLink}, Case{"LinkedProgram", linkedProgram},
                      Case{"DotDot", dotDot},
                      Case{"LinkNameInWorkingDirectory", linkNameInWorkingDirectory}),
    [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

} // namespace
