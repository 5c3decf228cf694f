#include "tests/gui/dialog_test_support.h"

#include "tests/support/test_support.h"

namespace testing_support {

void writeScript(const std::filesystem::path &file, const std::string &body) {
    writeFile(file, "#!/bin/sh\n" + body + "\n");
    std::filesystem::permissions(file, std::filesystem::perms::owner_all |
                                           std::filesystem::perms::group_read |
                                           std::filesystem::perms::group_exec);
}

QStringList linesOf(const std::filesystem::path &file) {
    const QString text = QString::fromStdString(readFile(file));
    QStringList lines = text.split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty()) {
        lines.removeLast();
    }
    return lines;
}

void makeReadOnly(const std::filesystem::path &file) {
    std::filesystem::permissions(file, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::group_read |
                                           std::filesystem::perms::others_read);
}

} // namespace testing_support
