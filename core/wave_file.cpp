#include "core/wave_file.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>

namespace core {
namespace {

std::uint32_t littleEndian32(const char *bytes) {
    const auto *b = reinterpret_cast<const unsigned char *>(bytes);
    return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

} // namespace

bool isCompleteWaveFile(const std::filesystem::path &file) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    std::ifstream in(file, std::ios::binary);
    if (ec || !in) {
        return false;
    }
    std::array<char, 12> riff{};
    if (!in.read(riff.data(), riff.size()) || std::memcmp(riff.data(), "RIFF", 4) != 0 ||
        std::memcmp(riff.data() + 8, "WAVE", 4) != 0) {
        return false;
    }
    // Chunks follow one another, each padded to an even length; the sound is
    // the "data" chunk and needs a "fmt " chunk before it.
    std::uintmax_t offset = riff.size();
    bool format = false;
    while (offset + 8 <= size) {
        std::array<char, 8> header{};
        in.seekg(static_cast<std::streamoff>(offset));
        if (!in.read(header.data(), header.size())) {
            return false;
        }
        const std::uintmax_t length = littleEndian32(header.data() + 4);
        const std::uintmax_t end = offset + 8 + length;
        if (end > size) {
            return false;
        }
        if (std::memcmp(header.data(), "fmt ", 4) == 0) {
            format = length >= 16;
        } else if (std::memcmp(header.data(), "data", 4) == 0) {
            return format;
        }
        offset = end + (length % 2);
    }
    return false;
}

} // namespace core
