// Repeat send at 1 ms for 10 s from the real window, to a connected TCP peer and as UDP client
// sends: how many sends left on their schedule, and whether every one arrived.
#include "bench_window.h"
#include "benchmarks.h"
#include "figures.h"
#include "peer_socket.h"

#include "model/form.h"
#include "sender/repeat_send.h"

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr int IntervalMs = 1;
constexpr int Sends = 10000;
constexpr double OnTimeMs = 5;
constexpr double OnTimeTarget = 0.95;
const QByteArray Beat = "beat";

// Counts the bytes a peer receives on its own thread until told to stop.
class Receiver {
public:
    explicit Receiver(PeerSocket socket) : m_socket(std::move(socket)) {
        m_socket.setReceiveTimeout(100ms);
        m_thread = std::thread([this] {
            char buffer[65536];
            while (!m_stop) {
                const long got = m_socket.receive(buffer, sizeof buffer);
                if (got > 0)
                    m_bytes += got;
            }
        });
    }
    ~Receiver() {
        m_stop = true;
        m_thread.join();
    }
    std::int64_t bytes() const { return m_bytes; }

private:
    PeerSocket m_socket;
    std::atomic<bool> m_stop = false;
    std::atomic<std::int64_t> m_bytes = 0;
    std::thread m_thread;
};

PeerSocket boundUdp(std::uint16_t &port) {
    PeerSocket socket(::socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(socket.fd(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::getsockname(socket.fd(), reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return {};
    port = ntohs(address.sin_port);
    return socket;
}

// Sends `Sends` times from the window and answers when each send's line appeared, in ns.
std::vector<std::int64_t> repeatFromWindow(BenchWindow &window) {
    std::vector<std::int64_t> sentAt;
    sentAt.reserve(Sends);
    Form &form = window.form();
    QObject::connect(form.lblStatus[2], &Control::changed, form.lblStatus[2],
                     [&sentAt] { sentAt.push_back(nanosecondsNow()); });
    form.txtSendData.setText(QString::fromLatin1(Beat));
    RepeatSend &repeat = window.program().repeatSend();
    const double cpuBefore =
        ProcessFigures::threadUserSeconds() + ProcessFigures::threadSystemSeconds();
    repeat.start(IntervalMs, Sends);
    BenchWindow::runEventsUntil([&repeat] { return !repeat.running(); },
                                std::chrono::milliseconds(Sends * IntervalMs * 4 + 5000));
    repeat.stop();
    const double cpu =
        ProcessFigures::threadUserSeconds() + ProcessFigures::threadSystemSeconds() - cpuBefore;
    Figures(QStringLiteral("repeat"))
        .info(QStringLiteral("window thread CPU per send"),
              Figures::number(cpu * 1e6 / double(std::max<std::size_t>(sentAt.size(), 1)), 1)
                  + QStringLiteral(" us"));
    QObject::disconnect(form.lblStatus[2], &Control::changed, form.lblStatus[2], nullptr);
    return sentAt;
}

void report(const Figures &figures, const QString &path, const std::vector<std::int64_t> &sentAt,
            std::int64_t arrivedBytes, std::int64_t expectedBytes) {
    int onTime = 0;
    std::vector<double> lateness;
    for (std::size_t k = 0; k < sentAt.size(); ++k) {
        const double late = double(sentAt[k] - sentAt.front()) / 1e6 - double(k) * IntervalMs;
        lateness.push_back(late);
        onTime += late <= OnTimeMs ? 1 : 0;
    }
    std::sort(lateness.begin(), lateness.end());
    const double share = double(onTime) / Sends;
    figures.info(path + QStringLiteral(" sends"), QString::number(sentAt.size()));
    figures.info(path + QStringLiteral(" lateness p50/p99/max"),
                 Figures::number(Figures::percentile(lateness, 0.5), 2) + QStringLiteral(" / ")
                     + Figures::number(Figures::percentile(lateness, 0.99), 2)
                     + QStringLiteral(" / ") + Figures::number(lateness.back(), 2)
                     + QStringLiteral(" ms"));
    figures.target(path + QStringLiteral(" on time within 5 ms"),
                   Figures::number(share * 100, 1) + QStringLiteral(" %"), share >= OnTimeTarget,
                   QStringLiteral(">= 95 %"));
    figures.target(path + QStringLiteral(" bytes arrived"),
                   QStringLiteral("%1 of %2").arg(arrivedBytes).arg(expectedBytes),
                   arrivedBytes == expectedBytes, QStringLiteral("all"));
}

} // namespace

int runRepeat(const QStringList & /*arguments*/) {
    const Figures figures(QStringLiteral("repeat"));
    figures.info(
        QStringLiteral("schedule"),
        QStringLiteral("%1 sends, %2 ms apart, from the window").arg(Sends).arg(IntervalMs));
    {
        BenchWindow window;
        const quint16 port = window.start(true, figures);
        if (port == 0)
            return 2;
        Receiver peer(PeerSocket::connectTcp(port, true));
        if (!BenchWindow::runEventsUntil([&window] { return window.form().btnSendData.Enabled(); },
                                         5s))
            return 2;
        const std::vector<std::int64_t> sentAt = repeatFromWindow(window);
        const std::int64_t expected = std::int64_t(sentAt.size()) * Beat.size();
        BenchWindow::runEventsUntil([&] { return peer.bytes() >= expected; }, 5s);
        report(figures, QStringLiteral("peer"), sentAt, peer.bytes(),
               std::int64_t(Sends) * Beat.size());
    }
    {
        BenchWindow window;
        std::uint16_t port = 0;
        PeerSocket socket = boundUdp(port);
        if (!socket.valid())
            return 2;
        Receiver peer(std::move(socket));
        Form &form = window.form();
        form.optTCP[1]->setValue(1);
        form.txtSendIP.setText(QStringLiteral("127.0.0.1"));
        form.txtListenPort.setText(QString::number(port));
        const std::vector<std::int64_t> sentAt = repeatFromWindow(window);
        const std::int64_t expected = std::int64_t(sentAt.size()) * Beat.size();
        BenchWindow::runEventsUntil([&] { return peer.bytes() >= expected; }, 5s);
        report(figures, QStringLiteral("udp client"), sentAt, peer.bytes(),
               std::int64_t(Sends) * Beat.size());
    }
    return 0;
}
