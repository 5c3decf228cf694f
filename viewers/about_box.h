#pragma once

#include "core/system_info.h"

#include <QString>
#include <QWidget>

class QLabel;
class QPushButton;

/// frmAbout: the program's title and version, and a button that starts the
/// system information tool.
class frmAbout : public QWidget {
    Q_OBJECT

public:
    explicit frmAbout(QWidget *parent = nullptr);

    /// Starts the system information tool, or says it is unavailable.
    void StartSysInfo();

    /// Reads value `SubKeyRef` of key `KeyName` under `KeyRoot` into `KeyVal`:
    /// a text as stored, a 32-bit number as decimal text, any other type leaves
    /// `KeyVal` as it was. False, with `KeyVal` emptied, when there is no such
    /// value. Throws core::RegistryValueEmpty for a value without data.
    bool GetKeyValue(core::RegistryRoot KeyRoot, const QString &KeyName, const QString &SubKeyRef,
                     QString &KeyVal);

    static QString unavailableMessage();

private:
    QLabel *picIcon_ = nullptr;
    QLabel *lblTitle_ = nullptr;
    QLabel *lblVersion_ = nullptr;
    QPushButton *cmdOK_ = nullptr;
    QPushButton *cmdSysInfo_ = nullptr;
};
