#include "core/window_closer.h"

#include "core/lower_case.h"

namespace windowcloser {

std::optional<ClosedWindow> closeTopmostTitled(std::string_view titlePiece) {
    const std::string lowered = core::lowerCaseUtf8(titlePiece);
    std::optional<ClosedWindow> found;
    enumTopLevelWindows([&](WindowHandle window, std::string_view title) {
        if (core::lowerCaseUtf8(title).find(lowered) == std::string::npos) {
            return true;
        }
        found = ClosedWindow{window, std::string(title)};
        return false;
    });
    if (found) {
        postClose(found->window);
    }
    return found;
}

} // namespace windowcloser
