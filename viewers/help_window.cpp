#include "viewers/help_window.h"

#include "engine/settings.h"

#include <QFile>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QVBoxLayout>

namespace {

/// The anchor a heading answers to, as Markdown renderers make it:
/// "Alarms and popups" becomes "alarms-and-popups".
QString anchorOf(const QString &heading) {
    static const QRegularExpression dropped(QStringLiteral("[^\\w\\- ]"));
    QString slug = heading.trimmed().toLower();
    slug.remove(dropped);
    slug.replace(QLatin1Char(' '), QLatin1Char('-'));
    return slug;
}

/// Qt's Markdown reader gives headings no anchors; links of the contents to
/// "#heading" need them.
void anchorHeadings(QTextDocument *document) {
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        if (block.blockFormat().headingLevel() == 0 || block.text().isEmpty()) {
            continue;
        }
        QTextCursor cursor(block);
        cursor.select(QTextCursor::BlockUnderCursor);
        QTextCharFormat anchor;
        anchor.setAnchor(true);
        anchor.setAnchorNames({anchorOf(block.text())});
        cursor.mergeCharFormat(anchor);
    }
}

} // namespace

HelpWindow::HelpWindow(QWidget *parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("HelpWindow"));
    setWindowTitle(QStringLiteral("Perstando Help"));
    browser_ = new QTextBrowser(this);
    browser_->setObjectName(QStringLiteral("Browser"));
    browser_->setOpenExternalLinks(true);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(browser_);
    resize(760, 640);
    showContents();
}

QString HelpWindow::helpFile() {
    QString folder = settings::dataFolderText();
    if (!folder.endsWith(QLatin1Char('/'))) {
        folder += QLatin1Char('/');
    }
    return folder + QStringLiteral("perstando.hlp");
}

void HelpWindow::showContents() {
    const QString path = helpFile();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        browser_->setPlainText(QStringLiteral("The help file %1 could not be opened: %2.")
                                   .arg(path, file.errorString()));
        return;
    }
    browser_->setMarkdown(QString::fromUtf8(file.readAll()));
    anchorHeadings(browser_->document());
    browser_->moveCursor(QTextCursor::Start);
    browser_->verticalScrollBar()->setValue(0);
}

QString HelpWindow::shownText() const {
    return browser_->toPlainText();
}
