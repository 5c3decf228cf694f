// The two command-line splits: the quote-aware word split and runCommandLine's
// program / arguments / folder split.

#include "core/launcher.h"
#include "tests/fuzz/fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const bool withDirectory = input.ConsumeBool();
    const std::string line = input.ConsumeRemainingBytesAsString();

    // Words hold no quotes, and quoting each word again gives the same words.
    const auto words = launcher::splitCommandLine(line);
    std::string requoted;
    for (const auto &word : words) {
        if (word.find('"') != std::string::npos) {
            fuzzing::failed("a word kept a quote");
        }
        requoted += (requoted.empty() ? "\"" : " \"") + word + "\"";
    }
    if (launcher::splitCommandLine(requoted) != words) {
        fuzzing::failed("quoted words split differently");
    }

    std::string commandLine = line;
    const auto parts = launcher::splitCommand(
        commandLine, withDirectory ? std::optional<std::string>("/srv") : std::nullopt);
    if (commandLine.rfind(parts.program, 0) != 0) {
        fuzzing::failed("the program is not the start of the line");
    }
    if (!parts.arguments.empty() &&
        (commandLine.size() < parts.arguments.size() ||
         commandLine.compare(commandLine.size() - parts.arguments.size(), std::string::npos,
                             parts.arguments) != 0 ||
         parts.arguments.front() == ' ')) {
        fuzzing::failed("the arguments are not the end of the line");
    }
    const bool quoted =
        !line.empty() && line.front() == '"' && line.find('"', 1) != std::string::npos;
    if (commandLine.size() != line.size() - (quoted ? 2 : 0)) {
        fuzzing::failed("the line lost more than its two quotes");
    }
    if (withDirectory ? parts.directory != "/srv" : parts.directory.empty()) {
        fuzzing::failed("wrong working directory");
    }
    return 0;
}
