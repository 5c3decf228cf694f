#pragma once
// A small GIF89a writer for the animated warning picture: Qt reads GIF but
// cannot write it.

#include <QByteArray>
#include <QImage>
#include <QList>

namespace resources {

/// Encodes `frames` as an endlessly looping animated GIF. Every frame must be
/// an 8-bit indexed image of the same size sharing one colour table of at most
/// 256 colours; colour index 0 is transparent. `delayCs` is the time each
/// frame stays, in hundredths of a second. Returns an empty array when the
/// frames do not fit these rules.
QByteArray writeAnimatedGif(const QList<QImage> &frames, int delayCs);

} // namespace resources
