// The window ping on X11, over xcb: the EWMH _NET_WM_PING. A window that takes
// it lists the atom in WM_PROTOCOLS; the ping is a WM_PROTOCOLS client message
// to the window, and the client answers by sending it back to the root. Toolkits
// differ in the masks they send it with: Qt uses StructureNotify, GTK
// SubstructureNotify (each with SubstructureRedirect), so both are selected.
// Candidates are the window manager's client list and the root's mapped
// children, so the ping works with or without one.
//
// Any client can put any PID on its window and send any answer, so a window
// is pinged only when the X server (X-Resource) says its client is the process
// it names, and an answer counts only with the unpredictable timestamp sent.

#include "core/window_ping.h"

#include "core/window_owner.h"
#include "core/x_connection.h"

#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>
#include <xcb/xcb_icccm.h>

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>
#include <unordered_map>
#include <unordered_set>

namespace windowping {

namespace {

struct FreeReply {
    void operator()(void *reply) const { std::free(reply); }
};
template <class T> using Reply = std::unique_ptr<T, FreeReply>;

std::string localHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return name;
}

struct Tracked {
    pid_t pid = 0;
    /// The timestamp of the oldest unanswered ping; 0 for none.
    std::uint32_t waitingStamp = 0;
    PingedWindow state;
};

} // namespace

struct WindowPing::Connection {
    explicit Connection(std::string name) : x(std::move(name)) {
        x.onOpened([this] { return watchRoot(); });
        // Nothing is known of another display (or a restarted one).
        x.onClosing([this] { tracked.clear(); });
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    /// A fresh connection's set-up: false refuses it.
    bool watchRoot() {
        c = x.get();
        ownersKnown = windowowner::serverKnowsOwners(c);
        // The answers come to the root; SubstructureRedirect belongs to the
        // window manager, the notify masks may be selected by anyone.
        const std::uint32_t mask =
            XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        const auto cookie =
            xcb_change_window_attributes_checked(c, x.root(), XCB_CW_EVENT_MASK, &mask);
        if (xcb_generic_error_t *error = xcb_request_check(c, cookie)) {
            std::free(error);
            return false;
        }
        return true;
    }

    bool ready() {
        const bool ok = x.ready();
        c = x.get();
        return ok;
    }

    /// Closes a connection that broke meanwhile.
    void keep() {
        x.keep();
        c = x.get();
    }

    /// The window manager's clients and the root's mapped children.
    std::vector<xcb_window_t> candidates() {
        const auto listCookie = xcb_ewmh_get_client_list(&x.ewmh(), x.screen());
        const auto treeCookie = xcb_query_tree(c, x.root());
        std::vector<xcb_window_t> windows;
        xcb_ewmh_get_windows_reply_t list;
        if (xcb_ewmh_get_client_list_reply(&x.ewmh(), listCookie, &list, nullptr)) {
            windows.assign(list.windows, list.windows + list.windows_len);
            xcb_ewmh_get_windows_reply_wipe(&list);
        }
        Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, treeCookie, nullptr));
        if (!tree) {
            return {};
        }
        const xcb_window_t *children = xcb_query_tree_children(tree.get());
        const int count = xcb_query_tree_children_length(tree.get());
        std::vector<xcb_get_window_attributes_cookie_t> attributes;
        attributes.reserve(count);
        for (int i = 0; i < count; ++i) {
            attributes.push_back(xcb_get_window_attributes(c, children[i]));
        }
        for (int i = 0; i < count; ++i) {
            Reply<xcb_get_window_attributes_reply_t> reply(
                xcb_get_window_attributes_reply(c, attributes[i], nullptr));
            if (reply && reply->map_state != XCB_MAP_STATE_UNMAPPED && !reply->override_redirect) {
                windows.push_back(children[i]);
            }
        }
        std::sort(windows.begin(), windows.end());
        windows.erase(std::unique(windows.begin(), windows.end()), windows.end());
        return windows;
    }

    /// True when the window says it runs on this machine (a PID of another
    /// machine names some other process) and takes the ping.
    bool pingable(xcb_get_property_cookie_t machineCookie,
                  xcb_get_property_cookie_t protocolsCookie) {
        bool local = false;
        xcb_icccm_get_text_property_reply_t machine;
        if (xcb_icccm_get_wm_client_machine_reply(c, machineCookie, &machine, nullptr)) {
            std::string name(machine.name, machine.name_len);
            if (const auto end = name.find('\0'); end != std::string::npos) {
                name.resize(end);
            }
            local = !hostName.empty() && name == hostName;
            xcb_icccm_get_text_property_reply_wipe(&machine);
        }
        bool takesPing = false;
        xcb_icccm_get_wm_protocols_reply_t protocols;
        if (xcb_icccm_get_wm_protocols_reply(c, protocolsCookie, &protocols, nullptr)) {
            takesPing = std::find(protocols.atoms, protocols.atoms + protocols.atoms_len,
                                  x.ewmh()._NET_WM_PING) != protocols.atoms + protocols.atoms_len;
            xcb_icccm_get_wm_protocols_reply_wipe(&protocols);
        }
        return local && takesPing;
    }

    /// Unpredictable, so that an answer proves the window saw the ping; never
    /// 0, which stands for no ping waiting.
    std::uint32_t nextStamp() {
        std::uint32_t stamp = 0;
        while (stamp == 0) {
            stamp = random();
        }
        return stamp;
    }

    void sendPing(xcb_window_t window, std::uint32_t timestamp) {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = window;
        event.type = x.ewmh().WM_PROTOCOLS;
        event.data.data32[0] = x.ewmh()._NET_WM_PING;
        event.data.data32[1] = timestamp;
        event.data.data32[2] = window;
        // A window that has just gone answers BadWindow; checked and dropped
        // so that it does not queue up.
        const auto cookie = xcb_send_event_checked(c, 0, window, XCB_EVENT_MASK_NO_EVENT,
                                                   reinterpret_cast<const char *>(&event));
        xcb_discard_reply(c, cookie.sequence);
    }

    void takeEvents() {
        while (xcb_generic_event_t *event = xcb_poll_for_event(c)) {
            if ((event->response_type & 0x7F) == XCB_CLIENT_MESSAGE) {
                answer(*reinterpret_cast<xcb_client_message_event_t *>(event));
            }
            std::free(event);
        }
    }

    void answer(const xcb_client_message_event_t &event) {
        if (event.type != x.ewmh().WM_PROTOCOLS || event.format != 32 ||
            event.data.data32[0] != x.ewmh()._NET_WM_PING) {
            return;
        }
        const auto entry = tracked.find(event.data.data32[2]);
        if (entry == tracked.end()) {
            return;
        }
        Tracked &window = entry->second;
        // Only the answer to the ping that waits counts.
        if (window.waitingStamp != 0 && event.data.data32[1] == window.waitingStamp) {
            window.waitingStamp = 0;
            window.state.waitingSince.reset();
            window.state.lastAnswer = Clock::now();
        }
    }

    xconnection::Connection x;
    /// x's connection, for short calls; nullptr while there is none.
    xcb_connection_t *c = nullptr;
    std::string hostName = localHostName();
    bool ownersKnown = false;
    std::random_device random;
    std::unordered_map<xcb_window_t, Tracked> tracked;
};

WindowPing::WindowPing(std::string display)
    : connection_(std::make_unique<Connection>(std::move(display))) {}

WindowPing::~WindowPing() = default;

void WindowPing::ping(const std::vector<pid_t> &pids) {
    Connection &d = *connection_;
    if (!d.ready()) {
        return;
    }
    d.takeEvents();
    const std::unordered_set<int> wanted(pids.begin(), pids.end());
    const auto owned =
        d.ownersKnown
            ? windowowner::verified(d.c, windowowner::naming(d.x.ewmh(), d.candidates(), wanted))
            : std::vector<windowowner::OwnedWindow>();
    std::vector<std::pair<xcb_get_property_cookie_t, xcb_get_property_cookie_t>> cookies;
    cookies.reserve(owned.size());
    for (const windowowner::OwnedWindow &window : owned) {
        cookies.emplace_back(
            xcb_icccm_get_wm_client_machine(d.c, window.window),
            xcb_icccm_get_wm_protocols(d.c, window.window, d.x.ewmh().WM_PROTOCOLS));
    }
    std::unordered_map<xcb_window_t, Tracked> found;
    for (std::size_t i = 0; i < owned.size(); ++i) {
        const auto [window, pid] = owned[i];
        if (!d.pingable(cookies[i].first, cookies[i].second)) {
            continue;
        }
        Tracked entry;
        // A window id that now belongs to another process starts afresh.
        if (const auto known = d.tracked.find(window);
            known != d.tracked.end() && known->second.pid == pid) {
            entry = known->second;
        }
        entry.pid = pid;
        entry.state.window = window;
        if (entry.waitingStamp == 0) {
            entry.waitingStamp = d.nextStamp();
            entry.state.waitingSince = Clock::now();
            d.sendPing(window, entry.waitingStamp);
        }
        found.emplace(window, entry);
    }
    d.tracked = std::move(found);
    xcb_flush(d.c);
    d.keep();
}

void WindowPing::poll() {
    Connection &d = *connection_;
    if (!d.c) {
        return;
    }
    d.takeEvents();
    d.keep();
}

std::vector<PingedWindow> WindowPing::windows(pid_t pid) const {
    std::vector<PingedWindow> result;
    for (const auto &[window, entry] : connection_->tracked) {
        if (entry.pid == pid) {
            result.push_back(entry.state);
        }
    }
    std::sort(result.begin(), result.end(),
              [](const PingedWindow &a, const PingedWindow &b) { return a.window < b.window; });
    return result;
}

std::optional<Clock::duration> WindowPing::silence(pid_t pid, Clock::time_point now) const {
    std::optional<Clock::duration> longest;
    for (const auto &[window, entry] : connection_->tracked) {
        if (entry.pid != pid) {
            continue;
        }
        const Clock::duration waited =
            entry.state.waitingSince ? now - *entry.state.waitingSince : Clock::duration::zero();
        longest = std::max(longest.value_or(Clock::duration::zero()), waited);
    }
    return longest;
}

int WindowPing::descriptor() const {
    return connection_->c ? xcb_get_file_descriptor(connection_->c) : -1;
}

} // namespace windowping
