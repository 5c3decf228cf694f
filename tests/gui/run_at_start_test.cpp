// The "Startup Options" commands against a system autostart folder of the test's own.

#include "monitor/main_window.h"
#include "tests/gui/gui_test_support.h"

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
        if (const char *old = std::getenv("XDG_CONFIG_DIRS")) {
            oldDirs_ = old;
        }
        useConfigDirs((config_ / "first").string() + ":" + (config_ / "second").string());
        writeSettings("[log]\npath=" + log_.string() + "\n");
        form_ = new Form1();
    }
    void TearDown() override {
        if (oldDirs_) {
            ::setenv("XDG_CONFIG_DIRS", oldDirs_->c_str(), 1);
        } else {
            ::unsetenv("XDG_CONFIG_DIRS");
        }
        WindowTest::TearDown();
    }
    static void useConfigDirs(const std::string &dirs) {
        ::setenv("XDG_CONFIG_DIRS", dirs.c_str(), 1);
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
    std::filesystem::path entry_ = config_ / "first" / "autostart" / "Perstando.desktop";
    std::filesystem::path log_ = folder_ / "watch.log";
    Form1 *form_ = nullptr;
    std::optional<std::string> oldDirs_;
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
    EXPECT_FALSE(std::filesystem::exists(config_ / "second" / "autostart"));

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

    // A first config folder that is a file: there is nowhere to put the entry,
    // and no entry to remove.
    writeFile(config_ / "file", "");
    useConfigDirs((config_ / "file").string());
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

} // namespace
