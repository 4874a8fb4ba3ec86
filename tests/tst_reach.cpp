// The listening address, broadcast, multicast groups and sends from a bound port. Multicast runs
// in a child of this test inside a network namespace of its own, so no packet leaves the machine.
#include "net/network_options.h"
#include "net/socket_control.h"

#include <QNetworkInterface>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTest>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sched.h>
#include <unistd.h>

namespace {

// Set for the child that runs the multicast cases in its own network namespace.
constexpr char OwnNetworkVariable[] = "SENDREL_TEST_OWN_NETWORK";
constexpr int NamespaceRefused = 77;

QString ipCommand() {
    return QStandardPaths::findExecutable(QStringLiteral("ip"),
                                          {"/usr/sbin", "/sbin", "/usr/bin", "/bin"});
}

// One command of ip a line.
bool runIp(const QString &commands) {
    QProcess ip;
    ip.setProcessChannelMode(QProcess::ForwardedChannels);
    ip.start(ipCommand(), {QStringLiteral("-batch"), QStringLiteral("-")});
    ip.write(commands.toLatin1());
    ip.closeWriteChannel();
    return ip.waitForFinished() && ip.exitStatus() == QProcess::NormalExit && ip.exitCode() == 0;
}

// The child's network: its own namespace, where the listener lives, and a peer's across a veth
// pair. IPv4 multicast loops on lo once lo may carry it; IPv6 multicast needs the pair, from
// fe80::b (mc1, the peer's) to fe80::a (mc0). Routes to a decoy link take whatever names no
// interface: a link-local answer without its scope, a group send without its interface.
struct OwnNetworks {
    int home = -1; // descriptors of the namespaces, closed with the child
    int peer = -1;

    bool setUp() {
        const char *const own = "/proc/thread-self/ns/net";
        home = ::open(own, O_RDONLY | O_CLOEXEC);
        if (home < 0 || ::unshare(CLONE_NEWNET) != 0)
            return false;
        peer = ::open(own, O_RDONLY | O_CLOEXEC);
        if (peer < 0 || ::setns(home, CLONE_NEWNET) != 0)
            return false;
        const QString decoy = QStringLiteral("link add decoy type veth peer name decoy1\n"
                                             "link set decoy addrgenmode none up\n"
                                             "link set decoy1 addrgenmode none up\n");
        bool done = runIp(decoy
                          + QStringLiteral("link set lo up multicast on\n"
                                           "route add 224.0.0.0/4 dev lo src 127.0.0.1\n"
                                           "link add mc0 type veth peer name mc1 netns "
                                           "/proc/%1/fd/%2\n"
                                           "link set mc0 addrgenmode none\n"
                                           "address add fe80::a/64 dev mc0 nodad\n"
                                           "link set mc0 up\n"
                                           "route add fe80::/64 dev decoy metric 1\n")
                                .arg(::getpid())
                                .arg(peer));
        inPeer([&] {
            done = done
                   && runIp(decoy
                            + QStringLiteral("link set lo up\n"
                                             "link set mc1 addrgenmode none\n"
                                             "address add fe80::b/64 dev mc1 nodad\n"
                                             "link set mc1 up\n"
                                             "route add multicast ff00::/8 dev decoy table local "
                                             "metric 1\n"));
        });
        // A pair spanning two namespaces gets its carrier a moment after both ends are up.
        return done && QTest::qWaitFor([&] {
                   bool peerRunning = false;
                   inPeer([&] { peerRunning = isRunning("mc1"); });
                   return peerRunning && isRunning("mc0");
               });
    }

    // Sockets made meanwhile belong to the peer's namespace, and interface names are its own.
    void inPeer(const std::function<void()> &work) const {
        ::setns(peer, CLONE_NEWNET);
        work();
        ::setns(home, CLONE_NEWNET);
    }

    static bool isRunning(const char *name) {
        return QNetworkInterface::interfaceFromName(QString::fromLatin1(name))
            .flags()
            .testFlag(QNetworkInterface::IsRunning);
    }
};

// A UDP control, given its options before Bind, that keeps every datagram arriving.
struct Datagrams {
    SocketControl control;
    QList<QByteArray> received;
    Datagrams() {
        control.setProtocol(SocketControl::UdpProtocol);
        QObject::connect(&control, &SocketControl::DataArrival, &control,
                         [this] { received.append(control.GetData()); });
    }
    quint16 port() const { return quint16(control.LocalPort()); }
    bool sendTo(const QString &host, quint16 port, const QByteArray &data) {
        control.setRemoteHost(host);
        control.setRemotePort(port);
        return control.SendData(data);
    }
};

using Chunks = QList<QByteArray>;

} // namespace

class tst_Reach : public QObject {
    Q_OBJECT

private slots:
    void optionTexts_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("stored");
        const auto row = [](const char *name, const char *kind, const char *text, const char *error,
                            const char *stored = "") {
            QTest::newRow(name) << kind << text << error << stored;
        };
        row("address", "address", " 127.0.0.2 ", "", "127.0.0.2");
        row("address IPv6 in brackets", "address", "[::1]", "", "::1");
        row("address short IPv4", "address", "127.1", "127.1 is not an IPv4 or IPv6 address");
        row("address link-local without scope", "address", "fe80::1",
            "fe80::1 is link-local and needs its interface, as in fe80::1%eth0");
        row("address not link-local with scope", "address", "::1%lo",
            "::1 is not link-local, so it takes no interface after %");
        row("groups", "groups", "239.1.2.3, FF12::1,,239.1.2.3", "", "239.1.2.3,ff12::1");
        row("groups with unicast", "groups", "239.1.2.3,10.0.0.1",
            "10.0.0.1 is not a multicast group (224.0.0.0/4 or ff00::/8)");
        row("TTL too high", "ttl", "256", "the multicast TTL 256 is outside 0-255");
        row("TTL not a number", "ttl", "two", "the multicast TTL two is not a whole number");
        row("switch", "switch", "1", "", "1");
        row("switch otherwise", "switch", "yes", "yes is neither 0 nor 1");
        row("interface unknown", "interface", "nosuch0",
            "there is no network interface named nosuch0");
    }

    // What the command line, the settings file and the dialog take, and how it is stored.
    void optionTexts() {
        QFETCH(QString, kind);
        QFETCH(QString, text);
        QFETCH(QString, error);
        QFETCH(QString, stored);
        QString problem;
        QString result;
        if (kind == u"address") {
            QHostAddress address(QStringLiteral("10.9.9.9"));
            problem = parseListenAddress(text, address);
            result = listenAddressText(address);
        } else if (kind == u"groups") {
            QList<QHostAddress> groups;
            problem = parseMulticastGroups(text, groups);
            result = multicastGroupsText(groups);
        } else if (kind == u"ttl") {
            int ttl = 0;
            problem = parseMulticastTtl(text, ttl);
            result = QString::number(ttl);
        } else if (kind == u"switch") {
            bool on = false;
            problem = parseSwitch(text, on);
            result = switchText(on);
        } else {
            problem = checkInterfaceName(text);
            result = text;
        }
        QCOMPARE(problem, error);
        if (error.isEmpty())
            QCOMPARE(result, stored);
    }

    // The status line's text stays as it was until an option is set.
    void statusSuffixAndConflict() {
        NetworkOptions options;
        QCOMPARE(networkStatusSuffix(options), QString());
        options.multicastGroups = {QHostAddress(QStringLiteral("239.1.2.3"))};
        QCOMPARE(networkStatusSuffix(options), " (group 239.1.2.3)");
        options = {QHostAddress(QStringLiteral("127.0.0.2")),
                   options.multicastGroups + QList{QHostAddress(QStringLiteral("ff12::1"))},
                   QStringLiteral("lo"),
                   true,
                   4,
                   true,
                   {},
                   8192};
        QCOMPARE(networkStatusSuffix(options),
                 " (address 127.0.0.2; groups 239.1.2.3, ff12::1; interface lo; broadcast "
                 "allowed; TTL 4; sending from this port; receive buffer 8192 KiB)");
        QCOMPARE(checkNetworkOptions(options), "a listener on 127.0.0.2 hears no multicast group; "
                                               "listen on all addresses or on the group's own");
        options.listenAddress = QHostAddress(QHostAddress::AnyIPv4);
        QCOMPARE(checkNetworkOptions(options), QString());
    }

    void broadcastOnLoopback_data() {
        QTest::addColumn<bool>("allowed");
        QTest::newRow("allowed") << true;
        QTest::newRow("not allowed") << false;
    }

    // A listener on all addresses hears a loopback broadcast, which goes out only when allowed.
    void broadcastOnLoopback() {
        QFETCH(bool, allowed);
        Datagrams listener, sender;
        QVERIFY(listener.control.Bind());
        sender.control.setAllowBroadcast(allowed);
        QVERIFY(sender.control.Bind());
        QCOMPARE(sender.sendTo(QStringLiteral("127.255.255.255"), listener.port(), "to all"),
                 allowed);
        if (allowed)
            QTRY_COMPARE(listener.received, Chunks{"to all"});
        else
            QCOMPARE(failureText(sender.control.LastFailure()), "10013 - Permission denied.");
    }

    // Listening on one loopback address: a peer of another one is refused by the system.
    void listenOnOneAddress() {
        SocketControl listener;
        QVERIFY(listener.setLocalAddress(QHostAddress(QStringLiteral("127.0.0.2"))));
        QVERIFY(listener.Listen());
        int requests = 0;
        connect(&listener, &SocketControl::ConnectionRequest, this, [&] { ++requests; });
        QTcpSocket other, chosen;
        other.connectToHost(QStringLiteral("127.0.0.1"), quint16(listener.LocalPort()));
        QTRY_COMPARE(other.error(), QAbstractSocket::ConnectionRefusedError);
        chosen.connectToHost(QStringLiteral("127.0.0.2"), quint16(listener.LocalPort()));
        QTRY_COMPARE(requests, 1);
    }

    // The datagram leaves from the listener's own port, so the answer comes back to it.
    void sendFromTheListenersPort() {
        Datagrams listener, peer;
        QVERIFY(listener.control.Bind() && peer.control.Bind());
        connect(&peer.control, &SocketControl::DataArrival, this,
                [&] { peer.control.SendData("answer"); });
        QVERIFY(listener.control.SendDatagramTo("question", QHostAddress::LocalHost, peer.port()));
        QTRY_COMPARE(listener.received, Chunks{"answer"});
        QCOMPARE(peer.received, Chunks{"question"});
        QCOMPARE(peer.control.PeerPort(), listener.port());
    }

    void startFailures_data() {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("group");
        QTest::addColumn<QString>("failure");
        const auto row = [](const char *name, int protocol, const char *address, const char *group,
                            const char *failure) {
            QTest::newRow(name) << protocol << address << group << failure;
        };
        const char *const notHere = "10049 - Cannot assign requested address.";
        row("TCP on an address the machine lacks", 0, "198.51.100.1", "", notHere);
        row("UDP on an IPv6 address the machine lacks", 1, "2001:db8::1", "", notHere);
        // Neither asks for a group that exists, so nothing is announced beyond this machine.
        row("a unicast address as group", 1, "", "127.0.0.1",
            "Cannot join group 127.0.0.1: 10022 - Invalid argument.");
        row("an IPv6 group on an IPv4 socket", 1, "127.0.0.1", "ff12::1",
            "Cannot join group ff12::1: 10047 - Address family not supported by protocol family.");
    }

    void startFailures() {
        QFETCH(int, protocol);
        QFETCH(QString, address);
        QFETCH(QString, group);
        QFETCH(QString, failure);
        SocketControl control;
        control.setProtocol(SocketControl::ProtocolKind(protocol));
        control.setLocalAddress(QHostAddress(address));
        const bool opened =
            protocol == SocketControl::TcpProtocol ? control.Listen() : control.Bind();
        QString why;
        if (opened) {
            QVERIFY(!group.isEmpty());
            QVERIFY(!control.JoinGroups({QHostAddress(group)}, &why));
        } else {
            why = failureText(control.LastFailure());
        }
        QCOMPARE(why, failure);
    }

    void multicastInOwnNamespace() {
        if (::geteuid() != 0)
            QSKIP("making a network namespace needs root (CAP_SYS_ADMIN and CAP_NET_ADMIN)");
        if (ipCommand().isEmpty())
            QSKIP("setting up the network namespace needs the ip command (iproute2)");
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(OwnNetworkVariable), QStringLiteral("1"));
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(child.waitForFinished(120000));
        const QByteArray output = child.readAll();
        if (child.exitCode() == NamespaceRefused)
            QSKIP(output.trimmed().constData());
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
                 output.constData());
    }
};

// Runs inside the network namespace that the child made for itself.
class tst_ReachInOwnNetwork : public QObject {
    Q_OBJECT

public:
    explicit tst_ReachInOwnNetwork(const OwnNetworks &networks) : m_networks(networks) {}

private slots:
    void groupDatagrams_data() {
        QTest::addColumn<QString>("group");
        QTest::addColumn<bool>("fromPeer");    // else from this namespace, on lo
        QTest::addColumn<QString>("sender");   // as the listener shows it
        QTest::addColumn<QString>("listener"); // its unicast address, from the sender's side
        const auto row = [](const char *name, const char *group, bool fromPeer, const char *sender,
                            const char *listener) {
            QTest::newRow(name) << group << fromPeer << sender << listener;
        };
        row("IPv4 on lo, the system's interface", "239.1.2.3", false, "127.0.0.1", "127.0.0.1");
        row("IPv6 link-local from the peer", "ff02::1:3", true, "fe80::b%mc0", "fe80::a%mc1");
    }

    // A group's datagram arrives as a chunk, the answer reaches its sender (link-local only by
    // its scope), and after Close the group is left: a new socket on the port hears no more.
    void groupDatagrams() {
        QFETCH(QString, group);
        QFETCH(bool, fromPeer);
        QFETCH(QString, sender);
        QFETCH(QString, listener);
        const auto asSender = [&](const std::function<void()> &work) {
            fromPeer ? m_networks.inPeer(work) : work();
        };

        Datagrams member, source;
        QVERIFY(member.control.setMulticastInterface(fromPeer ? "mc0" : "")
                && member.control.Bind());
        QString why;
        QVERIFY2(member.control.JoinGroups({QHostAddress(group)}, &why), qPrintable(why));
        const quint16 port = member.port();
        bool sent = false;
        asSender([&] {
            sent = source.control.setMulticastInterface(fromPeer ? "mc1" : "")
                   && source.control.setMulticastTtl(4) && source.control.Bind()
                   && source.sendTo(group, port, "to the group");
        });
        QVERIFY(sent);
        QTRY_COMPARE(member.received, Chunks{"to the group"});
        QCOMPARE(member.control.RemoteHostIP(), sender);
        QVERIFY(member.control.SendData("answer"));
        QTRY_COMPARE(source.received, Chunks{"answer"});

        member.control.Close();
        member.control.setLocalPort(port);
        QVERIFY(member.control.Bind());
        asSender([&] {
            sent = source.sendTo(group, port, "after leaving")
                   && source.sendTo(listener, port, "unicast, sent after it");
        });
        QVERIFY(sent);
        QTRY_COMPARE(member.received, (Chunks{"to the group", "unicast, sent after it"}));
    }

private:
    const OwnNetworks &m_networks;
};

int main(int argc, char *argv[]) {
    const bool ownNetwork = qEnvironmentVariableIsSet(OwnNetworkVariable);
    // Before any thread exists, so that every thread of the child lives in the namespace.
    if (ownNetwork && ::unshare(CLONE_NEWNET) != 0) {
        std::printf("making a network namespace was refused: %s\n", std::strerror(errno));
        return NamespaceRefused;
    }
    QCoreApplication app(argc, argv);
    if (ownNetwork) {
        OwnNetworks networks;
        if (!networks.setUp())
            return 1;
        tst_ReachInOwnNetwork test(networks);
        return QTest::qExec(&test, argc, argv);
    }
    tst_Reach test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_reach.moc"
