#pragma once
// Which alarms are raised. The windows show them: the visual alarm as the
// moving warning and the flashing window, the audio alarm as the sound, which
// repeats on Timer12 until acknowledged.

#include <QObject>

namespace engine {

class SwitchedTimer;

class AlarmState : public QObject {
    Q_OBJECT

public:
    explicit AlarmState(QObject *parent);

    void raiseVisual();
    /// The sound is due first one repeat after raising, as Timer12 ticks.
    void raiseAudio();
    /// Lowers both alarms.
    void acknowledge();

    bool visualRaised() const { return visual_; }
    bool audioRaised() const;

signals:
    void visualAlarmRaised();
    /// Time to play the alarm sound (again).
    void soundDue();
    void acknowledged();

private:
    SwitchedTimer *repeat_ = nullptr;
    bool visual_ = false;
};

} // namespace engine
