#include "engine/process_end_watch.h"

#include "core/process_probe.h"

#include <QSocketNotifier>

namespace engine {

std::unique_ptr<ProcessEndWatch>
ProcessEndWatch::watch(const processes::RememberedProcess &process) {
    core::UniqueFd fd = process.duplicateEndDescriptor();
    if (!fd) {
        return nullptr;
    }
    return std::unique_ptr<ProcessEndWatch>(new ProcessEndWatch(std::move(fd)));
}

ProcessEndWatch::ProcessEndWatch(core::UniqueFd fd)
    : fd_(std::move(fd)),
      notifier_(std::make_unique<QSocketNotifier>(fd_.get(), QSocketNotifier::Read)) {
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
        // Readable for good from now on.
        notifier_->setEnabled(false);
        emit ended(); // the receiver may delete this: nothing after it
    });
}

ProcessEndWatch::~ProcessEndWatch() = default;

} // namespace engine
