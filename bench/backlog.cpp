// Backlog: a peer that sends "PING" every 2 ms and never reads, answered with a 30,000-character
// auto-response. What waits to go out to it must stay bounded: the connection fails instead.
#include "bench_window.h"
#include "benchmarks.h"
#include "figures.h"
#include "peer_socket.h"

#include "model/form.h"

#include <algorithm>
#include <atomic>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr int DefaultSeconds = 12;
constexpr auto PingEvery = 2ms;
constexpr auto SampleEvery = 50ms;
constexpr int ResponseCharacters = 30000;
// The 16 MiB that may wait for one peer, and the received-data box's share.
constexpr double AllowedGrowthMiB = 32;

} // namespace

int runBacklog(const QStringList &arguments) {
    const int seconds =
        std::max(1, arguments.value(0).toInt() > 0 ? arguments.value(0).toInt() : DefaultSeconds);
    const Figures figures(QStringLiteral("Backlog of a peer that does not read"));
    BenchWindow window;
    if (!window.valid())
        return 2;
    Form &c = window.form();
    c.txtWatchString[0]->setText(QStringLiteral("PING"));
    c.txtResponseString[0]->setText(QString(ResponseCharacters, u'R'));
    c.chkEnableAutoRespond.setValue(1);
    const quint16 port = window.start(true, figures);
    if (port == 0)
        return 2;
    BenchWindow::runEventsFor(200ms);

    const double startMiB = ProcessFigures::residentMemoryMiB();
    std::atomic<double> peakMiB{startMiB};
    std::atomic<long> pings{0};
    std::atomic<double> sendEndedAfter{-1};
    std::atomic<bool> finished{false};
    std::thread peer([&] {
        const PeerSocket socket = PeerSocket::connectTcp(port, true);
        const auto from = BenchClock::now();
        const auto until = from + std::chrono::seconds(seconds);
        auto nextSample = from;
        bool sending = socket.valid();
        while (BenchClock::now() < until) {
            if (sending && socket.sendAll("PING", 4)) {
                ++pings;
            } else if (sending) {
                sending = false;
                sendEndedAfter = std::chrono::duration<double>(BenchClock::now() - from).count();
            }
            if (BenchClock::now() >= nextSample) {
                peakMiB = std::max(peakMiB.load(), ProcessFigures::residentMemoryMiB());
                nextSample += SampleEvery;
            }
            std::this_thread::sleep_for(PingEvery);
        }
        finished = true;
    });
    QStringList statusLines; // each shown only until the status monitor's next tick
    BenchWindow::runEventsUntil(
        [&] {
            const QString line = c.lblStatus[0]->Caption().simplified();
            if (statusLines.value(statusLines.size() - 1) != line)
                statusLines << line;
            return finished.load();
        },
        std::chrono::seconds(seconds) + 30s);
    peer.join();

    const double growth = peakMiB - startMiB;
    figures.info(QStringLiteral("peer"),
                 QStringLiteral("%1 pings in %2 s, %3")
                     .arg(pings.load())
                     .arg(seconds)
                     .arg(sendEndedAfter < 0 ? QStringLiteral("its sends never failed")
                                             : QStringLiteral("its sends failed after %1 s")
                                                   .arg(Figures::number(sendEndedAfter))));
    figures.info(QStringLiteral("status lines"), statusLines.join(QLatin1String(" | ")));
    figures.target(QStringLiteral("peak VmRSS growth"),
                   QStringLiteral("%1 MiB (from %2 MiB)")
                       .arg(Figures::number(growth))
                       .arg(Figures::number(startMiB)),
                   growth <= AllowedGrowthMiB, QStringLiteral("<= %1 MiB").arg(AllowedGrowthMiB));
    return 0;
}
