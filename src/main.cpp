#include "cli/command_line.h"
#include "cli/headless_run.h"
#include "cli/standard_descriptors.h"
#include "cli/tls_arguments.h"
#include "runtime/clock.h"
#include "runtime/service_notifier.h"
#include "runtime/signal_relay.h"
#include "window/main_window.h"

#include <QApplication>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>

namespace {

// Without a screen: no widget is built and no platform plugin is loaded.
int runWithoutScreen(int argc, char *argv[], const CommandLine &line) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("sendrel"));
    if (line.mode == CommandLine::Mode::Send && !line.repeat) {
        releaseSignal(SIGUSR1);
        return HeadlessRun(line).exec(); // a signal ends it the default way, at once
    }
    // The end of a session stops the listener or the repeat as the operator's Stop does.
    SignalRelay relay;
    HeadlessRun run(line);
#ifdef SIGUSR1
    // SIGUSR1 asks for the counters; the run goes on.
    if (line.stats)
        relay.relayToo(SIGUSR1);
    releaseSignal(SIGUSR1); // one held since start-up is counted now, or ends the run
    QObject::connect(&relay, &SignalRelay::received, &run, [&run](int number) {
        if (number == SIGUSR1)
            run.printStats();
        else
            run.stop();
    });
#else
    QObject::connect(&relay, &SignalRelay::received, &run, &HeadlessRun::stop);
#endif
    return run.exec();
}

int runWindow(int argc, char *argv[], const CommandLine &line) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("sendrel"));
    QApplication::setApplicationDisplayName(QStringLiteral("KVX Sendrel"));
    // The end of a session saves like the operator's close, even while a box is open.
    SignalRelay relay;
    WindowOptions options;
    options.program.location = settingsLocation(line);
    options.program.packetsFile = line.packetsFile;
    options.program.faultsFile = line.faultsFile;
    options.sessionEnd = &relay;
    MainWindow window(std::move(options));
    if (window.sessionEnded())
        return window.closeAfterEnd();
    window.show();
    return app.exec();
}

} // namespace

int main(int argc, char *argv[]) {
    readLocalZoneOnce();
    // --stats may ask for SIGUSR1, and reading the rules files can take a while before its
    // handler is in place.
    holdSignal(SIGUSR1);
    openMissingStandardDescriptors();
    sendQtMessagesThroughErrorLine();
    ignoreBrokenPipe();
    QByteArrayList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QByteArray(argv[i]));
    const CommandLine line = parseCommandLine(arguments);
    if (line.mode == CommandLine::Mode::Window)
        releaseSignal(SIGUSR1);
    if (line.exitCode) {
        std::fputs(line.message.toLocal8Bit().constData(), *line.exitCode == 0 ? stdout : stderr);
        return *line.exitCode;
    }
    if (!line.makeCertFolder.isEmpty()) {
        const QCoreApplication app(argc, argv); // Qt's TLS backend is loaded through it
        return makeCertificateRun(line.makeCertFolder);
    }
    if (line.mode != CommandLine::Mode::Window)
        return runWithoutScreen(argc, argv, line);
    if (!displayAvailable()) {
        std::fputs("sendrel: no display to show the window on (DISPLAY and WAYLAND_DISPLAY are "
                   "unset); use --headless or --send to run without one\n",
                   stderr);
        return 1;
    }
    return runWindow(argc, argv, line);
}
