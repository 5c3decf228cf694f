#include "dialogs/restart_options_dialog.h"

#include "dialogs/dialog_parts.h"
#include "dialogs/save_settings.h"
#include "engine/health_probe.h"
#include "engine/settings.h"
#include "engine/slot_watcher.h"
#include "ui/message_box.h"
#include "ui/window_fit.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStringList>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <limits>
#include <optional>

using dialogs::named;

namespace {

/// A per-slot setting, shown as a column of the kind its type asks for.
struct Column {
    settings::Key key;
    const char *header;
    const char *explanation;
    /// A text column's check: why the typed text cannot be stored, or "".
    QString (*problem)(const QString &text) = nullptr;
};

QString probeProblem(const QString &text) {
    return engine::parseProbe(text).error;
}

// Another per-slot setting is one more entry here: its column, its line of
// explanation, its load and its save follow from it and its type.
constexpr std::array columns{
    Column{settings::Key::SlotImmediate, "Restart at once",
           "Restart at once: start the program again the moment its process ends, "
           "instead of at the next check."},
    Column{settings::Key::SlotCleanExit, "Stop on a clean exit",
           "Stop on a clean exit: a program Perstando started that ends with exit status 0 was "
           "closed on purpose and is not started again until it is found running or "
           "Perstando's window is activated; unticked: restarted."},
    Column{settings::Key::SlotGiveUp, "Give up after",
           "Give up after: stop restarting after this many starts within the minutes beside "
           "it; empty or 0: never."},
    Column{settings::Key::SlotGiveUpMinutes, "within",
           "within: those minutes; empty: 10; 0: never give up."},
    Column{settings::Key::SlotBackoff, "Longest wait (s)",
           "Longest wait (s): after quick deaths, double the wait before each start, up to "
           "this many seconds; empty or 0: off."},
    Column{settings::Key::SlotHangSeconds, "Not responding after (s)",
           "Not responding after (s): a window that leaves a ping unanswered this many "
           "seconds; empty or 0: never judged."},
    Column{settings::Key::SlotHangAction, "Then restart",
           "Then restart: end a program that is not responding, so that its check starts it "
           "again."},
    Column{settings::Key::SlotHealth, "Health probe",
           "Health probe: an http:// or https:// address, tcp://HOST:PORT, file: and the path "
           "of a file the program keeps touching, or a command that exits with 0 when all is "
           "well; empty: none.",
           probeProblem},
    Column{settings::Key::SlotHealthSeconds, "every (s)",
           "every (s): seconds between probes; empty: 10."},
    Column{settings::Key::SlotHealthFailures, "failures",
           "failures: failed probes in a row before the program counts as not healthy; "
           "empty: 3."},
    Column{settings::Key::SlotHealthAction, "Restart when unhealthy",
           "Restart when unhealthy: close a program that is not healthy (its windows, then "
           "SIGTERM, then SIGKILL) so that it starts again; unticked: alerts only."},
    Column{settings::Key::SlotMaxMemory, "Max memory (MiB)",
           "Max memory (MiB): the resident memory the program and its child processes may "
           "use; empty or 0: no limit."},
    Column{settings::Key::SlotMaxCpu, "Max CPU (%)",
           "Max CPU (%): the share of one processor core the program and its child processes "
           "may use, averaged over a check; empty or 0: no limit."},
    Column{settings::Key::SlotLimitAction, "Restart when over a limit",
           "Restart when over a limit: close a program that stays over a limit check after "
           "check (3 in a row unless limitchecks says otherwise) so that it starts again; "
           "unticked: alerts only."},
};

enum class Kind {
    Switch, ///< a check box stored as its two words
    Word,   ///< a check box ticked for exactly its word; unticked, nothing
    Number, ///< a whole number typed into the cell; empty is off or the default
    Text,   ///< any text typed into the cell, held to the column's check
};

Kind kindOf(const Column &column) {
    switch (settings::type(column.key)) {
    case settings::Type::Switch:
    case settings::Type::YesNo:
        return Kind::Switch;
    case settings::Type::Action:
        return Kind::Word;
    case settings::Type::Text:
    case settings::Type::Path:
        return Kind::Text;
    default: // WholeNumber and Seconds, the other types a column holds
        return Kind::Number;
    }
}

const QString MailMinutesLabel = QStringLiteral("At most one e-mail per slot every (minutes)");

/// The widest a text column starts, in characters: a long command line
/// scrolls in its cell rather than pushing the other columns away.
constexpr int WidestTextColumn = 32;

/// Room left beside the window for the window manager's frame.
constexpr int FrameAllowance = 16;

/// The name takes the first column; the settings follow in list order.
constexpr int FirstSettingColumn = 1;

/// Where a cell keeps the text it was loaded with.
constexpr int StoredRole = Qt::UserRole;

int rowOf(int slot) {
    return slot - 1;
}

int tableColumn(std::size_t column) {
    return FirstSettingColumn + static_cast<int>(column);
}

bool shownTicked(const Column &column, const QString &stored) {
    return settings::isOn(column.key, stored);
}

QTableWidgetItem *cellFor(const Column &column, const QString &stored) {
    auto *cell = new QTableWidgetItem();
    cell->setData(StoredRole, stored);
    if (kindOf(column) == Kind::Number || kindOf(column) == Kind::Text) {
        cell->setFlags(Qt::ItemIsEnabled | Qt::ItemIsEditable);
        cell->setText(stored);
    } else {
        cell->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        cell->setCheckState(shownTicked(column, stored) ? Qt::Checked : Qt::Unchecked);
    }
    return cell;
}

/// The typed text without the blanks around it when it is empty or a whole
/// number an int holds; nullopt otherwise.
std::optional<QString> typedNumber(const QString &text) {
    QString typed = text.trimmed();
    if (!typed.isEmpty() && !settings::wholeNumberFromText(typed)) {
        return std::nullopt;
    }
    return typed;
}

/// Tells the user that the entry at `place` holds `text`, which `is` what.
void refuse(QWidget *window, const QString &place, const QString &text, const QString &is) {
    ui::message(window, QStringLiteral("%1: \"%2\" %3").arg(place, text, is), ui::programTitle(),
                QMessageBox::Warning);
}

QString noWholeNumber() {
    return QStringLiteral("is not a whole number from 0 to %1.")
        .arg(std::numeric_limits<int>::max());
}

QString sentence(const QString &text) {
    return text.endsWith(u'.') ? text : text + u'.';
}

/// A typed number is written only when it differs from what was loaded, so a
/// save leaves untouched keys as the file has them, or absent.
void setChanged(settings::Save &changes, settings::Key key, int slot, const QString &typed,
                const QString &stored) {
    if (typed != stored) {
        changes.set(key, slot, typed);
    }
}

} // namespace

RestartOptionsDialog::RestartOptionsDialog(QWidget *parent) : QWidget(parent, Qt::Window) {
    dialogs::setUpWindow(this, QStringLiteral("RestartOptions"), QStringLiteral("Restart Options"));

    QStringList headers{QStringLiteral("Application")};
    QStringList explanations;
    for (const auto &column : columns) {
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
    for (std::size_t c = 0; c < columns.size(); ++c) {
        table_->horizontalHeaderItem(tableColumn(c))
            ->setToolTip(explanations[static_cast<qsizetype>(c)]);
    }
    // Only the number cells are editable; the names and check boxes say so
    // through their flags.
    table_->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                            QAbstractItemView::AnyKeyPressed);
    table_->setSelectionMode(QAbstractItemView::NoSelection);
    table_->horizontalHeader()->setStretchLastSection(true);
    // Every row and column in view at the first size, without scrolling.
    table_->setSizeAdjustPolicy(QAbstractScrollArea::AdjustToContents);

    const QString mailExplanation =
        QStringLiteral("At most one restart e-mail per slot within this many minutes; later "
                       "restarts are counted into the next one; empty or 0: one e-mail per "
                       "restart.");
    auto *mailLabel = named<QLabel>(QStringLiteral("lblMailMinutes"), MailMinutesLabel, this);
    mailMinutes_ = named<QLineEdit>(QStringLiteral("txtMailMinutes"), this);
    mailLabel->setBuddy(mailMinutes_);
    mailLabel->setToolTip(mailExplanation);
    mailMinutes_->setToolTip(mailExplanation);
    ui::showCharacters(mailMinutes_, 8);
    auto *mailRow = new QHBoxLayout();
    mailRow->addWidget(mailLabel);
    mailRow->addWidget(mailMinutes_);
    mailRow->addStretch(1);

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
    outer->addLayout(mailRow);
    outer->addLayout(buttons);

    connect(saveButton_, &QPushButton::clicked, this, &RestartOptionsDialog::save);
    connect(cancelButton_, &QPushButton::clicked, this, &QWidget::close);

    load();
    table_->resizeColumnsToContents();
    const int widestText = table_->fontMetrics().averageCharWidth() * WidestTextColumn;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        if (kindOf(columns[c]) == Kind::Text && table_->columnWidth(tableColumn(c)) > widestText) {
            table_->setColumnWidth(tableColumn(c), widestText);
        }
    }
    ui::fitDialog(this);
    // Wider than the screen (less the window manager's frame), the table
    // scrolls sideways; its scroll bar takes room of its own, so that every
    // row stays in view, and the explanation wraps to more lines.
    const int room = screen()->availableGeometry().width() - FrameAllowance;
    if (width() > room) {
        resize(room, std::max(height(), heightForWidth(room)) +
                         table_->horizontalScrollBar()->sizeHint().height());
    }
}

void RestartOptionsDialog::load() {
    const auto stored = settings::Stored::read();
    // Unreadable, every setting would show off and the save would be refused:
    // the window says why.
    readProblem_->setText(stored.problem());
    readProblem_->setVisible(!stored.problem().isEmpty());
    for (int n = 1; n <= settings::SlotCount; ++n) {
        const QString name = stored.text(settings::Key::SlotName, n);
        auto *nameItem =
            new QTableWidgetItem(name.isEmpty() ? engine::SlotWatcher::placeholder(n) : name);
        nameItem->setFlags(Qt::ItemIsEnabled);
        table_->setItem(rowOf(n), 0, nameItem);
        for (std::size_t c = 0; c < columns.size(); ++c) {
            table_->setItem(rowOf(n), tableColumn(c),
                            cellFor(columns[c], stored.text(columns[c].key, n)));
        }
    }
    storedMailMinutes_ = stored.text(settings::Key::MailMinutes);
    mailMinutes_->setText(storedMailMinutes_);
}

void RestartOptionsDialog::save() {
    // Saved by its mnemonic, a cell being edited has not given its text yet.
    table_->setCurrentIndex(QModelIndex());

    const auto place = [this](int slot, const Column &column) {
        return QStringLiteral("Slot \"%1\", \"%2\"")
            .arg(table_->item(rowOf(slot), 0)->text(), QString::fromUtf8(column.header));
    };
    settings::Save changes;
    for (int n = 1; n <= settings::SlotCount; ++n) {
        for (std::size_t c = 0; c < columns.size(); ++c) {
            const Column &column = columns[c];
            auto *cell = table_->item(rowOf(n), tableColumn(c));
            const QString stored = cell->data(StoredRole).toString();
            const bool ticked = cell->checkState() == Qt::Checked;
            switch (kindOf(column)) {
            case Kind::Switch:
                changes.setFlag(column.key, n, ticked);
                break;
            case Kind::Word:
                // Written only when the tick changed: unticking clears the word
                // it showed, and any other text, shown unticked, stays.
                if (ticked != shownTicked(column, stored)) {
                    changes.setFlag(column.key, n, ticked);
                }
                break;
            case Kind::Number: {
                const auto typed = typedNumber(cell->text());
                if (!typed) {
                    table_->setCurrentItem(cell);
                    refuse(this, place(n, column), cell->text(), noWholeNumber());
                    return;
                }
                setChanged(changes, column.key, n, *typed, stored);
                break;
            }
            case Kind::Text: {
                const QString typed = cell->text().trimmed();
                const QString problem = column.problem ? column.problem(typed) : QString();
                if (!problem.isEmpty()) {
                    table_->setCurrentItem(cell);
                    // The problem names the text itself.
                    ui::message(this, place(n, column) + QStringLiteral(": ") + sentence(problem),
                                ui::programTitle(), QMessageBox::Warning);
                    return;
                }
                setChanged(changes, column.key, n, typed, stored);
                break;
            }
            }
        }
    }
    const auto minutes = typedNumber(mailMinutes_->text());
    if (!minutes) {
        mailMinutes_->setFocus();
        refuse(this, QStringLiteral("\"%1\"").arg(MailMinutesLabel), mailMinutes_->text(),
               noWholeNumber());
        return;
    }
    setChanged(changes, settings::Key::MailMinutes, 0, *minutes, storedMailMinutes_);
    // After a failure the window stays open with the user's choices, so they
    // can be saved again.
    if (dialogs::save(this, changes)) {
        close();
    }
}
