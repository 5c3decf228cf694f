#pragma once
// Helpers the dialog tests share: scripts that record their starts, and the
// lines they wrote.

#include <QString>
#include <QStringList>
#include <filesystem>
#include <string>

namespace testing_support {

/// Writes an executable shell script at `file` running `body`.
void writeScript(const std::filesystem::path &file, const std::string &body);

/// The lines of a text file, without the line breaks; none when it is missing.
QStringList linesOf(const std::filesystem::path &file);

/// Makes `file` read-only for everyone.
void makeReadOnly(const std::filesystem::path &file);

} // namespace testing_support
