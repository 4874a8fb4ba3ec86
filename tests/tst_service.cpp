#include "runtime/service_notifier.h"
#include "settings/settings_store.h"
#include "support/file_bytes.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The service manager's end: a datagram socket bound to a NOTIFY_SOCKET name.
class ManagerSocket {
public:
    explicit ManagerSocket(const QByteArray &name) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
        socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(name.size()));
        if (name.startsWith('@'))
            address.sun_path[0] = '\0';
        else
            ++length;
        m_socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        m_bound = ::bind(m_socket, reinterpret_cast<sockaddr *>(&address), length) == 0;
    }
    ~ManagerSocket() { ::close(m_socket); }
    bool bound() const { return m_bound; }
    // What has arrived, one message each.
    QList<QByteArray> messages() const {
        QList<QByteArray> received;
        char buffer[512];
        for (ssize_t n; (n = ::recv(m_socket, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;)
            received.append(QByteArray(buffer, n));
        return received;
    }

private:
    int m_socket = -1;
    bool m_bound = false;
};

QStringList keysOf(const QString &iniFile) {
    QFile file(iniFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList keys;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed.contains('=') && !trimmed.startsWith(';'))
            keys.append(QString::fromUtf8(trimmed.left(trimmed.indexOf('='))));
    }
    return keys;
}

} // namespace

class tst_Service : public QObject {
    Q_OBJECT

private slots:
    // Names up to the socket address's own limit: 107 bytes and a terminator for a path, 108
    // for an abstract name ("@" and 107).
    void notifier_data() {
        QTest::addColumn<bool>("abstract");
        QTest::addColumn<int>("length"); // 0: a short name
        QTest::newRow("path") << false << 0;
        QTest::newRow("abstract") << true << 0;
        QTest::newRow("longest path") << false << 107;
        QTest::newRow("longest abstract") << true << 108;
    }
    void notifier() {
        QFETCH(bool, abstract);
        QFETCH(int, length);
        const QTemporaryDir dir;
        QByteArray name =
            abstract ? "@sendrel-notify-" + QByteArray::number(QCoreApplication::applicationPid())
                     : QFile::encodeName(dir.filePath(u"notify"_qs));
        if (length > 0)
            name += QByteArray(length - name.size(), 'n');
        const ManagerSocket manager(name);
        QVERIFY(manager.bound());

        qputenv("NOTIFY_SOCKET", name);
        ServiceNotifier notifier;
        qunsetenv("NOTIFY_SOCKET");
        QVERIFY(notifier.enabled());
        notifier.ready();
        notifier.status(u"\r\nReplied to ping with:\r\npong On Sock:1\r\n"_qs);
        notifier.stopping();
        QCOMPARE(manager.messages(),
                 (QList<QByteArray>{"READY=1", "STATUS=Replied to ping with: pong On Sock:1",
                                    "STOPPING=1"}));
    }

    // A manager that reads nothing, or has gone, must not hold the run up.
    void notifierNeverWaits() {
        const QTemporaryDir dir;
        const QByteArray name = QFile::encodeName(dir.filePath(u"notify"_qs));
        auto manager = std::make_unique<ManagerSocket>(name);
        ServiceNotifier notifier(name);
        for (int i = 0; i < 1000; ++i)
            notifier.status(QString::number(i));
        QCOMPARE(manager->messages().value(0), "STATUS=0");
        manager.reset();
        notifier.ready();
    }

    void notifierOff_data() {
        QTest::addColumn<QByteArray>("name");
        QTest::newRow("unset") << QByteArray();
        QTest::newRow("relative") << QByteArray("run/notify");
        QTest::newRow("path too long") << "/" + QByteArray(107, 'a');
        QTest::newRow("abstract too long") << "@" + QByteArray(108, 'a');
    }
    void notifierOff() {
        QFETCH(QByteArray, name);
        ServiceNotifier notifier(name);
        QVERIFY(!notifier.enabled());
        notifier.ready();
    }

    void journalStream_data() {
        QTest::addColumn<QString>("form"); // the descriptor's {dev}ice and {ino}de
        QTest::addColumn<bool>("journal");
        QTest::newRow("same") << u"{dev}:{ino}"_qs << true;
        QTest::newRow("other inode") << u"{dev}:1{ino}"_qs << false;
        QTest::newRow("other device") << u"1{dev}:{ino}"_qs << false;
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("device only") << u"{dev}"_qs << false;
        QTest::newRow("third field") << u"{dev}:{ino}:0"_qs << false;
        QTest::newRow("no number") << u"x:{ino}"_qs << false;
    }
    void journalStream() {
        QFETCH(QString, form);
        QFETCH(bool, journal);
        QTemporaryFile file;
        QVERIFY(file.open());
        struct stat status {};
        QCOMPARE(::fstat(file.handle(), &status), 0);
        const QString value = form.replace(u"{dev}"_qs, QString::number(status.st_dev))
                                  .replace(u"{ino}"_qs, QString::number(status.st_ino));
        QCOMPARE(isJournalStream(value.toUtf8(), file.handle()), journal);
    }

    void statusLine_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("error");
        QTest::addColumn<bool>("journal");
        QTest::addColumn<QString>("line");
        const QString waiting = u"Waiting for TCP data on port 7000"_qs;
        QTest::newRow("status") << waiting << false << false
                                << "2026-03-05 09:04:07 " + waiting + '\n';
        QTest::newRow("error") << waiting << true << false
                               << "2026-03-05 09:04:07 " + waiting + '\n';
        QTest::newRow("journal status") << waiting << false << true << "<6>" + waiting + '\n';
        QTest::newRow("journal error") << waiting << true << true << "<3>" + waiting + '\n';
        QTest::newRow("lines") << u"\r\nReplied to ping with:\r\npong On Sock:1\r\n"_qs << false
                               << false
                               << u"2026-03-05 09:04:07 Replied to ping with: pong On Sock:1\n"_qs;
        QTest::newRow("journal lines") << u"a\rb\n\nc"_qs << true << true << u"<3>a b c\n"_qs;
        // A peer's bytes in a reply note: no forged entry, no terminal sequence.
        const QString forged = u"Replied to X with: X"_qs + QChar(0) + u"<3>FORGED ERROR\x1b[2J"_qs;
        const QString safe = u"Replied to X with: X\\x00<3>FORGED ERROR\\x1b[2J\n"_qs;
        QTest::newRow("journal forged") << forged << false << true << "<6>" + safe;
        QTest::newRow("terminal forged")
            << forged << false << false << "2026-03-05 09:04:07 " + safe;
        QTest::newRow("tab, DEL, C1") << u"a\tb\x7f"_qs + QChar(0x9b) + u"c\u00e9"_qs << false
                                      << true << u"<6>a\\x09b\\x7f\\x9bc\u00e9\n"_qs;
    }
    void statusLine() {
        QFETCH(QString, text);
        QFETCH(bool, error);
        QFETCH(bool, journal);
        QFETCH(QString, line);
        const QDateTime now(QDate(2026, 3, 5), QTime(9, 4, 7));
        QCOMPARE(::statusLine(text, error, journal, now), line);
    }

    // The packaged example holds the keys the program writes, in its order, at their defaults.
    void exampleSettings() {
        const QTemporaryDir dir;
        SettingsLocation location{dir.path(), dir.path(), dir.path(), SENDREL_EXAMPLE_INI, true};
        const SettingsStore example(location);
        Settings s = example.LoadSettings();
        QCOMPARE(example.problem(), QString());
        const Settings defaults;
        QCOMPARE(s.port, defaults.port);
        QCOMPARE((QList<bool>{s.udp, s.createLog, s.httpRequests, s.showHex, s.showTimeStamps,
                              s.sendAsHex}),
                 QList<bool>(6, false));
        QCOMPARE(s.enableAutoRespond, defaults.enableAutoRespond);
        QCOMPARE(s.logPath, example.defaultLogFolder());
        QCOMPARE(s.watchStrings, defaults.watchStrings);
        QCOMPARE(s.responseStrings, defaults.responseStrings);

        // The keys written commented out hold their defaults too, as the program reads them.
        const QRegularExpression commentedKey(u"^;(\\w+=)"_qs, QRegularExpression::MultilineOption);
        const QByteArray uncommented = QString::fromUtf8(fileBytes(SENDREL_EXAMPLE_INI))
                                           .replace(commentedKey, u"\\1"_qs)
                                           .toUtf8();
        location.iniFile = dir.filePath(u"uncommented.ini"_qs);
        QVERIFY(uncommented.contains("\nTextZoom=") && writeBytes(location.iniFile, uncommented));
        const Settings all = SettingsStore(location).LoadSettings();
        QCOMPARE(all.badValues.size(), 0);
        QCOMPARE(all.network, defaults.network);
        QVERIFY(all.pairOptions == defaults.pairOptions);
        QCOMPARE(all.textZoom, defaults.textZoom);

        s.showHex = s.showTimeStamps = s.sendAsHex = true; // additions are written once switched on
        location.iniFile = dir.filePath(u"written.ini"_qs);
        location.readOnly = false;
        SettingsStore(location).SaveSettings(s);
        QCOMPARE(keysOf(SENDREL_EXAMPLE_INI), keysOf(location.iniFile));
    }
};

QTEST_GUILESS_MAIN(tst_Service)
#include "tst_service.moc"
