#include "support/child_program.h"
#include "support/file_bytes.h"

#include <QtTest>

// What the real program says when it cannot do what it was asked: only what happened, once, and
// short however long the value it quotes.
class tst_CliMessages : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;

    QString path(const QString &name) const { return m_dir->filePath(name); }

private slots:
    void init() { m_dir = std::make_unique<QTemporaryDir>(); }

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

};

QTEST_GUILESS_MAIN(tst_CliMessages)
#include "tst_cli_messages.moc"
