// Benchmarks of the real window, offscreen, against loopback peers on their own threads.
#include "benchmarks.h"

#include "runtime/clock.h"

#include <QApplication>

#include <cstdio>
#include <map>

namespace {

// Random bytes shown as text make the font engine warn once per script it cannot shape;
// those lines would drown the figures.
void quietFontWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    if (type == QtWarningMsg && message.contains(QLatin1String("OpenType support missing")))
        return;
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

} // namespace

int main(int argc, char *argv[]) {
    readLocalZoneOnce(); // as the program's own start does
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    qInstallMessageHandler(quietFontWarnings);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("sendrel-bench"));

    const std::map<QString, int (*)(const QStringList &)> benchmarks = {
        {QStringLiteral("flood"), runFlood},
        {QStringLiteral("hexflood"), runHexFlood},
        {QStringLiteral("linefree"), runLineFreeFlood},
        {QStringLiteral("udp"), runUdpRate},
        {QStringLiteral("udp_headless"), runUdpHeadless},
        {QStringLiteral("roundtrip"), runRoundTrip},
        {QStringLiteral("soak"), runSoak},
        {QStringLiteral("backlog"), runBacklog},
        {QStringLiteral("accessibility"), runAccessibility},
        {QStringLiteral("respond"), runRespond},
        {QStringLiteral("headless"), runHeadless},
        {QStringLiteral("repeat"), runRepeat},
        {QStringLiteral("sendfile"), runSendFile},
        {QStringLiteral("sequence"), runSequenceBench},
        {QStringLiteral("relay"), runRelay},
        {QStringLiteral("faults"), runFaults},
        {QStringLiteral("tls_flood"), runTlsFlood},
        {QStringLiteral("tls_handshakes"), runTlsHandshakes},
        {QStringLiteral("dtls_rate"), runDtlsRate},
    };
    const QStringList arguments = QApplication::arguments().mid(1);
    const auto found = benchmarks.find(arguments.value(0));
    if (found == benchmarks.end()) {
        std::fprintf(
            stderr,
            "usage: sendrel_bench flood | hexflood | linefree [MiB [MiB/s]] | udp | udp_headless | "
            "roundtrip | "
            "soak "
            "[cycles] | "
            "backlog [seconds] | accessibility [MiB [--quiet]] | respond | headless [MiB] | "
            "repeat | sendfile [MiB] | sequence | relay [MiB] | faults [MiB] | tls_flood [MiB] | "
            "tls_handshakes [count] | dtls_rate [datagrams]\n");
        return 2;
    }
    return found->second(arguments.mid(1));
}
