#pragma once
// Atom lookup shared by the X11 test helpers.

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace testing_support {

/// The atom named `name`, created when missing; XCB_NONE when the server fails.
inline xcb_atom_t internAtom(xcb_connection_t *c, const char *name) {
    xcb_intern_atom_reply_t *reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::strlen(name), name), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : XCB_NONE;
    std::free(reply);
    return atom;
}

} // namespace testing_support
