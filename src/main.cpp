#include "app/main_window.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("sendrel"));
    QApplication::setApplicationDisplayName(QStringLiteral("KVX Sendrel"));
    MainWindow window;
    window.show();
    return app.exec();
}
