// A plain Qt window for the window-ping tests: Qt answers the ping itself,
// as every Qt program does, with its own choice of event masks.

#include <QGuiApplication>
#include <QWindow>

int main(int argc, char **argv) {
    QGuiApplication app(argc, argv);
    QWindow window;
    window.setTitle(QStringLiteral("Qt test window"));
    window.resize(240, 80);
    window.show();
    return QGuiApplication::exec();
}
