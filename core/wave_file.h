#pragma once
// Checking a sound file before the player gets it.

#include <filesystem>

namespace core {

/// Is `file` a RIFF WAVE file with a format chunk and all of the sound its
/// data chunk announces? Qt's sound player waits forever for the rest of a
/// file cut short (one caught while being copied), and with it every later
/// sound; such a file is better not played.
bool isCompleteWaveFile(const std::filesystem::path &file);

} // namespace core
