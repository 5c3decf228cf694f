// The mail password looked up beside the event loop: a hung session bus must
// not stop the slots' timers, and the answer comes back on the owner's thread.

#include "engine/mail_password.h"
#include "engine/password_lookup.h"
#include "tests/support/scoped_env.h"
#include "tests/support/secret_service.h"
#include "tests/support/test_support.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace testing_support;
using mailsecret::Lookup;

namespace {

QString qs(const std::filesystem::path &path) {
    return QString::fromStdString(path.string());
}

TEST(PasswordLookup, TimersKeepTickingWhileTheKeyringHangs) {
    TempDir folder;
    SilentBus silent;
    ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", silent.address());

    engine::PasswordLookup lookup;
    QTimer slotTimer;
    int ticks = 0;
    int ticksBeforeAnswer = -1;
    std::optional<Lookup> answer;
    QObject::connect(&slotTimer, &QTimer::timeout, &slotTimer, [&] { ++ticks; });
    QObject::connect(&lookup, &engine::PasswordLookup::finished, &lookup,
                     [&](const Lookup &result) {
                         ticksBeforeAnswer = ticks;
                         answer = result;
                     });
    slotTimer.start(20);
    lookup.start(mailsecret::mailPassword("smtp.example.org", "alice"), qs(folder.path()),
                 std::chrono::milliseconds(1500));
    EXPECT_TRUE(lookup.busy());

    QSignalSpy done(&lookup, &engine::PasswordLookup::finished);
    ASSERT_TRUE(done.wait(20000));
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->outcome, Lookup::Outcome::Unreadable);
    EXPECT_NE(answer->reason.find("did not answer"), std::string::npos) << answer->reason;
    // A loop held for the 1.5 s the keyring was given would show no tick at all.
    EXPECT_GE(ticksBeforeAnswer, 5);
    EXPECT_FALSE(lookup.busy());
}

TEST(PasswordLookup, AnswerArrivesOnTheOwnersThreadAndSurvivesTheOwner) {
    TempDir folder;
    TempDir elsewhere;
    ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (elsewhere / "no-bus").string());
    writeFile(folder / mailsecret::FileName, "from file\n");
    ::chmod((folder / mailsecret::FileName).c_str(), 0600);

    engine::PasswordLookup lookup;
    QThread *deliveredOn = nullptr;
    std::optional<Lookup> answer;
    // Direct: the slot runs in whichever thread emits.
    QObject::connect(
        &lookup, &engine::PasswordLookup::finished, &lookup,
        [&](const Lookup &result) {
            deliveredOn = QThread::currentThread();
            answer = result;
        },
        Qt::DirectConnection);
    QSignalSpy done(&lookup, &engine::PasswordLookup::finished);
    lookup.start(mailsecret::mailPassword("smtp.example.org", "alice"), qs(folder.path()));
    ASSERT_TRUE(done.wait(20000));
    EXPECT_EQ(deliveredOn, QCoreApplication::instance()->thread());
    ASSERT_TRUE(answer && answer->found()) << (answer ? answer->reason : std::string());
    EXPECT_TRUE(answer->password == "from file");

    // An owner destroyed while its worker still waits on a hung bus: the
    // worker's late answer must go nowhere.
    SilentBus silent;
    ScopedEnv hung("DBUS_SESSION_BUS_ADDRESS", silent.address());
    auto *doomed = new engine::PasswordLookup;
    doomed->start(mailsecret::mailPassword("smtp.example.org", "alice"), qs(folder.path()),
                  std::chrono::milliseconds(300));
    delete doomed;
    EXPECT_TRUE(waitUntil([] { return engine::PasswordLookup::workersRunning() == 0; },
                          std::chrono::seconds(20)));
    QCoreApplication::processEvents();
}

// The e-mail window stores under the server as typed and a restart e-mail
// looks up under the server as stored: blanks around it are no part of the
// name the session connects to, so both find the same keyring entry.
TEST(MailPassword, BlanksAroundTheServerNameFindTheSameKeyringEntry) {
    if (!SecretServiceSession::installed()) {
        GTEST_SKIP() << "gnome-keyring-daemon is not installed";
    }
    SecretServiceSession keyring;
    ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", keyring.address());
    QObject context;
    std::optional<QString> problem;
    engine::storeMailPassword(QStringLiteral(" smtp.example.com "), QStringLiteral("alerts"),
                              QStringLiteral("typed once"), &context,
                              [&](const QString &p) { problem = p; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return problem.has_value(); }, 20000));
    ASSERT_TRUE(problem->isEmpty()) << problem->toStdString();
    std::optional<QString> found;
    bool answered = false;
    engine::lookUpMailPassword(QStringLiteral("smtp.example.com\t"), QStringLiteral("alerts"),
                               &context,
                               [&](const std::optional<QString> &password, const QString &) {
                                   found = password;
                                   answered = true;
                               });
    ASSERT_TRUE(QTest::qWaitFor([&] { return answered; }, 20000));
    EXPECT_TRUE(found == QStringLiteral("typed once"));
}

} // namespace
