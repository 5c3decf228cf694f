#pragma once
// Running a command without a network: in a fresh network namespace.

#include <string>
#include <vector>

namespace testing_support {

/// The words that run a command in a fresh network namespace (`unshare -n`,
/// or `unshare -rn` without root); empty when this machine cannot make one.
const std::vector<std::string> &withoutNetwork();

/// Runs `argv` (its first word looked up on PATH), its stdout captured.
struct RunResult {
    int status = -1; ///< as waitpid gives it
    std::string output;
};
RunResult runCaptured(const std::vector<std::string> &argv);

} // namespace testing_support
