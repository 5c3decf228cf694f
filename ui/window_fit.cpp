#include "ui/window_fit.h"

#include <QFontMetrics>
#include <QLineEdit>
#include <QShortcut>
#include <QTabWidget>
#include <QWidget>

#include <algorithm>

namespace ui {

namespace {

/// What a title bar shows beside the caption: the window icon and the
/// minimize, maximize and close buttons, with their margins.
constexpr int TitleBarButtons = 160;

int captionWidth(const QWidget &window) {
    // Window managers draw captions in about the default font, often bold.
    QFont font = window.font();
    font.setBold(true);
    return QFontMetrics(font).horizontalAdvance(window.windowTitle().trimmed()) + TitleBarButtons;
}

} // namespace

void fitDialog(QWidget *window) {
    for (QTabWidget *tabs : window->findChildren<QTabWidget *>()) {
        // With scroll arrows a tab widget asks for 200 pixels, half the tabs.
        tabs->setUsesScrollButtons(false);
        tabs->setElideMode(Qt::ElideNone);
    }
    window->ensurePolished();
    const QSize hint = window->sizeHint();
    window->resize(std::max(hint.width(), captionWidth(*window)), hint.height());

    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), window);
    QObject::connect(escape, &QShortcut::activated, window, &QWidget::close);
}

void showCharacters(QLineEdit *field, int characters) {
    field->setMinimumWidth(field->fontMetrics().averageCharWidth() * characters);
}

} // namespace ui
