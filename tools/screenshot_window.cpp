// Renders the window to a PNG for the documentation: the full layout, or with --hex the compact
// layout listening on loopback, with what a local peer sent shown as hex dumps with time stamps.
// Built only on request (target sendrel_screenshot) and run by tools/screenshot.sh.
#include "model/form.h"
#include "window/main_window.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <cstdio>

namespace {

// Types "~" as the operator would, into whatever control has the focus.
bool showFullLayout(MainWindow &window) {
    // Without a window manager activation may never be confirmed; the key goes in either way.
    window.activateWindow();
    (void)QTest::qWaitForWindowActive(&window, 2000);
    QWidget *focus = QApplication::focusWidget();
    QWidget *target = (focus && focus->window() == &window) ? focus : &window;
    const int compactHeight = window.height();
    QTest::keyClicks(target, QStringLiteral("~"));
    QTest::qWait(300);
    return window.height() > compactHeight;
}

// Listens on a free loopback port and lets a local peer send a line and a binary frame.
bool receiveSample(MainWindow &window) {
    Form &c = window.form();
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost))
        return false;
    const quint16 port = probe.serverPort();
    probe.close();
    c.txtNetData.setShowHex(true);
    c.txtNetData.setShowTimeStamps(true);
    c.txtListenPort.setText(QString::number(port));
    c.btnConnect.Click();

    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, port);
    if (!peer.waitForConnected(3000))
        return false;
    const QByteArray frame("\x02\x01\x00\x1c"
                           "TEMP=21.5;HUM=48;DOOR=closed"
                           "\x03\x7f\xfe",
                           35);
    for (const QByteArray &chunk : {QByteArray("STATUS?\r\n"), frame}) {
        peer.write(chunk);
        QTest::qWait(400);
    }
    // The status line shows the last data at its next tick.
    QTest::qWait(600);
    return c.txtNetData.receivedBytes().size() == 9 + frame.size();
}

} // namespace

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("sendrel"));
    QApplication::setApplicationDisplayName(QStringLiteral("KVX Sendrel"));

    QStringList arguments = QApplication::arguments();
    const bool hex = arguments.removeAll(QStringLiteral("--hex")) > 0;
    if (arguments.size() != 3) {
        std::fprintf(stderr, "usage: sendrel_screenshot [--hex] PROGRAM-FOLDER OUTPUT.png\n");
        return 2;
    }
    // Stands in for the program's own folder, so the shot never reads or writes real settings.
    const QString folder = QDir(arguments.at(1)).absolutePath();
    WindowOptions options;
    options.program.location = {folder, folder + QStringLiteral("/config"),
                                folder + QStringLiteral("/data")};

    MainWindow window(std::move(options));
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) {
        std::fprintf(stderr, "sendrel_screenshot: the window never showed\n");
        return 1;
    }
    if (hex ? !receiveSample(window) : !showFullLayout(window)) {
        std::fprintf(stderr, hex ? "sendrel_screenshot: the sample data did not arrive\n"
                                 : "sendrel_screenshot: \"~\" did not open the full layout\n");
        return 1;
    }

    if (!window.grab().save(arguments.at(2), "PNG")) {
        std::fprintf(stderr, "sendrel_screenshot: cannot write %s\n", qPrintable(arguments.at(2)));
        return 1;
    }
    return 0;
}
