#include "engine/password_lookup.h"

#include <QMetaObject>

#include <atomic>
#include <mutex>
#include <thread>

namespace engine {
namespace {

// The lookup's own bound covers the keyring; the file is read after it, and a
// cancelled keyring call gets a short grace to come back.
constexpr std::chrono::milliseconds Margin{4000};

std::atomic<int> &workers() {
    static std::atomic<int> count{0};
    return count;
}

} // namespace

/// What the owner and its workers share. The owner clears `owner` when it is
/// destroyed; a worker posts its answer only while holding the mutex, so it
/// never posts to an object being destroyed, and Qt drops what was posted to
/// an object destroyed afterwards.
struct PasswordLookup::Shared {
    std::mutex mutex;
    PasswordLookup *owner = nullptr;
};

PasswordLookup::PasswordLookup(QObject *parent)
    : QObject(parent), shared_(std::make_shared<Shared>()) {
    shared_->owner = this;
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, &PasswordLookup::giveUp);
}

PasswordLookup::~PasswordLookup() {
    const std::lock_guard lock(shared_->mutex);
    shared_->owner = nullptr;
}

int PasswordLookup::workersRunning() {
    return workers().load();
}

void PasswordLookup::start(const mailsecret::Item &item, const QString &folder,
                           std::chrono::milliseconds bound) {
    const quint64 ticket = ++ticket_;
    noun_ = item.noun;
    busy_ = true;
    deadline_.start(bound + Margin);
    ++workers();
    std::thread([shared = shared_, ticket, item, folder = folder.toStdString(), bound] {
        mailsecret::Lookup result = mailsecret::lookup(item, folder, bound);
        {
            const std::lock_guard lock(shared->mutex);
            if (PasswordLookup *owner = shared->owner) {
                QMetaObject::invokeMethod(
                    owner,
                    [owner, ticket, result = std::move(result)] { owner->deliver(ticket, result); },
                    Qt::QueuedConnection);
            }
        }
        --workers();
    }).detach();
}

void PasswordLookup::deliver(quint64 ticket, const mailsecret::Lookup &result) {
    if (ticket != ticket_ || !busy_) {
        return; // superseded, or given up on
    }
    busy_ = false;
    deadline_.stop();
    emit finished(result);
}

void PasswordLookup::giveUp() {
    busy_ = false;
    mailsecret::Lookup result;
    result.outcome = mailsecret::Lookup::Outcome::Unreadable;
    result.reason = "the " + noun_ + " lookup did not finish within " +
                    std::to_string((deadline_.interval() + 999) / 1000) + " s";
    emit finished(result);
}

} // namespace engine
