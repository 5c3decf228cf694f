#include "viewers/client_area.h"

#include "viewers/proportional_layout.h"

#include <QMenuBar>
#include <QVBoxLayout>
#include <QWidget>

namespace viewers {

ClientArea makeClientArea(QWidget *window, QSize designSize) {
    ClientArea area;
    auto *frame = new QVBoxLayout(window);
    frame->setContentsMargins(0, 0, 0, 0);
    frame->setSpacing(0);
    area.menu = new QMenuBar(window);
    frame->setMenuBar(area.menu);
    // No layout inside: the proportional layout alone places the controls.
    area.surface = new QWidget(window);
    frame->addWidget(area.surface);

    window->ensurePolished();
    area.menu->ensurePolished();
    window->resize(designSize.width(), designSize.height() + area.menu->sizeHint().height());
    frame->activate();
    return area;
}

ProportionalLayout *fillAndRecord(const ClientArea &area, QWidget *control) {
    control->setParent(area.surface);
    control->setGeometry(area.surface->rect());
    auto *layout = new ProportionalLayout(area.surface);
    layout->record();
    return layout;
}

} // namespace viewers
