// Renders the window in its full layout to a PNG for the documentation. Built only on request
// (target sendrel_screenshot) and run by tools/screenshot.sh.
#include "app/main_window.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTest>
#include <cstdio>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("sendrel"));
    QApplication::setApplicationDisplayName(QStringLiteral("KVX Sendrel"));

    const QStringList arguments = QApplication::arguments();
    if (arguments.size() != 3) {
        std::fprintf(stderr, "usage: sendrel_screenshot PROGRAM-FOLDER OUTPUT.png\n");
        return 2;
    }
    // Stands in for the program's own folder, so the shot never reads or writes real settings.
    const QString folder = QDir(arguments.at(1)).absolutePath();
    WindowOptions options;
    options.location = {folder, folder + QStringLiteral("/config"),
                        folder + QStringLiteral("/data")};

    MainWindow window(std::move(options));
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) {
        std::fprintf(stderr, "sendrel_screenshot: the window never showed\n");
        return 1;
    }
    // Without a window manager activation may never be confirmed; the key goes in either way.
    window.activateWindow();
    (void)QTest::qWaitForWindowActive(&window, 2000);

    // Typed as the operator would: into whatever control has the focus.
    QWidget *focus = QApplication::focusWidget();
    QWidget *target = (focus && focus->window() == &window) ? focus : &window;
    const int compactHeight = window.height();
    QTest::keyClicks(target, QStringLiteral("~"));
    QTest::qWait(300);
    if (window.height() <= compactHeight) {
        std::fprintf(stderr, "sendrel_screenshot: \"~\" did not open the full layout\n");
        return 1;
    }

    if (!window.grab().save(arguments.at(2), "PNG")) {
        std::fprintf(stderr, "sendrel_screenshot: cannot write %s\n", qPrintable(arguments.at(2)));
        return 1;
    }
    return 0;
}
