#include "support/file_bytes.h"

#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

// What the program without a screen refuses before it starts, and what it does while starting:
// the real program as a child, its settings file and rules files in a fresh folder.
class tst_RunChecks : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;

    // The program without a screen on the folder's settings.ini, its stderr collected.
    struct Run {
        QProcess process;
        QByteArray err;
    };
    void start(Run &run, const QStringList &arguments) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("NOTIFY_SOCKET");
        run.process.setProcessEnvironment(environment);
        run.process.setWorkingDirectory(m_dir->path());
        connect(&run.process, &QProcess::readyReadStandardError, &run.process,
                [&run] { run.err += run.process.readAllStandardError(); });
        run.process.start(SENDREL_PROGRAM,
                          QStringList{"--headless", "--tcp", "--settings", "settings.ini"}
                              + arguments);
        QVERIFY(run.process.waitForStarted());
    }
    static bool endsWith(Run &run, int exitCode) {
        return QTest::qWaitFor([&run] { return run.process.state() == QProcess::NotRunning; },
                               30000)
               && run.process.exitStatus() == QProcess::NormalExit
               && run.process.exitCode() == exitCode;
    }

private slots:
    void initTestCase() { std::signal(SIGPIPE, SIG_IGN); } // a program gone fails a write
    void init() { m_dir = std::make_unique<QTemporaryDir>(); }

    // A bad value is refused as a bad option is, by key and value, with the exit status the
    // service does not restart on; an option given in its place makes it harmless.
    void refusedBeforeStart_data() {
        QTest::addColumn<QByteArray>("settings"); // '|' for a line break
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("said"); // empty: the run starts
        QTest::newRow("listen address")
            << "ListenAddress=127.0.0.l"_ba << QStringList{"--port", "0"}
            << u"ListenAddress=127.0.0.l in %1: 127.0.0.l is not an IPv4 or IPv6 address"_s;
        QTest::newRow("port") << "Port=65536"_ba << QStringList{}
                              << u"Port=65536 in %1: the port must be 0 to 65535"_s;
        QTest::newRow("interface in the file")
            << "MulticastInterface=nosuch0"_ba << QStringList{"--port", "0"}
            << u"MulticastInterface=nosuch0 in %1: there is no network interface named nosuch0"_s;
        QTest::newRow("delay") << "ResponseDelay2=99999999"_ba << QStringList{"--port", "0"}
                               << u"ResponseDelay2=99999999 in %1: the delay must be 0"_s;
        QTest::newRow("pattern") << "WatchMode0=regex|WatchString0=(a"_ba
                                 << QStringList{"--port", "0"} << u"WatchString0=(a in %1: "_s;
        QTest::newRow("replaced by options")
            << "ListenAddress=127.0.0.l|Port=99999|WatchMode1=x"_ba
            << QStringList{"--bind", "127.0.0.1", "--port", "0", "--respond", "a=b"} << QString();
        QTest::newRow("relay target replaced by the option")
            << "RelayTarget=nowhere"_ba << QStringList{"--port", "0", "--relay", "127.0.0.1:9"}
            << QString();
        QTest::newRow("interface option") << ""_ba << QStringList{"--interface", "nosuch0"}
                                          << u"--interface: there is no network interface "
                                             "named nosuch0"_s;
        QTest::newRow("short option, value attached")
            << ""_ba << QStringList{"-p7000"} << u"unknown option '-p7000'"_s;
        QTest::newRow("rules from a device") << ""_ba << QStringList{"--respond-file", "/dev/zero"}
                                             << u"/dev/zero: larger than 16 MiB"_s;
    }
    void refusedBeforeStart() {
        QFETCH(QByteArray, settings);
        QFETCH(QStringList, arguments);
        QFETCH(QString, said);
        const QString file = m_dir->filePath("settings.ini");
        QVERIFY(writeBytes(file, "[Settings]\r\n" + settings.replace('|', "\r\n") + "\r\n"));
        Run run;
        start(run, arguments);
        if (said.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(run.err.contains("Waiting for TCP data on port "), 30000);
            ::kill(pid_t(run.process.processId()), SIGTERM);
            QVERIFY2(endsWith(run, 0), run.err);
            return;
        }
        QVERIFY2(endsWith(run, 2), run.err);
        QVERIFY2(run.err.contains(said.replace(u"%1"_s, file).toUtf8()), run.err);
    }

    // A faults file is read before the run starts; one it cannot use ends it with its problem.
    void faultsFileRefused_data() {
        QTest::addColumn<QByteArray>("faults"); // empty: no file
        QTest::addColumn<QString>("said");
        QTest::newRow("unknown type") << "[lag]\ntype = lagging\n"_ba
                                      << u"--faults: %1 line 2: [lag] no fault type 'lagging'"_s;
        QTest::newRow("missing") << ""_ba << u"--faults: 'faults.ini': no such file"_s;
    }
    void faultsFileRefused() {
        QFETCH(QByteArray, faults);
        QFETCH(QString, said);
        const QString file = m_dir->filePath("faults.ini");
        QVERIFY(faults.isEmpty() || writeBytes(file, faults));
        Run run;
        start(run, {"--port", "0", "--faults", "faults.ini"});
        QVERIFY2(endsWith(run, 2), run.err);
        QVERIFY2(run.err.contains(said.replace(u"%1"_s, file).toUtf8()), run.err);
    }

    // The faults file reaches a relay given on the command line, wherever the file is.
    void faultsFileWithRelay_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("beside the settings") << "Sendrel_Faults.ini" << QStringList{};
        QTest::newRow("--faults") << "mine.ini" << QStringList{"--faults", "mine.ini"};
    }
    void faultsFileWithRelay() {
        QFETCH(QString, file);
        QFETCH(QStringList, arguments);
        QVERIFY(writeBytes(m_dir->filePath(file), "[lag]\nstream = upstream\ntype = latency\n"
                                                  "latency = 5\n"));
        Run run;
        start(run, arguments + QStringList{"--port", "0", "--relay", "127.0.0.1:9"});
        QTRY_VERIFY_WITH_TIMEOUT(run.err.contains("Waiting for TCP data on port "), 30000);
        ::kill(pid_t(run.process.processId()), SIGTERM);
        QVERIFY2(endsWith(run, 0), run.err);
        QVERIFY2(run.err.contains(", 0 pairs open (lag up: latency 5 ms)"), run.err);
    }

    // SIGUSR1 asks --stats for the counters from the first moment, also while a rules file is
    // still being read (here a pipe that holds the reading until the signal has come).
    void statsAskedDuringStartUp() {
        const QString rules = m_dir->filePath("rules");
        QVERIFY(::mkfifo(QFile::encodeName(rules).constData(), 0600) == 0);
        QVERIFY(writeBytes(m_dir->filePath("settings.ini"), "[Settings]\r\n"));
        Run run;
        start(run, {"--port", "0", "--stats", "--respond-file", rules});
        // Opening the writing end waits until the program opens the reading end.
        const int writer = ::open(QFile::encodeName(rules).constData(), O_WRONLY);
        QVERIFY(writer >= 0);
        ::kill(pid_t(run.process.processId()), SIGUSR1);
        QTest::qWait(100);
        QVERIFY(::write(writer, "exact\tping\tpong\n", 16) == 16);
        ::close(writer);
        QTRY_VERIFY_WITH_TIMEOUT(run.err.contains("Waiting for TCP data on port "), 30000);
        QTRY_VERIFY2(run.err.contains("received_bytes=0"), run.err);
        ::kill(pid_t(run.process.processId()), SIGTERM);
        QVERIFY2(endsWith(run, 0), run.err);
    }
};

QTEST_GUILESS_MAIN(tst_RunChecks)
#include "tst_run_checks.moc"
