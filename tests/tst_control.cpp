#include "control/control_connections.h"
#include "control/control_server.h"
#include "control/proxy_set.h"
#include "support/child_program.h"
#include "support/program_fixture.h"
#include "support/random_bytes.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkDatagram>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtTest>

using namespace Qt::Literals::StringLiterals;

namespace {

// JSON written with single quotes, which stand for double ones.
QByteArray json(const char *text) {
    return QByteArray(text).replace('\'', '"');
}

struct Answer {
    int status = 0;
    QByteArray body;
    QJsonValue json() const {
        const QJsonDocument document = QJsonDocument::fromJson(body);
        return document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
    }
};

// One request on loopback; `status` 0 when no answer came.
Answer call(QNetworkAccessManager &manager, quint16 port, const QByteArray &method,
            const QString &path, const QByteArray &body = {}, const QByteArray &token = {}) {
    QNetworkRequest request(QUrl(u"http://127.0.0.1:%1%2"_s.arg(port).arg(path)));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    if (!token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + token);
    std::unique_ptr<QNetworkReply> reply(manager.sendCustomRequest(request, method, body));
    if (!QTest::qWaitFor([&reply] { return reply->isFinished(); }, 20000))
        return {};
    return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll()};
}

quint16 portOf(const QJsonValue &proxy) {
    return quint16(proxy[u"listen"].toString().section(u':', -1).toUInt());
}

// What every connection sends is sent back to it.
struct TcpEcho {
    QTcpServer server;
    TcpEcho() {
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            while (QTcpSocket *peer = server.nextPendingConnection())
                QObject::connect(peer, &QTcpSocket::readyRead, peer,
                                 [peer] { peer->write(peer->readAll()); });
        });
    }
};

struct UdpEcho {
    QUdpSocket socket;
    UdpEcho() {
        QVERIFY(socket.bind(QHostAddress::LocalHost, 0));
        QObject::connect(&socket, &QUdpSocket::readyRead, &socket, [this] {
            while (socket.hasPendingDatagrams()) {
                const QNetworkDatagram datagram = socket.receiveDatagram();
                socket.writeDatagram(datagram.makeReply(datagram.data()));
            }
        });
    }
};

} // namespace

class TestControl : public QObject {
    Q_OBJECT

    std::unique_ptr<ProgramFixture> m_fixture;
    std::unique_ptr<ProxySet> m_proxies;
    std::unique_ptr<ControlServer> m_server;
    QNetworkAccessManager m_manager;

    Answer call(const QByteArray &method, const QString &path, const QByteArray &body = {}) {
        return ::call(m_manager, m_server->port(), method, path, body);
    }
    // A TCP proxy "web" with the toxic "slow", a UDP one "dns", both towards closed ports.
    void makeProxies() {
        const std::pair<QString, QByteArray> made[] = {
            {u"/proxies"_s, json("{'name':'web','listen':'127.0.0.1:0','upstream':'127.0.0.1:9'}")},
            {u"/proxies/web/toxics"_s,
             json("{'name':'slow','type':'latency','attributes':{'latency':100}}")},
            {u"/proxies"_s,
             json("{'name':'dns','listen':'udp://127.0.0.1:0','upstream':'udp://127.0.0.1:9'}")}};
        for (const auto &[path, body] : made) {
            const int status = call("POST", path, body).status;
            QCOMPARE(status, path.endsWith(u"toxics") ? 200 : 201);
        }
    }

private slots:
    void init() {
        m_fixture = std::make_unique<ProgramFixture>();
        m_proxies = std::make_unique<ProxySet>(m_fixture->program());
        m_server = std::make_unique<ControlServer>(*m_proxies, u"1.0"_s, QByteArray());
        QString problem;
        QVERIFY2(m_server->listen(QHostAddress::LocalHost, 0, problem), qPrintable(problem));
    }
    void cleanup() {
        m_server.reset();
        m_proxies.reset();
        m_fixture.reset();
    }

    // Each refusal answers its status in the error's JSON, and the proxies stay as they were.
    void refusedChangesNothing_data() {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        const QString toxics = u"/proxies/web/toxics"_s;
        QTest::newRow("bad JSON") << "POST"_ba << u"/proxies"_s << json("{'name':'x',") << 400;
        QTest::newRow("proxy no object") << "POST"_ba << u"/proxies"_s << "[]"_ba << 400;
        QTest::newRow("no upstream") << "POST"_ba << u"/proxies"_s << json("{'name':'x'}") << 400;
        QTest::newRow("bad listen")
            << "POST"_ba << u"/proxies"_s
            << json("{'name':'x','listen':'nowhere:1','upstream':'127.0.0.1:9'}") << 400;
        QTest::newRow("udp to tcp")
            << "POST"_ba << u"/proxies"_s
            << json("{'name':'x','listen':'udp://127.0.0.1:0','upstream':'127.0.0.1:9'}") << 400;
        QTest::newRow("name taken")
            << "POST"_ba << u"/proxies"_s
            << json("{'name':'web','listen':'127.0.0.1:0','upstream':'127.0.0.1:9'}") << 409;
        QByteArray big =
            json("{'name':'x','listen':'127.0.0.1:0','upstream':'127.0.0.1:9','pad':'");
        big += QByteArray(ControlServer::MaxBody + 1 - big.size() - 2, 'a') + "\"}";
        QTest::newRow("body over 64 KiB") << "POST"_ba << u"/proxies"_s << big << 413;
        QTest::newRow("unknown type") << "POST"_ba << toxics << json("{'type':'nosuch'}") << 400;
        QTest::newRow("no type") << "POST"_ba << toxics << json("{'name':'t'}") << 400;
        QTest::newRow("bad attribute")
            << "POST"_ba << toxics << json("{'type':'latency','attributes':{'lag':5}}") << 400;
        QTest::newRow("attribute over its bound")
            << "POST"_ba << toxics << json("{'type':'latency','attributes':{'latency':3600001}}")
            << 400;
        QTest::newRow("attribute not whole")
            << "POST"_ba << toxics << json("{'type':'latency','attributes':{'latency':1.5}}")
            << 400;
        QTest::newRow("toxicity above 1")
            << "POST"_ba << toxics << json("{'type':'latency','toxicity':1.5}") << 400;
        QTest::newRow("bad stream")
            << "POST"_ba << toxics << json("{'type':'latency','stream':'sideways'}") << 400;
        QTest::newRow("bad after")
            << "POST"_ba << toxics << json("{'type':'latency','after':{'mode':'near','watch':'x'}}")
            << 400;
        QTest::newRow("toxic name taken")
            << "POST"_ba << toxics << json("{'name':'slow','type':'bandwidth'}") << 409;
        QTest::newRow("udp kind on tcp")
            << "POST"_ba << toxics << json("{'type':'loss','attributes':{'percent':10}}") << 400;
        QTest::newRow("tcp kind on udp")
            << "POST"_ba << u"/proxies/dns/toxics"_s << json("{'type':'slow_close'}") << 400;
        QTest::newRow("toxic keeps its type")
            << "POST"_ba << toxics + u"/slow"_s << json("{'type':'bandwidth'}") << 400;
        QTest::newRow("update over its bound")
            << "POST"_ba << toxics + u"/slow"_s << json("{'attributes':{'jitter':-1}}") << 400;
        QTest::newRow("unknown proxy") << "GET"_ba << u"/proxies/nosuch"_s << ""_ba << 404;
        QTest::newRow("unknown proxy's toxics")
            << "POST"_ba << u"/proxies/nosuch/toxics"_s << json("{'type':'latency'}") << 404;
        QTest::newRow("delete unknown proxy")
            << "DELETE"_ba << u"/proxies/nosuch"_s << ""_ba << 404;
        QTest::newRow("unknown toxic") << "DELETE"_ba << toxics + u"/nosuch"_s << ""_ba << 404;
        QTest::newRow("populate no array") << "POST"_ba << u"/populate"_s << json("{}") << 400;
        QTest::newRow("populate one bad")
            << "POST"_ba << u"/populate"_s
            << json("[{'name':'web','listen':'127.0.0.1:0','upstream':'127.0.0.1:9'},"
                    "{'name':'y','listen':'127.0.0.1:0'}]")
            << 400;
        QJsonArray many;
        for (int i = 0; i <= ProxySet::MaxProxies; ++i)
            many.append(QJsonObject{{u"name"_s, u"p%1"_s.arg(i)},
                                    {u"listen"_s, u"127.0.0.1:0"_s},
                                    {u"upstream"_s, u"127.0.0.1:9"_s}});
        QTest::newRow("populate over the bound")
            << "POST"_ba << u"/populate"_s << QJsonDocument(many).toJson() << 400;
    }
    void refusedChangesNothing() {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        makeProxies();
        const QByteArray before = call("GET", u"/proxies"_s).body;
        const Answer answer = call(method, path, body);
        QCOMPARE(answer.status, status);
        QCOMPARE(answer.json()[u"status"].toInt(), status);
        QVERIFY(!answer.json()[u"error"].toString().isEmpty());
        QCOMPARE(call("GET", u"/proxies"_s).body, before);
    }

    // Toxics are stored as given with the defaults filled in, listed in order, updated field by
    // field and removed; reset removes them all and enables a disabled proxy again.
    void toxicsStoredListedRemoved() {
        makeProxies();
        const Answer added = call("POST", u"/proxies/web/toxics"_s,
                                  json("{'type':'bandwidth','stream':'upstream','toxicity':0.5,"
                                       "'attributes':{'rate':64},'enabled':false,"
                                       "'after':{'mode':'contains','watch':'LOGIN OK'}}"));
        QCOMPARE(added.status, 200);
        const QJsonValue toxic = added.json();
        QCOMPARE(toxic[u"name"].toString(), u"bandwidth_upstream"_s);
        QCOMPARE(toxic[u"toxicity"].toDouble(), 0.5);
        QCOMPARE(toxic[u"attributes"][u"rate"].toInt(), 64);
        QCOMPARE(toxic[u"enabled"].toBool(), false);
        QCOMPARE(toxic[u"after"][u"watch"].toString(), u"LOGIN OK"_s);
        QCOMPARE(toxic[u"after"][u"mode"].toString(), u"contains"_s);
        const QList<Fault> faults = m_proxies->faults(u"web"_s);
        QCOMPARE(faults.size(), 2);
        QVERIFY(faults[1].up && !faults[1].enabled);
        QCOMPARE(faults[1].after.mode, MatchMode::Contains);

        const QByteArray jitter = json("{'attributes':{'jitter':7}}");
        const Answer updated = call("POST", u"/proxies/web/toxics/slow"_s, jitter);
        QCOMPARE(updated.json()[u"attributes"][u"latency"].toInt(), 100);
        QCOMPARE(updated.json()[u"attributes"][u"jitter"].toInt(), 7);
        const QJsonArray listed = call("GET", u"/proxies/web/toxics"_s).json().toArray();
        QCOMPARE(listed.size(), 2);
        QCOMPARE(listed[0][u"name"].toString(), u"slow"_s);
        QCOMPARE(listed[1], toxic);

        QCOMPARE(call("DELETE", u"/proxies/web/toxics/slow"_s).status, 204);
        QCOMPARE(call("GET", u"/proxies/web/toxics/slow"_s).status, 404);
        QCOMPARE(m_proxies->faults(u"web"_s).size(), 1);

        const QByteArray off = json("{'enabled':false}");
        QCOMPARE(call("POST", u"/proxies/dns"_s, off).json()[u"enabled"], false);
        QCOMPARE(call("POST", u"/reset"_s).status, 204);
        QVERIFY(m_proxies->faults(u"web"_s).isEmpty());
        QCOMPARE(call("GET", u"/proxies/dns"_s).json()[u"enabled"], true);
    }

    // A disabled proxy closes its port and opens it again when enabled, on the same port.
    void disabledClosesItsPort() {
        makeProxies();
        const quint16 port = portOf(call("GET", u"/proxies/web"_s).json());
        QTcpServer taker;
        QVERIFY(!taker.listen(QHostAddress::LocalHost, port));
        const QByteArray off = json("{'enabled':false}");
        const QByteArray on = json("{'enabled':true}");
        QCOMPARE(call("POST", u"/proxies/web"_s, off).status, 200);
        QVERIFY(taker.listen(QHostAddress::LocalHost, port));
        taker.close();
        const Answer enabled = call("POST", u"/proxies/web"_s, on);
        QCOMPARE(enabled.status, 200);
        QCOMPARE(portOf(enabled.json()), port);
        QVERIFY(!taker.listen(QHostAddress::LocalHost, port));
        QCOMPARE(call("DELETE", u"/proxies/web"_s).status, 204);
        QVERIFY(taker.listen(QHostAddress::LocalHost, port));
    }

    // A proxy made with port 0 names the port it took, and passes bytes both ways unchanged
    // without a toxic, as the main relay's bytes are counted.
    void relaysUnchanged_data() {
        QTest::addColumn<bool>("udp");
        QTest::newRow("tcp") << false;
        QTest::newRow("udp") << true;
    }
    void relaysUnchanged() {
        QFETCH(bool, udp);
        TcpEcho tcpEcho;
        UdpEcho udpEcho;
        const QString scheme = udp ? u"udp://"_s : QString();
        const quint16 target = udp ? udpEcho.socket.localPort() : tcpEcho.server.serverPort();
        const Answer made = call(
            "POST", u"/populate"_s,
            QJsonDocument(
                QJsonArray{QJsonObject{{u"name"_s, u"echo"_s},
                                       {u"listen"_s, scheme + u"127.0.0.1:0"_s},
                                       {u"upstream"_s, scheme + u"127.0.0.1:%1"_s.arg(target)}}})
                .toJson());
        QCOMPARE(made.status, 201);
        const QJsonValue proxy = made.json()[u"proxies"][0];
        const quint16 port = portOf(proxy);
        QVERIFY(port != 0);
        QCOMPARE(proxy[u"listen"].toString(), scheme + u"127.0.0.1:%1"_s.arg(port));
        QByteArray sent;
        QByteArray back;
        if (udp) {
            QUdpSocket client;
            sent = randomBytes(1200);
            client.writeDatagram(sent, QHostAddress::LocalHost, port);
            QTRY_VERIFY_WITH_TIMEOUT(client.hasPendingDatagrams(), 20000);
            back = client.receiveDatagram().data();
        } else {
            QTcpSocket client;
            client.connectToHost(QHostAddress::LocalHost, port);
            sent = randomBytes(2 << 20);
            client.write(sent);
            QTRY_COMPARE_WITH_TIMEOUT((back += client.readAll()).size(), sent.size(), 30000);
        }
        QCOMPARE(sha(back), sha(sent));
        const TrafficSnapshot counted = m_fixture->program().traffic().snapshot();
        QCOMPARE(counted.relayUpBytes, sent.size());
        QCOMPARE(counted.relayDownBytes, sent.size());
    }

    // A request whose body would pass every bound is refused with 413 once its first MiB is in,
    // and nothing of it is kept: the connection is closed.
    void endlessBodyRefused() {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, m_server->port());
        QVERIFY(client.waitForConnected());
        client.write("POST /proxies HTTP/1.1\r\nHost: x\r\nContent-Length: 1000000000\r\n\r\n");
        client.write(QByteArray(ControlConnections::MaxUnanswered, 'a'));
        QByteArray got;
        QTRY_VERIFY_WITH_TIMEOUT((got += client.readAll()).contains("\r\n\r\n{"), 20000);
        QVERIFY2(got.startsWith("HTTP/1.1 413 "), got.constData());
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, 20000);
        QVERIFY(m_proxies->names().isEmpty());
    }

    // Off loopback a token is required; with one, a request without it is refused with 401.
    void tokenRequired() {
        QTemporaryDir dir;
        QFile token(dir.filePath(u"token"_s));
        QVERIFY(token.open(QIODevice::WriteOnly));
        token.write("s3cret\n");
        token.close();
        ChildProgram program(dir.path(),
                             {u"--headless"_s, u"--port"_s, u"0"_s, u"--settings"_s,
                              u"settings.ini"_s, u"--control"_s, u"127.0.0.1:0"_s,
                              u"--control-any"_s, u"--control-token-file"_s, token.fileName()});
        const QByteArray said = "control API requests on 127.0.0.1:";
        QTRY_VERIFY_WITH_TIMEOUT(program.err.contains(said), 20000);
        const quint16 port = program.err.mid(program.err.indexOf(said) + said.size()).toUShort();
        const Answer refused = ::call(m_manager, port, "GET", u"/proxies"_s);
        QCOMPARE(refused.status, 401);
        QCOMPARE(refused.json()[u"status"].toInt(), 401);
        QCOMPARE(::call(m_manager, port, "GET", u"/proxies"_s, {}, "wrong").status, 401);
        QCOMPARE(::call(m_manager, port, "GET", u"/proxies"_s, {}, "s3cret").status, 200);
        QVERIFY(program.terminate());
    }
};

QTEST_GUILESS_MAIN(TestControl)
#include "tst_control.moc"
