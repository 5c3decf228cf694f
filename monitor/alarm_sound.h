#pragma once

#include <QObject>
#include <QString>

class QSoundEffect;

/// MMControl1: plays the alarm sound file, one playing at a time, without
/// holding up the window while it plays.
class AlarmSound : public QObject {
    Q_OBJECT

public:
    explicit AlarmSound(QObject *parent);

    /// Plays `file` from its start. While a playing is still going on, the new
    /// one follows at once when it ends; further requests meanwhile add nothing.
    /// A missing, cut short or unplayable file, or no sound device, is silent;
    /// the next request tries the file again.
    void play(const QString &file);
    /// Ends the playing now and forgets a waiting one.
    void stop();

    bool isPlaying() const;
    /// A playing waits for the current one to end.
    bool isPending() const { return pending_; }
    /// How many playings have been started, for tests.
    int startedCount() const { return started_; }
    /// The sound as last loaded: true when it decoded as playable audio.
    bool isLoaded() const;

private:
    void start();
    void playingChanged();

    QSoundEffect *effect_ = nullptr; ///< made on the first playing
    QString file_;
    bool pending_ = false;
    int started_ = 0;
};
