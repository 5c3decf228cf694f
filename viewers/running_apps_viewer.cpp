#include "viewers/running_apps_viewer.h"

#include "core/process_probe.h"
#include "engine/switched_timer.h"
#include "ui/message_box.h"
#include "viewers/client_area.h"

#include <QCoreApplication>
#include <QListWidget>
#include <QMenuBar>
#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>
#include <cmath>

namespace {

constexpr int TwipsPerInch = 1440;
constexpr int LeftMarginTwips = 1440;
constexpr int TopMarginTwips = 2160;
constexpr int BottomMarginTwips = 2160;

std::unique_ptr<QPrinter> defaultPrinter() {
    const QPrinterInfo info = QPrinterInfo::defaultPrinter();
    if (info.isNull()) {
        return nullptr;
    }
    return std::make_unique<QPrinter>(info, QPrinter::HighResolution);
}

RunningAppsViewer::PrinterFactory &printerFactory() {
    static RunningAppsViewer::PrinterFactory factory;
    return factory;
}

/// The window shows the hourglass while it lives, and the default pointer after.
class HourglassPointer {
public:
    explicit HourglassPointer(QWidget *window) : window_(window) {
        window_->setCursor(Qt::WaitCursor);
        QCoreApplication::processEvents();
    }
    ~HourglassPointer() { window_->unsetCursor(); }
    HourglassPointer(const HourglassPointer &) = delete;
    HourglassPointer &operator=(const HourglassPointer &) = delete;

private:
    QWidget *window_;
};

} // namespace

RunningAppsViewer::RunningAppsViewer(QWidget *parent) : QWidget(parent) {
    setObjectName(QStringLiteral("Form9"));
    setWindowTitle(QStringLiteral("Perstando now showing programs running"));

    const auto area = viewers::makeClientArea(this);
    printItem_ = area.menu->addAction(QStringLiteral("Print List"));
    printItem_->setObjectName(QStringLiteral("mnuprint"));
    exitItem_ = area.menu->addAction(QStringLiteral("E&xit"));
    exitItem_->setObjectName(QStringLiteral("mnuexit2"));
    connect(printItem_, &QAction::triggered, this, &RunningAppsViewer::printList);
    connect(exitItem_, &QAction::triggered, this, &QWidget::close);

    processList_ = new QListWidget();
    processList_->setObjectName(QStringLiteral("List1"));
    processList_->setSortingEnabled(false);
    viewers::fillAndRecord(area, processList_, QSize(420, 480));

    relistTimer_ = new engine::SwitchedTimer(QStringLiteral("Timer1"), 10000, true, this);
    connect(relistTimer_, &QTimer::timeout, this, &RunningAppsViewer::relist);
    relist();
}

void RunningAppsViewer::setPrinterFactory(PrinterFactory factory) {
    printerFactory() = std::move(factory);
}

void RunningAppsViewer::relist() {
    processList_->clear();
    std::vector<std::string> names;
    try {
        names = processes::runningExecutableNames();
    } catch (const std::exception &) {
        return; // the list stays empty until the next tick
    }
    QStringList lines;
    lines.reserve(static_cast<qsizetype>(names.size()));
    for (const auto &name : names) {
        lines << QString::fromStdString(name);
    }
    processList_->addItems(lines);
}

void RunningAppsViewer::printList() {
    QString failure;
    {
        HourglassPointer hourglass(this);
        QStringList lines;
        for (int i = 0, count = processList_->count(); i < count; ++i) {
            lines << processList_->item(i)->text();
        }
        const auto printer = printerFactory() ? printerFactory()() : defaultPrinter();
        failure =
            printer ? printLines(*printer, lines) : QStringLiteral("No printer is installed.");
    }
    if (!failure.isEmpty()) {
        ui::message(this, QStringLiteral("The list could not be printed.\n%1").arg(failure));
    }
}

QString RunningAppsViewer::printLines(QPrinter &printer, const QStringList &lines) {
    if (printer.outputFormat() == QPrinter::PdfFormat && printer.outputFileName().isEmpty()) {
        return QStringLiteral("No printer is installed.");
    }
    // Margins are measured from the paper's edges.
    printer.setFullPage(true);
    QPainter painter;
    if (!painter.begin(&printer)) {
        return printer.outputFileName().isEmpty()
                   ? QStringLiteral("The printer %1 could not be started.")
                         .arg(printer.printerName())
                   : QStringLiteral("The file %1 could not be written.")
                         .arg(printer.outputFileName());
    }
    const double unitsPerTwip = double(printer.resolution()) / TwipsPerInch;
    auto units = [unitsPerTwip](int twips) { return int(std::lround(twips * unitsPerTwip)); };
    const int left = units(LeftMarginTwips);
    const int top = units(TopMarginTwips);
    const int bottomLimit = printer.height() - units(BottomMarginTwips);
    const QFontMetrics metrics = painter.fontMetrics();
    const int lineHeight = metrics.height();

    bool refused = false;
    int y = top;
    for (const QString &line : lines) {
        if (y + lineHeight > bottomLimit) {
            if (!printer.newPage()) {
                refused = true;
                break;
            }
            y = top;
        }
        painter.drawText(left, y + metrics.ascent(), line);
        y += lineHeight;
    }
    if (!painter.end() || refused || printer.printerState() == QPrinter::Error) {
        return QStringLiteral("The printer refused the print job.");
    }
    return {};
}
