#include "ui/file_picker.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

namespace ui {
namespace {

class RealFilePicker final : public FilePicker {
public:
    PickResult openFile(QWidget *parent, const PickRequest &request) override {
        QFileDialog dialog(parent, request.title, request.startFolder);
        if (request.newFileAllowed) {
            // Qt's own dialog takes a typed name that is no file yet; native
            // dialogs in open mode may refuse it.
            dialog.setFileMode(QFileDialog::AnyFile);
            dialog.setOption(QFileDialog::DontUseNativeDialog);
        } else {
            dialog.setFileMode(QFileDialog::ExistingFile);
        }
        dialog.setNameFilters(request.filters);
        if (!request.fileName.isEmpty()) {
            dialog.selectFile(request.fileName);
        }
        if (request.executablesInFirstFilter && !request.filters.isEmpty()) {
            // Executables have no extension here; the Qt dialog shows them when
            // the first filter also accepts files without a dot.
            QStringList filters = request.filters;
            filters.first().replace(QStringLiteral(")"), QStringLiteral(" *)"));
            dialog.setNameFilters(filters);
        }
        if (dialog.exec() != QDialog::Accepted) {
            return {PickResult::Status::Cancelled, {}};
        }
        const auto files = dialog.selectedFiles();
        if (files.isEmpty() || !QFileInfo(files.first()).dir().exists()) {
            return {PickResult::Status::Failed, {}};
        }
        return {PickResult::Status::Chosen, files.first()};
    }

    PickResult chooseFolder(QWidget *parent, const PickRequest &request) override {
        const QString folder =
            QFileDialog::getExistingDirectory(parent, request.title, request.startFolder);
        if (folder.isEmpty()) {
            return {PickResult::Status::Cancelled, {}};
        }
        if (!QFileInfo(folder).isDir()) {
            return {PickResult::Status::Failed, {}};
        }
        return {PickResult::Status::Chosen, folder};
    }
};

FilePicker *&installed() {
    static FilePicker *picker = nullptr;
    return picker;
}

} // namespace

void setFilePicker(FilePicker *picker) {
    installed() = picker;
}

FilePicker &filePicker() {
    static RealFilePicker real;
    return installed() ? *installed() : real;
}

QStringList filtersFromPairs(const QString &pairs) {
    const auto parts = pairs.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        filters << parts[i] + QStringLiteral(" (") + parts[i + 1] + QLatin1Char(')');
    }
    return filters;
}

} // namespace ui
