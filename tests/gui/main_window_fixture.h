#pragma once
// A Form1 in a temporary program folder, with its controls found by name.

#include "engine/alarm_state.h"
#include "engine/watchdog.h"
#include "monitor/main_window.h"
#include "tests/gui/gui_test_support.h"
#include "tests/gui/new_main_window.h"

#include <QSignalSpy>
#include <QString>
#include <ostream>

/// Lets failures print Qt text readably.
inline void PrintTo(const QString &text, std::ostream *out) {
    *out << '"' << text.toStdString() << '"';
}

namespace testing_support {

class Form1Test : public WindowTest {
protected:
    /// Creates and shows the main window, as the program start does.
    MainWindow *start() {
        form_ = testing_support::newMainWindow();
        form_->show();
        return form_;
    }
    template <class T> T *control(const char *name) const {
        return form_->findChild<T *>(QString::fromLatin1(name));
    }
    engine::SwitchedTimer *timer(const char *name) const {
        return control<engine::SwitchedTimer>(name);
    }
    /// Lets the event loop run until the timer `name` has ticked `ticks` more times.
    bool waitForTicks(const char *name, int ticks, int timeoutMs = 5000) const {
        QSignalSpy spy(timer(name), &QTimer::timeout);
        return waitFor([&] { return spy.count() >= ticks; }, timeoutMs);
    }

    /// Copies a file the build put beside the program into the test's program folder.
    /// Copied under another name and renamed into place, so the program never
    /// sees it half written.
    void copyProgramFile(const char *name, bool replace = false) const {
        const auto part = folder_ / (std::string(name) + ".part");
        std::filesystem::copy_file(std::filesystem::path(PERSTANDO_PROGRAM_DIR) / name, part,
                                   std::filesystem::copy_options::overwrite_existing);
        if (!replace) {
            ASSERT_FALSE(std::filesystem::exists(folder_ / name));
        }
        std::filesystem::rename(part, folder_ / name);
    }

    MainWindow *form_ = nullptr;
};

} // namespace testing_support
