// The executable on its own: a shell command loads no window library, and a
// program folder whose windowed module is missing or broken says so and ends.

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

using namespace testing_support;

namespace {

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

/// A private runtime folder in `folder`, so that no running copy is found.
std::filesystem::path privateRuntime(const std::filesystem::path &folder) {
    const auto runtime = folder / "runtime";
    std::filesystem::create_directory(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    return runtime;
}

/// The C maths library this test process has mapped: a real shared library
/// that has no entry for the program.
std::filesystem::path mappedMathsLibrary() {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        const auto slash = line.find('/');
        if (slash != std::string::npos && contains(line, "/libm.so")) {
            return line.substr(slash);
        }
    }
    return {};
}

TEST(CommandLine, ShellCommandsLoadNoWindowLibrary) {
    TempDir folder;
    copyPerstando(folder.path());
    const auto runtime = privateRuntime(folder.path());
    struct Case {
        const char *arguments;
        int status;
    };
    const Case cases[] = {{"--version", 0},       {"--help", 0},    {"--status", 3},
                          {"--status --json", 3}, {"--metrics", 3}, {"--pause", 3},
                          {"--check 1", 3},       {"--quit", 3},    {"--nonsense", 2}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.arguments);
        // The loader names each library it maps.
        const ShellRun run = shell("cd '" + folder.path().string() + "' && XDG_RUNTIME_DIR='" +
                                   runtime.string() + "' LD_DEBUG=libs ./perstando " + c.arguments);
        EXPECT_EQ(run.status, c.status) << run.output;
        // The trace is there: the C library shows in it.
        ASSERT_TRUE(contains(run.output, "libc.so.6")) << run.output;
        for (const char *library :
             {"perstando-gui", "libQt6", "libxcb", "libX11", "libglib", "libsecret", "libdbus"}) {
            EXPECT_FALSE(contains(run.output, library)) << library << " loaded:\n" << run.output;
        }
    }
}

TEST(CommandLine, MissingOrBrokenModuleEndsWithOneLine) {
    const std::string moduleName = std::filesystem::path(PERSTANDO_GUI_MODULE_FILE).filename();
    const auto maths = mappedMathsLibrary();
    ASSERT_FALSE(maths.empty());
    struct Case {
        const char *what;
        std::filesystem::path copied; // what lies where the module should; empty: nothing
        const char *text;             // written there instead, when not empty
        const char *told;
    };
    const Case cases[] = {
        {"no module", {}, "", "cannot load"},
        {"a text file", {}, "not a library\n", "cannot load"},
        {"a library without the entry", maths, "", "cannot start the program from"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir folder;
        copyExecutable(PERSTANDO_BINARY, folder.path(), "perstando");
        // Told by its real path, which is what the executable finds itself by.
        const auto module = std::filesystem::canonical(folder.path()) / moduleName;
        if (!c.copied.empty()) {
            std::filesystem::copy_file(c.copied, module);
        } else if (*c.text) {
            writeFile(module, c.text);
        }
        // Started without a command it would be the windowed program.
        const ShellRun run = shell("cd '" + folder.path().string() + "' && XDG_RUNTIME_DIR='" +
                                   privateRuntime(folder.path()).string() +
                                   "' QT_QPA_PLATFORM=offscreen ./perstando");
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
        EXPECT_TRUE(run.output.starts_with(std::string("perstando: ") + c.told + " " +
                                           module.string() + ": "))
            << run.output;
    }
}

} // namespace
