// The start-up anchor: an empty main window with a menu bar and nothing else.
#include <QApplication>
#include <QMainWindow>
#include <QMenuBar>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Anchor Window"));
    window.menuBar()->addMenu(QStringLiteral("&File"));
    window.show();
    return QApplication::exec();
}
