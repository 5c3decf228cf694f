#pragma once
// Scales a window's controls with the window: each control's geometry and font
// size are recorded once and every resize recomputes them from that record.

#include <QObject>
#include <QSize>

class QWidget;

namespace viewers {

/// Watches `surface` (the window's client area). record() stores the surface
/// size and, in each direct child's "Tag" property, its geometry and font size
/// as five numbers each followed by one blank: "Left Top Width Height
/// FontSize ". Every resize of the surface then places each child at its
/// recorded geometry times the surface's size ratio, with its font scaled by
/// the smaller of the two ratios. A control whose record cannot be applied
/// keeps its previous geometry or font.
class ProportionalLayout : public QObject {
    Q_OBJECT

public:
    explicit ProportionalLayout(QWidget *surface);

    /// Records the surface size and every child's Tag.
    void record();
    /// Applies the record to the surface's current size; a recorded width or
    /// height of 0 leaves everything as it is.
    void apply();

    QSize recordedSize() const { return recorded_; }

    static const char *const TagProperty;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *surface_;
    QSize recorded_;
};

} // namespace viewers
