#include "core/window_closer.h"

#include "core/lower_case.h"

namespace winkill {

std::string searchText;
WindowHandle foundWindow = 0;

namespace {
// The search text lower-cased once per search instead of once per window.
std::string loweredSearch;
std::string loweredFor;
} // namespace

bool enumWindowsProc(WindowHandle window, std::string_view title) {
    if (loweredFor != searchText) {
        loweredFor = searchText;
        loweredSearch = core::lowerCaseUtf8(searchText);
    }
    if (core::lowerCaseUtf8(title).find(loweredSearch) != std::string::npos) {
        foundWindow = window;
        return false;
    }
    return true;
}

void KillWin(std::string_view title) {
    searchText = std::string(title);
    foundWindow = 0;
    enumTopLevelWindows(enumWindowsProc);
    if (foundWindow != 0) {
        postClose(foundWindow);
    }
}

} // namespace winkill
