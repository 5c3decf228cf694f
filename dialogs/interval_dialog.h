#pragma once

#include <QWidget>
#include <array>

class QLineEdit;
class QPushButton;
class QTabWidget;

/// Form8: the check interval of each slot, in milliseconds.
class IntervalDialog : public QWidget {
    Q_OBJECT

public:
    /// Loads the eight intervals from the settings file.
    explicit IntervalDialog(QWidget *parent = nullptr);

    /// The largest interval accepted: one check a minute.
    static constexpr double LongestInterval = 60000;

private:
    static constexpr int Slots = 8;
    void saveAll();
    void hint();

    QTabWidget *tabs_ = nullptr;
    std::array<QLineEdit *, Slots> intervalEdits_{};
    QPushButton *hintButton_ = nullptr;
    QPushButton *saveAllButton_ = nullptr;
};
