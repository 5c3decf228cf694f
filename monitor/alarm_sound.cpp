#include "monitor/alarm_sound.h"

#include "core/wave_file.h"

#include <QFile>
#include <QSoundEffect>
#include <QUrl>

AlarmSound::AlarmSound(QObject *parent) : QObject(parent) {
    setObjectName(QStringLiteral("MMControl1"));
}

void AlarmSound::play(const QString &file) {
    file_ = file;
    if (!effect_) {
        // Made for the first alarm: the audio backend costs memory and
        // threads that a program which never rings need not hold.
        effect_ = new QSoundEffect(this);
        connect(effect_, &QSoundEffect::playingChanged, this, &AlarmSound::playingChanged);
    }
    if (effect_->isPlaying()) {
        // Requests while it plays do not pile up: one more playing at the most.
        pending_ = true;
        return;
    }
    start();
}

void AlarmSound::start() {
    pending_ = false;
    // The file is read afresh for every playing, so a replaced file is heard
    // and a missing one found again without a restart.
    effect_->setSource(QUrl());
    ++started_;
    // A sound cut short would never finish loading: the player would stay
    // "playing" and silent for good, and hang the program when released.
    if (!core::isCompleteWaveFile(QFile::encodeName(file_).toStdString())) {
        return;
    }
    effect_->setSource(QUrl::fromLocalFile(file_));
    effect_->play();
}

void AlarmSound::stop() {
    pending_ = false;
    if (effect_) {
        effect_->stop();
    }
}

bool AlarmSound::isPlaying() const {
    return effect_ && effect_->isPlaying();
}

bool AlarmSound::isLoaded() const {
    return effect_ && effect_->status() == QSoundEffect::Ready;
}

void AlarmSound::playingChanged() {
    if (!effect_->isPlaying() && pending_) {
        start();
    }
}
