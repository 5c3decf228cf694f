#include "dialogs/restart_options_dialog.h"

#include "dialogs/dialog_parts.h"
#include "dialogs/save_settings.h"
#include "engine/settings.h"
#include "engine/slot_watcher.h"
#include "ui/window_fit.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QTableWidget>
#include <QVBoxLayout>
#include <array>

using dialogs::named;

namespace {

/// A per-slot switch, shown as a column of check boxes.
struct SwitchColumn {
    settings::Key key;
    const char *header;
    const char *explanation;
};

// Another per-slot switch is one more entry here: its column, its line of
// explanation, its load and its save follow from it.
constexpr std::array switchColumns{
    SwitchColumn{settings::Key::SlotImmediate, "Restart at once",
                 "Restart at once: start the program again the moment its process ends, "
                 "instead of at the next check."},
};

/// The name takes the first column; the switches follow in list order.
constexpr int FirstSwitchColumn = 1;

int rowOf(int slot) {
    return slot - 1;
}

} // namespace

RestartOptionsDialog::RestartOptionsDialog(QWidget *parent) : QWidget(parent, Qt::Window) {
    dialogs::setUpWindow(this, QStringLiteral("RestartOptions"), QStringLiteral("Restart Options"));

    QStringList headers{QStringLiteral("Application")};
    QStringList explanations;
    for (const auto &column : switchColumns) {
        headers << QString::fromUtf8(column.header);
        explanations << QString::fromUtf8(column.explanation);
    }

    auto *explanation = named<QLabel>(QStringLiteral("Label1"), explanations.join(u'\n'), this);
    explanation->setWordWrap(true);
    readProblem_ = named<QLabel>(QStringLiteral("Label2"), this);
    readProblem_->setWordWrap(true);

    table_ = named<QTableWidget>(QStringLiteral("Table1"), settings::SlotCount,
                                 static_cast<int>(headers.size()), this);
    table_->setHorizontalHeaderLabels(headers);
    for (std::size_t c = 0; c < switchColumns.size(); ++c) {
        table_->horizontalHeaderItem(FirstSwitchColumn + static_cast<int>(c))
            ->setToolTip(explanations[static_cast<qsizetype>(c)]);
    }
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionMode(QAbstractItemView::NoSelection);
    table_->horizontalHeader()->setStretchLastSection(true);
    // Every row and column in view at the first size, without scrolling.
    table_->setSizeAdjustPolicy(QAbstractScrollArea::AdjustToContents);

    saveButton_ = named<QPushButton>(QStringLiteral("cmdSave"), QStringLiteral("&Save"), this);
    cancelButton_ =
        named<QPushButton>(QStringLiteral("cmdCancel"), QStringLiteral("&Cancel"), this);
    auto *buttons = new QHBoxLayout();
    buttons->addStretch(1);
    buttons->addWidget(saveButton_);
    buttons->addWidget(cancelButton_);

    auto *outer = new QVBoxLayout(this);
    outer->addWidget(explanation);
    outer->addWidget(readProblem_);
    outer->addWidget(table_);
    outer->addLayout(buttons);

    connect(saveButton_, &QPushButton::clicked, this, &RestartOptionsDialog::save);
    connect(cancelButton_, &QPushButton::clicked, this, &QWidget::close);

    load();
    table_->resizeColumnsToContents();
    ui::fitDialog(this);
}

void RestartOptionsDialog::load() {
    const auto stored = settings::Stored::read();
    // Unreadable, every switch would show off and the save would be refused:
    // the window says why.
    readProblem_->setText(stored.problem());
    readProblem_->setVisible(!stored.problem().isEmpty());
    for (int n = 1; n <= settings::SlotCount; ++n) {
        const QString name = stored.text(settings::Key::SlotName, n);
        auto *nameItem =
            new QTableWidgetItem(name.isEmpty() ? engine::SlotWatcher::placeholder(n) : name);
        nameItem->setFlags(Qt::ItemIsEnabled);
        table_->setItem(rowOf(n), 0, nameItem);
        for (std::size_t c = 0; c < switchColumns.size(); ++c) {
            auto *check = new QTableWidgetItem();
            check->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
            check->setCheckState(
                settings::isOn(stored.text(switchColumns[c].key, n)) ? Qt::Checked : Qt::Unchecked);
            table_->setItem(rowOf(n), FirstSwitchColumn + static_cast<int>(c), check);
        }
    }
}

void RestartOptionsDialog::save() {
    settings::Save changes;
    for (int n = 1; n <= settings::SlotCount; ++n) {
        for (std::size_t c = 0; c < switchColumns.size(); ++c) {
            const auto *check = table_->item(rowOf(n), FirstSwitchColumn + static_cast<int>(c));
            changes.setSwitch(switchColumns[c].key, n, check->checkState() == Qt::Checked);
        }
    }
    // After a failure the window stays open with the user's choices, so they
    // can be saved again.
    if (dialogs::save(this, changes)) {
        close();
    }
}
