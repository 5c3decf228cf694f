#include "engine/process_stop.h"

#include "core/window_closer.h"

#include <algorithm>

namespace engine {

ProcessStop::ProcessStop(QObject *parent) : QObject(parent) {
    termTimer_.setSingleShot(true);
    killTimer_.setSingleShot(true);
    connect(&termTimer_, &QTimer::timeout, this, &ProcessStop::terminate);
    connect(&killTimer_, &QTimer::timeout, this, &ProcessStop::kill);
}

ProcessStop::~ProcessStop() = default;

bool ProcessStop::begin(const processes::RememberedProcess &process, const Plan &plan,
                        const std::vector<int> &orphans) {
    // A tree still waiting for its SIGKILL from an earlier stop gets it now.
    signalTree(processes::Signal::Kill);
    abandon();
    target_ = process.duplicate();
    if (target_.pid() == 0) {
        return false;
    }
    orphans_ = orphans;
    // Listed before anything is asked: once the program ends, its children
    // are Perstando's and no longer its descendants.
    tree_ = processes::treeMembers(target_.pid(), orphans_);
    end_ = ProcessEndWatch::watch(target_);
    if (end_) {
        connect(end_.get(), &ProcessEndWatch::ended, this, [this] {
            // Ended on the windows' close request: its tree is stopped all the same.
            if (termTimer_.isActive()) {
                signalTree(processes::Signal::Terminate);
                killTimer_.start();
            }
            release();
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

void ProcessStop::signalTree(processes::Signal signal) {
    processes::signalMembers(tree_, signal);
    // A stopped process handles the SIGTERM only once it runs again.
    if (signal == processes::Signal::Terminate) {
        processes::signalMembers(tree_, processes::Signal::Continue);
    }
}

void ProcessStop::terminate() {
    // What it started while its windows were asked to close counts too.
    for (const processes::TreeMember &member : processes::treeMembers(target_.pid(), orphans_)) {
        if (std::none_of(tree_.begin(), tree_.end(), [&](const processes::TreeMember &known) {
                return known.pid == member.pid && known.startTime == member.startTime;
            })) {
            tree_.push_back(member);
        }
    }
    const bool reached = target_.sendSignal(processes::Signal::Terminate);
    target_.sendSignal(processes::Signal::Continue);
    signalTree(processes::Signal::Terminate);
    if (!reached) {
        release(); // gone already: its end, or the slot's check, tells the rest
    }
    if (!tree_.empty() || target_.pid() != 0) {
        killTimer_.start();
    }
}

void ProcessStop::kill() {
    target_.sendSignal(processes::Signal::Kill);
    signalTree(processes::Signal::Kill);
    tree_.clear();
    if (!end_) {
        abandon(); // no end to watch: the slot's checks find it gone
    }
}

void ProcessStop::release() {
    termTimer_.stop();
    end_.reset();
    target_.forget();
    orphans_.clear();
    if (tree_.empty()) {
        killTimer_.stop();
    }
}

void ProcessStop::abandon() {
    tree_.clear();
    release();
}

} // namespace engine
