// The daily receive log: exact bytes of an entry, day files, and failures the operator can see.
#include "log/receive_log.h"
#include "support/file_bytes.h"
#include "support/window_fixture.h"

#include <QDir>
#include <QLineEdit>
#include <QTest>

#include <memory>

namespace {

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
    std::unique_ptr<WindowFixture> m_fixture;
    std::unique_ptr<ReceiveLog> m_log;

    QLineEdit *pathBox() { return m_fixture->controls().txtLogPath; }
    QString folder(const QString &name) const { return m_fixture->folder() + u'/' + name; }

private slots:
    void init()
    {
        m_fixture = std::make_unique<WindowFixture>();
        m_log = std::make_unique<ReceiveLog>(m_fixture->controls(), m_fixture->clock());
        pathBox()->setText(folder(QStringLiteral("logs")));
    }
    void cleanup()
    {
        m_log.reset();
        m_fixture.reset();
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

    void entry_holdsExactlyTheData_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("text") << QByteArray("hello");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("nul and invalid utf-8") << QByteArray("a\0b\xff\xfe\xc3\x28\r\n", 9);
    }
    void entry_holdsExactlyTheData()
    {
        QFETCH(QByteArray, data);
        m_log->LogReceivedData(data);
        QCOMPARE(pathBox()->text(), folder(QStringLiteral("logs/")));
        QCOMPARE(fileBytes(folder(QStringLiteral("logs/SendrelLog_12052026.txt"))),
                 entry("12/5/2026 9:34:51 PM---", data));
    }

    void entries_sameDayAppend_nextDayNewFile()
    {
        FakeClock &clock = m_fixture->clock();
        clock.setNow(QDateTime(QDate(2026, 12, 5), QTime(23, 59, 59)));
        m_log->LogReceivedData("first");
        m_log->LogReceivedData("second");
        clock.setNow(QDateTime(QDate(2026, 12, 6), QTime(0, 0, 0)));
        m_log->LogReceivedData("third");

        QCOMPARE(fileBytes(folder(QStringLiteral("logs/SendrelLog_12052026.txt"))),
                 entry("12/5/2026 11:59:59 PM--", "first") + entry("12/5/2026 11:59:59 PM--", "second"));
        // At exactly midnight the date-time text has no time part.
        QCOMPARE(fileBytes(folder(QStringLiteral("logs/SendrelLog_12062026.txt"))),
                 entry("12/6/2026--------------", "third"));
    }

    void missingFolder_createdWithItsParents()
    {
        pathBox()->setText(folder(QStringLiteral("a/b/c/")));
        m_log->LogReceivedData("x");
        QVERIFY(QFile::exists(folder(QStringLiteral("a/b/c/SendrelLog_12052026.txt"))));
    }

    void failure_showsOnPathBoxUntilAnEntryIsWritten()
    {
        QVERIFY(QDir(m_fixture->folder()).mkpath(QStringLiteral("dirlog/SendrelLog_12052026.txt")));
        const QColor normal = pathBox()->palette().color(QPalette::Text);
        pathBox()->setText(folder(QStringLiteral("dirlog")));
        m_log->LogReceivedData("lost?");
        QVERIFY(pathBox()->toolTip().contains(QStringLiteral("SendrelLog_12052026.txt")));
        QCOMPARE(pathBox()->palette().color(QPalette::Text), QColor(Qt::red));

        pathBox()->setText(folder(QStringLiteral("logs")));
        m_log->LogReceivedData("kept");
        QVERIFY(pathBox()->toolTip().isEmpty());
        QCOMPARE(pathBox()->palette().color(QPalette::Text), normal);
    }
};

QTEST_MAIN(tst_ReceiveLog)
#include "tst_receive_log.moc"
