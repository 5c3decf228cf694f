#include "viewers/proportional_layout.h"

#include <QEvent>
#include <QLocale>
#include <QWidget>
#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

namespace viewers {

const char *const ProportionalLayout::TagProperty = "Tag";

namespace {

QString numberText(double value) {
    return QLocale::c().toString(value, 'g', QLocale::FloatingPointShortest);
}

/// Five numbers, each ended by a blank; a number without its blank reads as 0
/// and leaves the position where it was. nullopt when a number is not one.
std::optional<std::array<double, 5>> parseTag(const QString &tag) {
    std::array<double, 5> numbers{};
    qsizetype position = 0;
    for (double &number : numbers) {
        const qsizetype blank = tag.indexOf(QLatin1Char(' '), position);
        if (blank < 0) {
            number = 0;
            continue;
        }
        bool ok = false;
        number = QLocale::c().toDouble(QStringView(tag).mid(position, blank - position), &ok);
        if (!ok) {
            return std::nullopt;
        }
        position = blank + 1;
    }
    return numbers;
}

} // namespace

ProportionalLayout::ProportionalLayout(QWidget *surface) : QObject(surface), surface_(surface) {
    surface_->installEventFilter(this);
}

void ProportionalLayout::record() {
    recorded_ = surface_->size();
    for (QWidget *control : surface_->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        const QRect g = control->geometry();
        QString tag = numberText(g.x()) + QLatin1Char(' ') + numberText(g.y()) + QLatin1Char(' ') +
                      numberText(g.width()) + QLatin1Char(' ') + numberText(g.height()) +
                      QLatin1Char(' ');
        // A font given in pixels has no point size to record; the tag then ends
        // after the geometry and the font is left alone on resize.
        const double points = control->font().pointSizeF();
        if (points > 0) {
            tag += numberText(points) + QLatin1Char(' ');
        }
        control->setProperty(TagProperty, tag);
    }
}

void ProportionalLayout::apply() {
    if (recorded_.width() <= 0 || recorded_.height() <= 0) {
        return;
    }
    const double horizontal = double(surface_->width()) / recorded_.width();
    const double vertical = double(surface_->height()) / recorded_.height();
    const double fontRatio = std::min(horizontal, vertical);

    // One repaint for the whole pass instead of one per control.
    const bool updates = surface_->updatesEnabled();
    surface_->setUpdatesEnabled(false);
    for (QWidget *control : surface_->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        const QVariant tag = control->property(TagProperty);
        if (!tag.isValid()) {
            continue; // added after the record
        }
        const auto numbers = parseTag(tag.toString());
        if (!numbers) {
            continue;
        }
        const auto [left, top, width, height, points] = *numbers;
        control->setGeometry(int(std::lround(left * horizontal)), int(std::lround(top * vertical)),
                             int(std::lround(width * horizontal)),
                             int(std::lround(height * vertical)));
        const double scaled = points * fontRatio;
        if (scaled > 0) {
            QFont font = control->font();
            font.setPointSizeF(scaled);
            control->setFont(font);
        }
    }
    surface_->setUpdatesEnabled(updates);
}

bool ProportionalLayout::eventFilter(QObject *watched, QEvent *event) {
    if (watched == surface_ && event->type() == QEvent::Resize) {
        apply();
    }
    return QObject::eventFilter(watched, event);
}

} // namespace viewers
