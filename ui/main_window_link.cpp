#include "ui/main_window_link.h"

namespace ui {
namespace {
MainWindowLink *&current() {
    static MainWindowLink *link = nullptr;
    return link;
}
} // namespace

void setMainWindowLink(MainWindowLink *link) {
    current() = link;
}
MainWindowLink *mainWindowLink() {
    return current();
}

} // namespace ui
