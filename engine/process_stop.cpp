#include "engine/process_stop.h"

#include "core/process_usage.h"
#include "core/window_closer.h"

namespace engine {

ProcessStop::ProcessStop(QObject *parent) : QObject(parent) {
    termTimer_.setSingleShot(true);
    killTimer_.setSingleShot(true);
    connect(&termTimer_, &QTimer::timeout, this, &ProcessStop::terminate);
    connect(&killTimer_, &QTimer::timeout, this, [this] {
        target_.sendSignal(processes::Signal::Kill);
        if (!end_) {
            abandon(); // no end to watch: the slot's checks find it gone
        }
    });
}

ProcessStop::~ProcessStop() = default;

bool ProcessStop::begin(const processes::RememberedProcess &process, const Plan &plan) {
    abandon();
    target_ = process.duplicate();
    if (target_.pid() == 0) {
        return false;
    }
    end_ = ProcessEndWatch::watch(target_);
    if (end_) {
        connect(end_.get(), &ProcessEndWatch::ended, this, [this] {
            abandon();
            emit ended();
        });
    }
    killTimer_.setInterval(static_cast<int>(plan.beforeKill.count()));
    std::size_t asked = 0;
    if (plan.closeWindows) {
        std::vector<int> pids = processes::descendants(target_.pid());
        pids.push_back(target_.pid());
        asked = windowcloser::closeWindowsOf(pids);
    }
    if (asked == 0) {
        terminate();
    } else {
        termTimer_.start(static_cast<int>(plan.beforeTerm.count()));
    }
    return active();
}

void ProcessStop::terminate() {
    if (!target_.sendSignal(processes::Signal::Terminate)) {
        abandon(); // gone already: its end, or the slot's check, tells the rest
        return;
    }
    // A stopped program handles the SIGTERM only once it runs again.
    target_.sendSignal(processes::Signal::Continue);
    killTimer_.start();
}

void ProcessStop::abandon() {
    termTimer_.stop();
    killTimer_.stop();
    end_.reset();
    target_.forget();
}

} // namespace engine
