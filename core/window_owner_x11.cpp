#include "core/window_owner.h"

#include <xcb/res.h>

#include <cstdlib>
#include <memory>
#include <optional>

namespace windowowner {

namespace {

struct FreeReply {
    void operator()(void *reply) const { std::free(reply); }
};
template <class T> using Reply = std::unique_ptr<T, FreeReply>;

std::optional<int> clientPid(const xcb_res_query_client_ids_reply_t &reply) {
    for (auto id = xcb_res_query_client_ids_ids_iterator(&reply); id.rem;
         xcb_res_client_id_value_next(&id)) {
        if (id.data->spec.mask == XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID &&
            xcb_res_client_id_value_value_length(id.data) == 1) {
            return static_cast<int>(*xcb_res_client_id_value_value(id.data));
        }
    }
    return std::nullopt;
}

} // namespace

std::vector<OwnedWindow> naming(xcb_ewmh_connection_t &ewmh,
                                const std::vector<xcb_window_t> &windows,
                                const std::unordered_set<int> &pids) {
    std::vector<xcb_get_property_cookie_t> cookies;
    cookies.reserve(windows.size());
    for (const xcb_window_t window : windows) {
        cookies.push_back(xcb_ewmh_get_wm_pid(&ewmh, window));
    }
    std::vector<OwnedWindow> owned;
    for (std::size_t i = 0; i < windows.size(); ++i) {
        std::uint32_t pid = 0;
        if (xcb_ewmh_get_wm_pid_reply(&ewmh, cookies[i], &pid, nullptr) &&
            pids.contains(static_cast<int>(pid))) {
            owned.push_back({windows[i], static_cast<int>(pid)});
        }
    }
    return owned;
}

bool serverKnowsOwners(xcb_connection_t *c) {
    const xcb_query_extension_reply_t *extension = xcb_get_extension_data(c, &xcb_res_id);
    if (!extension || !extension->present) {
        return false;
    }
    Reply<xcb_res_query_version_reply_t> version(
        xcb_res_query_version_reply(c, xcb_res_query_version(c, 1, 2), nullptr));
    return version && (version->server_major > 1 ||
                       (version->server_major == 1 && version->server_minor >= 2));
}

std::vector<OwnedWindow> verified(xcb_connection_t *c, const std::vector<OwnedWindow> &claimed) {
    // A request of an extension the server lacks would break the connection.
    const xcb_query_extension_reply_t *extension = xcb_get_extension_data(c, &xcb_res_id);
    if (!extension || !extension->present) {
        return {};
    }
    std::vector<xcb_res_query_client_ids_cookie_t> cookies;
    cookies.reserve(claimed.size());
    for (const OwnedWindow &owned : claimed) {
        // A resource id names the client that created it.
        const xcb_res_client_id_spec_t asked{owned.window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
        cookies.push_back(xcb_res_query_client_ids(c, 1, &asked));
    }
    std::vector<OwnedWindow> kept;
    for (std::size_t i = 0; i < claimed.size(); ++i) {
        Reply<xcb_res_query_client_ids_reply_t> reply(
            xcb_res_query_client_ids_reply(c, cookies[i], nullptr));
        if (reply && clientPid(*reply) == claimed[i].pid) {
            kept.push_back(claimed[i]);
        }
    }
    return kept;
}

} // namespace windowowner
