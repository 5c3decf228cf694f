// Makes the program's sound, animated warning and pictures from code, so the
// build can always produce them again: perstando_make_resources OUTPUT_FOLDER
// With --icons, makes the desktop icons instead: perstando_make_resources --icons OUTPUT_FOLDER

#include "resources/gif_writer.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QSvgGenerator>
#include <QTransform>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>

namespace {

constexpr double Pi = 3.14159265358979323846;

bool save(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

void append16(QByteArray &out, int value) {
    out.append(static_cast<char>(value & 0xff));
    out.append(static_cast<char>((value >> 8) & 0xff));
}

void append32(QByteArray &out, quint32 value) {
    append16(out, static_cast<int>(value & 0xffff));
    append16(out, static_cast<int>(value >> 16));
}

/// A telephone bell: two bursts of a struck double tone, 1.6 s, 16-bit mono PCM.
QByteArray ringSound() {
    constexpr int rate = 22050;
    constexpr double length = 1.6;
    const int samples = static_cast<int>(rate * length);
    QByteArray pcm;
    pcm.reserve(samples * 2);
    for (int i = 0; i < samples; ++i) {
        const double t = static_cast<double>(i) / rate;
        // Bursts at 0.0-0.6 s and 0.8-1.4 s, with 10 ms ramps against clicks.
        double envelope = 0;
        for (const double start : {0.0, 0.8}) {
            const double in = t - start;
            if (in >= 0 && in < 0.6) {
                envelope = std::min({1.0, in / 0.01, (0.6 - in) / 0.01});
            }
        }
        // The clapper strikes twenty times a second; each strike fades.
        const double strike = std::fmod(t, 0.05) / 0.05;
        const double bell = 0.55 + 0.45 * std::exp(-4.0 * strike);
        const double tone = std::sin(2 * Pi * 1200 * t) + 0.6 * std::sin(2 * Pi * 1500 * t);
        const double value = 0.45 * envelope * bell * tone / 1.6;
        append16(pcm, static_cast<int>(std::lround(value * 32767)) & 0xffff);
    }
    QByteArray wav("RIFF");
    append32(wav, static_cast<quint32>(36 + pcm.size()));
    wav.append("WAVEfmt ");
    append32(wav, 16);
    append16(wav, 1); // PCM
    append16(wav, 1); // mono
    append32(wav, rate);
    append32(wav, rate * 2);
    append16(wav, 2);
    append16(wav, 16);
    wav.append("data");
    append32(wav, static_cast<quint32>(pcm.size()));
    wav.append(pcm);
    return wav;
}

QImage canvas(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

/// Draws on a 24-unit grid scaled to the picture, antialiased.
QImage picture(int size, const std::function<void(QPainter &)> &draw) {
    QImage image = canvas(size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 24.0, size / 24.0);
    draw(p);
    return image;
}

/// A closed outline through `corners`.
QPainterPath polygon(std::initializer_list<QPointF> corners) {
    QPainterPath path;
    path.addPolygon(QPolygonF(QList<QPointF>(corners)));
    path.closeSubpath();
    return path;
}

QPen pen(const QColor &color, double width) {
    return QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

const QColor ink(0x2b, 0x3a, 0x4a);
const QColor blue(0x2f, 0x6f, 0xb5);
const QColor paper(0xfb, 0xfb, 0xf4);
const QColor sand(0xe0, 0xa8, 0x3c);
const QColor green(0x3c, 0x9a, 0x4a);

/// The program's sign: a circular arrow (starting again) around a live dot.
void drawSign(QPainter &p) {
    p.setPen(Qt::NoPen);
    p.setBrush(blue);
    p.drawRoundedRect(QRectF(1, 1, 22, 22), 5, 5);
    p.setBrush(Qt::NoBrush);
    p.setPen(pen(Qt::white, 2.4));
    p.drawArc(QRectF(5.5, 5.5, 13, 13), 60 * 16, 290 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawPath(polygon({{17.6, 3.4}, {18.6, 9.2}, {13.0, 7.6}}));
    p.setBrush(QColor(0x8c, 0xe0, 0x7a));
    p.drawEllipse(QPointF(12, 12), 2.6, 2.6);
}

/// Hourglass with `top` of the sand (0..1) still in the upper bulb.
void drawHourglass(QPainter &p, double top) {
    QPainterPath upper;
    upper.moveTo(6, 4);
    upper.lineTo(18, 4);
    upper.cubicTo(18, 9, 13, 10.5, 12.6, 12);
    upper.lineTo(11.4, 12);
    upper.cubicTo(11, 10.5, 6, 9, 6, 4);
    const QPainterPath lower = QTransform(1, 0, 0, -1, 0, 24).map(upper); // mirrored
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xe8, 0xf1, 0xfa));
    p.drawPath(upper);
    p.drawPath(lower);
    p.setBrush(sand);
    p.save();
    p.setClipPath(upper);
    const double upperLevel = 12 - 7.5 * top;
    p.drawRect(QRectF(4, upperLevel, 16, 12 - upperLevel));
    p.restore();
    p.save();
    p.setClipPath(lower);
    const double lowerLevel = 20 - 7.5 * (1 - top);
    p.drawRect(QRectF(4, lowerLevel, 16, 20 - lowerLevel));
    p.restore();
    if (top > 0 && top < 1) {
        p.setPen(pen(sand, 0.8));
        p.drawLine(QPointF(12, 12), QPointF(12, 19.5));
    }
    p.setPen(pen(ink, 1.2));
    p.setBrush(Qt::NoBrush);
    p.drawPath(upper);
    p.drawPath(lower);
    p.setPen(pen(QColor(0x8a, 0x5a, 0x2b), 2));
    p.drawLine(QPointF(4.5, 3.5), QPointF(19.5, 3.5));
    p.drawLine(QPointF(4.5, 20.5), QPointF(19.5, 20.5));
}

void drawGlobe(QPainter &p) {
    p.setPen(pen(blue, 1.4));
    p.setBrush(QColor(0xdd, 0xec, 0xfa));
    p.drawEllipse(QPointF(12, 12), 9, 9);
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(12, 12), 4, 9);
    p.drawLine(QPointF(3, 12), QPointF(21, 12));
    p.drawArc(QRectF(4.5, -1, 15, 9), 200 * 16, 140 * 16);
    p.drawArc(QRectF(4.5, 16, 15, 9), 20 * 16, 140 * 16);
}

void drawTerminal(QPainter &p) {
    p.setPen(pen(ink, 1.4));
    p.setBrush(QColor(0x1e, 0x26, 0x30));
    p.drawRoundedRect(QRectF(2.5, 4.5, 19, 15), 2, 2);
    p.setPen(pen(QColor(0x9f, 0xe8, 0x8d), 1.8));
    p.drawPolyline(QList<QPointF>{{6, 9}, {9, 12}, {6, 15}});
    p.drawLine(QPointF(11, 15), QPointF(16, 15));
}

void drawPage(QPainter &p, double left = 5) {
    p.setPen(pen(ink, 1.3));
    p.setBrush(paper);
    p.drawPath(polygon(
        {{left, 2.5}, {left + 10, 2.5}, {left + 14, 6.5}, {left + 14, 21.5}, {left, 21.5}}));
    p.drawPolyline(QList<QPointF>{{left + 10, 2.5}, {left + 10, 6.5}, {left + 14, 6.5}});
}

void drawLines(QPainter &p, double left, double right, double from, int count) {
    p.setPen(pen(QColor(0x7b, 0x8a, 0x99), 1.1));
    for (int i = 0; i < count; ++i) {
        p.drawLine(QPointF(left, from + 3 * i), QPointF(right, from + 3 * i));
    }
}

/// The eight toolbar pictures, by button key.
QList<std::pair<const char *, std::function<void(QPainter &)>>> toolbarPictures() {
    return {
        {"file",
         [](QPainter &p) {
             p.setPen(pen(QColor(0x9a, 0x6b, 0x12), 1.3));
             p.setBrush(QColor(0xf4, 0xc8, 0x5a));
             p.drawPath(polygon({{2.5, 6}, {9, 6}, {11, 8}, {21.5, 8}, {21.5, 19.5}, {2.5, 19.5}}));
             p.setPen(pen(blue, 1.6));
             p.setBrush(Qt::white);
             p.drawEllipse(QPointF(16, 15), 3, 3);
             p.drawEllipse(QPointF(16, 15), 0.8, 0.8);
         }},
        {"log",
         [](QPainter &p) {
             drawPage(p);
             drawLines(p, 7.5, 16.5, 9.5, 4);
             p.setPen(pen(QColor(0xc0, 0x39, 0x2b), 1.6));
             p.drawLine(QPointF(13, 20), QPointF(20.5, 12.5));
         }},
        {"mail",
         [](QPainter &p) {
             p.setPen(pen(ink, 1.3));
             p.setBrush(paper);
             p.drawRect(QRectF(2.5, 5.5, 19, 13));
             p.drawPolyline(QList<QPointF>{{2.5, 5.5}, {12, 13}, {21.5, 5.5}});
         }},
        {"cmd", drawTerminal},
        {"audio",
         [](QPainter &p) {
             p.setPen(pen(ink, 1.3));
             p.setBrush(QColor(0x7b, 0x8a, 0x99));
             p.drawPath(polygon({{3, 9}, {7, 9}, {12, 4.5}, {12, 19.5}, {7, 15}, {3, 15}}));
             p.setBrush(Qt::NoBrush);
             p.setPen(pen(blue, 1.5));
             p.drawArc(QRectF(9, 8, 8, 8), -50 * 16, 100 * 16);
             p.drawArc(QRectF(8, 4.5, 14, 15), -50 * 16, 100 * 16);
         }},
        {"timer",
         [](QPainter &p) {
             p.setPen(pen(ink, 1.4));
             p.setBrush(paper);
             p.drawEllipse(QPointF(12, 13), 8.5, 8.5);
             p.drawLine(QPointF(10, 2.5), QPointF(14, 2.5));
             p.drawLine(QPointF(12, 2.5), QPointF(12, 4.5));
             p.setPen(pen(QColor(0xc0, 0x39, 0x2b), 1.6));
             p.drawLine(QPointF(12, 13), QPointF(12, 7.5));
             p.drawLine(QPointF(12, 13), QPointF(16, 15));
         }},
        {"view",
         [](QPainter &p) {
             drawPage(p, 2.5);
             drawLines(p, 5, 13, 8.5, 3);
             p.setPen(pen(ink, 1.6));
             p.setBrush(QColor(0xdd, 0xec, 0xfa, 200));
             p.drawEllipse(QPointF(14.5, 14.5), 4.2, 4.2);
             p.setPen(pen(ink, 2.4));
             p.drawLine(QPointF(17.6, 17.6), QPointF(21.5, 21.5));
         }},
        {"help",
         [](QPainter &p) {
             p.setPen(Qt::NoPen);
             p.setBrush(blue);
             p.drawEllipse(QPointF(12, 12), 10, 10);
             p.setPen(pen(Qt::white, 2.2));
             p.setBrush(Qt::NoBrush);
             QPainterPath mark;
             mark.moveTo(8.8, 9.2);
             mark.cubicTo(8.8, 5.6, 15.2, 5.6, 15.2, 9.2);
             mark.cubicTo(15.2, 11.6, 12, 11.6, 12, 14.2);
             p.drawPath(mark);
             p.setPen(Qt::NoPen);
             p.setBrush(Qt::white);
             p.drawEllipse(QPointF(12, 17.6), 1.4, 1.4);
         }},
    };
}

/// One frame of the warning sign; the frames swell and fade so it pulses.
QImage warningFrame(int frame, const QList<QRgb> &palette) {
    constexpr int size = 48;
    static constexpr double scales[] = {1.0, 0.93, 0.86, 0.93};
    static constexpr int glow[] = {255, 215, 175, 215};
    QImage image = canvas(size);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        p.translate(size / 2.0, size / 2.0 + 2);
        p.scale(scales[frame] * size / 24.0, scales[frame] * size / 24.0);
        p.setPen(pen(QColor(0x20, 0x20, 0x20), 1.6));
        p.setBrush(QColor(glow[frame], glow[frame] * 200 / 255, 0));
        p.drawPath(polygon({{0, -11}, {11, 8.5}, {-11, 8.5}}));
        p.setPen(pen(QColor(0x20, 0x20, 0x20), 2.6));
        p.drawLine(QPointF(0, -5), QPointF(0, 2));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x20, 0x20, 0x20));
        p.drawEllipse(QPointF(0, 5.2), 1.5, 1.5);
    }
    // Half-covered edge pixels become fully transparent or fully opaque: GIF
    // knows only one transparent colour.
    QImage indexed(size, size, QImage::Format_Indexed8);
    indexed.setColorTable(palette);
    const QImage opaque = image.convertToFormat(QImage::Format_RGB32, Qt::AutoColor);
    const QImage mapped =
        opaque.convertToFormat(QImage::Format_Indexed8, palette, Qt::ThresholdDither);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const bool seen = qAlpha(image.pixel(x, y)) >= 128;
            indexed.setPixel(x, y, seen ? std::max(1, int(mapped.pixelIndex(x, y))) : 0);
        }
    }
    return indexed;
}

QByteArray warningAnimation() {
    // Index 0 is the transparent colour; the rest are the sign's own shades.
    QList<QRgb> palette{qRgb(255, 255, 255), qRgb(0x20, 0x20, 0x20)};
    for (int level = 0; level < 64; ++level) {
        const int red = 96 + level * 159 / 63;
        palette.append(qRgb(red, red * 200 / 255, 0));
    }
    for (int level = 0; level < 32; ++level) {
        const int grey = 0x20 + level * (255 - 0x20) / 31;
        palette.append(qRgb(grey, grey, grey));
    }
    // Unpremultiplied shading of the triangle's edge against black.
    for (int level = 0; level < 32; ++level) {
        const int red = level * 255 / 31;
        palette.append(qRgb(red, red * 200 / 255, 0));
    }
    QList<QImage> frames;
    for (int frame = 0; frame < 4; ++frame) {
        frames.append(warningFrame(frame, palette));
    }
    return resources::writeAnimatedGif(frames, 20);
}

bool savePicture(const QDir &dir, const QString &name, const QImage &image) {
    if (!image.save(dir.filePath(name), "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(dir.filePath(name)));
        return false;
    }
    return true;
}

/// The sign at the sizes icon themes look for (perstando_SIZE.png), and as
/// vectors from the same drawing (perstando.svg).
bool saveIcons(const QDir &dir) {
    bool ok = true;
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        ok = savePicture(dir, QStringLiteral("perstando_%1.png").arg(size),
                         picture(size, drawSign)) &&
             ok;
    }
    QSvgGenerator svg;
    svg.setFileName(dir.filePath(QStringLiteral("perstando.svg")));
    svg.setSize(QSize(24, 24));
    svg.setViewBox(QRectF(0, 0, 24, 24));
    svg.setTitle(QStringLiteral("Perstando"));
    QPainter p;
    if (!p.begin(&svg)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(svg.fileName()));
        return false;
    }
    p.setRenderHint(QPainter::Antialiasing);
    drawSign(p);
    return p.end() && ok;
}

} // namespace

int main(int argc, char *argv[]) {
    const bool icons = argc == 3 && std::strcmp(argv[1], "--icons") == 0;
    if (argc != 2 && !icons) {
        std::fprintf(stderr, "usage: %s [--icons] OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    const char *folder = argv[argc - 1];
    const QDir dir(QString::fromLocal8Bit(folder));
    if (!QDir().mkpath(dir.path())) {
        std::fprintf(stderr, "cannot make %s\n", folder);
        return 1;
    }
    if (icons) {
        return saveIcons(dir) ? 0 : 1;
    }
    bool ok = save(dir.filePath(QStringLiteral("ringin.wav")), ringSound());
    ok = save(dir.filePath(QStringLiteral("warning_4.gif")), warningAnimation()) && ok;
    // Picture N is shown N-th from last, so Picture9 holds the full upper bulb.
    for (int n = 1; n <= 9; ++n) {
        ok = savePicture(dir, QStringLiteral("hourglass_%1.png").arg(n),
                         picture(32, [n](QPainter &p) { drawHourglass(p, (n - 1) / 8.0); })) &&
             ok;
    }
    ok = savePicture(dir, QStringLiteral("internet.png"), picture(32, drawGlobe)) && ok;
    ok = savePicture(dir, QStringLiteral("cmdline.png"), picture(16, drawTerminal)) && ok;
    for (const auto &[key, draw] : toolbarPictures()) {
        ok = savePicture(dir, QStringLiteral("toolbar_%1.png").arg(QLatin1StringView(key)),
                         picture(24, draw)) &&
             ok;
    }
    ok = savePicture(dir, QStringLiteral("perstando.png"), picture(64, drawSign)) && ok;
    ok = savePicture(dir, QStringLiteral("tray.png"), picture(32, drawSign)) && ok;
    return ok ? 0 : 1;
}
