#include "viewers/client_area.h"

#include "viewers/proportional_layout.h"

#include <QMenuBar>
#include <QVBoxLayout>
#include <QWidget>

namespace viewers {

ClientArea makeClientArea(QWidget *window) {
    ClientArea area;
    auto *frame = new QVBoxLayout(window);
    frame->setContentsMargins(0, 0, 0, 0);
    frame->setSpacing(0);
    area.menu = new QMenuBar(window);
    frame->setMenuBar(area.menu);
    // No layout inside: the proportional layout alone places the controls.
    area.surface = new QWidget(window);
    frame->addWidget(area.surface);
    return area;
}

ProportionalLayout *fillAndRecord(const ClientArea &area, QWidget *control, QSize designSize) {
    // The client area gets its final size now, before the window is shown, so
    // that showing it is no resize: the menu bar must count in the layout.
    QWidget *window = area.surface->window();
    window->ensurePolished();
    area.menu->show();
    window->resize(designSize.width(), designSize.height() + area.menu->sizeHint().height());
    window->layout()->activate();
    control->setParent(area.surface);
    control->setGeometry(area.surface->rect());
    auto *layout = new ProportionalLayout(area.surface);
    layout->record();
    return layout;
}

} // namespace viewers
