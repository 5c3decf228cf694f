// The window closer's platform part on X11, over xcb. Windows are the
// managed clients a window manager lists (_NET_CLIENT_LIST_STACKING), else the
// root's children with the client found below each frame (WM_STATE). A close
// is the ICCCM WM_DELETE_WINDOW message, else the EWMH _NET_CLOSE_WINDOW request.
//
// A sweep runs six times a second for the program's life, so what it reads
// about a window is kept, and the window is watched: its property and
// structure events say when that goes stale. The root is watched too, so the
// server announces every window that comes, goes or moves in the stacking
// order, and every change of the managed list. A sweep first reads the events
// already in the socket (no request); when none arrived since the last
// complete sweep, it visits what that sweep found and sends nothing at all.
// Otherwise it is one round trip with three small requests, plus one for the
// windows that are new or whose title changed.

#include "core/window_closer.h"

#include "core/window_owner.h"
#include "core/x_connection.h"

#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>
#include <xcb/xcb_icccm.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace windowcloser {

namespace {

/// How far below a top-level frame the client window is looked for.
constexpr int ClientSearchDepth = 3;

/// Events of a watched window: title and WM_STATE changes, its end, its children.
constexpr std::uint32_t WatchMask = XCB_EVENT_MASK_PROPERTY_CHANGE |
                                    XCB_EVENT_MASK_STRUCTURE_NOTIFY |
                                    XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;

/// Events of the root: top-level windows created, destroyed, mapped, moved in
/// the stacking order or reparented, and the root's own properties.
constexpr std::uint32_t RootMask =
    XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;

/// What is known about a watched window; an event about it forgets it again.
struct Known {
    std::optional<std::string> title;
    /// The window is its own client: it carries WM_STATE, or it has neither
    /// WM_STATE nor children.
    bool ownClient = false;
    /// The last sweep that listed it; the others are forgotten.
    std::uint64_t sweep = 0;
};

struct FreeReply {
    void operator()(void *reply) const { std::free(reply); }
};
template <class T> using Reply = std::unique_ptr<T, FreeReply>;

/// The connection to the X display: opened on first use, kept for the
/// program's life, opened afresh when the display went away. It is the display
/// Qt's xcb platform uses too: both take it from DISPLAY.
class Display {
public:
    Display() : x({}, {"WM_STATE", "WM_DELETE_WINDOW"}) {
        x.onOpened([this] {
            connection = x.get();
            screen = x.screen();
            root = x.root();
            wmState = x.atom("WM_STATE");
            wmDeleteWindow = x.atom("WM_DELETE_WINDOW");
            xcb_change_window_attributes(connection, root, XCB_CW_EVENT_MASK, &RootMask);
            xcb_flush(connection);
            forgetSweep();
            countProbes = 0;
            return true;
        });
        x.onClosing([this] {
            connection = nullptr;
            known.clear();
            trustedCheck = XCB_NONE;
            forgetSweep();
        });
    }
    Display(const Display &) = delete;
    Display &operator=(const Display &) = delete;

    /// True with a working connection; false when there is no display.
    bool ready() { return x.ready(); }

    /// Starts watching `window` (its events are selected before anything is
    /// read from it, so no change slips in between) and marks it as listed.
    Known &watch(xcb_window_t window) {
        auto [entry, added] = known.try_emplace(window);
        if (added) {
            xcb_change_window_attributes(connection, window, XCB_CW_EVENT_MASK, &WatchMask);
        }
        entry->second.sweep = sweep;
        return entry->second;
    }

    /// Applies the events that have arrived, reading the socket without
    /// sending anything. After a reply, the server has sent the events of
    /// earlier changes first, so nothing stale is used. Errors of requests that
    /// were not waited for land here too. Each event but the harmless ones
    /// says the kept sweep may be stale.
    void applyEvents() {
        while (xcb_generic_event_t *event = xcb_poll_for_event(connection)) {
            switch (event->response_type & 0x7F) {
            case XCB_PROPERTY_NOTIFY: {
                const auto *e = reinterpret_cast<xcb_property_notify_event_t *>(event);
                if (e->atom == XCB_ATOM_WM_NAME || e->atom == x.ewmh()._NET_WM_NAME) {
                    if (auto entry = known.find(e->window); entry != known.end()) {
                        entry->second.title.reset();
                    }
                    changed = true;
                } else if (e->atom == wmState) {
                    forgetShape(e->window);
                    changed = true;
                } else if (e->atom == ewmh._NET_CLIENT_LIST_STACKING ||
                           e->atom == ewmh._NET_SUPPORTING_WM_CHECK) {
                    changed = true;
                }
                // A sweep reads no other property: the rest (user times, the
                // active window) changes nothing it found.
                break;
            }
            case XCB_CLIENT_MESSAGE:
                // Sent with SendEvent, which changes nothing on the server:
                // ping answers and close requests addressed to the root.
                break;
            case XCB_DESTROY_NOTIFY: {
                const auto *e = reinterpret_cast<xcb_destroy_notify_event_t *>(event);
                // Window ids are reused: nothing of a destroyed window may stay.
                known.erase(e->window);
                forgetShape(e->event);
                if (e->window == trustedCheck) {
                    trustedCheck = XCB_NONE;
                }
                break;
            }
            case XCB_CREATE_NOTIFY:
                forgetShape(reinterpret_cast<xcb_create_notify_event_t *>(event)->parent);
                break;
            case XCB_REPARENT_NOTIFY: {
                const auto *e = reinterpret_cast<xcb_reparent_notify_event_t *>(event);
                forgetShape(e->event);
                forgetShape(e->parent);
                break;
            }
            default:
                break;
            }
            if ((event->response_type & 0x7F) != XCB_PROPERTY_NOTIFY &&
                (event->response_type & 0x7F) != XCB_CLIENT_MESSAGE) {
                changed = true;
            }
            std::free(event);
        }
    }

    /// The next sweep reads everything again.
    void forgetSweep() {
        kept.clear();
        keptValid = false;
        changed = true;
    }

    /// Forgets the windows the current sweep did not list.
    void forgetUnlisted() {
        std::erase_if(known, [&](const auto &entry) { return entry.second.sweep != sweep; });
    }

    xconnection::Connection x;
    /// x's connection, root and atoms, for short calls; nullptr while there is none.
    xcb_connection_t *connection = nullptr;
    xcb_ewmh_connection_t &ewmh = x.ewmh();
    int screen = 0;
    xcb_window_t root = XCB_NONE;
    xcb_atom_t wmState = XCB_NONE;
    xcb_atom_t wmDeleteWindow = XCB_NONE;
    std::unordered_map<xcb_window_t, Known> known;
    /// The window manager's check window once it has named itself.
    xcb_window_t trustedCheck = XCB_NONE;
    std::uint64_t sweep = 0;
    /// The last complete sweep: the windows it listed, topmost first, with
    /// their titles; valid until an event, an error or a failed read.
    std::vector<std::pair<xcb_window_t, std::string>> kept;
    bool keptValid = false;
    /// Something arrived or failed since the sweep that read `kept` began.
    bool changed = true;
    /// NoOperation requests sent to learn the request count, left out of it.
    std::uint64_t countProbes = 0;

private:
    void forgetShape(xcb_window_t window) {
        if (auto entry = known.find(window); entry != known.end()) {
            entry->second.ownClient = false;
        }
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

/// True when `error` says the window does not exist (any more); frees it.
bool windowGone(xcb_generic_error_t *error) {
    const bool gone = error && error->error_code == XCB_WINDOW;
    std::free(error);
    return gone;
}

/// _NET_WM_NAME (UTF-8) when the window has one, else WM_NAME (Latin-1 when
/// its type is STRING), else ""; nothing when the window is gone.
std::optional<std::string> collectTitle(Display &d, const TitleRequest &request) {
    xcb_generic_error_t *error = nullptr;
    xcb_ewmh_get_utf8_strings_reply_t netName;
    if (xcb_ewmh_get_wm_name_reply(&d.ewmh, request.netName, &netName, &error)) {
        std::string title = firstString(std::string(netName.strings, netName.strings_len));
        xcb_ewmh_get_utf8_strings_reply_wipe(&netName);
        if (!title.empty()) {
            xcb_discard_reply(d.connection, request.wmName.sequence);
            return title;
        }
    }
    if (windowGone(error)) {
        xcb_discard_reply(d.connection, request.wmName.sequence);
        return std::nullopt;
    }
    xcb_icccm_get_text_property_reply_t wmName;
    error = nullptr;
    if (!xcb_icccm_get_wm_name_reply(d.connection, request.wmName, &wmName, &error)) {
        if (windowGone(error)) {
            return std::nullopt;
        }
        return std::string();
    }
    std::string title = wmName.encoding == XCB_ATOM_STRING
                            ? latin1ToUtf8(wmName.name, wmName.name_len)
                            : std::string(wmName.name, wmName.name_len);
    xcb_icccm_get_text_property_reply_wipe(&wmName);
    return firstString(std::move(title));
}

/// Reads the titles it does not know yet, all requests at once, then hands
/// every title to `visit` in order until it returns false.
void visitTitles(Display &d, const std::vector<xcb_window_t> &windows, const WindowVisitor &visit) {
    static const std::string none;
    std::vector<const std::string *> titles(windows.size(), &none);
    std::vector<std::pair<std::size_t, TitleRequest>> reads;
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const Known &entry = d.watch(windows[i]);
        if (entry.title) {
            titles[i] = &*entry.title;
        } else {
            reads.emplace_back(i, requestTitle(d, windows[i]));
        }
    }
    for (const auto &[i, request] : reads) {
        if (auto title = collectTitle(d, request)) {
            auto &kept = d.known[windows[i]].title;
            kept = std::move(title);
            titles[i] = &*kept;
        } else {
            // Gone before it was watched, so no event would ever clear what is
            // kept, and its id may come back on a new window.
            d.known.erase(windows[i]);
            d.changed = true;
        }
    }
    d.kept.clear();
    d.kept.reserve(windows.size());
    for (std::size_t i = 0; i < windows.size(); ++i) {
        d.kept.emplace_back(windows[i], *titles[i]);
    }
    d.keptValid = true;
    for (const auto &[window, title] : d.kept) {
        if (!visit(window, title)) {
            return;
        }
    }
}

/// For each top-level window, the client inside it: the first window carrying
/// WM_STATE breadth-first below it, or the window itself when none does (no
/// window manager). One batch of requests per level, not per window; a window
/// found to be its own client is not searched again until an event says so.
std::vector<xcb_window_t> clientWindows(Display &d, const std::vector<xcb_window_t> &tops) {
    std::vector<xcb_window_t> clients(tops.size(), XCB_NONE);
    struct Probe {
        std::size_t top;
        xcb_window_t window;
    };
    std::vector<Probe> level;
    for (std::size_t i = 0; i < tops.size(); ++i) {
        if (d.watch(tops[i]).ownClient) {
            clients[i] = tops[i];
        } else {
            level.push_back({i, tops[i]});
        }
    }
    for (int depth = 0; depth <= ClientSearchDepth && !level.empty(); ++depth) {
        const bool descend = depth < ClientSearchDepth;
        std::vector<xcb_get_property_cookie_t> states;
        std::vector<xcb_query_tree_cookie_t> trees;
        states.reserve(level.size());
        trees.reserve(level.size());
        for (const Probe &probe : level) {
            if (depth > 0) {
                // What changes below a frame must announce itself too.
                d.watch(probe.window);
            }
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
            if (!state || (descend && !tree)) {
                d.changed = true;
            }
            if (clients[probe.top] != XCB_NONE) {
                continue;
            }
            const bool hasState = state && state->type != XCB_NONE;
            const int childCount = tree ? xcb_query_tree_children_length(tree.get()) : 0;
            if (depth == 0 && state && tree && (hasState || childCount == 0)) {
                d.known[probe.window].ownClient = true;
            }
            if (hasState) {
                clients[probe.top] = probe.window;
            } else if (tree) {
                const xcb_window_t *children = xcb_query_tree_children(tree.get());
                for (int c = childCount - 1; c >= 0; --c) {
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

/// True when `check` is the live window manager's: known from an earlier
/// sweep (its destruction would have been seen), or naming itself now.
bool trustWindowManager(Display &d, xcb_window_t check) {
    d.watch(check);
    if (check != d.trustedCheck &&
        checkWindowEchoes(d, check, xcb_ewmh_get_supporting_wm_check(&d.ewmh, check))) {
        d.trustedCheck = check;
    }
    return check == d.trustedCheck;
}

Sweep sweep(Display &d, const WindowVisitor &visit) {
    d.applyEvents();
    if (xcb_connection_has_error(d.connection)) {
        return Sweep::DisplayGone;
    }
    if (d.keptValid && !d.changed) {
        for (const auto &[window, title] : d.kept) {
            if (!visit(window, title)) {
                break;
            }
        }
        return Sweep::Done;
    }
    // Whatever arrives from here on may postdate what this sweep reads.
    d.changed = false;
    d.keptValid = false;
    ++d.sweep;
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
    const xcb_window_t check = announcedCheckWindow(d, checkCookie);
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(d.connection, treeCookie, nullptr));
    if (!tree) {
        // The root always answers: the display went away.
        return Sweep::DisplayGone;
    }
    d.applyEvents();

    if (listed && check != XCB_NONE && trustWindowManager(d, check)) {
        // The list runs bottom to top.
        std::reverse(stacking.begin(), stacking.end());
        visitTitles(d, stacking, visit);
    } else {
        const xcb_window_t *children = xcb_query_tree_children(tree.get());
        // Children come bottom to top.
        std::vector<xcb_window_t> tops(children,
                                       children + xcb_query_tree_children_length(tree.get()));
        std::reverse(tops.begin(), tops.end());
        visitTitles(d, clientWindows(d, tops), visit);
    }
    d.forgetUnlisted();
    // The event selections of new windows go out now, not with a later request.
    xcb_flush(d.connection);
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

void enumTopLevelWindows(const WindowVisitor &visit) {
    Display &d = display();
    // A display that went away shows only when a request fails; then one fresh
    // connection is tried at once so the call is not lost.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!d.ready()) {
            return;
        }
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
        std::string title = collectTitle(d, requestTitle(d, window)).value_or(std::string());
        if (!xcb_connection_has_error(d.connection)) {
            return title;
        }
    }
    return {};
}

std::size_t closeWindowsOf(const std::vector<int> &pids) {
    std::vector<xcb_window_t> windows;
    if (!pids.empty()) {
        enumTopLevelWindows([&](WindowHandle window, std::string_view) {
            windows.push_back(window);
            return true;
        });
    }
    Display &d = display();
    if (windows.empty() || !d.ready()) {
        return 0;
    }
    const std::unordered_set<int> wanted(pids.begin(), pids.end());
    const auto owned =
        windowowner::verified(d.connection, windowowner::naming(d.ewmh, windows, wanted));
    for (const windowowner::OwnedWindow &window : owned) {
        postClose(window.window);
    }
    return owned.size();
}

std::uint64_t requestsSent() {
    Display &d = display();
    if (!d.ready()) {
        return 0;
    }
    // xcb numbers only the requests it sends: a NoOperation, left out of the count.
    const std::uint64_t sequence = xcb_no_operation(d.connection).sequence;
    xcb_flush(d.connection);
    return sequence - ++d.countProbes;
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

} // namespace windowcloser
