// The "Startup Options" commands against user and system autostart folders of
// the test's own.

#include "monitor/main_window.h"
#include "tests/gui/gui_test_support.h"
#include "tests/gui/new_main_window.h"
#include "tests/support/scoped_env.h"

#include <QAction>
#include <QRegularExpression>

#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>

using namespace testing_support;

namespace {

/// Makes a folder read-only for real: as root, permissions do not stop
/// writes, so root gets a read-only bind mount of the folder over itself.
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(const std::filesystem::path &folder) : folder_(folder) {
        if (::geteuid() != 0) {
            std::filesystem::permissions(folder, std::filesystem::perms::owner_read |
                                                     std::filesystem::perms::owner_exec);
            made_ = true;
        } else if (::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) == 0) {
            mounted_ = true;
            made_ = ::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                            nullptr) == 0;
        }
    }
    ~ReadOnlyFolder() {
        if (mounted_) {
            ::umount2(folder_.c_str(), MNT_DETACH);
        } else {
            std::filesystem::permissions(folder_, std::filesystem::perms::owner_all);
        }
    }
    bool made() const { return made_; }

private:
    std::filesystem::path folder_;
    bool mounted_ = false;
    bool made_ = false;
};

class RunAtStartTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        home_.emplace("XDG_CONFIG_HOME", (config_ / "home").string());
        systemDirs_.emplace("XDG_CONFIG_DIRS",
                            (config_ / "first").string() + ":" + (config_ / "second").string());
        writeSettings("[log]\npath=" + log_.string() + "\n");
        form_ = testing_support::newMainWindow();
    }
    void TearDown() override {
        WindowTest::TearDown();
        home_.reset();
        systemDirs_.reset();
    }

    /// Log lines after the start line, without their timestamps.
    QStringList logged() const {
        static const QRegularExpression stamp(
            QStringLiteral("^\\d{1,2}/\\d{1,2}/\\d{4} \\d{1,2}:\\d{2}:\\d{2} [AP]M, "));
        auto lines = QString::fromStdString(readFile(log_)).split(u'\n', Qt::SkipEmptyParts);
        lines.removeFirst();
        for (auto &line : lines) {
            EXPECT_TRUE(stamp.match(line).hasMatch()) << line.toStdString();
            line.remove(stamp);
        }
        return lines;
    }

    TempDir config_;
    std::optional<ScopedEnv> home_;
    std::optional<ScopedEnv> systemDirs_;
    std::filesystem::path entry_ = config_ / "home" / "autostart" / "Perstando.desktop";
    std::filesystem::path systemEntry_ = config_ / "first" / "autostart" / "Perstando.desktop";
    std::filesystem::path log_ = folder_ / "watch.log";
    MainWindow *form_ = nullptr;
};

const QString Enabled = QStringLiteral("Run on windows startup has been enabled.");
const QString Disabled = QStringLiteral("Run on windows startup has been disabled.");
const QString EnabledEntry =
    QStringLiteral("Tenacor has been enabled to run on upon windows startup.");
const QString DisabledEntry =
    QStringLiteral("Tenacor has been disabled to run on upon windows startup.");

TEST_F(RunAtStartTest, EnableWritesTheEntryAndDisableRemovesIt) {
    ASSERT_TRUE(form_->findChild<QAction *>(QStringLiteral("mnustartup"))->isEnabled());
    ASSERT_TRUE(form_->findChild<QAction *>(QStringLiteral("mnudisable"))->isEnabled());

    form_->runMenuItem(QStringLiteral("mnustartup"));
    const auto text = readFile(entry_);
    EXPECT_NE(text.find("\nExec=" + folder_.path().string() + "/perstando\n"), std::string::npos)
        << text;
    EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u);
    EXPECT_FALSE(std::filesystem::exists(config_ / "first"));
    EXPECT_FALSE(std::filesystem::exists(config_ / "second"));

    writeFile(entry_, "stale");
    form_->runMenuItem(QStringLiteral("mnustartup"));
    EXPECT_EQ(readFile(entry_), text) << "enabling again rewrites the entry";

    form_->runMenuItem(QStringLiteral("mnudisable"));
    EXPECT_FALSE(std::filesystem::exists(entry_));
    form_->runMenuItem(QStringLiteral("mnudisable"));

    EXPECT_EQ(messages_.texts(), (QStringList{Enabled, Enabled, Disabled, Disabled}));
    for (const auto &shown : messages_.shown) {
        EXPECT_EQ(shown.title, QStringLiteral("Perstando"));
        EXPECT_EQ(shown.buttons, QMessageBox::Ok);
    }
    EXPECT_EQ(logged(), (QStringList{EnabledEntry, EnabledEntry, DisabledEntry, DisabledEntry}));
}

TEST_F(RunAtStartTest, AFolderThatCannotBeWrittenIsReportedAsAFailure) {
    form_->runMenuItem(QStringLiteral("mnustartup"));
    ASSERT_TRUE(std::filesystem::exists(entry_));
    const auto text = readFile(entry_);
    {
        ReadOnlyFolder readOnly(entry_.parent_path());
        if (!readOnly.made()) {
            GTEST_SKIP() << "cannot make a read-only folder here";
        }
        form_->runMenuItem(QStringLiteral("mnustartup"));
        form_->runMenuItem(QStringLiteral("mnudisable"));
    }
    EXPECT_EQ(readFile(entry_), text) << "the entry is untouched";

    // A config folder that is a file: there is nowhere to put the entry, and
    // no entry to remove.
    writeFile(config_ / "file", "");
    home_.reset();
    home_.emplace("XDG_CONFIG_HOME", (config_ / "file").string());
    form_->runMenuItem(QStringLiteral("mnustartup"));
    form_->runMenuItem(QStringLiteral("mnudisable"));

    const auto texts = messages_.texts();
    ASSERT_EQ(texts.size(), 5);
    const QString notEnabled = QStringLiteral("Run on windows startup could not be enabled.\n");
    const QString notDisabled = QStringLiteral("Run on windows startup could not be disabled.\n");
    const QString entry = QString::fromStdString(entry_.string());
    const QString folder = entry.left(entry.lastIndexOf(u'/'));
    const QString why =
        QString::fromLatin1(::geteuid() == 0 ? "Read-only file system" : "Permission denied");
    EXPECT_EQ(texts[1], notEnabled + folder + QStringLiteral(": ") + why);
    EXPECT_EQ(texts[2], notDisabled + entry + QStringLiteral(": ") + why);
    EXPECT_TRUE(texts[3].startsWith(notEnabled)) << texts[3].toStdString();
    EXPECT_GT(texts[3].size(), notEnabled.size()) << "the reason is given";
    EXPECT_EQ(texts[4], Disabled);
    EXPECT_EQ(messages_.shown[1].icon, QMessageBox::Warning);

    EXPECT_EQ(logged(),
              (QStringList{
                  EnabledEntry,
                  QStringLiteral("Tenacor could not be enabled to run on upon windows startup."),
                  QStringLiteral("Tenacor could not be disabled to run on upon windows startup."),
                  QStringLiteral("Tenacor could not be enabled to run on upon windows startup."),
                  DisabledEntry}));
}

TEST_F(RunAtStartTest, AnOrdinaryUserGetsTheEntryInTheirOwnFolder) {
    // What an ordinary user meets: a system folder they cannot write, no
    // XDG_CONFIG_HOME and no autostart folder yet.
    std::filesystem::create_directories(systemEntry_.parent_path());
    ReadOnlyFolder readOnly(systemEntry_.parent_path());
    if (!readOnly.made()) {
        GTEST_SKIP() << "cannot make a read-only folder here";
    }
    TempDir home;
    home_.reset();
    ::unsetenv("XDG_CONFIG_HOME");
    ScopedEnv userHome("HOME", home.path().string());
    const auto entry = home / ".config" / "autostart" / "Perstando.desktop";

    form_->runMenuItem(QStringLiteral("mnustartup"));
    EXPECT_EQ(messages_.texts(), QStringList{Enabled});
    EXPECT_EQ(readFile(entry), "[Desktop Entry]\nType=Application\nName=Perstando\nExec=" +
                                   folder_.path().string() + "/perstando\nTerminal=false\n");
    form_->runMenuItem(QStringLiteral("mnudisable"));
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_EQ(logged(), (QStringList{EnabledEntry, DisabledEntry}));
}

TEST_F(RunAtStartTest, DisableAsRootAlsoTakesOutAnEntryLeftInTheSystemFolder) {
    std::filesystem::create_directories(systemEntry_.parent_path());
    writeFile(systemEntry_, "[Desktop Entry]\nType=Application\nExec=/old/perstando\n");
    form_->runMenuItem(QStringLiteral("mnustartup"));
    form_->runMenuItem(QStringLiteral("mnudisable"));
    EXPECT_FALSE(std::filesystem::exists(entry_));
    // Only root may write there; anyone else leaves it alone.
    EXPECT_EQ(std::filesystem::exists(systemEntry_), ::geteuid() != 0);
    EXPECT_EQ(messages_.texts(), (QStringList{Enabled, Disabled}));
}

} // namespace
