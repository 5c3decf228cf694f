#include "tests/gui/gui_test_support.h"
#include "ui/window_registry.h"
#include "viewers/log_viewer.h"
#include "viewers/proportional_layout.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QTest>
#include <QWidget>
#include <memory>

using testing_support::WindowTest;

namespace {

/// A shown window with two controls, its layout recorded at 400 x 300.
struct Scaled {
    Scaled() {
        surface.resize(400, 300);
        a = new QWidget(&surface);
        a->setGeometry(10, 20, 100, 50);
        setPoints(a, 10);
        b = new QWidget(&surface);
        b->setGeometry(0, 150, 400, 150);
        setPoints(b, 12.5);
        layout = new viewers::ProportionalLayout(&surface);
        layout->record();
        surface.show();
    }
    static void setPoints(QWidget *w, double points) {
        QFont f = w->font();
        f.setPointSizeF(points);
        w->setFont(f);
    }
    /// Resizes the window and waits until the resize has been applied.
    void resizeTo(int width, int height) {
        surface.resize(width, height);
        ASSERT_TRUE(QTest::qWaitFor([&] { return surface.size() == QSize(width, height); }));
    }
    QWidget surface;
    QWidget *a = nullptr;
    QWidget *b = nullptr;
    viewers::ProportionalLayout *layout = nullptr;
};

QString tagOf(const QWidget *w) {
    return w->property("Tag").toString();
}

TEST(ProportionalLayout, RecordsFiveNumbersEachFollowedByOneBlank) {
    Scaled s;
    EXPECT_EQ(tagOf(s.a), QStringLiteral("10 20 100 50 10 "));
    EXPECT_EQ(tagOf(s.b), QStringLiteral("0 150 400 150 12.5 "));
    EXPECT_EQ(s.layout->recordedSize(), QSize(400, 300));
}

TEST(ProportionalLayout, ScalesGeometryByEachRatioAndTheFontByTheSmaller) {
    Scaled s;
    s.resizeTo(800, 300);
    EXPECT_EQ(s.a->geometry(), QRect(20, 20, 200, 50));
    EXPECT_EQ(s.b->geometry(), QRect(0, 150, 800, 150));
    EXPECT_DOUBLE_EQ(s.a->font().pointSizeF(), 10);
    EXPECT_DOUBLE_EQ(s.b->font().pointSizeF(), 12.5);

    s.resizeTo(200, 150);
    EXPECT_EQ(s.a->geometry(), QRect(5, 10, 50, 25));
    EXPECT_EQ(s.b->geometry(), QRect(0, 75, 200, 75));
    EXPECT_DOUBLE_EQ(s.a->font().pointSizeF(), 5);
    EXPECT_DOUBLE_EQ(s.b->font().pointSizeF(), 6.25);

    s.resizeTo(400, 300);
    EXPECT_EQ(s.a->geometry(), QRect(10, 20, 100, 50));
    EXPECT_DOUBLE_EQ(s.a->font().pointSizeF(), 10);
}

TEST(ProportionalLayout, AThousandResizesEndWhereOneDoes) {
    Scaled once;
    once.resizeTo(517, 389);
    Scaled many;
    for (int i = 0; i < 1000; ++i) {
        many.resizeTo(300 + (i * 37) % 500, 200 + (i * 53) % 400);
    }
    many.resizeTo(517, 389);
    EXPECT_EQ(many.a->geometry(), once.a->geometry());
    EXPECT_EQ(many.b->geometry(), once.b->geometry());
    EXPECT_DOUBLE_EQ(many.a->font().pointSizeF(), once.a->font().pointSizeF());
    EXPECT_DOUBLE_EQ(many.b->font().pointSizeF(), once.b->font().pointSizeF());
}

TEST(ProportionalLayout, ControlsWithoutAUsableRecordAndZeroSizesAreLeftAlone) {
    Scaled s;
    auto *late = new QWidget(&s.surface); // created after the record
    late->setGeometry(1, 2, 30, 40);
    s.a->setProperty("Tag", QStringLiteral("ten 20 100 50 10 "));
    s.b->setProperty("Tag", QStringLiteral("0 150 400 150 ")); // no font size
    s.resizeTo(800, 600);
    EXPECT_EQ(late->geometry(), QRect(1, 2, 30, 40));
    EXPECT_EQ(s.a->geometry(), QRect(10, 20, 100, 50));
    EXPECT_EQ(s.b->geometry(), QRect(0, 300, 800, 300));
    EXPECT_DOUBLE_EQ(s.b->font().pointSizeF(), 12.5);

    // Recorded at zero height: no ratio, no relayout.
    QWidget flat;
    flat.resize(300, 0);
    auto *child = new QWidget(&flat);
    child->setGeometry(5, 0, 50, 0);
    viewers::ProportionalLayout layout(&flat);
    layout.record();
    flat.resize(600, 100);
    layout.apply();
    EXPECT_EQ(child->geometry(), QRect(5, 0, 50, 0));
}

class LogViewerLayoutTest : public WindowTest {};

TEST_F(LogViewerLayoutTest, TheTextBoxFillsTheWindowAndDoublingTheWidthKeepsItsFont) {
    auto *form = ui::WindowRegistry::instance().show<LogViewer>();
    auto *text1 = form->findChild<QPlainTextEdit *>(QStringLiteral("Text1"));
    ASSERT_NE(text1, nullptr);
    QWidget *area = text1->parentWidget();
    const double points = text1->font().pointSizeF();
    EXPECT_EQ(text1->geometry(), area->rect());
    EXPECT_DOUBLE_EQ(points, QApplication::font().pointSizeF()); // showing changed nothing

    const QRect before = text1->geometry();
    form->resize(form->width() * 2, form->height());
    ASSERT_TRUE(waitFor([&] { return text1->width() == before.width() * 2; }));
    EXPECT_EQ(text1->height(), before.height());
    EXPECT_DOUBLE_EQ(text1->font().pointSizeF(), points);
}

} // namespace
