#include "monitor/alarm_sound.h"

#include "core/wave_file.h"

#include <QFile>
#include <QSoundEffect>
#include <QUrl>

AlarmSound::AlarmSound(QObject *parent) : QObject(parent), effect_(new QSoundEffect(this)) {
    setObjectName(QStringLiteral("MMControl1"));
    connect(effect_, &QSoundEffect::playingChanged, this, &AlarmSound::playingChanged);
}

void AlarmSound::play(const QString &file) {
    file_ = file;
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
    effect_->stop();
}

bool AlarmSound::isPlaying() const {
    return effect_->isPlaying();
}

bool AlarmSound::isLoaded() const {
    return effect_->status() == QSoundEffect::Ready;
}

void AlarmSound::playingChanged() {
    if (!effect_->isPlaying() && pending_) {
        start();
    }
}
