#include "core/wave_file.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

using testing_support::TempDir;
using testing_support::writeFile;

namespace {

std::string le32(std::uint32_t v) {
    return {static_cast<char>(v & 0xff), static_cast<char>((v >> 8) & 0xff),
            static_cast<char>((v >> 16) & 0xff), static_cast<char>((v >> 24) & 0xff)};
}

std::string chunk(const std::string &id, const std::string &body) {
    return id + le32(static_cast<std::uint32_t>(body.size())) + body +
           (body.size() % 2 ? std::string(1, '\0') : std::string());
}

/// 16-bit mono PCM at 22,050 Hz.
std::string format() {
    return chunk("fmt ", std::string("\x01\x00\x01\x00", 4) + le32(22050) + le32(44100) +
                             std::string("\x02\x00\x10\x00", 4));
}

std::string wave(const std::string &chunks) {
    return "RIFF" + le32(static_cast<std::uint32_t>(4 + chunks.size())) + "WAVE" + chunks;
}

class WaveFile : public ::testing::Test {
protected:
    bool check(const std::string &bytes) {
        writeFile(dir_ / "ringin.wav", bytes);
        return core::isCompleteWaveFile(dir_ / "ringin.wav");
    }
    TempDir dir_;
};

TEST_F(WaveFile, CompleteFilesPassWhateverChunksSurroundTheSound) {
    const std::string sound(3000, '\x11');
    EXPECT_TRUE(check(wave(format() + chunk("data", sound))));
    EXPECT_TRUE(check(wave(chunk("LIST", "INFOISFT\x05\0\0\0abcd\0") + format() +
                           chunk("data", sound) + chunk("id3 ", "tag"))));
    EXPECT_TRUE(check(wave(format() + chunk("fact", "odd") + chunk("data", "12345"))));
    EXPECT_TRUE(check(wave(format() + chunk("data", ""))));
}

TEST_F(WaveFile, EveryCutShortCopyIsRefused) {
    const std::string full = wave(format() + chunk("data", std::string(3000, '\x22')));
    ASSERT_TRUE(check(full));
    for (std::size_t length = 0; length < full.size(); length += 7) {
        EXPECT_FALSE(check(full.substr(0, length))) << length << " of " << full.size();
    }
    EXPECT_FALSE(check(full.substr(0, full.size() - 1)));
}

TEST_F(WaveFile, OtherFilesAreRefused) {
    EXPECT_FALSE(core::isCompleteWaveFile(dir_ / "missing.wav"));
    EXPECT_FALSE(core::isCompleteWaveFile(dir_.path()));
    EXPECT_FALSE(check(""));
    EXPECT_FALSE(check("ID3\x03 an mp3 file named .wav ..........."));
    EXPECT_FALSE(check(wave(chunk("data", "sound without a format"))));
    EXPECT_FALSE(check(wave(chunk("fmt ", "short") + chunk("data", "1234"))));
    // A recorder that never filled in the length: the player would wait.
    EXPECT_FALSE(check(wave(format() + "data" + le32(0xffffffffu) + "1234")));
    EXPECT_FALSE(check(wave(format() + chunk("LIST", "no sound at all"))));
}

} // namespace
