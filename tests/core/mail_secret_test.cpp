// The mail password in a real Secret Service (gnome-keyring on a private bus)
// and in the mail-password file where none answers. Secrets are compared, never
// printed.

#include "core/mail_secret.h"
#include "tests/support/scoped_env.h"
#include "tests/support/secret_service.h"
#include "tests/support/test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <memory>
#include <thread>

using namespace testing_support;
using mailsecret::Lookup;
using mailsecret::Place;

namespace {

const std::string Server = "smtp.example.org";
const std::string User = "alice@example.org";
const mailsecret::Item Mail = mailsecret::mailPassword(Server, User);

std::string withoutLineEnd(std::string text) {
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

mode_t modeOf(const std::filesystem::path &file) {
    struct stat info {};
    return ::lstat(file.c_str(), &info) == 0 ? info.st_mode : 0;
}

/// Runs `times` lookups in a row on a thread of its own, so that one that
/// blocks fails the test instead of hanging it.
std::optional<std::vector<Lookup>>
lookupsWithin(std::chrono::seconds deadline, int times, const std::filesystem::path &folder,
              std::chrono::milliseconds bound = mailsecret::KeyringBound,
              const mailsecret::Item &item = Mail) {
    auto promise = std::make_shared<std::promise<std::vector<Lookup>>>();
    auto answer = promise->get_future();
    std::thread([=] {
        std::vector<Lookup> results;
        for (int i = 0; i < times; ++i) {
            results.push_back(mailsecret::lookup(item, folder, bound));
        }
        promise->set_value(results);
    }).detach();
    if (answer.wait_for(deadline) != std::future_status::ready) {
        return std::nullopt;
    }
    return answer.get();
}

std::optional<Lookup> lookupWithin(std::chrono::seconds deadline,
                                   const std::filesystem::path &folder,
                                   std::chrono::milliseconds bound = mailsecret::KeyringBound,
                                   const mailsecret::Item &item = Mail) {
    const auto results = lookupsWithin(deadline, 1, folder, bound, item);
    return results ? std::optional<Lookup>(results->front()) : std::nullopt;
}

class MailSecretKeyring : public ::testing::Test {
protected:
    void SetUp() override {
        if (!SecretServiceSession::installed()) {
            GTEST_SKIP() << "gnome-keyring-daemon is not installed";
        }
        keyring_ = std::make_unique<SecretServiceSession>();
        bus_ = std::make_unique<ScopedEnv>("DBUS_SESSION_BUS_ADDRESS", keyring_->address());
    }
    void TearDown() override {
        bus_.reset();
        keyring_.reset();
    }

    TempDir folder_;
    std::unique_ptr<SecretServiceSession> keyring_;
    std::unique_ptr<ScopedEnv> bus_;
};

TEST_F(MailSecretKeyring, StoredPasswordIsInTheKeyringUnderPlainAttributesAndCanBeForgotten) {
    const std::string password = "p@ss wörd;\"x";
    const auto stored = mailsecret::store(Mail, password, folder_.path());
    ASSERT_TRUE(stored.ok) << stored.reason;
    EXPECT_EQ(stored.place, Place::Keyring);
    EXPECT_FALSE(std::filesystem::exists(folder_ / mailsecret::FileName));

    const Lookup found = mailsecret::lookup(Mail, folder_.path());
    ASSERT_TRUE(found.found()) << found.reason;
    EXPECT_EQ(found.place, Place::Keyring);
    EXPECT_TRUE(found.password == password);

    const auto tool = keyring_->secretTool(
        {"lookup", "application", "perstando", "server", Server, "user", User});
    EXPECT_EQ(tool.status, 0);
    EXPECT_TRUE(withoutLineEnd(tool.output) == password);

    // Another account on the same server has nothing stored.
    EXPECT_EQ(mailsecret::lookup(mailsecret::mailPassword(Server, "bob"), folder_.path()).outcome,
              Lookup::Outcome::NotStored);

    const auto forgotten = mailsecret::forget(Mail, folder_.path());
    EXPECT_TRUE(forgotten.ok) << forgotten.reason;
    EXPECT_EQ(mailsecret::lookup(Mail, folder_.path()).outcome, Lookup::Outcome::NotStored);
    EXPECT_TRUE(
        keyring_->secretTool({"lookup", "application", "perstando", "server", Server, "user", User})
            .output.empty());
}

TEST_F(MailSecretKeyring, PasswordAnAdministratorStoredWithSecretToolIsFound) {
    const auto tool = keyring_->secretTool(
        {"store", "--label=x", "application", "perstando", "server", "S", "user", "U"},
        "admin's secret");
    ASSERT_EQ(tool.status, 0);

    const Lookup found = mailsecret::lookup(mailsecret::mailPassword("S", "U"), folder_.path());
    ASSERT_TRUE(found.found()) << found.reason;
    EXPECT_EQ(found.place, Place::Keyring);
    EXPECT_TRUE(found.password == "admin's secret");
}

TEST_F(MailSecretKeyring, StoredTokenReplacesTheAdministratorsAndLeavesThePasswordAlone) {
    const mailsecret::Item token = mailsecret::webhookToken();
    const auto tool = [&](std::vector<std::string> command, const std::string &input = {}) {
        for (const char *part :
             {"application", "perstando", "server", "webhook", "user", "token"}) {
            command.push_back(part);
        }
        return keyring_->secretTool(command, input);
    };
    ASSERT_TRUE(mailsecret::store(Mail, "mail pass", folder_.path()).ok);
    // As the README tells an administrator; such an item has no schema name.
    ASSERT_EQ(tool({"store", "--label=x"}, "admin token").status, 0);
    EXPECT_TRUE(mailsecret::lookup(token, folder_.path()).password == "admin token");

    ASSERT_TRUE(mailsecret::store(token, "tok-123", folder_.path()).ok);
    EXPECT_TRUE(mailsecret::lookup(token, folder_.path()).password == "tok-123");
    const std::string items = tool({"search", "--all"}).output;
    EXPECT_EQ(items.find("[/"), items.rfind("[/")) << "one item";
    EXPECT_NE(items.find("label = Perstando webhook token"), std::string::npos);

    ASSERT_TRUE(mailsecret::forget(token, folder_.path()).ok);
    EXPECT_TRUE(tool({"lookup"}).output.empty());
    EXPECT_TRUE(mailsecret::lookup(Mail, folder_.path()).password == "mail pass");
}

TEST_F(MailSecretKeyring, BusGoingAwayDuringARequestDoesNotEndTheProcess) {
    // GLib's shared session connection raises SIGTERM when the bus goes away.
    const int idle = keyring_->connections();
    keyring_->pauseKeyring(true);
    auto answer = std::async(std::launch::async, [&] {
        return mailsecret::lookup(Mail, folder_.path(), std::chrono::seconds(30));
    });
    ASSERT_TRUE(waitUntil([&] { return keyring_->connections() > idle; }));
    keyring_->stopBus();
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(answer.get().outcome, Lookup::Outcome::Unreadable);
}

class MailSecretFile : public ::testing::Test {
protected:
    std::filesystem::path file() const { return folder_ / mailsecret::FileName; }

    TempDir folder_;
    TempDir elsewhere_;
    // No Secret Service answers: the bus address leads nowhere.
    ScopedEnv bus_{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (elsewhere_ / "no-bus").string()};
};

TEST_F(MailSecretFile, WithoutKeyringThePasswordGoesToAPrivateFileAndComesBack) {
    const mode_t oldMask = ::umask(0); // a careless umask must not widen the file
    const auto stored = mailsecret::store(Mail, "s3cret pass", folder_.path());
    ::umask(oldMask);
    ASSERT_TRUE(stored.ok) << stored.reason;
    EXPECT_EQ(stored.place, Place::File);
    EXPECT_EQ(modeOf(file()) & 07777, 0600u);
    EXPECT_TRUE(S_ISREG(modeOf(file())));
    EXPECT_TRUE(readFile(file()) == "s3cret pass\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder_.path()),
                            std::filesystem::directory_iterator()),
              1);

    const Lookup found = mailsecret::lookup(Mail, folder_.path());
    ASSERT_TRUE(found.found()) << found.reason;
    EXPECT_EQ(found.place, Place::File);
    EXPECT_TRUE(found.password == "s3cret pass");

    ASSERT_TRUE(mailsecret::forget(Mail, folder_.path()).ok);
    EXPECT_FALSE(std::filesystem::exists(file()));
    EXPECT_EQ(mailsecret::lookup(Mail, folder_.path()).outcome, Lookup::Outcome::NotStored);
}

TEST(MailSecretBusWithoutKeyring, PasswordGoesToTheFileWhereNobodyProvidesTheService) {
    TempDir folder;
    SecretServiceSession session(SecretServiceSession::Keyring::None);
    ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", session.address());

    const auto stored = mailsecret::store(Mail, "s3cret", folder.path());
    ASSERT_TRUE(stored.ok) << stored.reason;
    EXPECT_EQ(stored.place, Place::File);
    const Lookup found = mailsecret::lookup(Mail, folder.path());
    EXPECT_TRUE(found.found()) << found.reason;
    EXPECT_EQ(found.place, Place::File);
}

TEST_F(MailSecretFile, StoreReplacesALinkInsteadOfWritingThroughIt) {
    const auto target = elsewhere_ / "target";
    writeFile(target, "untouched");
    std::filesystem::create_symlink(target, file());

    ASSERT_TRUE(mailsecret::store(Mail, "new", folder_.path()).ok);
    EXPECT_EQ(readFile(target), "untouched");
    EXPECT_TRUE(S_ISREG(modeOf(file())));
    EXPECT_EQ(modeOf(file()) & 07777, 0600u);
}

TEST_F(MailSecretFile, PasswordsThatCouldNotBeReadBackAreRefused) {
    for (const std::string &password : {std::string(), std::string("two\nlines"),
                                        std::string("cr\r"), std::string("nul\0x", 5)}) {
        const auto stored = mailsecret::store(Mail, password, folder_.path());
        EXPECT_FALSE(stored.ok);
        EXPECT_FALSE(stored.reason.empty());
    }
    EXPECT_FALSE(std::filesystem::exists(file()));
}

TEST_F(MailSecretFile, FileOthersCouldReadIsRefusedWithTheReason) {
    writeFile(file(), "secret\n");
    ::chmod(file().c_str(), 0644);

    const Lookup result = mailsecret::lookup(Mail, folder_.path());
    EXPECT_EQ(result.outcome, Lookup::Outcome::Unreadable);
    EXPECT_TRUE(result.password.empty());
    EXPECT_NE(result.reason.find("0644"), std::string::npos) << result.reason;
    EXPECT_NE(result.reason.find("chmod 600"), std::string::npos) << result.reason;

    ::chmod(file().c_str(), 0600);
    EXPECT_TRUE(mailsecret::lookup(Mail, folder_.path()).found());
}

TEST_F(MailSecretFile, LinksFifosAndOversizedFilesAreRefusedWithoutBlocking) {
    const auto target = elsewhere_ / "target";
    writeFile(target, "secret\n");
    ::chmod(target.c_str(), 0600);
    std::filesystem::create_symlink(target, file());
    const Lookup linked = mailsecret::lookup(Mail, folder_.path());
    EXPECT_EQ(linked.outcome, Lookup::Outcome::Unreadable);
    EXPECT_NE(linked.reason.find("link"), std::string::npos) << linked.reason;
    std::filesystem::remove(file());

    ASSERT_EQ(::mkfifo(file().c_str(), 0600), 0);
    const auto fifo = lookupWithin(std::chrono::seconds(10), folder_.path());
    if (!fifo) {
        // Let the blocked reader go before failing.
        ::close(::open(file().c_str(), O_WRONLY | O_NONBLOCK));
    }
    ASSERT_TRUE(fifo.has_value()) << "reading a FIFO named mail-password blocked";
    EXPECT_EQ(fifo->outcome, Lookup::Outcome::Unreadable);
    EXPECT_NE(fifo->reason.find("regular file"), std::string::npos) << fifo->reason;
    std::filesystem::remove(file());

    writeFile(file(), std::string(1 << 20, 'x'));
    ::chmod(file().c_str(), 0600);
    EXPECT_EQ(mailsecret::lookup(Mail, folder_.path()).outcome, Lookup::Outcome::Unreadable);
}

TEST_F(MailSecretFile, TokenFileIsKeptAndRefusedAsThePasswordFile) {
    const mailsecret::Item token = mailsecret::webhookToken();
    const auto tokenFile = folder_ / mailsecret::TokenFileName;
    const mode_t oldMask = ::umask(0);
    ASSERT_TRUE(mailsecret::store(token, "tok-123", folder_.path()).ok);
    ::umask(oldMask);
    EXPECT_EQ(modeOf(tokenFile) & 07777, 0600u);
    EXPECT_TRUE(mailsecret::lookup(token, folder_.path()).password == "tok-123");
    EXPECT_EQ(mailsecret::lookup(Mail, folder_.path()).outcome, Lookup::Outcome::NotStored);

    // One case for each way of refusing; the password's tests go through every check.
    const auto target = elsewhere_ / "target";
    writeFile(target, "tok-123\n");
    ::chmod(target.c_str(), 0600);
    const std::pair<std::function<void()>, const char *> faults[] = {
        {[&] {
             std::filesystem::copy_file(target, tokenFile);
             ::chmod(tokenFile.c_str(), 0640);
         },
         "chmod 600 webhook-token"},
        {[&] { std::filesystem::create_symlink(target, tokenFile); },
         "webhook-token is a symbolic"},
        {[&] { ::mkfifo(tokenFile.c_str(), 0600); }, "webhook-token is not a regular file"},
    };
    for (const auto &[make, reason] : faults) {
        std::filesystem::remove(tokenFile);
        make();
        const auto refused =
            lookupWithin(std::chrono::seconds(10), folder_.path(), mailsecret::KeyringBound, token);
        if (!refused) {
            ::close(::open(tokenFile.c_str(), O_WRONLY | O_NONBLOCK));
        }
        ASSERT_TRUE(refused.has_value()) << reason << ": the lookup blocked";
        EXPECT_EQ(refused->outcome, Lookup::Outcome::Unreadable) << reason;
        EXPECT_NE(refused->reason.find(reason), std::string::npos) << refused->reason;
    }
    ASSERT_TRUE(mailsecret::forget(token, folder_.path()).ok);
    EXPECT_FALSE(std::filesystem::exists(tokenFile));
}

TEST(MailSecretHungBus, KeyringThatNeverAnswersIsGivenUpAfterTheBound) {
    TempDir folder;
    SilentBus silent;
    ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", silent.address());

    // Asked again at once, GLib hands over the first attempt's cancelled
    // connection: the bus still hangs, it is no sign that nothing is stored.
    const auto results =
        lookupsWithin(std::chrono::seconds(20), 2, folder.path(), std::chrono::milliseconds(300));
    ASSERT_TRUE(results.has_value()) << "the lookup waited on a silent bus";
    for (const Lookup &result : *results) {
        EXPECT_EQ(result.outcome, Lookup::Outcome::Unreadable);
        EXPECT_NE(result.reason.find("did not answer"), std::string::npos) << result.reason;
    }

    // The file still stands in for a keyring that hangs.
    writeFile(folder / mailsecret::FileName, "from file\n");
    ::chmod((folder / mailsecret::FileName).c_str(), 0600);
    const auto fromFile =
        lookupWithin(std::chrono::seconds(20), folder.path(), std::chrono::milliseconds(300));
    ASSERT_TRUE(fromFile.has_value());
    EXPECT_TRUE(fromFile->found());
    EXPECT_TRUE(fromFile->password == "from file");
}

} // namespace
