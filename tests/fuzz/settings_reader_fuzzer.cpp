// The settings reader on any file content, and a write into that content:
// reads never return more than one line of at most 254 characters, the
// written key reads back as written, and every other key keeps its value.

#include "core/ini_file.h"
#include "tests/fuzz/fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <string_view>

namespace {

constexpr std::array<std::string_view, 9> Sections = {
    "exe1", "EXE1", "exe8", "workingexe3", "cmdline", "Startupmode", "internet", "log", "mail"};
constexpr std::array<std::string_view, 8> Keys = {"name",    "path",       "timer",       "path3",
                                                  "cmdexe1", "InIconTray", "Restartname", "port"};

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

/// What a read of `written` returns: one line, trimmed, one pair of quotes
/// dropped, cut to 254 characters.
std::string expectedRead(std::string_view written) {
    std::string line;
    for (const char c : written) {
        if (c != '\r' && c != '\n' && c != '\0') {
            line += c;
        }
    }
    std::string_view value = trim(line);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(core::truncateUtf8(value, ini::MaxValueChars));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const auto section =
        Sections[input.ConsumeIntegralInRange<std::size_t>(0, Sections.size() - 1)];
    const auto key = Keys[input.ConsumeIntegralInRange<std::size_t>(0, Keys.size() - 1)];
    const std::string value = input.ConsumeRandomLengthString(400);
    const std::string content = input.ConsumeRemainingBytesAsString();

    const auto file = fuzzing::scratchFolder() / "settings.ini";
    fuzzing::writeWhole(file, content);

    std::array<std::array<std::string, Keys.size()>, Sections.size()> before;
    // The one-read snapshot answers every lookup as a read of its own does.
    const ini::Document document(content);
    for (std::size_t s = 0; s < Sections.size(); ++s) {
        for (std::size_t k = 0; k < Keys.size(); ++k) {
            before[s][k] = ini::readValue(Sections[s], Keys[k], file);
            const auto &read = before[s][k];
            if (document.value(Sections[s], Keys[k]) != read) {
                fuzzing::failed("the one-read snapshot disagreed with a single read");
            }
            if (read.find('\n') != std::string::npos) {
                fuzzing::failed("a read returned a line break");
            }
            if (core::truncateUtf8(read, ini::MaxValueChars).size() != read.size()) {
                fuzzing::failed("a read returned more than 254 characters");
            }
        }
    }

    if (!ini::writeValue(section, key, value, file)) {
        fuzzing::failed("a write into a writable folder failed");
    }
    if (ini::readValue(section, key, file) != expectedRead(value)) {
        fuzzing::failed("the written value did not read back");
    }
    for (std::size_t s = 0; s < Sections.size(); ++s) {
        for (std::size_t k = 0; k < Keys.size(); ++k) {
            if (sameName(Sections[s], section) && sameName(Keys[k], key)) {
                continue;
            }
            if (ini::readValue(Sections[s], Keys[k], file) != before[s][k]) {
                fuzzing::failed("a write changed another key");
            }
        }
    }
    return 0;
}
