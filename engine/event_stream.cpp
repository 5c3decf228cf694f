#include "engine/event_stream.h"

namespace engine {

void EventStream::publish(const Event &event) const {
    for (const Consumer &consumer : consumers_) {
        consumer(event);
    }
}

void EventStream::publish(Event::Kind kind, int slot, int pid, const QString &name,
                          const QString &detail) const {
    publish(Event{kind, slot, QDateTime::currentDateTime(), pid, name, detail});
}

} // namespace engine
