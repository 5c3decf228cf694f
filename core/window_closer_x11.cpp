// The window closer's platform part on X11, over xcb. Windows are the
// managed clients a window manager lists (_NET_CLIENT_LIST_STACKING), else the
// root's children with the client found below each frame (WM_STATE). A close
// is the ICCCM WM_DELETE_WINDOW message, else the EWMH _NET_CLOSE_WINDOW request.

#include "core/window_closer.h"

#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>
#include <xcb/xcb_icccm.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace winkill {

namespace {

/// How far below a top-level frame the client window is looked for.
constexpr int ClientSearchDepth = 3;

struct FreeReply {
    void operator()(void *reply) const { std::free(reply); }
};
template <class T> using Reply = std::unique_ptr<T, FreeReply>;

/// The connection to the X display: opened on first use, kept for the
/// program's life, opened afresh when the display went away. It is the display
/// Qt's xcb platform uses too: both take it from DISPLAY.
class Display {
public:
    Display() = default;
    Display(const Display &) = delete;
    Display &operator=(const Display &) = delete;
    ~Display() { close(); }

    /// True with a working connection; false when there is no display.
    bool ready() {
        if (connection && xcb_connection_has_error(connection)) {
            close();
        }
        return connection || open();
    }

    /// Drops events and errors that arrived unasked (no one else reads them).
    void drainEvents() const {
        while (xcb_generic_event_t *event = xcb_poll_for_event(connection)) {
            std::free(event);
        }
    }

    xcb_connection_t *connection = nullptr;
    xcb_ewmh_connection_t ewmh{};
    int screen = 0;
    xcb_window_t root = XCB_NONE;
    xcb_atom_t wmState = XCB_NONE;
    xcb_atom_t wmDeleteWindow = XCB_NONE;

private:
    bool open() {
        int screenNumber = 0;
        xcb_connection_t *c = xcb_connect(nullptr, &screenNumber);
        if (xcb_connection_has_error(c)) {
            xcb_disconnect(c);
            return false;
        }
        xcb_intern_atom_cookie_t *ewmhCookies = xcb_ewmh_init_atoms(c, &ewmh);
        const auto stateCookie = xcb_intern_atom(c, 0, std::strlen("WM_STATE"), "WM_STATE");
        const auto deleteCookie =
            xcb_intern_atom(c, 0, std::strlen("WM_DELETE_WINDOW"), "WM_DELETE_WINDOW");
        // On failure the replies function has already released what init allocated.
        const bool ewmhOk = ewmhCookies && xcb_ewmh_init_atoms_replies(&ewmh, ewmhCookies, nullptr);
        Reply<xcb_intern_atom_reply_t> state(xcb_intern_atom_reply(c, stateCookie, nullptr));
        Reply<xcb_intern_atom_reply_t> remove(xcb_intern_atom_reply(c, deleteCookie, nullptr));
        if (!ewmhOk || !state || !remove || screenNumber >= ewmh.nb_screens) {
            if (ewmhOk) {
                xcb_ewmh_connection_wipe(&ewmh);
            }
            xcb_disconnect(c);
            return false;
        }
        connection = c;
        screen = screenNumber;
        root = ewmh.screens[screenNumber]->root;
        wmState = state->atom;
        wmDeleteWindow = remove->atom;
        return true;
    }

    void close() {
        if (!connection) {
            return;
        }
        xcb_ewmh_connection_wipe(&ewmh);
        xcb_disconnect(connection);
        connection = nullptr;
    }
};

Display &display() {
    static Display instance;
    return instance;
}

std::string latin1ToUtf8(const char *text, std::size_t length) {
    std::string utf8;
    utf8.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            utf8 += static_cast<char>(byte);
        } else {
            utf8 += static_cast<char>(0xC0 | (byte >> 6));
            utf8 += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return utf8;
}

/// Titles are one string; some clients add a terminating NUL.
std::string firstString(std::string text) {
    if (const auto end = text.find('\0'); end != std::string::npos) {
        text.resize(end);
    }
    return text;
}

struct TitleRequest {
    xcb_get_property_cookie_t netName;
    xcb_get_property_cookie_t wmName;
};

TitleRequest requestTitle(Display &d, xcb_window_t window) {
    return {xcb_ewmh_get_wm_name(&d.ewmh, window), xcb_icccm_get_wm_name(d.connection, window)};
}

void discardTitle(Display &d, const TitleRequest &request) {
    xcb_discard_reply(d.connection, request.netName.sequence);
    xcb_discard_reply(d.connection, request.wmName.sequence);
}

/// _NET_WM_NAME (UTF-8) when the window has one, else WM_NAME (Latin-1 when
/// its type is STRING), else "".
std::string collectTitle(Display &d, const TitleRequest &request) {
    xcb_ewmh_get_utf8_strings_reply_t netName;
    if (xcb_ewmh_get_wm_name_reply(&d.ewmh, request.netName, &netName, nullptr)) {
        std::string title = firstString(std::string(netName.strings, netName.strings_len));
        xcb_ewmh_get_utf8_strings_reply_wipe(&netName);
        if (!title.empty()) {
            xcb_discard_reply(d.connection, request.wmName.sequence);
            return title;
        }
    }
    xcb_icccm_get_text_property_reply_t wmName;
    if (!xcb_icccm_get_wm_name_reply(d.connection, request.wmName, &wmName, nullptr)) {
        return {};
    }
    std::string title = wmName.encoding == XCB_ATOM_STRING
                            ? latin1ToUtf8(wmName.name, wmName.name_len)
                            : std::string(wmName.name, wmName.name_len);
    xcb_icccm_get_text_property_reply_wipe(&wmName);
    return firstString(std::move(title));
}

std::vector<TitleRequest> requestTitles(Display &d, const std::vector<xcb_window_t> &windows) {
    std::vector<TitleRequest> requests;
    requests.reserve(windows.size());
    for (const xcb_window_t window : windows) {
        requests.push_back(requestTitle(d, window));
    }
    return requests;
}

/// Hands the titles to `visit` in order; the replies left when it stops are
/// discarded unread.
void visitTitles(Display &d, const std::vector<xcb_window_t> &windows,
                 const std::vector<TitleRequest> &requests, WindowVisitor visit) {
    for (std::size_t i = 0; i < windows.size(); ++i) {
        if (!visit(windows[i], collectTitle(d, requests[i]))) {
            for (std::size_t k = i + 1; k < requests.size(); ++k) {
                discardTitle(d, requests[k]);
            }
            return;
        }
    }
}

/// For each top-level window, the client inside it: the first window carrying
/// WM_STATE breadth-first below it, or the window itself when none does (no
/// window manager). One batch of requests per level, not per window.
std::vector<xcb_window_t> clientWindows(Display &d, const std::vector<xcb_window_t> &tops) {
    std::vector<xcb_window_t> clients(tops.size(), XCB_NONE);
    struct Probe {
        std::size_t top;
        xcb_window_t window;
    };
    std::vector<Probe> level;
    level.reserve(tops.size());
    for (std::size_t i = 0; i < tops.size(); ++i) {
        level.push_back({i, tops[i]});
    }
    for (int depth = 0; depth <= ClientSearchDepth && !level.empty(); ++depth) {
        const bool descend = depth < ClientSearchDepth;
        std::vector<xcb_get_property_cookie_t> states;
        std::vector<xcb_query_tree_cookie_t> trees;
        states.reserve(level.size());
        trees.reserve(level.size());
        for (const Probe &probe : level) {
            // Length 0: only whether the property exists matters.
            states.push_back(xcb_get_property(d.connection, 0, probe.window, d.wmState,
                                              XCB_GET_PROPERTY_TYPE_ANY, 0, 0));
            if (descend) {
                trees.push_back(xcb_query_tree(d.connection, probe.window));
            }
        }
        std::vector<Probe> next;
        for (std::size_t k = 0; k < level.size(); ++k) {
            Reply<xcb_get_property_reply_t> state(
                xcb_get_property_reply(d.connection, states[k], nullptr));
            Reply<xcb_query_tree_reply_t> tree(
                descend ? xcb_query_tree_reply(d.connection, trees[k], nullptr) : nullptr);
            const Probe &probe = level[k];
            if (clients[probe.top] != XCB_NONE) {
                continue;
            }
            if (state && state->type != XCB_NONE) {
                clients[probe.top] = probe.window;
            } else if (tree) {
                const xcb_window_t *children = xcb_query_tree_children(tree.get());
                const int count = xcb_query_tree_children_length(tree.get());
                for (int c = count - 1; c >= 0; --c) {
                    next.push_back({probe.top, children[c]});
                }
            }
        }
        std::erase_if(next, [&](const Probe &p) { return clients[p.top] != XCB_NONE; });
        level = std::move(next);
    }
    for (std::size_t i = 0; i < tops.size(); ++i) {
        if (clients[i] == XCB_NONE) {
            clients[i] = tops[i];
        }
    }
    return clients;
}

/// The check window a window manager announces on the root, or none.
xcb_window_t announcedCheckWindow(Display &d, xcb_get_property_cookie_t rootCheckCookie) {
    xcb_window_t check = XCB_NONE;
    if (!xcb_ewmh_get_supporting_wm_check_reply(&d.ewmh, rootCheckCookie, &check, nullptr)) {
        return XCB_NONE;
    }
    return check;
}

/// True when the check window names itself: the window manager is still
/// there, and what it left on the root is not stale.
bool checkWindowEchoes(Display &d, xcb_window_t check, xcb_get_property_cookie_t echoCookie) {
    xcb_window_t echoed = XCB_NONE;
    return xcb_ewmh_get_supporting_wm_check_reply(&d.ewmh, echoCookie, &echoed, nullptr) &&
           echoed == check;
}

bool windowManagerAlive(Display &d, xcb_get_property_cookie_t rootCheckCookie) {
    const xcb_window_t check = announcedCheckWindow(d, rootCheckCookie);
    return check != XCB_NONE &&
           checkWindowEchoes(d, check, xcb_ewmh_get_supporting_wm_check(&d.ewmh, check));
}

enum class Sweep { Done, DisplayGone };

Sweep sweep(Display &d, WindowVisitor visit) {
    const auto stackingCookie = xcb_ewmh_get_client_list_stacking(&d.ewmh, d.screen);
    const auto checkCookie = xcb_ewmh_get_supporting_wm_check(&d.ewmh, d.root);
    const auto treeCookie = xcb_query_tree(d.connection, d.root);

    std::vector<xcb_window_t> stacking;
    xcb_ewmh_get_windows_reply_t list;
    const bool listed =
        xcb_ewmh_get_client_list_stacking_reply(&d.ewmh, stackingCookie, &list, nullptr);
    if (listed) {
        stacking.assign(list.windows, list.windows + list.windows_len);
        xcb_ewmh_get_windows_reply_wipe(&list);
    }
    const xcb_window_t check = listed ? announcedCheckWindow(d, checkCookie) : XCB_NONE;
    if (!listed) {
        xcb_discard_reply(d.connection, checkCookie.sequence);
    }
    if (check != XCB_NONE) {
        // The check and every title in one round trip; the list runs bottom to top.
        const auto echoCookie = xcb_ewmh_get_supporting_wm_check(&d.ewmh, check);
        std::reverse(stacking.begin(), stacking.end());
        const auto requests = requestTitles(d, stacking);
        if (checkWindowEchoes(d, check, echoCookie)) {
            xcb_discard_reply(d.connection, treeCookie.sequence);
            visitTitles(d, stacking, requests, visit);
            return Sweep::Done;
        }
        for (const auto &request : requests) {
            discardTitle(d, request);
        }
    }
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(d.connection, treeCookie, nullptr));
    if (!tree) {
        // The root always answers: the display went away.
        return Sweep::DisplayGone;
    }
    const xcb_window_t *children = xcb_query_tree_children(tree.get());
    // Children come bottom to top.
    std::vector<xcb_window_t> tops(children, children + xcb_query_tree_children_length(tree.get()));
    std::reverse(tops.begin(), tops.end());
    const auto clients = clientWindows(d, tops);
    visitTitles(d, clients, requestTitles(d, clients), visit);
    return Sweep::Done;
}

void sendClientMessage(Display &d, xcb_window_t destination, std::uint32_t eventMask,
                       xcb_window_t window, xcb_atom_t type,
                       const std::array<std::uint32_t, 5> &data) {
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = type;
    std::copy(data.begin(), data.end(), event.data.data32);
    // Checked and discarded: the BadWindow of a window that has just gone is
    // dropped here instead of queueing up where no one reads.
    const auto cookie = xcb_send_event_checked(d.connection, 0, destination, eventMask,
                                               reinterpret_cast<const char *>(&event));
    xcb_discard_reply(d.connection, cookie.sequence);
}

bool windowManagerSupports(Display &d, xcb_get_property_cookie_t supportedCookie,
                           xcb_get_property_cookie_t checkCookie, xcb_atom_t feature) {
    xcb_ewmh_get_atoms_reply_t supported;
    bool listed = false;
    if (xcb_ewmh_get_supported_reply(&d.ewmh, supportedCookie, &supported, nullptr)) {
        listed = std::find(supported.atoms, supported.atoms + supported.atoms_len, feature) !=
                 supported.atoms + supported.atoms_len;
        xcb_ewmh_get_atoms_reply_wipe(&supported);
    }
    if (!listed) {
        xcb_discard_reply(d.connection, checkCookie.sequence);
        return false;
    }
    return windowManagerAlive(d, checkCookie);
}

} // namespace

void enumTopLevelWindows(WindowVisitor visit) {
    Display &d = display();
    // A display that went away shows only when a request fails; then one fresh
    // connection is tried at once so the call is not lost.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!d.ready()) {
            return;
        }
        d.drainEvents();
        if (sweep(d, visit) == Sweep::Done) {
            return;
        }
    }
}

std::string windowTitle(WindowHandle window) {
    Display &d = display();
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!d.ready()) {
            return {};
        }
        std::string title = collectTitle(d, requestTitle(d, window));
        if (!xcb_connection_has_error(d.connection)) {
            return title;
        }
    }
    return {};
}

void postClose(WindowHandle window) {
    Display &d = display();
    if (!d.ready()) {
        return;
    }
    const auto protocolsCookie =
        xcb_icccm_get_wm_protocols(d.connection, window, d.ewmh.WM_PROTOCOLS);
    const auto supportedCookie = xcb_ewmh_get_supported(&d.ewmh, d.screen);
    const auto checkCookie = xcb_ewmh_get_supporting_wm_check(&d.ewmh, d.root);

    bool deletable = false;
    xcb_icccm_get_wm_protocols_reply_t protocols;
    if (xcb_icccm_get_wm_protocols_reply(d.connection, protocolsCookie, &protocols, nullptr)) {
        deletable = std::find(protocols.atoms, protocols.atoms + protocols.atoms_len,
                              d.wmDeleteWindow) != protocols.atoms + protocols.atoms_len;
        xcb_icccm_get_wm_protocols_reply_wipe(&protocols);
    }
    if (deletable) {
        xcb_discard_reply(d.connection, supportedCookie.sequence);
        xcb_discard_reply(d.connection, checkCookie.sequence);
        sendClientMessage(d, window, XCB_EVENT_MASK_NO_EVENT, window, d.ewmh.WM_PROTOCOLS,
                          {d.wmDeleteWindow, XCB_CURRENT_TIME, 0, 0, 0});
    } else if (windowManagerSupports(d, supportedCookie, checkCookie, d.ewmh._NET_CLOSE_WINDOW)) {
        // Source 2: on behalf of the user, as a pager's close button would.
        sendClientMessage(d, d.root,
                          XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                          window, d.ewmh._NET_CLOSE_WINDOW, {XCB_CURRENT_TIME, 2, 0, 0, 0});
    }
    xcb_flush(d.connection);
}

} // namespace winkill
