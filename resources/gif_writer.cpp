#include "resources/gif_writer.h"

#include <array>
#include <cstdint>
#include <vector>

namespace resources {
namespace {

void put16(QByteArray &out, int value) {
    out.append(static_cast<char>(value & 0xff));
    out.append(static_cast<char>((value >> 8) & 0xff));
}

/// Packs variable-width codes least significant bit first and cuts them into
/// the sub-blocks of at most 255 bytes that GIF image data is stored in.
class CodeStream {
public:
    void write(int code, int width) {
        bits_ |= static_cast<std::uint32_t>(code) << count_;
        count_ += width;
        while (count_ >= 8) {
            bytes_.push_back(static_cast<char>(bits_ & 0xff));
            bits_ >>= 8;
            count_ -= 8;
        }
    }
    void finishInto(QByteArray &out) {
        if (count_ > 0) {
            bytes_.push_back(static_cast<char>(bits_ & 0xff));
        }
        for (std::size_t at = 0; at < bytes_.size(); at += 255) {
            const auto length = std::min<std::size_t>(255, bytes_.size() - at);
            out.append(static_cast<char>(length));
            out.append(bytes_.data() + at, static_cast<qsizetype>(length));
        }
        out.append('\0');
    }

private:
    std::vector<char> bytes_;
    std::uint32_t bits_ = 0;
    int count_ = 0;
};

/// LZW as GIF defines it: 8-bit literals, codes grow from 9 to 12 bits, and
/// a clear code restarts the table when it is full.
void compress(const QImage &frame, QByteArray &out) {
    constexpr int minCodeSize = 8;
    constexpr int clearCode = 1 << minCodeSize;
    constexpr int endCode = clearCode + 1;
    constexpr int maxCodes = 4096;
    out.append(static_cast<char>(minCodeSize));

    // next_[code * 256 + byte]: the code for "code followed by byte", 0 when absent.
    std::vector<std::uint16_t> next(static_cast<std::size_t>(maxCodes) * 256, 0);
    CodeStream stream;
    int codeSize = minCodeSize + 1;
    int lastCode = endCode;
    int current = -1;
    stream.write(clearCode, codeSize);
    for (int y = 0; y < frame.height(); ++y) {
        const uchar *row = frame.constScanLine(y);
        for (int x = 0; x < frame.width(); ++x) {
            const int pixel = row[x];
            if (current < 0) {
                current = pixel;
                continue;
            }
            auto &entry = next[static_cast<std::size_t>(current) * 256 + pixel];
            if (entry != 0) {
                current = entry;
                continue;
            }
            stream.write(current, codeSize);
            entry = static_cast<std::uint16_t>(++lastCode);
            if (lastCode >= (1 << codeSize) && codeSize < 12) {
                ++codeSize;
            }
            if (lastCode == maxCodes - 1) {
                stream.write(clearCode, codeSize);
                std::fill(next.begin(), next.end(), 0);
                codeSize = minCodeSize + 1;
                lastCode = endCode;
            }
            current = pixel;
        }
    }
    if (current >= 0) {
        stream.write(current, codeSize);
        // The reader adds one more entry on this last code; its width may grow with it.
        if (lastCode != endCode && lastCode + 1 >= (1 << codeSize) && codeSize < 12) {
            ++codeSize;
        }
    }
    stream.write(endCode, codeSize);
    stream.finishInto(out);
}

} // namespace

QByteArray writeAnimatedGif(const QList<QImage> &frames, int delayCs) {
    if (frames.isEmpty()) {
        return {};
    }
    const QImage &first = frames.first();
    const auto table = first.colorTable();
    if (table.isEmpty() || table.size() > 256) {
        return {};
    }
    for (const auto &frame : frames) {
        if (frame.format() != QImage::Format_Indexed8 || frame.size() != first.size() ||
            frame.colorTable() != table) {
            return {};
        }
    }
    int tableBits = 1;
    while ((1 << tableBits) < table.size()) {
        ++tableBits;
    }

    QByteArray out("GIF89a");
    put16(out, first.width());
    put16(out, first.height());
    out.append(static_cast<char>(0x80 | 0x70 | (tableBits - 1))); // global table, 8-bit colour
    out.append('\0');                                             // background index
    out.append('\0');                                             // square pixels
    for (int i = 0; i < (1 << tableBits); ++i) {
        const QRgb c = i < table.size() ? table[i] : qRgb(0, 0, 0);
        out.append(static_cast<char>(qRed(c)));
        out.append(static_cast<char>(qGreen(c)));
        out.append(static_cast<char>(qBlue(c)));
    }
    // NETSCAPE2.0 extension: loop for ever.
    out.append("\x21\xff\x0bNETSCAPE2.0\x03\x01", 16);
    put16(out, 0);
    out.append('\0');

    for (const auto &frame : frames) {
        // Graphic control: restore to background after each frame, index 0 transparent.
        out.append("\x21\xf9\x04", 3);
        out.append(static_cast<char>((2 << 2) | 1));
        put16(out, delayCs);
        out.append('\0');
        out.append('\0');
        out.append('\x2c');
        put16(out, 0);
        put16(out, 0);
        put16(out, frame.width());
        put16(out, frame.height());
        out.append('\0');
        compress(frame, out);
    }
    out.append('\x3b');
    return out;
}

} // namespace resources
