// DTLS: answered datagrams per second through `sendrel --headless --udp --tls` beside the same
// listener over plain UDP, interleaved rounds, from a client in this process that keeps a
// window of datagrams outstanding; and the handshakes that open each DTLS round.
#include "benchmarks.h"
#include "figures.h"
#include "scratch.h"

#include "net/certificate_files.h"

#include <QCoreApplication>
#include <QDtls>
#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QProcess>
#include <QSslConfiguration>
#include <QThread>
#include <QUdpSocket>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

constexpr int DefaultDatagrams = 20000;
constexpr int Rounds = 3;
constexpr int Window = 16;
constexpr int DatagramBytes = 1024;
constexpr int QuietMs = 300; // no answer for this long: what is outstanding is lost

quint16 freeUdpPort() {
    QUdpSocket probe;
    probe.bind(QHostAddress::LocalHost, 0);
    return probe.localPort();
}

// One client of the listener; over DTLS once its handshake is done.
class Client {
public:
    Client(quint16 port, bool secure) : m_port(port) {
        m_socket.bind(QHostAddress::LocalHost, 0);
        if (!secure)
            return;
        m_dtls = std::make_unique<QDtls>(QSslSocket::SslClientMode);
        QSslConfiguration configuration = QSslConfiguration::defaultDtlsConfiguration();
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
        m_dtls->setDtlsConfiguration(configuration);
        m_dtls->setPeer(QHostAddress::LocalHost, port);
    }
    // Milliseconds the handshake took; negative when it did not finish.
    double shakeHands() {
        QElapsedTimer clock;
        clock.start();
        m_dtls->doHandshake(&m_socket);
        while (!m_dtls->isConnectionEncrypted()) {
            if (clock.hasExpired(5000))
                return -1;
            if (!m_socket.waitForReadyRead(1000)) {
                m_dtls->handleTimeout(&m_socket);
                continue;
            }
            while (m_socket.hasPendingDatagrams())
                m_dtls->doHandshake(&m_socket, m_socket.receiveDatagram().data());
        }
        return double(clock.nsecsElapsed()) / 1e6;
    }
    void send(const QByteArray &data) {
        if (m_dtls)
            m_dtls->writeDatagramEncrypted(&m_socket, data);
        else
            m_socket.writeDatagram(data, QHostAddress::LocalHost, m_port);
    }
    // Answers read now, waiting up to QuietMs for the first.
    int answers() {
        if (!m_socket.hasPendingDatagrams() && !m_socket.waitForReadyRead(QuietMs))
            return -1;
        int count = 0;
        while (m_socket.hasPendingDatagrams()) {
            const QByteArray datagram = m_socket.receiveDatagram().data();
            if (!m_dtls || !m_dtls->decryptDatagram(&m_socket, datagram).isEmpty())
                ++count;
        }
        return count;
    }

private:
    quint16 m_port;
    QUdpSocket m_socket;
    std::unique_ptr<QDtls> m_dtls;
};

struct Round {
    double perSecond = 0;
    double handshakeMs = 0;
    int lost = 0;
    QString problem;
};

Round answered(const QString &sendrel, const QStringList &identity, int count, bool secure) {
    const quint16 port = freeUdpPort();
    QProcess listener;
    listener.setStandardOutputFile(QProcess::nullDevice());
    listener.setStandardErrorFile(QProcess::nullDevice());
    QStringList arguments{QStringLiteral("--headless"), QStringLiteral("--settings"),
                          QStringLiteral("none.ini"),   QStringLiteral("--udp"),
                          QStringLiteral("--quiet"),    QStringLiteral("--port"),
                          QString::number(port),        QStringLiteral("--respond-contains"),
                          QStringLiteral("x=y")};
    if (secure)
        arguments += identity;
    listener.start(sendrel, arguments);
    Round round;
    Client client(port, secure);
    if (!listener.waitForStarted()) {
        round.problem = QStringLiteral("the listener did not start");
        return round;
    }
    // Until the listener is bound, the first datagrams are refused; a handshake retries.
    QThread::msleep(500);
    if (secure && (round.handshakeMs = client.shakeHands()) < 0) {
        round.problem = QStringLiteral("the DTLS handshake did not finish");
        return round;
    }
    const QByteArray datagram(DatagramBytes, 'x');
    QElapsedTimer clock;
    clock.start();
    int sent = 0, outstanding = 0, received = 0;
    while (received + round.lost < count) {
        for (; outstanding < Window && sent < count; ++outstanding, ++sent)
            client.send(datagram);
        const int answers = client.answers();
        if (answers < 0) {
            round.lost += outstanding;
            outstanding = 0;
            continue;
        }
        received += answers;
        outstanding -= std::min(answers, outstanding);
    }
    round.perSecond = received / (double(clock.nsecsElapsed()) / 1e9);
    listener.terminate();
    listener.waitForFinished(5000);
    return round;
}

} // namespace

int runDtlsRate(const QStringList &arguments) {
    const int count =
        arguments.value(0).toInt() > 0 ? arguments.value(0).toInt() : DefaultDatagrams;
    const Figures figures(QStringLiteral("dtls_rate"));
    const QString sendrel = QCoreApplication::applicationDirPath() + QStringLiteral("/sendrel");
    const ScratchFolder memory;
    const MadeCertificate made = makeSelfSignedCertificate(memory.path() + "/cert", "bench");
    if (!made.error.isEmpty() || !memory.valid()) {
        figures.info(QStringLiteral("setup"), made.error);
        return 2;
    }
    figures.info(QStringLiteral("payload"),
                 QStringLiteral("%1 datagrams of %2 bytes per round, each answered, %3 "
                                "outstanding, %4 rounds")
                     .arg(count)
                     .arg(DatagramBytes)
                     .arg(Window)
                     .arg(Rounds));
    const QStringList identity{QStringLiteral("--tls"), QStringLiteral("--cert"),
                               made.certificateFile, QStringLiteral("--key"), made.keyFile};
    std::vector<double> rates[2], handshakes;
    for (int r = 1; r <= Rounds; ++r) {
        QStringList line;
        for (const bool secure : {false, true}) {
            const Round round = answered(sendrel, identity, count, secure);
            if (!round.problem.isEmpty()) {
                figures.target(QStringLiteral("runs"), round.problem, false,
                               QStringLiteral("every round runs"));
                return 0;
            }
            rates[secure].push_back(round.perSecond);
            if (secure)
                handshakes.push_back(round.handshakeMs);
            line << QStringLiteral("%1 %2/s (%3 lost)")
                        .arg(secure ? QStringLiteral("DTLS") : QStringLiteral("UDP"),
                             Figures::number(round.perSecond, 0))
                        .arg(round.lost);
        }
        figures.info(QStringLiteral("round %1").arg(r), line.join(QStringLiteral("; ")));
    }
    const double plain = Figures::median(rates[0]);
    const double secure = Figures::median(rates[1]);
    figures.info(QStringLiteral("median answered datagrams"),
                 QStringLiteral("UDP %1/s, DTLS %2/s; handshake %3 ms")
                     .arg(Figures::number(plain, 0), Figures::number(secure, 0),
                          Figures::number(Figures::median(handshakes), 2)));
    const double ratio = plain > 0 ? secure / plain : 0;
    figures.target(QStringLiteral("rate ratio (DTLS / plain UDP)"), Figures::number(ratio, 2),
                   ratio >= 0.5, QStringLiteral(">= 0.5"));
    return 0;
}
