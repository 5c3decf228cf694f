#include "resources/gif_writer.h"
#include "tests/gui/main_window_fixture.h"

#include <QBuffer>
#include <QImageReader>
#include <QLabel>
#include <QMovie>
#include <QRandomGenerator>
#include <QSystemTrayIcon>
#include <QtEndian>

using testing_support::Form1Test;

namespace {

QList<QRgb> greyPalette(int colours) {
    QList<QRgb> palette;
    for (int i = 0; i < colours; ++i) {
        const int v = i * 255 / std::max(1, colours - 1);
        palette.append(qRgb(v, 255 - v, (v * 7) & 0xff));
    }
    return palette;
}

QImage indexedFrame(int width, int height, const QList<QRgb> &palette,
                    const std::function<int(int, int)> &index) {
    QImage image(width, height, QImage::Format_Indexed8);
    image.setColorTable(palette);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            image.setPixel(x, y, static_cast<uint>(index(x, y)));
        }
    }
    return image;
}

/// Decodes with Qt's own GIF reader and compares every pixel; index 0 reads
/// back transparent.
void expectRoundTrip(const QList<QImage> &frames) {
    const QByteArray gif = resources::writeAnimatedGif(frames, 10);
    ASSERT_FALSE(gif.isEmpty());
    QBuffer buffer;
    buffer.setData(gif);
    QImageReader reader(&buffer, "gif");
    for (int f = 0; f < frames.size(); ++f) {
        SCOPED_TRACE(f);
        const QImage decoded = reader.read().convertToFormat(QImage::Format_ARGB32);
        ASSERT_FALSE(decoded.isNull()) << reader.errorString().toStdString();
        ASSERT_EQ(decoded.size(), frames[f].size());
        int wrong = 0;
        for (int y = 0; y < decoded.height(); ++y) {
            for (int x = 0; x < decoded.width(); ++x) {
                const int index = frames[f].pixelIndex(x, y);
                const QRgb got = decoded.pixel(x, y);
                const bool same = index == 0 ? qAlpha(got) == 0 : got == frames[f].color(index);
                wrong += same ? 0 : 1;
            }
        }
        EXPECT_EQ(wrong, 0);
    }
    EXPECT_FALSE(reader.canRead());
}

TEST(GifWriter, FramesReadBackPixelForPixel) {
    auto *random = QRandomGenerator::global();
    // Noise fills the code table several times over; runs make long codes; a
    // small palette and a single pixel hit the edges of the code widths.
    const auto full = greyPalette(256);
    expectRoundTrip({indexedFrame(300, 200, full, [&](int, int) { return random->bounded(256); }),
                     indexedFrame(300, 200, full, [](int x, int y) { return (x / 7 + y) % 256; }),
                     indexedFrame(300, 200, full, [](int, int) { return 5; })});
    const auto four = greyPalette(4);
    expectRoundTrip({indexedFrame(1, 1, four, [](int, int) { return 3; })});
    // Rows without a repeated pair of neighbours take one code per pixel, so
    // their lengths put the last code right at each change of code width.
    const auto distinctPairs = [](int x, int) { return (x % 256) * (2 * (x / 256) + 1) % 256; };
    for (int length : {254, 255, 256, 766, 767, 768, 1790, 1791, 1792, 3838, 3839, 3840}) {
        SCOPED_TRACE(length);
        expectRoundTrip({indexedFrame(length, 1, full, distinctPairs)});
    }
}

TEST(GifWriter, RefusesFramesThatDoNotShareOneFormat) {
    const auto palette = greyPalette(4);
    const QImage a = indexedFrame(4, 4, palette, [](int, int) { return 1; });
    EXPECT_TRUE(resources::writeAnimatedGif({}, 10).isEmpty());
    EXPECT_TRUE(resources::writeAnimatedGif({a, a.scaled(5, 5)}, 10).isEmpty());
    EXPECT_TRUE(
        resources::writeAnimatedGif({a.convertToFormat(QImage::Format_RGB32)}, 10).isEmpty());
    QImage other = a;
    other.setColorTable(greyPalette(3));
    EXPECT_TRUE(resources::writeAnimatedGif({a, other}, 10).isEmpty());
}

TEST(ProgramFiles, TheSoundIsAShortPcmWave) {
    const auto bytes =
        testing_support::readFile(std::filesystem::path(PERSTANDO_PROGRAM_DIR) / "ringin.wav");
    ASSERT_GT(bytes.size(), 44u);
    const auto u16 = [&](std::size_t at) { return qFromLittleEndian<quint16>(bytes.data() + at); };
    const auto u32 = [&](std::size_t at) { return qFromLittleEndian<quint32>(bytes.data() + at); };
    EXPECT_EQ(bytes.substr(0, 4), "RIFF");
    EXPECT_EQ(bytes.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(u16(20), 1) << "PCM";
    EXPECT_EQ(bytes.substr(36, 4), "data");
    const double seconds = double(u32(40)) / u32(28);
    EXPECT_GT(seconds, 0.5);
    EXPECT_LE(seconds, 2.0);
    EXPECT_EQ(u32(40) + 44, bytes.size());
}

TEST(ProgramFiles, TheWarningIsAnAnimatedGif) {
    QMovie movie(QString::fromUtf8(PERSTANDO_PROGRAM_DIR "/warning_4.gif"));
    ASSERT_TRUE(movie.isValid());
    EXPECT_EQ(movie.frameCount(), 4);
    QList<QImage> frames;
    for (int i = 0; i < movie.frameCount(); ++i) {
        ASSERT_TRUE(movie.jumpToFrame(i));
        frames << movie.currentImage();
        EXPECT_GT(movie.nextFrameDelay(), 0);
    }
    EXPECT_NE(frames[0], frames[2]) << "the sign moves";
    EXPECT_EQ(qAlpha(frames[0].pixel(0, 0)), 0) << "corners are transparent";
    EXPECT_EQ(qAlpha(frames[0].pixel(24, 30)), 255);
}

using PicturesTest = Form1Test;

TEST_F(PicturesTest, EveryPictureOfTheMainWindowIsThere) {
    start();
    QList<QImage> hourglass;
    for (int n = 1; n <= 9; ++n) {
        const auto name = QStringLiteral("Picture%1").arg(n).toLatin1();
        const QImage frame = control<QLabel>(name.constData())->pixmap().toImage();
        ASSERT_FALSE(frame.isNull()) << name.constData();
        EXPECT_FALSE(hourglass.contains(frame)) << "each frame differs: " << name.constData();
        hourglass << frame;
    }
    EXPECT_FALSE(control<QLabel>("Picture10")->pixmap().isNull());
    for (int n = 18; n <= 25; ++n) {
        const auto name = QStringLiteral("Picture%1").arg(n).toLatin1();
        EXPECT_FALSE(control<QLabel>(name.constData())->pixmap().isNull()) << name.constData();
    }
    EXPECT_FALSE(control<QSystemTrayIcon>("TrayIcon1")->icon().isNull());
    EXPECT_FALSE(form_->windowIcon().isNull());
}

} // namespace
