#include "engine/alarm_state.h"

#include "engine/switched_timer.h"

namespace engine {

AlarmState::AlarmState(QObject *parent) : QObject(parent) {
    repeat_ = new SwitchedTimer(QStringLiteral("Timer12"), 5000, false, this);
    connect(repeat_, &QTimer::timeout, this, &AlarmState::soundDue);
}

void AlarmState::raiseVisual() {
    visual_ = true;
    emit visualAlarmRaised();
}

void AlarmState::raiseAudio() {
    repeat_->setEnabled(true);
}

bool AlarmState::audioRaised() const {
    return repeat_->isEnabled();
}

void AlarmState::acknowledge() {
    repeat_->setEnabled(false);
    visual_ = false;
    emit acknowledged();
}

} // namespace engine
