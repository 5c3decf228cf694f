// The real binary started beside settings files no dialog would write: it
// comes up within a second of CPU time and stays up.

#include "tests/support/process_stats.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <iostream>
#include <random>

using namespace testing_support;

namespace {

/// The settings text around the [log] section the test needs to see the start.
using Content = std::string (*)(const std::string &logSection);

std::string binaryJunk(const std::string &logSection) {
    std::mt19937 random(12);
    std::string junk(256 * 1024, '\0');
    for (auto &c : junk) {
        c = static_cast<char>(random());
    }
    return junk + "\n" + logSection + junk;
}

std::string nulBytes(const std::string &logSection) {
    using namespace std::string_literals;
    return "[exe1\0]\nname=Nul\0Name\n\0\0\0\n[exe2]\npa\0th=x\0y\ntimer=10\0\n"s + logSection +
           std::string(4096, '\0') + "\n[exe3]\nname=\0\n";
}

std::string invalidUtf8(const std::string &logSection) {
    // Stray continuation bytes, overlong forms, a surrogate, bytes that never
    // start anything, a sequence cut short at the end of a line.
    const std::string bad =
        "\x80\xbf\xc0\xaf\xe0\x80\xaf\xed\xa0\x80\xfe\xff\xf8\x88\x80\x80\x80\xe2\x82";
    return "\xef\xbb\xbf[exe1]\nname=" + bad + "\npath=" + bad + "\ntimer=" + bad + "\n[" + bad +
           "]\n" + bad + "=" + bad + "\n[workingexe1]\npath1=" + bad + "\n" + logSection +
           "[Alerts]\nvisual=" + bad + "\n";
}

std::string tenMegabyteLine(const std::string &logSection) {
    return "[exe1]\nname=" + std::string(10 * 1024 * 1024, 'x') + "\n" + logSection;
}

std::string tenThousandSections(const std::string &logSection) {
    std::string text;
    for (int n = 0; n < 10000; ++n) {
        text += "[section" + std::to_string(n) + "]\nkey=value " + std::to_string(n) + "\n";
    }
    return text + logSection;
}

struct Case {
    const char *name;
    Content content;
    int interval = -1; ///< with eight named slots watching a program each, at this interval
};

class HostileSettings : public ::testing::TestWithParam<Case> {};

TEST_P(HostileSettings, StartsWithinASecondOfCpuAndStaysUp) {
    const Case &c = GetParam();
    TempDir folder;
    const auto binary = copyPerstando(folder.path());
    const auto log = folder / "watch.log";
    const std::string logSection = "[log]\npath=" + log.string() + "\n";
    std::vector<std::filesystem::path> programs;
    std::string settings;
    if (c.content) {
        settings = c.content(logSection);
    } else {
        for (int n = 1; n <= 8; ++n) {
            programs.push_back(copyExecutable(WATCHED_PROGRAM, folder.path(), uniqueName("w")));
            settings += "[exe" + std::to_string(n) + "]\nname=Slot " + std::to_string(n) +
                        "\npath=" + programs.back().string() +
                        "\ntimer=" + std::to_string(c.interval) + "\n";
        }
        settings += logSection;
    }
    writeFile(folder / "settings.ini", settings);

    Child perstando({binary.string()}, folder.path(), {"QT_QPA_PLATFORM=offscreen"});
    ASSERT_TRUE(waitUntil(
        [&] {
            return readFile(log).find("Tenacor has been started.") != std::string::npos ||
                   !perstando.running();
        },
        std::chrono::seconds(60)));
    ASSERT_TRUE(perstando.running()) << "Perstando ended during its start";
    // Start-up goes on after the start line with the window's first
    // activation; it is over when the CPU time stops growing. A slot checked
    // every millisecond never lets it rest: there the start line ends it.
    double cpu = cpuSeconds(perstando.pid());
    if (c.interval != 1) {
        int polls = 0;
        waitUntil(
            [&] {
                const double now = cpuSeconds(perstando.pid());
                const bool resting = polls++ > 0 && now == cpu;
                cpu = now;
                return resting;
            },
            std::chrono::seconds(20), std::chrono::milliseconds(300));
    }
#ifdef PERSTANDO_SANITIZED
    const double limit = 3.0; // the sanitizers slow every instruction down
#else
    const double limit = 1.0;
#endif
    std::cout << "start-up took " << cpu << " s of CPU" << std::endl;
    EXPECT_LT(cpu, limit) << "CPU seconds of the start-up";
    EXPECT_FALSE(waitUntil([&] { return !perstando.running(); }, std::chrono::seconds(3)))
        << "Perstando ended after its start";
    if (c.interval == 1) {
        for (const auto &exe : programs) {
            EXPECT_FALSE(pidsOf(exe).empty()) << exe << " was not started";
        }
    } else if (c.interval >= 0) {
        for (const auto &exe : programs) {
            EXPECT_TRUE(pidsOf(exe).empty()) << exe << " was started before its first tick";
        }
    }
    perstando.stop(SIGKILL);
    for (const auto &exe : programs) {
        killAll(exe);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, HostileSettings,
    ::testing::Values(Case{"BinaryJunk", binaryJunk}, Case{"NulBytes", nulBytes},
                      Case{"InvalidUtf8", invalidUtf8}, Case{"TenMegabyteLine", tenMegabyteLine},
                      Case{"TenThousandSections", tenThousandSections},
                      Case{"EveryIntervalZero", nullptr, 0}, Case{"EveryIntervalOne", nullptr, 1},
                      Case{"EveryInterval60000", nullptr, 60000}),
    [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

} // namespace
