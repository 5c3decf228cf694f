#include "core/atomic_file.h"
#include "core/ini_file.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <grp.h>
#include <pwd.h>
#include <random>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

struct ReadCase {
    const char *name;
    const char *content;
    const char *section;
    const char *key;
    const char *expected;
};

class IniReadTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(IniReadTest, ReadsLikeThePrivateProfileCall) {
    const auto &c = GetParam();
    TempDir dir;
    writeFile(dir / "settings.ini", c.content);
    EXPECT_EQ(ini::readValue(c.section, c.key, dir / "settings.ini"), c.expected);
    // The snapshot of one read answers the same, moved or copied as it is passed on.
    const auto document = ini::Document::load(dir / "settings.ini");
    const ini::Document copy = document;
    EXPECT_EQ(document.value(c.section, c.key), c.expected);
    EXPECT_EQ(copy.value(c.section, c.key), c.expected);
}

const ReadCase readCases[] = {
    {"OtherSpellingOfSectionAndKey", "[internet]\nrestartname=dsl\n", "Internet", "Restartname",
     "dsl"},
    {"StartupModeSpellings", "[StartupMode]\nInIconTray=Yes\n", "Startupmode", "inicontray", "Yes"},
    {"BlanksAroundNamesAndValues", "  [ exe1 ]  \n  name   =  Order entry  \n", "exe1", "name",
     "Order entry"},
    {"OnePairOfQuotesDropped", "[a]\nk=\"quoted value\"\n", "a", "k", "quoted value"},
    {"OnlyOnePairOfQuotes", "[a]\nk=\"\"x\"\"\n", "a", "k", "\"x\""},
    {"LoneQuoteKept", "[a]\nk=\"open\n", "a", "k", "\"open"},
    {"CommentLinesIgnored", "[a]\n;k=commented\nk=real\n", "a", "k", "real"},
    {"ByteOrderMarkSkipped", "\xEF\xBB\xBF[a]\nk=v\n", "a", "k", "v"},
    {"CrLfLines", "[a]\r\nk=v\r\nj=w\r\n", "a", "j", "w"},
    {"NoFinalNewline", "[a]\nk=v", "a", "k", "v"},
    {"FirstDuplicateKeyWins", "[a]\nk=first\nk=second\n", "a", "k", "first"},
    {"FirstDuplicateSectionWins", "[a]\nk=first\n[a]\nk=second\n", "a", "k", "first"},
    {"KeyOnlyInLaterDuplicateSection", "[a]\nx=1\n[a]\nk=second\n", "a", "k", ""},
    {"KeyInOtherSectionNotFound", "[a]\nk=v\n[b]\n", "b", "k", ""},
    {"EmptyValue", "[a]\nk=\n", "a", "k", ""},
    {"EqualsInValue", "[a]\nk=x=y\n", "a", "k", "x=y"},
    {"LineWithoutEqualsIgnored", "[a]\njunk line\nk=v\n", "a", "k", "v"},
    {"BrokenHeaderIsNoSection", "[a\nk=v\n[b]\nk=w\n", "a", "k", ""},
    {"BrokenHeaderKeepsPreviousSection", "[b]\n[a\nk=v\n", "b", "k", "v"},
    {"InvalidUtf8ReadAsIs", "[a]\nk=\xFF\xFEok\n", "a", "k", "\xFF\xFEok"},
};

INSTANTIATE_TEST_SUITE_P(Cases, IniReadTest, ::testing::ValuesIn(readCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(IniRead, ExampleFileKeyByKey) {
    TempDir dir;
    const auto file = dir / "settings.ini";
    writeFile(file, "[exe1]\nname=Order entry\npath=orders.exe\ntimer=5000\n[workingexe1]\n"
                    "path1=/srv/orders\n[cmdline]\ncmdexe1=/usr/bin/pager 555\nstatusexe1=On\n"
                    "[Alerts]\nvisual=On\naudio=Off\nPop=On\n[log]\npath=/srv/watch.log\n"
                    "[mail]\nnotification=Off\n[StartupMode]\nInIconTray=No\n");
    const std::pair<std::pair<const char *, const char *>, const char *> expected[] = {
        {{"exe1", "name"}, "Order entry"},
        {{"exe1", "path"}, "orders.exe"},
        {{"exe1", "timer"}, "5000"},
        {{"workingexe1", "path1"}, "/srv/orders"},
        {{"cmdline", "cmdexe1"}, "/usr/bin/pager 555"},
        {{"cmdline", "statusexe1"}, "On"},
        {{"Alerts", "visual"}, "On"},
        {{"Alerts", "audio"}, "Off"},
        {{"Alerts", "Pop"}, "On"},
        {{"log", "path"}, "/srv/watch.log"},
        {{"mail", "notification"}, "Off"},
        {{"Startupmode", "InIconTray"}, "No"},
        {{"exe2", "name"}, ""},
        {{"mail", "Sendto"}, ""},
    };
    for (const auto &[where, value] : expected) {
        EXPECT_EQ(ini::readValue(where.first, where.second, file), value)
            << where.first << "/" << where.second;
    }
}

TEST(IniRead, LongValuesAreCutTo254CharactersNeverMidSequence) {
    TempDir dir;
    const auto file = dir / "settings.ini";
    writeFile(file, "[a]\nascii=" + std::string(300, 'x') + "\nwide=" + std::string(253, 'x') +
                        "\xC3\xA9\xC3\xA9\n");
    EXPECT_EQ(ini::readValue("a", "ascii", file), std::string(254, 'x'));
    EXPECT_EQ(ini::readValue("a", "wide", file), std::string(253, 'x') + "\xC3\xA9");
}

TEST(IniRead, MissingFileReadsEmptyAndIsNotCreated) {
    TempDir dir;
    EXPECT_EQ(ini::readValue("exe1", "name", dir / "settings.ini"), "");
    EXPECT_FALSE(std::filesystem::exists(dir / "settings.ini"));
}

TEST(IniRead, HostileContentNeitherCrashesNorHangs) {
    TempDir dir;
    const auto file = dir / "settings.ini";
    std::string junk;
    junk += std::string("[a]\nk=v\0w\n", 10);
    junk += "long=" + std::string(4 * 1024 * 1024, 'L') + "\n";
    junk += "[unterminated\n===\n=\n[]\n\xFF\xFE\xFD\n";
    junk += "[b]\nafter=yes";
    writeFile(file, junk);
    EXPECT_EQ(ini::readValue("a", "k", file), std::string("v\0w", 3));
    EXPECT_EQ(ini::readValue("a", "long", file), std::string(254, 'L'));
    EXPECT_EQ(ini::readValue("b", "after", file), "yes");

    // Up to 16 MiB is read; a larger file, or a link to /dev/zero, would only
    // fill the memory.
    const std::string last = "[last]\nkey=found\n";
    std::string big;
    big.reserve(16u << 20);
    for (int i = 0; big.size() + 64 < (16u << 20) - last.size(); ++i) {
        big += "[s" + std::to_string(i) + "]\nkey=value " + std::to_string(i) + "\n";
    }
    big += ";" + std::string((16u << 20) - last.size() - big.size() - 2, 'c') + "\n" + last;
    ASSERT_EQ(big.size(), 16u << 20);
    writeFile(file, big);
    EXPECT_EQ(ini::readValue("last", "key", file), "found");
    writeFile(file, ";" + big);
    EXPECT_EQ(ini::readValue("last", "key", file), "");
    EXPECT_FALSE(ini::writeValue("last", "key", "lost", file));
}

TEST(IniRead, AFifoNeitherHangsNorIsReplaced) {
    TempDir dir;
    const auto file = dir / "settings.ini";
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    auto read = std::async(std::launch::async, [&] { return ini::readValue("a", "k", file); });
    if (read.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // A writer that comes and goes lets the blocked open, then the read, end.
        ::close(::open(file.c_str(), O_WRONLY | O_NONBLOCK));
        read.wait();
        FAIL() << "reading a FIFO blocked";
    }
    EXPECT_EQ(read.get(), "");
    EXPECT_FALSE(ini::writeValue("a", "k", "v", file));
    EXPECT_TRUE(std::filesystem::is_fifo(file));
}

TEST(IniWrite, CreatesFileSectionAndKeyAndReadsBack) {
    TempDir dir;
    const auto file = dir / "settings.ini";
    ASSERT_TRUE(ini::writeValue("StartupMode", "InIconTray", "Yes", file));
    ASSERT_TRUE(ini::writeValue("exe1", "name", "NotePad", file));
    ASSERT_TRUE(ini::writeValue("exe1", "path", "", file));
    EXPECT_EQ(readFile(file), "[StartupMode]\nInIconTray=Yes\n[exe1]\nname=NotePad\npath=\n");
    EXPECT_EQ(ini::readValue("startupmode", "inicontray", file), "Yes");
    EXPECT_EQ(ini::readValue("exe1", "path", file), "");
}

TEST(IniWrite, ReplacesOnlyItsValueAndKeepsEveryOtherByte) {
    TempDir dir;
    const auto file = dir / "settings.ini";
    writeFile(file, "; my notes\r\n[Internet]\r\nRestartname=old\r\n\r\n[zeta]\r\nk = 1 \r\n");
    ASSERT_TRUE(ini::writeValue("internet", "restartname", "new", file));
    ASSERT_TRUE(ini::writeValue("Internet", "Monitor", "On", file));
    EXPECT_EQ(readFile(file), "; my notes\r\n[Internet]\r\nRestartname=new\r\nMonitor=On\r\n"
                              "\r\n[zeta]\r\nk = 1 \r\n");
}

TEST(IniWrite, ManyKeysLandAsTheirSingleWritesWouldOrNotAtAll) {
    TempDir dir;
    const auto file = dir / "settings.ini";
    const std::string before = "; my notes\r\n[Internet]\r\nRestartname=old\r\n";
    writeFile(file, before);
    const std::vector<ini::Change> save = {{"internet", "restartname", "new"},
                                           {"Internet", "Monitor", "On"},
                                           {"exe1", "name", "Orders"},
                                           {"exe1", "path", "orders.bin"}};
    ASSERT_TRUE(ini::writeValues(save, file));
    EXPECT_EQ(readFile(file), "; my notes\r\n[Internet]\r\nRestartname=new\r\nMonitor=On\r\n"
                              "[exe1]\r\nname=Orders\r\npath=orders.bin\r\n");

    // One bad key spoils the whole save: nothing before it is written either.
    writeFile(file, before);
    const auto refused = ini::writeValues({{"exe1", "name", "Orders"}, {"exe1", "a=b", "x"}}, file);
    EXPECT_FALSE(refused);
    EXPECT_EQ(refused.error, "invalid key name");
    EXPECT_EQ(readFile(file), before);
}

TEST(IniWrite, AppendsToFileWithoutFinalNewline) {
    TempDir dir;
    const auto file = dir / "settings.ini";
    writeFile(file, "[a]\nk=v");
    ASSERT_TRUE(ini::writeValue("a", "j", "w", file));
    ASSERT_TRUE(ini::writeValue("b", "x", "y", file));
    EXPECT_EQ(readFile(file), "[a]\nk=v\nj=w\n[b]\nx=y\n");
}

// A last line that ends in a lone CR (a CR LF cut short): the reader drops the
// CR, so a key added after it must start a line of its own and the line
// before must read as it did.
TEST(IniWrite, AppendsAfterALastLineEndingInALoneCarriageReturn) {
    TempDir dir;
    const auto file = dir / "settings.ini";
    writeFile(file, "[a]\r\nk=\"v\" \r");
    ASSERT_EQ(ini::readValue("a", "k", file), "v");
    ASSERT_TRUE(ini::writeValue("a", "j", "w", file));
    EXPECT_EQ(ini::readValue("a", "j", file), "w");
    EXPECT_EQ(ini::readValue("a", "k", file), "v");
    writeFile(file, "[a]\r\nk=v\r");
    ASSERT_TRUE(ini::writeValue("b", "x", "y", file));
    EXPECT_EQ(readFile(file), "[a]\r\nk=v\r\n[b]\r\nx=y\r\n");
    EXPECT_EQ(ini::readValue("b", "x", file), "y");
}

TEST(IniWrite, LineBreaksInValuesCannotForgeKeys) {
    TempDir dir;
    const auto file = dir / "settings.ini";
    ASSERT_TRUE(ini::writeValue("log", "path", "/tmp/a.log\n[exe1]\npath=evil", file));
    EXPECT_EQ(ini::readValue("log", "path", file), "/tmp/a.log[exe1]path=evil");
    EXPECT_EQ(ini::readValue("exe1", "path", file), "");
}

TEST(IniWrite, ReadOnlyFileIsReportedAndUnchanged) {
    TempDir dir;
    const auto file = dir / "settings.ini";
    writeFile(file, "[a]\nk=old\n");
    ::chmod(file.c_str(), 0444);
    const auto result = ini::writeValue("a", "k", "new", file);
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(result.error.empty());
    EXPECT_EQ(readFile(file), "[a]\nk=old\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(IniWrite, MissingFolderIsReported) {
    TempDir dir;
    const auto result = ini::writeValue("a", "k", "v", dir / "missing" / "settings.ini");
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

TEST(IniWrite, ThroughALinkToAFileYetToBeWrittenCreatesTheTarget) {
    TempDir dir;
    std::filesystem::create_directories(dir / "program");
    std::filesystem::create_directories(dir / "dot");
    const auto link = dir / "program" / "settings.ini";
    std::filesystem::create_symlink("../dot/new.ini", link);
    ASSERT_TRUE(ini::writeValue("a", "k", "v", link));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(readFile(dir / "dot" / "new.ini"), "[a]\nk=v\n");
    ASSERT_TRUE(ini::writeValue("a", "j", "w", link));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(readFile(dir / "dot" / "new.ini"), "[a]\nk=v\nj=w\n");
}

TEST(IniWrite, KeepsPermissionsOfTheFile) {
    TempDir dir;
    const auto file = dir / "settings.ini";
    writeFile(file, "[a]\nk=v\n");
    ::chmod(file.c_str(), 0600);
    ASSERT_TRUE(ini::writeValue("a", "k", "w", file));
    struct stat st {};
    ::stat(file.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// A writer killed at any moment leaves the old file or the new one, never a
// torn one: every key parses and holds one of the values ever written.
TEST(IniWrite, OnlyOldLeftoversOfKilledWritersAreRemoved) {
    TempDir dir;
    const auto file = dir / "settings.ini";
    writeFile(file, "[a]\nb=c\n");
    const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::minutes(5);
    const auto make = [&](const std::string &name) {
        writeFile(dir / name, "[a]\nb=");
        std::filesystem::last_write_time(dir / name, old);
    };
    make(".settings.ini.Ab12Cd");
    make(".settings.ini.zz99YY");
    make(".settings.ini.bak");     // a user's copy
    make(".settings.ini.ABCDEFG"); // not mkstemp's six
    make(".settings.ini.AB-DEF");
    make("settings.ini.ABCDEF");
    make(".other.ini.ABCDEF");
    writeFile(dir / ".settings.ini.Fresh1", "[a]\nb="); // a write in flight
    std::filesystem::create_directory(dir / ".settings.ini.Dir123");
    std::filesystem::last_write_time(dir / ".settings.ini.Dir123", old);
    std::filesystem::create_symlink(dir / ".other.ini.ABCDEF", dir / ".settings.ini.Lnk123");

    EXPECT_EQ(core::removeLeftoverTemporaries(file), 2);
    std::vector<std::string> left;
    for (const auto &entry : std::filesystem::directory_iterator(dir.path())) {
        left.push_back(entry.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{
                        ".other.ini.ABCDEF", ".settings.ini.AB-DEF", ".settings.ini.ABCDEFG",
                        ".settings.ini.Dir123", ".settings.ini.Fresh1", ".settings.ini.Lnk123",
                        ".settings.ini.bak", "settings.ini", "settings.ini.ABCDEF"}));
    EXPECT_EQ(readFile(file), "[a]\nb=c\n");
    EXPECT_EQ(core::removeLeftoverTemporaries(dir / "missing" / "settings.ini"), 0);
}

TEST(IniWrite, KilledWriterNeverLeavesATornFile) {
    TempDir dir;
    const auto file = dir / "settings.ini";
    constexpr int Keys = 20;
    for (int k = 0; k < Keys; ++k) {
        ASSERT_TRUE(
            ini::writeValue("s" + std::to_string(k % 4), "key" + std::to_string(k), "gen0", file));
    }
    std::mt19937 random(42);
    for (int round = 0; round < 25; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int gen = 1;; ++gen) {
                for (int k = 0; k < Keys; ++k) {
                    ini::writeValue("s" + std::to_string(k % 4), "key" + std::to_string(k),
                                    "gen" + std::to_string(gen) + std::string(gen % 50, '.'), file);
                }
            }
        }
        ::usleep(static_cast<useconds_t>(1000 + random() % 20000));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        for (int k = 0; k < Keys; ++k) {
            const auto value =
                ini::readValue("s" + std::to_string(k % 4), "key" + std::to_string(k), file);
            ASSERT_EQ(value.rfind("gen", 0), 0u)
                << "round " << round << " key " << k << ": " << value;
        }
        // The killed writer's leftovers never replace the settings.
        const auto content = readFile(file);
        ASSERT_EQ(content.back(), '\n');
    }
}

// Settings name programs to start as this user: a file or folder another
// account could change is neither read nor written, and the reason is given.
TEST(IniTrust, SettingsAnotherAccountCouldChangeAreRefused) {
    const passwd *nobody = ::getpwnam("nobody");
    if (::geteuid() != 0 || !nobody) {
        GTEST_SKIP() << "needs root to make files of another account";
    }
    namespace fs = std::filesystem;
    const uid_t other = nobody->pw_uid;
    const gid_t othersGroup = nobody->pw_gid; // nobody is a member besides this user
    struct Case {
        const char *name;
        void (*arrange)(const fs::path &folder, const fs::path &file, uid_t, gid_t);
        const char *reason; ///< nullptr: used as usual
    };
    const Case cases[] = {
        {"file of another account",
         [](const fs::path &, const fs::path &file, uid_t uid, gid_t) {
             ASSERT_EQ(::chown(file.c_str(), uid, static_cast<gid_t>(-1)), 0);
         },
         "belongs to another user"},
        {"group-writable, the group has another member",
         [](const fs::path &, const fs::path &file, uid_t, gid_t gid) {
             ASSERT_EQ(::chown(file.c_str(), static_cast<uid_t>(-1), gid), 0);
             ASSERT_EQ(::chmod(file.c_str(), 0664), 0);
         },
         "other members of group"},
        {"group-writable, the user's own group",
         [](const fs::path &folder, const fs::path &file, uid_t, gid_t) {
             ASSERT_EQ(::chmod(folder.c_str(), 0775), 0);
             ASSERT_EQ(::chmod(file.c_str(), 0664), 0);
         },
         nullptr},
        {"folder writable by everyone, a missing file",
         [](const fs::path &folder, const fs::path &file, uid_t, gid_t) {
             fs::remove(file);
             ASSERT_EQ(::chmod(folder.c_str(), 01777), 0);
         },
         "can be changed by every user"},
        {"link into a folder everyone can write",
         [](const fs::path &folder, const fs::path &file, uid_t, gid_t) {
             const auto shared = folder.parent_path() / "shared";
             fs::create_directory(shared);
             ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
             fs::rename(file, shared / "mine.ini");
             fs::create_symlink(shared / "mine.ini", file);
         },
         "can be changed by every user"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto folder = dir / "perstando";
        const auto file = folder / "settings.ini";
        fs::create_directory(folder);
        writeFile(file, "[exe1]\nname=Watched\n");
        c.arrange(folder, file, other, othersGroup);
        const std::string before = fs::exists(file) ? readFile(file) : "(none)";

        std::string problem;
        const auto document = ini::Document::load(file, &problem);
        const auto written = ini::writeValue("exe1", "name", "Changed", file);
        if (c.reason) {
            EXPECT_NE(problem.find(c.reason), std::string::npos) << problem;
            EXPECT_EQ(document.value("exe1", "name"), "");
            EXPECT_EQ(ini::readValue("exe1", "name", file), "");
            EXPECT_FALSE(written.ok);
            EXPECT_EQ(written.error, problem);
            EXPECT_EQ(fs::exists(file) ? readFile(file) : "(none)", before) << "written into";
        } else {
            EXPECT_EQ(problem, "");
            EXPECT_EQ(document.value("exe1", "name"), "Watched");
            EXPECT_TRUE(written.ok) << written.error;
        }
    }
}

} // namespace
