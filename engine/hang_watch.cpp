#include "engine/hang_watch.h"

#include "core/window_ping.h"
#include "engine/process_stop.h"
#include "engine/slot_watcher.h"

#include <QSocketNotifier>

#include <algorithm>

namespace engine {

HangWatch::HangWatch(SlotWatcher &watcher, QObject *parent) : QObject(parent), watcher_(watcher) {
    connect(&timer_, &QTimer::timeout, this, &HangWatch::round);
    for (int n = 1; n <= settings::SlotCount; ++n) {
        hang(n).ending = new ProcessStop(this);
        connect(hang(n).ending, &ProcessStop::ended, this, [this, n] { ended(n); });
    }
}

HangWatch::~HangWatch() = default;

void HangWatch::apply(const settings::Snapshot &snapshot) {
    for (int n = 1; n <= settings::SlotCount; ++n) {
        const settings::Slot &read = snapshot.perSlot[static_cast<std::size_t>(n - 1)];
        hang(n).seconds = read.hangSeconds;
        hang(n).restart = read.restartWhenHung;
    }
    const auto interval = roundInterval();
    if (interval.count() == 0) {
        timer_.stop();
        // The display connection goes with the last slot that needed it.
        readAnswers(false);
        ping_.reset();
        return;
    }
    if (!ping_) {
        ping_ = std::make_unique<windowping::WindowPing>();
    }
    readAnswers(true);
    if (!timer_.isActive() || timer_.interval() != interval.count()) {
        timer_.start(static_cast<int>(interval.count()));
    }
}

std::chrono::milliseconds HangWatch::roundInterval() const {
    std::chrono::milliseconds interval{0};
    for (const SlotHang &slot : slots_) {
        if (slot.seconds) {
            // Two rounds within the allowed silence, so a hang shows in time.
            const std::chrono::milliseconds half{*slot.seconds * 500LL};
            const auto wanted = std::clamp(half, std::chrono::milliseconds(500), LongestRound);
            interval = interval.count() == 0 ? wanted : std::min(interval, wanted);
        }
    }
    return interval;
}

void HangWatch::round() {
    if (!ping_) {
        return;
    }
    ping_->poll();
    std::vector<pid_t> pids;
    for (int n = 1; n <= settings::SlotCount; ++n) {
        const int pid = watcher_.rememberedProcess(n);
        // Paused or unwatched slots are not judged; neither is one being ended.
        if (!hang(n).seconds || pid <= 0 || !watcher_.checking(n) || hang(n).ending->active()) {
            continue;
        }
        judge(n, pid);
        pids.push_back(pid);
    }
    ping_->ping(pids);
    readAnswers(true);
}

void HangWatch::readAnswers(bool on) {
    // The root's structure events come from every window of the desktop:
    // read as they arrive, they never pile up in the server for us.
    const int fd = on && ping_ ? ping_->descriptor() : -1;
    if (answers_ && answers_->socket() == fd) {
        return;
    }
    if (answers_) {
        // Off at once, before a reconnect reuses its number; deleted later, as
        // it may be the one calling.
        answers_->setEnabled(false);
        answers_->deleteLater();
        answers_ = nullptr;
    }
    if (fd < 0) {
        return;
    }
    answers_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(answers_, &QSocketNotifier::activated, this, [this] {
        ping_->poll();
        readAnswers(true); // the display may have gone, or come back on another socket
    });
}

void HangWatch::judge(int slot, int pid) {
    SlotHang &h = hang(slot);
    const auto silence = ping_->silence(pid);
    if (!silence) {
        return;
    }
    // Reported once per process: a new one that took its PID is judged afresh.
    const bool reported = watcher_.reportedNotResponding(slot);
    if (*silence < std::chrono::seconds(*h.seconds)) {
        if (reported && *silence == windowping::Clock::duration::zero()) {
            watcher_.answersAgain(slot);
        }
        return;
    }
    if (reported) {
        return;
    }
    watcher_.reportNotResponding(slot);
    if (h.restart) {
        end(slot);
    }
}

void HangWatch::end(int slot) {
    ProcessStop::Plan plan;
    plan.beforeKill = killGrace_;
    watcher_.stopAsked(slot);
    hang(slot).ending->begin(watcher_.remembered(slot), plan, watcher_.orphans(slot));
}

void HangWatch::ended(int slot) {
    // The slot's own check restarts it and reports the restart; paused, the
    // checks take it up when they run again.
    if (watcher_.checking(slot)) {
        watcher_.tick(slot);
    }
}

} // namespace engine
