#include "tests/support/x_server.h"

#include "tests/support/xcb_atom.h"

#include <xcb/xcb.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_support {

namespace {

bool displayTaken(int number) {
    std::error_code ec;
    return std::filesystem::exists("/tmp/.X" + std::to_string(number) + "-lock", ec) ||
           std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number), ec);
}

/// Whether the server of display `number` is the process `pid`, as its lock
/// file says: another test's server may win the number and answer meanwhile.
bool lockHeldBy(int number, pid_t pid) {
    std::ifstream lock("/tmp/.X" + std::to_string(number) + "-lock");
    long holder = 0;
    return static_cast<bool>(lock >> holder) && holder == pid;
}

bool canConnect(const std::string &display) {
    xcb_connection_t *c = xcb_connect(display.c_str(), nullptr);
    const bool ok = !xcb_connection_has_error(c);
    xcb_disconnect(c);
    return ok;
}

/// Starts `command` through the shell with its output in `log`; exec keeps the pid.
Child startLogged(const std::string &command, const std::filesystem::path &log,
                  const std::vector<std::string> &env = {}) {
    return Child({"/bin/sh", "-c", "exec " + command + " >>'" + log.string() + "' 2>&1"}, {}, env);
}

std::vector<std::uint32_t> windowProperty(xcb_connection_t *c, xcb_window_t window,
                                          const char *name) {
    const xcb_atom_t atom = internAtom(c, name);
    xcb_get_property_reply_t *reply = xcb_get_property_reply(
        c, xcb_get_property(c, 0, window, atom, XCB_ATOM_WINDOW, 0, 4096), nullptr);
    std::vector<std::uint32_t> windows;
    if (reply && reply->format == 32) {
        const auto *values = static_cast<const std::uint32_t *>(xcb_get_property_value(reply));
        windows.assign(values, values + xcb_get_property_value_length(reply) / 4);
    }
    std::free(reply);
    return windows;
}

void sendMessage(xcb_connection_t *c, xcb_window_t destination, std::uint32_t mask,
                 xcb_window_t window, xcb_atom_t type, std::uint32_t d0, std::uint32_t d1,
                 std::uint32_t d2 = 0) {
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = type;
    event.data.data32[0] = d0;
    event.data.data32[1] = d1;
    event.data.data32[2] = d2;
    xcb_send_event(c, 0, destination, mask, reinterpret_cast<const char *>(&event));
    xcb_flush(c);
}

} // namespace

XServer::XServer(bool withWindowManager, std::string xvfbArguments)
    : withWindowManager_(withWindowManager), xvfbArguments_(std::move(xvfbArguments)) {
    // Spread parallel test runs over the range so they rarely race for a number.
    const int first = 200 + static_cast<int>(::getpid() % 300);
    for (int number = first; number < first + 300; ++number) {
        if (!displayTaken(number) && launch(number)) {
            number_ = number;
            display_ = ":" + std::to_string(number);
            break;
        }
    }
    if (number_ < 0) {
        throw std::runtime_error("no X server could be started");
    }
    if (withWindowManager_) {
        startWindowManager();
    }
}

XServer::~XServer() {
    stop();
}

bool XServer::launch(int number) {
    const std::string display = ":" + std::to_string(number);
    server_ = startLogged("Xvfb " + display + " -nolisten tcp -noreset -screen 0 1024x768x24 " +
                              xvfbArguments_,
                          logs_ / "xvfb.log");
    // Up when it holds the number and accepts a connection; gone when another
    // server won the number.
    const bool up = waitUntil(
        [&] {
            return !server_.running() || (lockHeldBy(number, server_.pid()) && canConnect(display));
        },
        std::chrono::seconds(20));
    if (up && server_.running()) {
        return true;
    }
    server_.stop();
    return false;
}

void XServer::startWindowManager() {
    manager_ = startLogged("openbox --sm-disable", logs_ / "openbox.log", {"DISPLAY=" + display_});
    XClient client(display_);
    // openbox announces itself before its event loop runs and may drop a map
    // request that comes in between: ready once it has managed a window of ours.
    const bool ready =
        waitUntil([&] { return client.windowManagerRunning(); }, std::chrono::seconds(20)) &&
        waitUntil([&] { return client.windowManagerAnswers(std::chrono::seconds(1)); },
                  std::chrono::seconds(20));
    if (!ready) {
        throw std::runtime_error("openbox did not come up:\n" + readFile(logs_ / "openbox.log"));
    }
}

void XServer::stop() {
    manager_.stop(SIGTERM);
    server_.stop(SIGTERM);
}

void XServer::restart() {
    stop();
    if (!launch(number_)) {
        throw std::runtime_error("the X server did not come back on " + display_);
    }
    if (withWindowManager_) {
        startWindowManager();
    }
}

XClient::XClient(const std::string &display) {
    int screenNumber = 0;
    connection_ = xcb_connect(display.c_str(), &screenNumber);
    if (xcb_connection_has_error(connection_)) {
        return;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection_));
    for (int i = 0; i < screenNumber; ++i) {
        xcb_screen_next(&screens);
    }
    root_ = screens.data->root;
}

XClient::~XClient() {
    xcb_disconnect(connection_);
}

bool XClient::connected() const {
    return !xcb_connection_has_error(connection_);
}

std::vector<std::uint32_t> XClient::rootChildren() {
    xcb_query_tree_reply_t *tree =
        xcb_query_tree_reply(connection_, xcb_query_tree(connection_, root_), nullptr);
    std::vector<std::uint32_t> children;
    if (tree) {
        const xcb_window_t *first = xcb_query_tree_children(tree);
        children.assign(first, first + xcb_query_tree_children_length(tree));
    }
    std::free(tree);
    return children;
}

std::vector<std::uint32_t> XClient::managedStacking() {
    return windowProperty(connection_, root_, "_NET_CLIENT_LIST_STACKING");
}

bool XClient::windowManagerRunning() {
    const auto check = windowProperty(connection_, root_, "_NET_SUPPORTING_WM_CHECK");
    if (check.size() != 1) {
        return false;
    }
    const auto echoed = windowProperty(connection_, check[0], "_NET_SUPPORTING_WM_CHECK");
    return echoed.size() == 1 && echoed[0] == check[0];
}

std::uint32_t XClient::activeWindow() {
    const auto active = windowProperty(connection_, root_, "_NET_ACTIVE_WINDOW");
    return active.empty() ? 0 : active.front();
}

bool XClient::windowManagerAnswers(std::chrono::milliseconds timeout) {
    const xcb_window_t window = xcb_generate_id(connection_);
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, root_, 0, 0, 10, 10, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
    xcb_map_window(connection_, window);
    xcb_flush(connection_);
    const bool managed = waitUntil(
        [&] {
            const auto list = managedStacking();
            return std::find(list.begin(), list.end(), window) != list.end();
        },
        timeout);
    xcb_destroy_window(connection_, window);
    xcb_flush(connection_);
    return managed;
}

bool XClient::exists(std::uint32_t window) {
    xcb_generic_error_t *error = nullptr;
    xcb_get_window_attributes_reply_t *reply = xcb_get_window_attributes_reply(
        connection_, xcb_get_window_attributes(connection_, window), &error);
    const bool found = reply != nullptr;
    std::free(reply);
    std::free(error);
    return found;
}

std::vector<std::uint32_t> XClient::shownTitled(const std::string &title) {
    std::vector<std::uint32_t> shown;
    for (const xcb_window_t window : rootChildren()) {
        xcb_get_window_attributes_reply_t *attributes = xcb_get_window_attributes_reply(
            connection_, xcb_get_window_attributes(connection_, window), nullptr);
        const bool viewable = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
        std::free(attributes);
        xcb_get_property_reply_t *name = xcb_get_property_reply(
            connection_,
            xcb_get_property(connection_, 0, window, XCB_ATOM_WM_NAME, XCB_ATOM_ANY, 0, 1024),
            nullptr);
        if (viewable && name &&
            std::string(static_cast<const char *>(xcb_get_property_value(name)),
                        static_cast<std::size_t>(xcb_get_property_value_length(name))) == title) {
            shown.push_back(window);
        }
        std::free(name);
    }
    return shown;
}

std::vector<std::uint32_t> XClient::topmostFirst(bool managed) {
    auto windows = managed ? managedStacking() : rootChildren();
    std::reverse(windows.begin(), windows.end());
    return windows;
}

void XClient::raise(std::uint32_t window, bool managed) {
    if (managed) {
        // Source 2: a pager acting for the user, which openbox always obeys.
        sendMessage(connection_, root_,
                    XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                    window, internAtom(connection_, "_NET_ACTIVE_WINDOW"), 2, XCB_CURRENT_TIME);
        return;
    }
    const std::uint32_t above = XCB_STACK_MODE_ABOVE;
    xcb_configure_window(connection_, window, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    xcb_flush(connection_);
}

void XClient::sendProbe(std::uint32_t window) {
    sendMessage(connection_, window, XCB_EVENT_MASK_NO_EVENT, window,
                internAtom(connection_, "PERSTANDO_TEST_PROBE"), 0, 0);
}

void XClient::forgePingAnswer(std::uint32_t window, std::uint32_t timestamp) {
    // Addressed as a toolkit's answer is, so that every pinger hears it.
    sendMessage(connection_, root_,
                XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY |
                    XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                root_, internAtom(connection_, "WM_PROTOCOLS"),
                internAtom(connection_, "_NET_WM_PING"), timestamp, window);
}

void XClient::setTitle(std::uint32_t window, const std::string &title) {
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, window,
                        internAtom(connection_, "_NET_WM_NAME"),
                        internAtom(connection_, "UTF8_STRING"), 8, title.size(), title.data());
    sync();
}

std::uint32_t XClient::createWindow(std::uint32_t id) {
    const xcb_window_t window = id != 0 ? id : xcb_generate_id(connection_);
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, root_, 0, 0, 300, 200, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
    xcb_map_window(connection_, window);
    sync();
    return window;
}

void XClient::destroyWindow(std::uint32_t window) {
    xcb_destroy_window(connection_, window);
    sync();
}

void XClient::unmapWindow(std::uint32_t window) {
    xcb_unmap_window(connection_, window);
    sync();
}

void XClient::announceWindowManager(const std::vector<std::uint32_t> &stacking) {
    const auto setWindows = [&](xcb_window_t on, const char *name,
                                const std::vector<std::uint32_t> &windows) {
        xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, on, internAtom(connection_, name),
                            XCB_ATOM_WINDOW, 32, windows.size(), windows.data());
    };
    if (checkWindow_ == 0) {
        checkWindow_ = xcb_generate_id(connection_);
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, checkWindow_, root_, -10, -10, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
        setWindows(checkWindow_, "_NET_SUPPORTING_WM_CHECK", {checkWindow_});
        setWindows(root_, "_NET_SUPPORTING_WM_CHECK", {checkWindow_});
    }
    setWindows(root_, "_NET_CLIENT_LIST_STACKING", stacking);
    sync();
}

void XClient::adopt(std::uint32_t frame, std::uint32_t client) {
    reparent(frame, client);
    markClient(client);
}

void XClient::reparent(std::uint32_t frame, std::uint32_t client) {
    xcb_reparent_window(connection_, client, frame, 0, 20);
    sync();
}

void XClient::markClient(std::uint32_t client) {
    const xcb_atom_t wmState = internAtom(connection_, "WM_STATE");
    const std::uint32_t normal[] = {1, XCB_NONE};
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, client, wmState, wmState, 32, 2,
                        normal);
    sync();
}

void XClient::sync() {
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
}

TestWindow::TestWindow(const std::string &display, const TestWindowOptions &options)
    : record_(folder_ / "record") {
    std::vector<std::string> argv{
        (options.program.empty() ? testWindowProgram() : options.program).string(),
        record_.string()};
    if (!options.netName.empty()) {
        argv.insert(argv.end(), {"--net-name", options.netName});
    }
    if (!options.wmName.empty()) {
        argv.insert(argv.end(), {"--wm-name", options.wmName});
    }
    if (!options.acceptsDelete) {
        argv.push_back("--no-delete");
    }
    if (options.stay) {
        argv.push_back("--stay");
    }
    if (options.answersPing) {
        argv.push_back("--ping");
    }
    if (!options.machine.empty()) {
        argv.insert(argv.end(), {"--machine", options.machine});
    }
    if (options.ignoresTerm) {
        argv.push_back("--ignore-term");
    }
    if (options.claimedPid != 0) {
        argv.insert(argv.end(), {"--claim-pid", std::to_string(options.claimedPid)});
    }
    process_ = Child(argv, {}, {"DISPLAY=" + display});
}

std::uint32_t TestWindow::id() {
    if (id_ == 0) {
        waitUntil([&] {
            const std::string text = readFile(record_);
            if (text.rfind("ready ", 0) == 0 && text.find('\n') != std::string::npos) {
                id_ = static_cast<std::uint32_t>(std::stoul(text.substr(6)));
            }
            return id_ != 0 || !process_.running();
        });
    }
    return id_;
}

std::vector<std::string> TestWindow::events() const {
    std::istringstream in(readFile(record_));
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("ready ", 0) != 0) {
            lines.push_back(line);
        }
    }
    return lines;
}

int TestWindow::count(const std::string &event) const {
    const auto lines = events();
    return static_cast<int>(std::count(lines.begin(), lines.end(), event));
}

bool TestWindow::waitFor(const std::string &event, int times) {
    return waitUntil([&] { return count(event) >= times; });
}

std::filesystem::path testWindowProgram() {
    return PERSTANDO_X_TEST_WINDOW;
}

TestWindowOptions titled(const std::string &title, bool stay) {
    TestWindowOptions options;
    options.netName = title;
    options.stay = stay;
    return options;
}

} // namespace testing_support
