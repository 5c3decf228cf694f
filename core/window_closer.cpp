#include "core/window_closer.h"

#include "core/lower_case.h"

namespace windowcloser {

std::vector<std::optional<ClosedWindow>>
closeTopmostTitled(const std::vector<std::string_view> &titlePieces) {
    std::vector<std::string> lowered;
    lowered.reserve(titlePieces.size());
    for (const auto piece : titlePieces) {
        lowered.push_back(core::lowerCaseUtf8(piece));
    }
    std::vector<std::optional<ClosedWindow>> found(titlePieces.size());
    std::size_t open = found.size();
    enumTopLevelWindows([&](WindowHandle window, std::string_view title) {
        // Each title is lowered once, whatever the number of pieces.
        const std::string lowerTitle = core::lowerCaseUtf8(title);
        for (std::size_t i = 0; i < found.size(); ++i) {
            if (!found[i] && lowerTitle.find(lowered[i]) != std::string::npos) {
                found[i] = ClosedWindow{window, std::string(title)};
                --open;
                // The later pieces look past it, as they would once it closed.
                break;
            }
        }
        return open > 0;
    });
    for (const auto &closed : found) {
        if (closed) {
            postClose(closed->window);
        }
    }
    return found;
}

std::optional<ClosedWindow> closeTopmostTitled(std::string_view titlePiece) {
    return closeTopmostTitled(std::vector<std::string_view>{titlePiece}).front();
}

} // namespace windowcloser
