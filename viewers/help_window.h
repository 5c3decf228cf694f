#pragma once
// The help window: the user manual perstando.hlp (Markdown) from the program folder.

#include <QWidget>

class QTextBrowser;

class HelpWindow : public QWidget {
    Q_OBJECT

public:
    explicit HelpWindow(QWidget *parent = nullptr);

    /// Reads the help file again and shows it from its contents at the top. A
    /// file that cannot be read is reported in the window, with its path.
    void showContents();

    /// The help file: the program folder followed by "/perstando.hlp".
    static QString helpFile();

    /// The text shown, as plain text.
    QString shownText() const;

private:
    QTextBrowser *browser_ = nullptr;
};
