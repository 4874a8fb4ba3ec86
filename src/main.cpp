#include "app/command_line.h"
#include "app/headless_run.h"
#include "app/main_window.h"
#include "app/signal_relay.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char *argv[]) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const CommandLine line = parseCommandLine(arguments);
    if (line.exitCode) {
        std::fputs(line.message.toLocal8Bit().constData(), *line.exitCode == 0 ? stdout : stderr);
        return *line.exitCode;
    }
    const bool windowed = line.mode == CommandLine::Mode::Window;
    if (windowed && !displayAvailable()) {
        std::fputs("sendrel: no display to show the window on (DISPLAY and WAYLAND_DISPLAY are "
                   "unset); use --headless or --send to run without one\n",
                   stderr);
        return 1;
    }
    if (!windowed)
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("sendrel"));
    QApplication::setApplicationDisplayName(QStringLiteral("KVX Sendrel"));

    if (line.mode == CommandLine::Mode::Send)
        return HeadlessRun(line).exec(); // short: a signal may end it the default way

    // The end of a session saves like the operator's close.
    SignalRelay relay;
    if (!windowed) {
        HeadlessRun run(line);
        QObject::connect(&relay, &SignalRelay::received, &run, &HeadlessRun::stop);
        return run.exec();
    }
    WindowOptions options;
    options.location = settingsLocation(line);
    MainWindow window(std::move(options));
    // Closes every window as the operator would, an open message box included, then ends.
    QObject::connect(&relay, &SignalRelay::received, &app, &QApplication::quit);
    window.show();
    return app.exec();
}
