#include "core/map_state.h"

#include <xcb/xcb.h>
#include <xcb/xcb_icccm.h>

#include <cstdlib>

namespace core {

bool mapNormalNextTime(xcb_connection_t *connection, std::uint32_t window) {
    if (!connection) {
        return false;
    }
    bool changed = false;
    xcb_icccm_wm_hints_t hints{};
    if (!xcb_connection_has_error(connection) &&
        xcb_icccm_get_wm_hints_reply(connection, xcb_icccm_get_wm_hints(connection, window), &hints,
                                     nullptr) &&
        (hints.flags & XCB_ICCCM_WM_HINT_STATE) != 0 &&
        hints.initial_state == XCB_ICCCM_WM_STATE_ICONIC) {
        xcb_icccm_wm_hints_set_normal(&hints);
        xcb_generic_error_t *error = xcb_request_check(
            connection, xcb_icccm_set_wm_hints_checked(connection, window, &hints));
        changed = error == nullptr;
        std::free(error);
    }
    return changed;
}

} // namespace core
