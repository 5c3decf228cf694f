#include "dialogs/dialog_parts.h"

#include <QComboBox>
#include <QCompleter>
#include <QLayout>
#include <QMenuBar>

#include "ui/window_registry.h"

namespace dialogs {

void setUpWindow(QWidget *window, const QString &name, const QString &caption) {
    window->setObjectName(name);
    window->setWindowTitle(caption);
    ui::WindowRegistry::instance().add(window);
}

QAction *addMenuItem(QWidget *window, const QString &name, const QString &caption) {
    auto *bar = window->findChild<QMenuBar *>(QString(), Qt::FindDirectChildrenOnly);
    if (!bar) {
        bar = new QMenuBar(window);
        if (window->layout()) {
            window->layout()->setMenuBar(bar);
        }
    }
    QAction *item = bar->addAction(caption);
    item->setObjectName(name);
    return item;
}

void keepTypedText(QComboBox *combo) {
    combo->setEditable(true);
    combo->setInsertPolicy(QComboBox::NoInsert);
    combo->completer()->setCaseSensitivity(Qt::CaseSensitive);
}

} // namespace dialogs
