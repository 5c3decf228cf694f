// A check takes a slot's program from the settings file as it is then, without
// opening the file again while it stays as it was: each way of changing the
// file is seen at the next check.

#include "core/file_stamp.h"
#include "core/program_folder.h"
#include "engine/event_stream.h"
#include "engine/slot_watcher.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <functional>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// Both are pieces of this test's own path, so slot 2 (the substring rule)
// finds them running and starts nothing; equal lengths make equal sizes.
const std::string Before = "engine_test";
const std::string After = "ngine_tests";

std::string settingsFor(const std::string &program) {
    return "[exe2]\nname=Self\npath=" + program + "\n";
}

/// Counts the files opened in a folder, as inotify reports them.
class OpenCounter {
public:
    explicit OpenCounter(const fs::path &folder) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        EXPECT_GE(::inotify_add_watch(fd_, folder.c_str(), IN_OPEN), 0);
    }
    ~OpenCounter() { ::close(fd_); }
    OpenCounter(const OpenCounter &) = delete;
    OpenCounter &operator=(const OpenCounter &) = delete;

    /// Opens of files (not of the folder) since the last call.
    int take() {
        int opens = 0;
        alignas(inotify_event) std::array<char, 4096> buffer{};
        for (ssize_t n; (n = ::read(fd_, buffer.data(), buffer.size())) > 0;) {
            for (ssize_t at = 0; at < n;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer.data() + at);
                opens += (event->mask & IN_ISDIR) ? 0 : 1;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return opens;
    }

private:
    int fd_;
};

struct Change {
    const char *name;
    /// Lays out the folder with the program Before (and what the change needs).
    std::function<void(const fs::path &)> prepare;
    /// Makes the program After.
    std::function<void(const fs::path &)> apply;
};

void renameOver(const fs::path &from, const fs::path &to) {
    fs::rename(from, to);
}

} // namespace

TEST(SettingsReaderTest, AChangeIsSeenAtTheNextCheckAndAnUnchangedFileIsNotOpened) {
    const std::array<Change, 3> changes{{
        {"atomic rename",
         [](const fs::path &dir) {
             writeFile(dir / "settings.ini", settingsFor(Before));
             writeFile(dir / "settings.new", settingsFor(After));
         },
         [](const fs::path &dir) { renameOver(dir / "settings.new", dir / "settings.ini"); }},
        {"rewrite in place, same size",
         [](const fs::path &dir) { writeFile(dir / "settings.ini", settingsFor(Before)); },
         [](const fs::path &dir) { writeFile(dir / "settings.ini", settingsFor(After)); }},
        {"link pointed elsewhere",
         [](const fs::path &dir) {
             writeFile(dir / "a.ini", settingsFor(Before));
             writeFile(dir / "b.ini", settingsFor(After));
             fs::create_symlink("a.ini", dir / "settings.ini");
             fs::create_symlink("b.ini", dir / "settings.link");
         },
         [](const fs::path &dir) { renameOver(dir / "settings.link", dir / "settings.ini"); }},
    }};
    std::array<TempDir, changes.size()> folders;
    for (std::size_t i = 0; i < changes.size(); ++i) {
        changes[i].prepare(folders[i].path());
    }
    // A file changed within the file system clock's tick is read at every
    // check; only a settled one shows that an unchanged file is not opened.
    ASSERT_TRUE(waitUntil([&] {
        for (const auto &folder : folders) {
            for (const auto &entry : fs::directory_iterator(folder.path())) {
                if (!core::fileStamp(entry.path().string()).settled) {
                    return false;
                }
            }
        }
        return true;
    }));

    for (std::size_t i = 0; i < changes.size(); ++i) {
        SCOPED_TRACE(changes[i].name);
        const fs::path dir = folders[i].path();
        core::setProgramFolderOverride(dir.string());
        const engine::EventStream events;
        engine::SlotWatcher watcher(events, nullptr);
        QString program;
        QObject::connect(&watcher, &engine::SlotWatcher::checked, &watcher,
                         [&](int, const QString &read) { program = read; });
        watcher.apply(settings::Snapshot::read());
        ASSERT_TRUE(watcher.isWatched(2));

        OpenCounter opens(dir);
        watcher.tick(2);
        EXPECT_EQ(program.toStdString(), Before);
        EXPECT_GE(opens.take(), 1);
        for (int n = 0; n < 5; ++n) {
            watcher.tick(2);
        }
        EXPECT_EQ(opens.take(), 0) << "the unchanged file was read again";

        changes[i].apply(dir);
        watcher.tick(2);
        EXPECT_EQ(program.toStdString(), After);
        core::setProgramFolderOverride({});
    }
}
