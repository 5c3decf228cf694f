#pragma once
// File and folder pickers behind one small interface, so tests can answer them.

#include <QString>
#include <QStringList>

class QWidget;

namespace ui {

struct PickResult {
    enum class Status { Chosen, Cancelled, Failed };
    Status status = Status::Cancelled;
    QString path; ///< The chosen file or folder when Chosen.
};

struct PickRequest {
    QString title;
    QStringList filters; ///< QFileDialog name filters, e.g. "Log Files (*.log*)".
    QString startFolder;
    QString fileName;
    bool executablesInFirstFilter = false; ///< Also list executable files under the first filter.
    bool newFileAllowed = false; ///< A typed name of a file not there yet, in an existing folder.
};

class FilePicker {
public:
    virtual ~FilePicker() = default;
    virtual PickResult openFile(QWidget *parent, const PickRequest &request) = 0;
    virtual PickResult chooseFolder(QWidget *parent, const PickRequest &request) = 0;
};

/// The installed picker; `nullptr` restores the real QFileDialog one.
void setFilePicker(FilePicker *picker);
FilePicker &filePicker();

/// Turns a "Description|pattern|Description|pattern" filter into QFileDialog filters.
QStringList filtersFromPairs(const QString &pairs);

} // namespace ui
