#pragma once
// Which program shows the system information the about box offers.

#include <string>
#include <vector>

namespace core {

/// Programs that show system information, in the order they are preferred.
const std::vector<std::string> &systemInfoPrograms();

/// Full path of the first of systemInfoPrograms() that is an executable file
/// in a folder of `searchPath` (colon-separated, as PATH); empty when none is.
std::string findSystemInfoProgram(const std::string &searchPath);

/// The first system information program on PATH; empty when there is none.
std::string systemInfoTool();

} // namespace core
