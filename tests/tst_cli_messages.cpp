#include "support/child_program.h"
#include "support/file_bytes.h"

#include <QtTest>

#include <sys/mount.h>

// What the real program says when it cannot do what it was asked: only what happened, once, and
// short however long the value it quotes.
class tst_CliMessages : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_mounted;

    QString path(const QString &name) const { return m_dir->filePath(name); }
    QStringList entries(const QString &folder) const {
        return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    }

private slots:
    void init() { m_dir = std::make_unique<QTemporaryDir>(); }
    void cleanup() {
        if (!m_mounted.isEmpty())
            ::umount(m_mounted.toLocal8Bit().constData());
        m_mounted.clear();
    }

    // A folder that fills up leaves no part of a key or certificate behind, the message names
    // the file that could not be written, and once there is room a run makes both.
    void makeCert_fullFolder_data() {
        QTest::addColumn<int>("fillBytes");
        QTest::addColumn<QString>("unwritten");
        QTest::newRow("no room at all") << 8192 << "sendrel-key.pem";
        QTest::newRow("room for the key alone") << 4096 << "sendrel-certificate.pem";
    }
    void makeCert_fullFolder() {
        QFETCH(int, fillBytes);
        QFETCH(QString, unwritten);
        const QString folder = path("small");
        QVERIFY(QDir().mkpath(folder));
        if (::mount("tmpfs", folder.toLocal8Bit().constData(), "tmpfs", 0, "size=8k") != 0)
            QSKIP("no tmpfs can be mounted here");
        m_mounted = folder;
        const QString filler = folder + "/filler";
        QVERIFY(writeBytes(filler, QByteArray(fillBytes, 'x')));

        ChildProgram full(m_dir->path(), {"--make-cert", folder});
        QVERIFY(full.endsWith(1));
        QCOMPARE(entries(folder), QStringList{"filler"});
        const QString said = QString::fromLocal8Bit(full.err);
        QVERIFY2(said.contains(unwritten + " cannot be written: No space left on device"),
                 full.err);
        QVERIFY2(!said.contains("already"), full.err);
        QVERIFY(full.out.isEmpty());

        QVERIFY(QFile::remove(filler));
        ChildProgram again(m_dir->path(), {"--make-cert", folder});
        QVERIFY2(again.endsWith(0), again.err);
        QCOMPARE(entries(folder), (QStringList{"sendrel-certificate.pem", "sendrel-key.pem"}));
        QCOMPARE(QFile(folder + "/sendrel-key.pem").permissions() & 0x0777,
                 QFile::ReadUser | QFile::WriteUser);
    }

    // A name already taken is kept, whichever of the two it is, and nothing else is made.
    void makeCert_nameTaken_data() {
        QTest::addColumn<QString>("taken");
        QTest::newRow("key") << "sendrel-key.pem";
        QTest::newRow("certificate") << "sendrel-certificate.pem";
    }
    void makeCert_nameTaken() {
        QFETCH(QString, taken);
        const QString folder = path("made");
        QVERIFY(QDir().mkpath(folder + "/" + taken));
        ChildProgram refused(m_dir->path(), {"--make-cert", folder});
        QVERIFY(refused.endsWith(1));
        QVERIFY2(refused.err.contains(taken.toUtf8() + " exists already; it is kept"), refused.err);
        QCOMPARE(entries(folder), QStringList{taken});
    }

    // A long value is cut where it is quoted, with its whole size, and said once; the line that
    // tells it stays short enough for a journal entry.
    void longValue_cut_data() {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("said");
        const QString value(100'000, 'q');
        QTest::newRow("pin in the settings file")
            << "[Settings]\r\nTlsSendPin=" + QByteArray(1'000'000, 'q') + "\r\n"
            << QStringList{"--headless", "--port", "0"} << "(1000000 bytes) is no SHA-256";
        QTest::newRow("alpn in the settings file")
            << "[Settings]\r\nTlsSendAlpn=" + QByteArray(300'000, 'q') + "\r\n"
            << QStringList{"--headless", "--port", "0"} << "(300000 bytes)";
        QTest::newRow("port") << QByteArray() << QStringList{"--headless", "--port", value}
                              << "(100000 bytes)'";
        QTest::newRow("pin") << QByteArray()
                             << QStringList{"--send", "x",     "--to", "127.0.0.1:9",
                                            "--tls",  "--pin", value}
                             << "(100000 bytes) is no SHA-256";
        QTest::newRow("unknown option")
            << QByteArray() << QStringList{"--" + value} << "(100018 bytes)";
        QTest::newRow("relay target")
            << QByteArray() << QStringList{"--headless", "--relay", value} << "(100000 bytes)'";
    }
    void longValue_cut() {
        QFETCH(QByteArray, settings);
        QFETCH(QStringList, arguments);
        QFETCH(QString, said);
        QVERIFY(writeBytes(path("settings.ini"), settings));
        ChildProgram program(m_dir->path(), arguments + QStringList{"--settings", "settings.ini"});
        QVERIFY(program.endsWith(2));
        const QString err = QString::fromUtf8(program.err);
        QVERIFY2(err.size() < 1000, qPrintable(err.left(2000)));
        QVERIFY2(err.contains(said), qPrintable(err));
        QCOMPARE(err.count("bytes)"), 1);
    }

    // A secure listener whose files are missing, or named by bytes no file name here can be,
    // says so in its own words: no warning of Qt's, no characters of a code page the bytes were
    // never meant in.
    void tlsFiles_told_data() {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("said");
        QTest::newRow("no files") << QByteArray("[Settings]\r\nTlsEnabled=1\r\n") << 1
                                  << "certificate";
        QTest::newRow("certificate not UTF-8")
            << QByteArray("[Settings]\r\nTlsEnabled=1\r\nTlsCertificate=/tmp/pem\xff\xfe\r\n") << 2
            << "TlsCertificate=/tmp/pem\\xff\\xfe in ";
        QTest::newRow("CA partly UTF-8") // its last character too
            << QByteArray("[Settings]\r\nTlsSendCa=/tmp/\xc3\xa9t\xe9\xc3\xa9\r\nTlsEnabled=1\r\n")
            << 2 << "TlsSendCa=/tmp/\u00e9t\\xe9\u00e9 in ";
    }
    void tlsFiles_told() {
        QFETCH(QByteArray, settings);
        QFETCH(int, exitCode);
        QFETCH(QString, said);
        QVERIFY(writeBytes(path("settings.ini"), settings));
        ChildProgram program(m_dir->path(),
                             {"--headless", "--port", "0", "--settings", "settings.ini"});
        QVERIFY2(program.endsWith(exitCode), program.err);
        const QString err = QString::fromUtf8(program.err);
        QVERIFY2(err.contains(said), program.err);
        QVERIFY2(!err.contains("QFSFileEngine"), program.err);
        QVERIFY2(!err.contains(u"\u00ff"), program.err);
        QCOMPARE(fileBytes(path("settings.ini")), settings); // the bytes stay as they were
    }
};

QTEST_GUILESS_MAIN(tst_CliMessages)
#include "tst_cli_messages.moc"
