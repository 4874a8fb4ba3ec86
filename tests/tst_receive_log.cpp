// The daily receive log: exact bytes of an entry, day files, and failures the operator can see.
#include "app/main_window.h"
#include "log/receive_log.h"
#include "support/fake_clock.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QByteArray entry(const QByteArray &stamp, const QByteArray &data)
{
    return stamp + QByteArray(96 - stamp.size(), '-') + "\r\n" + data + "\r\n" + QByteArray(96, '-')
           + "\r\n\r\n";
}

} // namespace

class tst_ReceiveLog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    FakeClock m_clock;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<ReceiveLog> m_log;

    QLineEdit *pathBox() { return m_window->controls().txtLogPath; }
    QString logFolder() const { return m_dir.filePath(QStringLiteral("logs")); }

private slots:
    void init()
    {
        m_clock = FakeClock();
        WindowOptions options;
        options.location = {m_dir.path(), m_dir.path(), m_dir.path()};
        options.clock = &m_clock;
        m_window = std::make_unique<MainWindow>(options);
        m_log = std::make_unique<ReceiveLog>(m_window->controls(), m_clock);
        QDir(logFolder()).removeRecursively();
        pathBox()->setText(logFolder());
    }

    void cleanup()
    {
        m_log.reset();
        m_window.reset();
    }

    void logDateText_data()
    {
        QTest::addColumn<QDate>("date");
        QTest::addColumn<QString>("text");
        QTest::newRow("1 March 2027") << QDate(2027, 3, 1) << QStringLiteral("03012027");
        QTest::newRow("25 December 2026") << QDate(2026, 12, 25) << QStringLiteral("12252026");
        QTest::newRow("year 999") << QDate(999, 1, 9) << QStringLiteral("0109999");
    }
    void logDateText()
    {
        QFETCH(QDate, date);
        QFETCH(QString, text);
        QCOMPARE(ReceiveLog::LogDateText(date), text);
    }

    void entry_hasExactBytes_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("text") << QByteArray("hello");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("nul and invalid utf-8") << QByteArray("a\0b\xff\xfe\xc3\x28\r\n", 9);
        QTest::newRow("line ends inside") << QByteArray("one\r\ntwo\n");
    }
    void entry_hasExactBytes()
    {
        QFETCH(QByteArray, data);
        m_log->LogReceivedData(data);
        QCOMPARE(pathBox()->text(), logFolder() + QDir::separator());
        const QString file = logFolder() + QStringLiteral("/SendrelLog_12052026.txt");
        QCOMPARE(readFile(file), entry("12/5/2026 9:34:51 PM---", data));
        const QByteArray bytes = readFile(file);
        QCOMPARE(bytes.indexOf("\r\n"), 96);
    }

    void entries_sameDayAppend_nextDayNewFile()
    {
        m_clock.setNow(QDateTime(QDate(2026, 12, 5), QTime(23, 59, 59)));
        m_log->LogReceivedData("first");
        m_log->LogReceivedData("second");
        m_clock.setNow(QDateTime(QDate(2026, 12, 6), QTime(0, 0, 0)));
        m_log->LogReceivedData("third");

        QCOMPARE(readFile(logFolder() + QStringLiteral("/SendrelLog_12052026.txt")),
                 entry("12/5/2026 11:59:59 PM--", "first")
                     + entry("12/5/2026 11:59:59 PM--", "second"));
        // At exactly midnight the date-time text has no time part.
        QCOMPARE(readFile(logFolder() + QStringLiteral("/SendrelLog_12062026.txt")),
                 entry("12/6/2026--------------", "third"));
    }

    void missingFolder_createdWithParents()
    {
        const QString deep = m_dir.filePath(QStringLiteral("a/b/c/"));
        pathBox()->setText(deep);
        m_log->LogReceivedData("x");
        QVERIFY(QFile::exists(deep + QStringLiteral("SendrelLog_12052026.txt")));
        QVERIFY(pathBox()->toolTip().isEmpty());
    }

    void failure_showsOnPathBoxUntilNextEntryWorks_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::newRow("path through a regular file") << QStringLiteral("file/sub/");
        QTest::newRow("log file is a folder") << QStringLiteral("dirlog/");
    }
    void failure_showsOnPathBoxUntilNextEntryWorks()
    {
        QFETCH(QString, folder);
        QFile plain(m_dir.filePath(QStringLiteral("file")));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("dirlog/SendrelLog_12052026.txt")));

        const QColor normal = pathBox()->palette().color(QPalette::Text);
        pathBox()->setText(m_dir.filePath(folder));
        m_log->LogReceivedData("lost?");
        QVERIFY(pathBox()->toolTip().contains(QStringLiteral("SendrelLog_12052026.txt")));
        QCOMPARE(pathBox()->palette().color(QPalette::Text), QColor(Qt::red));

        pathBox()->setText(logFolder());
        m_log->LogReceivedData("kept");
        QVERIFY(pathBox()->toolTip().isEmpty());
        QCOMPARE(pathBox()->palette().color(QPalette::Text), normal);
    }

    void fullDevice_isReported()
    {
        if (!QFile::exists(QStringLiteral("/dev/full")))
            QSKIP("no /dev/full here");
        QVERIFY(QDir(logFolder()).mkpath(QStringLiteral(".")));
        const QString file = logFolder() + QStringLiteral("/SendrelLog_12052026.txt");
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), file));
        m_log->LogReceivedData("no room");
        QVERIFY(pathBox()->toolTip().contains(QStringLiteral("SendrelLog_12052026.txt")));
    }
};

QTEST_MAIN(tst_ReceiveLog)
#include "tst_receive_log.moc"
