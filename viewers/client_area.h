#pragma once
// The frame both list viewers share: a menu bar of plain commands on top and,
// below it, a client area whose controls the proportional layout scales.

#include <QSize>

class QMenuBar;
class QWidget;

namespace viewers {

class ProportionalLayout;

struct ClientArea {
    QMenuBar *menu = nullptr;
    QWidget *surface = nullptr;
};

/// Gives `window` its menu bar and an empty client area.
ClientArea makeClientArea(QWidget *window);

/// Once the menu holds its commands: sizes the window so that the client area
/// has `designSize`, places `control` over the whole client area and records
/// the proportional layout, as a window does at load.
ProportionalLayout *fillAndRecord(const ClientArea &area, QWidget *control, QSize designSize);

} // namespace viewers
