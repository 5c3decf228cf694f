// A window for the window tests: shows a given title, accepts the close
// message (WM_DELETE_WINDOW) unless told not to, and appends one line per
// event to a record file: "ready <id>", "closed", "probe", "ping", "message",
// "disconnected". It exits after "closed" unless it is told to stay. Like a
// toolkit's window it names its process and machine (_NET_WM_PID,
// WM_CLIENT_MACHINE); with --ping it takes _NET_WM_PING and answers it.
//
// x_test_window RECORD [--net-name TEXT] [--wm-name TEXT] [--no-delete] [--stay]
//               [--ping] [--machine NAME] [--ignore-term] [--claim-pid PID]
// --wm-name TEXT is UTF-8 and stored as WM_NAME of type STRING (Latin-1).
// --machine NAME replaces the local host name in WM_CLIENT_MACHINE.
// --ignore-term ignores SIGTERM, as a program that only SIGKILL ends.
// --claim-pid PID forges another process's window: it names PID, takes the
// ping and never answers it.

#include "tests/support/xcb_atom.h"

#include <xcb/xcb.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

std::string recordPath;

void record(const std::string &line) {
    const int fd = ::open(recordPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::exit(4);
    }
    const std::string text = line + "\n";
    if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        std::exit(4);
    }
    ::close(fd);
}

/// UTF-8 to Latin-1; characters beyond Latin-1 become '?'.
std::string toLatin1(const std::string &utf8) {
    std::string out;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        if (byte < 0x80) {
            out += static_cast<char>(byte);
        } else if ((byte & 0xE0) == 0xC0 && i + 1 < utf8.size()) {
            const unsigned value = ((byte & 0x1Fu) << 6) | (utf8[i + 1] & 0x3Fu);
            out += value < 0x100 ? static_cast<char>(value) : '?';
            ++i;
        } else {
            out += '?';
            while (i + 1 < utf8.size() && (utf8[i + 1] & 0xC0) == 0x80) {
                ++i;
            }
        }
    }
    return out;
}

} // namespace

using testing_support::internAtom;

int main(int argc, char **argv) {
    if (argc < 2) {
        return 1;
    }
    recordPath = argv[1];
    std::optional<std::string> netName;
    std::optional<std::string> wmName;
    bool acceptsDelete = true;
    bool stay = false;
    bool answersPing = false;
    std::optional<std::string> machine;
    std::optional<std::uint32_t> claimedPid;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--net-name" && i + 1 < argc) {
            netName = argv[++i];
        } else if (arg == "--wm-name" && i + 1 < argc) {
            wmName = argv[++i];
        } else if (arg == "--no-delete") {
            acceptsDelete = false;
        } else if (arg == "--stay") {
            stay = true;
        } else if (arg == "--ping") {
            answersPing = true;
        } else if (arg == "--machine" && i + 1 < argc) {
            machine = argv[++i];
        } else if (arg == "--claim-pid" && i + 1 < argc) {
            claimedPid = static_cast<std::uint32_t>(std::stoul(argv[++i]));
        } else if (arg == "--ignore-term") {
            ::signal(SIGTERM, SIG_IGN);
        } else {
            return 1;
        }
    }

    int screenNumber = 0;
    xcb_connection_t *c = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(c)) {
        return 2;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber; ++i) {
        xcb_screen_next(&screens);
    }
    const xcb_screen_t *screen = screens.data;
    const xcb_atom_t protocols = internAtom(c, "WM_PROTOCOLS");
    const xcb_atom_t deleteWindow = internAtom(c, "WM_DELETE_WINDOW");
    const xcb_atom_t probe = internAtom(c, "PERSTANDO_TEST_PROBE");
    const xcb_atom_t netWmName = internAtom(c, "_NET_WM_NAME");
    const xcb_atom_t utf8 = internAtom(c, "UTF8_STRING");
    const xcb_atom_t ping = internAtom(c, "_NET_WM_PING");
    const xcb_atom_t netWmPid = internAtom(c, "_NET_WM_PID");

    const xcb_window_t window = xcb_generate_id(c);
    const std::uint32_t values[] = {screen->white_pixel};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 20, 20, 240, 80, 1,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL,
                      values);
    if (netName) {
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, netWmName, utf8, 8, netName->size(),
                            netName->data());
    }
    if (wmName) {
        const std::string latin1 = toLatin1(*wmName);
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                            latin1.size(), latin1.data());
    }
    std::vector<xcb_atom_t> taken;
    if (acceptsDelete) {
        taken.push_back(deleteWindow);
    }
    if (answersPing || claimedPid) {
        taken.push_back(ping);
    }
    if (!taken.empty()) {
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, protocols, XCB_ATOM_ATOM, 32,
                            taken.size(), taken.data());
    }
    const auto pid = claimedPid.value_or(static_cast<std::uint32_t>(::getpid()));
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, netWmPid, XCB_ATOM_CARDINAL, 32, 1, &pid);
    if (!machine) {
        char host[HOST_NAME_MAX + 1] = {};
        ::gethostname(host, sizeof host - 1);
        machine = host;
    }
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLIENT_MACHINE,
                        XCB_ATOM_STRING, 8, machine->size(), machine->data());
    xcb_map_window(c, window);
    // A round trip: the window is mapped before anyone is told it is there.
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    record("ready " + std::to_string(window));

    while (xcb_generic_event_t *event = xcb_wait_for_event(c)) {
        if ((event->response_type & 0x7F) == XCB_CLIENT_MESSAGE) {
            const auto *message = reinterpret_cast<xcb_client_message_event_t *>(event);
            if (message->type == protocols && message->data.data32[0] == ping) {
                record("ping");
                if (answersPing) {
                    // Back to the root, as toolkits answer a window manager.
                    xcb_client_message_event_t reply = *message;
                    reply.window = screen->root;
                    xcb_send_event(c, 0, screen->root,
                                   XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY |
                                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                                   reinterpret_cast<const char *>(&reply));
                    xcb_flush(c);
                }
            } else if (message->type == protocols && message->data.data32[0] == deleteWindow) {
                record("closed");
                if (!stay) {
                    std::free(event);
                    xcb_disconnect(c);
                    return 0;
                }
            } else if (message->type == probe) {
                record("probe");
            } else {
                record("message");
            }
        }
        std::free(event);
    }
    // The server ended the connection: killed by the window manager, or gone.
    record("disconnected");
    xcb_disconnect(c);
    return 3;
}
