// The window closer against a real X server, with and without a window manager.

#include "core/lower_case.h"
#include "core/window_closer.h"
#include "core/window_ping.h"
#include "tests/support/x_server.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

using namespace testing_support;

namespace {

/// Points DISPLAY at a test server and puts the old value back afterwards.
class DisplayVariable {
public:
    explicit DisplayVariable(const std::optional<std::string> &value) {
        if (const char *old = std::getenv("DISPLAY")) {
            saved_ = old;
        }
        set(value);
    }
    ~DisplayVariable() { set(saved_); }
    DisplayVariable(const DisplayVariable &) = delete;
    DisplayVariable &operator=(const DisplayVariable &) = delete;

private:
    static void set(const std::optional<std::string> &value) {
        if (value) {
            ::setenv("DISPLAY", value->c_str(), 1);
        } else {
            ::unsetenv("DISPLAY");
        }
    }
    std::optional<std::string> saved_;
};

/// The window one search found and asked to close; 0 when none matched.
windowcloser::WindowHandle closeTopmost(std::string_view titlePiece) {
    const auto closed = windowcloser::closeTopmostTitled(titlePiece);
    return closed ? closed->window : 0;
}

TestWindowOptions untitledWindow() {
    TestWindowOptions options;
    options.stay = true;
    return options;
}

class WindowCloser : public ::testing::TestWithParam<bool> {
protected:
    WindowCloser() : server_(GetParam()), display_(server_.display()), client_(server_.display()) {}

    bool managed() const { return GetParam(); }

    /// A test window, waited for until the desktop lists it.
    std::unique_ptr<TestWindow> open(const TestWindowOptions &options) {
        auto window = std::make_unique<TestWindow>(server_.display(), options);
        const std::uint32_t id = window->id();
        EXPECT_NE(id, 0u) << "the test window did not start";
        EXPECT_TRUE(waitUntil([&] { return listed(id); })) << "the window was never listed";
        // openbox raises a new window when it focuses it, which may come after
        // it is listed: wait for that, so the stacking holds still afterwards.
        if (managed()) {
            EXPECT_TRUE(waitUntil([&] { return client_.activeWindow() == id; }));
        }
        return window;
    }

    /// Puts `window` on top and waits until it is there (and focused, with openbox).
    void raise(TestWindow &window) {
        const std::uint32_t id = window.id();
        client_.raise(id, managed());
        EXPECT_TRUE(waitUntil([&] {
            return client_.topmostFirst(managed()).front() == id &&
                   (!managed() || client_.activeWindow() == id);
        }));
    }

    bool listed(std::uint32_t id) {
        const auto windows = client_.topmostFirst(managed());
        return std::find(windows.begin(), windows.end(), id) != windows.end();
    }

    /// Waits until `window` has closed and left the desktop.
    void waitGone(TestWindow &window) {
        const std::uint32_t id = window.id();
        EXPECT_NE(window.process().waitExit(std::chrono::seconds(10)), -1);
        EXPECT_TRUE(waitUntil([&] { return !listed(id) && !client_.exists(id); }));
    }

    /// Once every window has its probe, everything the closer posted before
    /// has arrived: the title read is a round trip on the closer's connection,
    /// so the server has handled its earlier requests before ours.
    void settle(const std::vector<TestWindow *> &windows) {
        windowcloser::windowTitle(client_.root());
        for (TestWindow *window : windows) {
            const int before = window->count("probe");
            client_.sendProbe(window->id());
            EXPECT_TRUE(window->waitFor("probe", before + 1));
        }
    }

    /// One search that must find `window` and only it.
    void expectDismissed(const std::string &search, TestWindow &window) {
        const int before = window.count("closed");
        const auto closed = windowcloser::closeTopmostTitled(search);
        ASSERT_TRUE(closed) << search;
        EXPECT_EQ(closed->window, window.id()) << search;
        EXPECT_NE(core::lowerCaseUtf8(closed->title).find(core::lowerCaseUtf8(search)),
                  std::string::npos)
            << closed->title;
        EXPECT_TRUE(window.waitFor("closed", before + 1)) << search;
    }

    XServer server_;
    DisplayVariable display_;
    XClient client_;
};

TEST_P(WindowCloser, FindsTheTextAnywhereInTheTitleIgnoringCase) {
    const char *titles[] = {"Explorer.EXE - Application Error", "APPLICATION ERROR",
                            "Ошибка приложения: Application eRRor"};
    for (const char *title : titles) {
        auto window = open(titled(title, /*stay=*/true));
        expectDismissed("Application Error", *window);
        // Still there: the next call finds it again, whichever capitals it uses.
        expectDismissed("Application error", *window);
        window->process().stop();
        waitGone(*window);
    }
}

TEST_P(WindowCloser, LowerCasingCoversLettersBeyondAscii) {
    auto window = open(titled("ÉCHEC DE L'APPLICATION — ΣΦΑΛΜΑ — ОШИБКА", true));
    expectDismissed("échec de l'application", *window);
    expectDismissed("σφαλμα", *window);
    expectDismissed("ошибка", *window);
}

TEST_P(WindowCloser, MatchingWindowsAreDismissedOnePerCallTopmostFirst) {
    auto first = open(titled("first - Application Error"));
    auto second = open(titled("second - Application Error"));
    auto third = open(titled("third - Application Error"));
    // The middle one raised: neither creation order nor list order is stacking order.
    raise(*second);

    std::vector<TestWindow *> remaining{first.get(), second.get(), third.get()};
    for (int call = 1; !remaining.empty(); ++call) {
        // A window manager may restack when a window closes: the order is read anew.
        TestWindow *topmost = nullptr;
        for (const std::uint32_t id : client_.topmostFirst(managed())) {
            for (TestWindow *window : remaining) {
                if (!topmost && window->id() == id) {
                    topmost = window;
                }
            }
        }
        ASSERT_NE(topmost, nullptr);
        if (call == 1) {
            EXPECT_EQ(topmost, second.get());
        }
        EXPECT_EQ(closeTopmost("Application Error"), topmost->id()) << "call " << call;
        EXPECT_TRUE(topmost->waitFor("closed"));
        std::erase(remaining, topmost);
        settle(remaining);
        for (TestWindow *other : remaining) {
            EXPECT_EQ(other->count("closed"), 0) << "call " << call << " closed two windows";
        }
        waitGone(*topmost);
        if (managed() && !remaining.empty()) {
            // openbox hands the focus on; the next order is read once it has.
            EXPECT_TRUE(waitUntil([&] {
                const std::uint32_t active = client_.activeWindow();
                return std::any_of(remaining.begin(), remaining.end(),
                                   [&](TestWindow *w) { return w->id() == active; });
            }));
        }
    }
    EXPECT_EQ(closeTopmost("Application Error"), 0u);
}

TEST_P(WindowCloser, NothingIsPostedWithoutAMatch) {
    auto window = open(titled("Crash.exe - Application Error", true));
    expectDismissed("application error", *window);
    EXPECT_EQ(closeTopmost("Error Reporting"), 0u);
    settle({window.get()});
    EXPECT_EQ(window->events(), (std::vector<std::string>{"closed", "probe"}));
}

TEST_P(WindowCloser, OneListingAnswersEachPieceAsItsOwnCallWould) {
    auto reporting = open(titled("Windows Error Reporting", true));
    auto both = open(titled("Application Error - Error Reporting", true));
    auto other = open(titled("Editor", true));
    raise(*reporting);
    const auto closed =
        windowcloser::closeTopmostTitled({"error reporting", "Application Error", "Missing"});
    ASSERT_EQ(closed.size(), 3u);
    ASSERT_TRUE(closed[0] && closed[1]);
    EXPECT_EQ(closed[0]->window, reporting->id()) << "the topmost of the two holding the piece";
    EXPECT_EQ(closed[1]->window, both->id());
    EXPECT_FALSE(closed[2]);
    EXPECT_TRUE(reporting->waitFor("closed"));
    EXPECT_TRUE(both->waitFor("closed"));
    settle({reporting.get(), both.get(), other.get()});
    EXPECT_EQ(other->count("closed"), 0);
    EXPECT_EQ(both->count("closed"), 1);
}

TEST_P(WindowCloser, OneCallDismissesAWindowForEachPieceThatFindsOne) {
    auto foo = open(titled("Foo Application Error", true));
    auto bar = open(titled("Bar APPLICATION ERROR", true));
    // Two pieces that differ only in case look past what the first one found.
    const auto closed = windowcloser::closeTopmostTitled(
        {"Error Reporting", "Application Error", "Application error"});
    ASSERT_EQ(closed.size(), 3u);
    EXPECT_FALSE(closed[0]);
    ASSERT_TRUE(closed[1] && closed[2]);
    EXPECT_NE(closed[1]->window, closed[2]->window);
    EXPECT_TRUE(foo->waitFor("closed"));
    EXPECT_TRUE(bar->waitFor("closed"));
    settle({foo.get(), bar.get()});
    EXPECT_EQ(foo->count("closed") + bar->count("closed"), 2);
}

TEST_P(WindowCloser, EmptySearchTextMatchesTheTopmostWindow) {
    auto lower = open(titled("lower", true));
    auto upper = open(untitledWindow()); // no title at all
    raise(*upper);
    expectDismissed("", *upper);
}

TEST_P(WindowCloser, TitleComesFromNetWmNameElseFromLatin1WmName) {
    TestWindowOptions both = titled("Unicode ☃ name", true);
    both.wmName = "legacy name";
    auto preferred = open(both);
    TestWindowOptions legacy;
    legacy.wmName = "Café - Application Error";
    legacy.stay = true;
    auto latin1 = open(legacy);
    auto untitled = open(untitledWindow());

    EXPECT_EQ(windowcloser::windowTitle(preferred->id()), "Unicode ☃ name");
    EXPECT_EQ(windowcloser::windowTitle(latin1->id()), "Café - Application Error");
    EXPECT_EQ(windowcloser::windowTitle(untitled->id()), "");
    EXPECT_EQ(windowcloser::windowTitle(0x7ffffff0u), "") << "a window that does not exist";
    expectDismissed("CAFÉ", *latin1);
}

TEST_P(WindowCloser, WindowWithoutTheCloseProtocolIsLeftToTheWindowManager) {
    TestWindowOptions options = titled("Old.exe - Application Error");
    options.acceptsDelete = false;
    auto window = open(options);
    EXPECT_EQ(closeTopmost("Application Error"), window->id());
    if (managed()) {
        // openbox closes a client that cannot be asked by disconnecting it.
        EXPECT_TRUE(window->waitFor("disconnected"));
    } else {
        // Nobody to ask: nothing is sent and the window stays.
        settle({window.get()});
        EXPECT_EQ(window->events(), std::vector<std::string>{"probe"});
        EXPECT_TRUE(window->process().running());
    }
}

TEST_P(WindowCloser, TitleChangesAreSeenByTheNextCall) {
    auto window = open(titled("Notes - Text Editor", true));
    EXPECT_EQ(closeTopmost("Application Error"), 0u);

    client_.setTitle(window->id(), "Notes.exe - Application Error");
    expectDismissed("Application Error", *window);

    client_.setTitle(window->id(), "Notes - Text Editor");
    EXPECT_EQ(closeTopmost("Application Error"), 0u);
}

using Listing = std::vector<std::pair<windowcloser::WindowHandle, std::string>>;

/// What one sweep lists, topmost first, with the titles.
Listing listing() {
    Listing windows;
    windowcloser::enumTopLevelWindows(
        [&](windowcloser::WindowHandle window, std::string_view title) {
            windows.emplace_back(window, std::string(title));
            return true;
        });
    return windows;
}

bool lists(const Listing &windows, std::uint32_t id, const std::string &title) {
    return std::find(windows.begin(), windows.end(), std::pair{id, title}) != windows.end();
}

/// Where `id` is in the listing; its length when it is not there.
std::size_t place(const Listing &windows, std::uint32_t id) {
    return static_cast<std::size_t>(
        std::find_if(windows.begin(), windows.end(),
                     [&](const auto &entry) { return entry.first == id; }) -
        windows.begin());
}

bool lists(const Listing &windows, std::uint32_t id) {
    return place(windows, id) < windows.size();
}

// While nothing changes a sweep sends no request and lists what the sweep
// before it read; whatever changes meanwhile, the very next sweep sees it.
TEST_P(WindowCloser, ASweepAfterIdleOnesSeesEveryChangeInBetween) {
    struct Scene {
        std::unique_ptr<TestWindow> a;
        std::unique_ptr<TestWindow> b;
        std::uint32_t frame = 0;
    };
    struct Case {
        const char *name;
        bool withWindowManager;
        bool withoutWindowManager;
        std::function<void(Scene &)> setUp;
        std::function<void(Scene &)> change;
        std::function<bool(Scene &, const Listing &)> seen;
    };
    const auto two = [&](Scene &s) {
        s.a = open(titled("first", true));
        s.b = open(titled("second", true));
    };
    const auto clientOnTop = [](Scene &s, const Listing &l) {
        return !l.empty() &&
               l.front() == std::pair{s.a->id(), std::string("Crash.exe - Application Error")};
    };
    const Case cases[] = {
        {"a window appears", true, true, [&](Scene &s) { s.a = open(titled("first", true)); },
         [&](Scene &s) { s.b = open(titled("Crash.exe - Application Error", true)); },
         [](Scene &s, const Listing &l) {
             return s.b && lists(l, s.b->id(), "Crash.exe - Application Error");
         }},
        {"a title changes", true, true, [&](Scene &s) { s.a = open(titled("Notes", true)); },
         [&](Scene &s) { client_.setTitle(s.a->id(), "Notes.exe - Application Error"); },
         [](Scene &s, const Listing &l) {
             return lists(l, s.a->id(), "Notes.exe - Application Error");
         }},
        {"a lower window is raised", true, true, two, [&](Scene &s) { raise(*s.a); },
         [](Scene &s, const Listing &l) {
             return lists(l, s.b->id()) && place(l, s.a->id()) < place(l, s.b->id());
         }},
        // Without a window manager an unmapped window stays among the root's
        // children, and so in the listing.
        {"a window is unmapped", true, false, two,
         [&](Scene &s) {
             client_.unmapWindow(s.a->id());
             EXPECT_TRUE(waitUntil([&] { return !listed(s.a->id()); }));
         },
         [](Scene &s, const Listing &l) { return lists(l, s.b->id()) && !lists(l, s.a->id()); }},
        {"a window is destroyed", true, true, two,
         [&](Scene &s) {
             s.a->process().stop();
             waitGone(*s.a);
         },
         [](Scene &s, const Listing &l) { return lists(l, s.b->id()) && !lists(l, s.a->id()); }},
        {"a window moves into a frame", false, true,
         [&](Scene &s) {
             s.a = open(titled("Crash.exe - Application Error", true));
             s.frame = client_.createWindow();
         },
         [&](Scene &s) { client_.adopt(s.frame, s.a->id()); }, clientOnTop},
        // Found below the frame only once it is marked; until then the frame
        // stands for itself.
        {"a window in a frame is marked as its client", false, true,
         [&](Scene &s) {
             s.a = open(titled("Crash.exe - Application Error", true));
             s.frame = client_.createWindow();
             client_.reparent(s.frame, s.a->id());
         },
         [&](Scene &s) { client_.markClient(s.a->id()); }, clientOnTop},
    };
    for (const Case &c : cases) {
        if (!(managed() ? c.withWindowManager : c.withoutWindowManager)) {
            continue;
        }
        Scene scene;
        c.setUp(scene);
        // The changes of setting up settle; then a sweep goes without a request.
        Listing before;
        const bool idle = waitUntil([&] {
            before = listing();
            const std::uint64_t sent = windowcloser::requestsSent();
            const Listing again = listing();
            return windowcloser::requestsSent() == sent && again == before;
        });
        ASSERT_TRUE(idle) << c.name << ": no sweep went without a request";
        ASSERT_FALSE(c.seen(scene, before)) << c.name << ": seen before it happened";
        c.change(scene);
        EXPECT_TRUE(c.seen(scene, listing())) << c.name;
        if (scene.frame != 0) {
            client_.destroyWindow(scene.frame);
        }
    }
}

/// Without EWMH, a frame is followed down to the client window marked WM_STATE.
class ReparentingWindowManager : public WindowCloser {};

TEST_P(ReparentingWindowManager, TheClientInsideAFrameIsFoundUnderTheFrame) {
    auto window = open(titled("Crash.exe - Application Error", true));
    const std::uint32_t frame = client_.createWindow();
    expectDismissed("Application Error", *window);
    EXPECT_EQ(closeTopmost(""), frame) << "the empty text matches the topmost window";

    // The frame, seen before as a window of its own, now holds the client.
    client_.adopt(frame, window->id());
    expectDismissed("Application Error", *window);
    expectDismissed("", *window);
}

INSTANTIATE_TEST_SUITE_P(X11, ReparentingWindowManager, ::testing::Values(false),
                         [](const ::testing::TestParamInfo<bool> &) { return "NoEwmh"; });

/// The test itself plays an EWMH window manager whose list lags behind.
class LaggingClientList : public WindowCloser {};

TEST_P(LaggingClientList, AWindowGoneBeforeItIsReadLeavesNothingBehindForItsId) {
    const std::uint32_t id = client_.createWindow();
    client_.destroyWindow(id);
    client_.announceWindowManager({id});
    EXPECT_EQ(closeTopmost("Application Error"), 0u);

    // Window ids are reused: a new window with the same id must be read afresh.
    ASSERT_EQ(client_.createWindow(id), id);
    client_.setTitle(id, "Crash.exe - Application Error");
    EXPECT_EQ(closeTopmost("Application Error"), id);
}

INSTANTIATE_TEST_SUITE_P(X11, LaggingClientList, ::testing::Values(false),
                         [](const ::testing::TestParamInfo<bool> &) { return "StandIn"; });

TEST(LowerCase, MapsLettersOfEveryScriptAndKeepsBrokenBytes) {
    EXPECT_EQ(core::lowerCaseUtf8("Straße ÄÖÜ ΣΦΑΛΜΑ ОШИБКА Ǆ"), "straße äöü σφαλμα ошибка ǆ");
    // A Latin-1 byte inside a UTF-8 title and a cut-off sequence stay as they are.
    EXPECT_EQ(core::lowerCaseUtf8("A\xc9"
                                  "B\xe2\x82"),
              "a\xc9"
              "b\xe2\x82");
}

// A graceful stop asks the windows of the program's processes, and no window
// that only names one of them.
TEST_P(WindowCloser, ClosesEveryWindowOfTheGivenProcessesAndNoOther) {
    auto first = open(titled("first", true));
    auto second = open(titled("second"));
    auto other = open(titled("other", true));
    TestWindowOptions forged = titled("forged", true);
    forged.claimedPid = first->process().pid();
    auto liar = open(forged);
    EXPECT_EQ(windowcloser::closeWindowsOf({first->process().pid(), second->process().pid()}), 2u);
    EXPECT_TRUE(first->waitFor("closed"));
    EXPECT_TRUE(second->waitFor("closed"));
    settle({first.get(), other.get(), liar.get()});
    EXPECT_EQ(first->count("closed"), 1);
    EXPECT_EQ(other->count("closed"), 0);
    EXPECT_EQ(liar->count("closed"), 0);
    EXPECT_EQ(windowcloser::closeWindowsOf({}), 0u);
}

INSTANTIATE_TEST_SUITE_P(X11, WindowCloser, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? "Openbox" : "NoWindowManager";
                         });

TEST(WindowCloserDisplay, NoDisplayFindsNothingAndSaysNothing) {
    DisplayVariable none(std::nullopt);
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(closeTopmost(""), 0u);
    }
    EXPECT_EQ(windowcloser::windowTitle(1), "");
    windowcloser::postClose(1);
    EXPECT_EQ(windowcloser::closeWindowsOf({::getpid()}), 0u);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

/// A listening socket in a display's place that never answers, as any
/// account can leave one; no X server has that number.
class SilentDisplay {
public:
    SilentDisplay() {
        std::filesystem::create_directories("/tmp/.X11-unix");
        for (int number = 700 + ::getpid() % 200; fd_ < 0 && number < 1000; ++number) {
            const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
            if (std::filesystem::exists(path) ||
                std::filesystem::exists("/tmp/.X" + std::to_string(number) + "-lock")) {
                continue;
            }
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strcpy(address.sun_path, path.c_str());
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                ::listen(fd, 64) == 0) {
                fd_ = fd;
                path_ = path;
                display_ = ":" + std::to_string(number);
            } else {
                ::close(fd);
            }
        }
    }
    ~SilentDisplay() { close(); }
    SilentDisplay(const SilentDisplay &) = delete;
    SilentDisplay &operator=(const SilentDisplay &) = delete;

    const std::string &display() const { return display_; }
    /// Resets every connection still waiting, so a stuck client can go on.
    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            ::unlink(path_.c_str());
            fd_ = -1;
        }
    }

private:
    int fd_ = -1;
    std::string path_;
    std::string display_;
};

TEST(UntrustedDisplay, ASocketThatNeverAnswersDoesNotHoldUpTheCaller) {
    SilentDisplay silent;
    ASSERT_FALSE(silent.display().empty());
    DisplayVariable display(silent.display());
    windowping::WindowPing ping;
    std::atomic<int> rounds{0};
    std::atomic<bool> done{false};
    // Each round stands for a timer tick on the thread that sweeps and pings.
    std::thread caller([&] {
        while (!done) {
            EXPECT_EQ(closeTopmost(""), 0u);
            ping.ping({::getpid()});
            EXPECT_FALSE(ping.silence(::getpid()));
            ++rounds;
        }
    });
    EXPECT_TRUE(waitUntil([&] { return rounds >= 5; }, std::chrono::seconds(30)))
        << "the caller is stuck on the silent display";
    done = true;
    silent.close();
    caller.join();
}

TEST(UntrustedDisplay, ASocketOfAnotherAccountIsNotUsed) {
    // Without the abstract socket, the file is the only way to the server.
    XServer server(false, "-nolisten local");
    DisplayVariable display(server.display());
    TestWindowOptions options = titled("Application Error", true);
    options.answersPing = true;
    TestWindow window(server.display(), options);
    ASSERT_NE(window.id(), 0u);
    const pid_t pid = window.process().pid();
    const std::string socket = "/tmp/.X11-unix/X" + server.display().substr(1);
    const uid_t nobody = 65534;
    for (const uid_t owner : {nobody, uid_t{0}}) {
        ASSERT_EQ(::chown(socket.c_str(), owner, static_cast<gid_t>(-1)), 0);
        const bool trusted = owner == 0;
        // Refused at once; accepted once the server has answered.
        const auto timeout = trusted ? std::chrono::seconds(10) : std::chrono::seconds(0);
        windowping::WindowPing ping;
        EXPECT_EQ(
            waitUntil([&] { return closeTopmost("Application Error") == window.id(); }, timeout),
            trusted)
            << "socket owner " << owner;
        EXPECT_EQ(waitUntil(
                      [&] {
                          ping.ping({pid});
                          return !ping.windows(pid).empty();
                      },
                      timeout),
                  trusted)
            << "socket owner " << owner;
    }
}

TEST(WindowCloserDisplay, DisplayThatWentAwayIsOpenedAgain) {
    XServer server;
    DisplayVariable display(server.display());
    auto before = std::make_unique<TestWindow>(server.display(), titled("Application Error", true));
    ASSERT_NE(before->id(), 0u);
    EXPECT_EQ(closeTopmost("Application Error"), before->id());

    server.stop();
    before.reset();
    EXPECT_EQ(closeTopmost("Application Error"), 0u);

    server.restart();
    TestWindow after(server.display(), titled("Application Error"));
    ASSERT_NE(after.id(), 0u);
    EXPECT_EQ(closeTopmost("Application Error"), after.id());
    EXPECT_TRUE(after.waitFor("closed"));
}

} // namespace
