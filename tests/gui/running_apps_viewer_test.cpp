#include "monitor/main_window.h"
#include "tests/gui/gui_test_support.h"
#include "ui/window_registry.h"
#include "viewers/running_apps_viewer.h"

#include <QAction>
#include <QListWidget>
#include <QPrinter>
#include <QPrinterInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <map>

using namespace testing_support;

namespace {

/// One printed line as poppler sees it, in points from the page's top left.
struct PrintedLine {
    QString text;
    double left = 0;
    double top = 0;
    double bottom = 0;
};

struct PrintedPage {
    double height = 0;
    std::vector<PrintedLine> lines;
};

QString run(const QString &program, const QStringList &arguments) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(30000) || process.exitCode() != 0) {
        return {};
    }
    return QString::fromUtf8(process.readAllStandardOutput());
}

/// The words of every page with their boxes (pdftotext -bbox), joined into
/// lines by their top edge.
std::vector<PrintedPage> printedPages(const std::filesystem::path &pdf) {
    const QString html =
        run(QStringLiteral("pdftotext"),
            {QStringLiteral("-bbox"), QString::fromStdString(pdf.string()), QStringLiteral("-")});
    static const QRegularExpression token(QStringLiteral(
        R"re(<page width="([\d.]+)" height="([\d.]+)">|<word xMin="([\d.]+)" yMin="([\d.]+)" )re"
        R"re(xMax="[\d.]+" yMax="([\d.]+)">([^<]*)</word>)re"));
    std::vector<PrintedPage> pages;
    for (auto it = token.globalMatch(html); it.hasNext();) {
        const auto m = it.next();
        if (!m.captured(2).isEmpty()) {
            pages.push_back({m.captured(2).toDouble(), {}});
            continue;
        }
        if (pages.empty()) {
            continue;
        }
        auto &lines = pages.back().lines;
        const double top = m.captured(4).toDouble();
        if (!lines.empty() && std::abs(lines.back().top - top) < 0.5) {
            lines.back().text += QLatin1Char(' ') + m.captured(6);
        } else {
            lines.push_back(
                {m.captured(6), m.captured(3).toDouble(), top, m.captured(5).toDouble()});
        }
    }
    return pages;
}

int pageCount(const std::filesystem::path &pdf) {
    static const QRegularExpression pages(QStringLiteral(R"re(^Pages:\s+(\d+)$)re"),
                                          QRegularExpression::MultilineOption);
    const auto m =
        pages.match(run(QStringLiteral("pdfinfo"), {QString::fromStdString(pdf.string())}));
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

class RunningAppsViewerTest : public WindowTest {
protected:
    void TearDown() override {
        RunningAppsViewer::setPrinterFactory({});
        WindowTest::TearDown();
    }
    RunningAppsViewer *open() { return ui::WindowRegistry::instance().show<RunningAppsViewer>(); }
    static QListWidget *list1(RunningAppsViewer *form) {
        return form->findChild<QListWidget *>(QStringLiteral("List1"));
    }
    static QStringList lines(RunningAppsViewer *form) {
        QStringList result;
        for (int i = 0; i < list1(form)->count(); ++i) {
            result << list1(form)->item(i)->text();
        }
        return result;
    }
    static void print(RunningAppsViewer *form) {
        form->findChild<QAction *>(QStringLiteral("mnuprint"))->trigger();
    }
    /// Prints to a PDF file and remembers the pointer the window showed meanwhile.
    void printToPdf(const std::filesystem::path &pdf) {
        RunningAppsViewer::setPrinterFactory([this, pdf] {
            pointerWhilePrinting_ =
                ui::WindowRegistry::instance().find<RunningAppsViewer>()->cursor().shape();
            auto printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
            printer->setOutputFormat(QPrinter::PdfFormat);
            printer->setOutputFileName(QString::fromStdString(pdf.string()));
            return printer;
        });
    }
    Qt::CursorShape pointerWhilePrinting_ = Qt::BlankCursor;
};

TEST_F(RunningAppsViewerTest, ListsEveryProcessWithDuplicatesAndRelistsEveryTenSeconds) {
    const std::string name = uniqueName("listed");
    const auto exe = copyExecutable("/bin/sleep", folder_.path(), name);
    Child first({exe.string(), "300"});
    Child second({exe.string(), "300"});
    ASSERT_TRUE(waitUntil([&] { return pidsOf(exe).size() == 2; }));

    RunningAppsViewer *form = open();
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Perstando now showing programs running"));
    EXPECT_EQ(lines(form).count(QString::fromStdString(name)), 2);
    EXPECT_GT(lines(form).size(), 2);
    auto *timer1 = form->findChild<engine::SwitchedTimer *>(QStringLiteral("Timer1"));
    ASSERT_NE(timer1, nullptr);
    EXPECT_EQ(timer1->interval(), 10000);
    EXPECT_TRUE(timer1->isActive());

    const std::string laterName = uniqueName("later");
    const auto later = copyExecutable("/bin/sleep", folder_.path(), laterName);
    Child third({later.string(), "300"});
    second.stop();
    ASSERT_TRUE(waitUntil([&] { return pidsOf(later).size() == 1 && pidsOf(exe).size() == 1; }));
    EXPECT_EQ(lines(form).count(QString::fromStdString(laterName)), 0);
    ASSERT_TRUE(
        waitFor([&] { return lines(form).count(QString::fromStdString(laterName)) == 1; }, 15000));
    EXPECT_EQ(lines(form).count(QString::fromStdString(name)), 1);
}

TEST_F(RunningAppsViewerTest, PrintsALongListOverSeveralPagesWithinTheMargins) {
    const auto pdf = folder_ / "list.pdf";
    printToPdf(pdf);
    RunningAppsViewer *form = open();
    form->findChild<engine::SwitchedTimer *>(QStringLiteral("Timer1"))->setEnabled(false);
    list1(form)->clear();
    QStringList expected;
    for (int i = 1; i <= 150; ++i) {
        expected << QStringLiteral("Line%1").arg(i, 3, 10, QLatin1Char('0'));
    }
    list1(form)->addItems(expected);
    print(form);
    EXPECT_TRUE(messages_.shown.isEmpty()) << messages_.texts().join(u'\n').toStdString();
    EXPECT_EQ(pointerWhilePrinting_, Qt::WaitCursor);
    EXPECT_EQ(form->cursor().shape(), Qt::ArrowCursor);

    const auto pages = printedPages(pdf);
    ASSERT_GE(pages.size(), 3u);
    EXPECT_EQ(pageCount(pdf), int(pages.size()));
    constexpr double inch = 72;
    QStringList printed;
    QStringList firstLines;
    for (std::size_t p = 0; p < pages.size(); ++p) {
        const auto &page = pages[p];
        ASSERT_GE(page.lines.size(), 2u) << p;
        firstLines << page.lines.front().text;
        const double step = page.lines[1].top - page.lines[0].top;
        const double bottomLimit = page.height - 1.5 * inch;
        // Each page starts 1.5 inches from the top, every line 1 inch from the left.
        EXPECT_NEAR(page.lines.front().top, 1.5 * inch, 2.0) << p;
        for (const auto &line : page.lines) {
            EXPECT_NEAR(line.left, inch, 1.0) << line.text.toStdString();
            printed << line.text;
        }
        // Nothing ends below the limit, and a page is only left when the next line would.
        EXPECT_LE(page.lines.back().bottom, bottomLimit + 0.5) << p;
        if (p + 1 < pages.size()) {
            EXPECT_GT(page.lines.back().bottom + step, bottomLimit - 0.5) << p;
        }
    }
    EXPECT_EQ(printed, expected);
    EXPECT_EQ(firstLines.front(), QStringLiteral("Line001"));
    const auto perPage = pages.front().lines.size();
    for (qsizetype p = 1; p < firstLines.size(); ++p) {
        EXPECT_EQ(firstLines[p], expected[qsizetype(perPage) * p]) << p;
    }
}

TEST_F(RunningAppsViewerTest, AFailedPrintSaysWhyAndLeavesTheNormalPointer) {
    RunningAppsViewer *form = open();
    const auto unwritable = folder_ / "missing" / "list.pdf";
    printToPdf(unwritable);
    print(form);
    ASSERT_EQ(messages_.shown.size(), 1);
    EXPECT_TRUE(
        messages_.shown[0].text.startsWith(QStringLiteral("The list could not be printed.")));
    EXPECT_TRUE(messages_.shown[0].text.contains(QString::fromStdString(unwritable.string())));
    EXPECT_EQ(pointerWhilePrinting_, Qt::WaitCursor);
    EXPECT_EQ(form->cursor().shape(), Qt::ArrowCursor);

    const QString noPrinter =
        QStringLiteral("The list could not be printed.\nNo printer is installed.");
    RunningAppsViewer::setPrinterFactory([] { return std::unique_ptr<QPrinter>(); });
    print(form);
    ASSERT_EQ(messages_.shown.size(), 2);
    EXPECT_EQ(messages_.shown[1].text, noPrinter);
    EXPECT_EQ(form->cursor().shape(), Qt::ArrowCursor);

    // The real default printer, only where there is none to print on.
    if (QPrinterInfo::availablePrinters().isEmpty()) {
        RunningAppsViewer::setPrinterFactory({});
        print(form);
        ASSERT_EQ(messages_.shown.size(), 3);
        EXPECT_EQ(messages_.shown[2].text, noPrinter);
    }
}

TEST_F(RunningAppsViewerTest, ExitClosesTheWindow) {
    QPointer<RunningAppsViewer> form = open();
    auto *exit = form->findChild<QAction *>(QStringLiteral("mnuexit2"));
    ASSERT_NE(exit, nullptr);
    EXPECT_EQ(exit->text(), QStringLiteral("E&xit"));
    EXPECT_EQ(form->findChild<QAction *>(QStringLiteral("mnuprint"))->text(),
              QStringLiteral("Print List"));
    exit->trigger();
    EXPECT_TRUE(waitFor([&] { return form.isNull(); }));
}

} // namespace
