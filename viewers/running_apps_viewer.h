#pragma once

#include <QStringList>
#include <QWidget>
#include <functional>
#include <memory>

class QAction;
class QListWidget;
class QPrinter;

namespace engine {
class SwitchedTimer;
}

/// Form9: the executable names of all running processes, relisted every ten
/// seconds, and printable.
class RunningAppsViewer : public QWidget {
    Q_OBJECT

public:
    explicit RunningAppsViewer(QWidget *parent = nullptr);

    /// Gives the printer "Print List" prints on, or nullptr when there is none.
    using PrinterFactory = std::function<std::unique_ptr<QPrinter>()>;
    /// Replaces the default printer (tests print to a PDF file); an empty
    /// factory restores the default printer.
    static void setPrinterFactory(PrinterFactory factory);

    /// Empties the list and fills it from the process list.
    void relist();
    /// Prints the list; a failure is told in a message box.
    void printList();

    /// Prints `lines` one a line from 1 inch left and 1.5 inches top, a line
    /// that would end below 1.5 inches from the bottom going to the next page.
    /// Returns the reason when the printer could not print them, else empty.
    static QString printLines(QPrinter &printer, const QStringList &lines);

private:
    QListWidget *processList_ = nullptr;
    engine::SwitchedTimer *relistTimer_ = nullptr;
    QAction *printItem_ = nullptr;
    QAction *exitItem_ = nullptr;
};
