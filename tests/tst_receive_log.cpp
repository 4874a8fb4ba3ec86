// The daily receive log: exact bytes of an entry, day files, and entries that cannot be written.
#include "log/receive_log.h"
#include "model/form.h"
#include "model/traffic_counters.h"
#include "runtime/delivery_batch.h"
#include "support/file_bytes.h"
#include "support/log_entries.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QDateTime Evening(QDate(2026, 12, 5), QTime(21, 34, 51));
const QByteArray EveningStamp = "12/5/2026 9:34:51 PM---";

QByteArray numbered(int i, qsizetype size = 100) {
    return QByteArray::number(i).rightJustified(size, '.');
}

} // namespace

class tst_ReceiveLog : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString folder(const QString &name) const { return m_dir.filePath(name); }

private slots:
    void init() { QVERIFY(QDir(m_dir.path()).removeRecursively() && QDir().mkpath(m_dir.path())); }

    void logDateText_data() {
        QTest::addColumn<QDate>("date");
        QTest::addColumn<QString>("text");
        QTest::newRow("1 March 2027") << QDate(2027, 3, 1) << u"03012027"_s;
        QTest::newRow("25 December 2026") << QDate(2026, 12, 25) << u"12252026"_s;
        QTest::newRow("year 999") << QDate(999, 1, 9) << u"0109999"_s;
    }
    void logDateText() {
        QFETCH(QDate, date);
        QFETCH(QString, text);
        QCOMPARE(ReceiveLog::LogDateText(date), text);
    }

    // Missing folders are made with their parents; the folder may lack its final separator.
    void entry_holdsExactlyTheData_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("logFolder");
        QTest::newRow("text") << "hello"_ba << u"logs"_s;
        QTest::newRow("empty") << QByteArray() << u"logs/"_s;
        QTest::newRow("nul and invalid utf-8")
            << QByteArray("a\0b\xff\xfe\xc3\x28\r\n", 9) << u"a/b/c/"_s;
    }
    void entry_holdsExactlyTheData() {
        QFETCH(QByteArray, data);
        QFETCH(QString, logFolder);
        const LogResult result = ReceiveLog::LogReceivedData(folder(logFolder), data, Evening);
        QVERIFY(result.written);
        QCOMPARE(result.fileName,
                 QDir::cleanPath(folder(logFolder)) + u"/SendrelLog_12052026.txt"_s);
        QCOMPARE(fileBytes(result.fileName), logEntry("12/5/2026 9:34:51 PM---", data));
    }

    void entries_sameDayAppend_nextDayNewFile() {
        const QDateTime late(QDate(2026, 12, 5), QTime(23, 59, 59));
        ReceiveLog::LogReceivedData(folder(u"logs/"_s), "first", late);
        ReceiveLog::LogReceivedData(folder(u"logs/"_s), "second", late);
        ReceiveLog::LogReceivedData(folder(u"logs/"_s), "third", late.addSecs(1));

        QCOMPARE(fileBytes(folder(u"logs/SendrelLog_12052026.txt"_s)),
                 logEntry("12/5/2026 11:59:59 PM--", "first")
                     + logEntry("12/5/2026 11:59:59 PM--", "second"));
        // At exactly midnight the date-time text has no time part.
        QCOMPARE(fileBytes(folder(u"logs/SendrelLog_12062026.txt"_s)),
                 logEntry("12/6/2026--------------", "third"));
    }

    // An entry that does not fit is taken back whole, so the next one starts cleanly; a file
    // that cannot be opened names itself and the reason.
    void failedEntry_leavesWholeEntriesOnly_data() {
        QTest::addColumn<qsizetype>("size");
        QTest::newRow("one write") << qsizetype(50'000);
        QTest::newRow("written in pieces") << qsizetype(200'000);
    }
    void failedEntry_leavesWholeEntriesOnly() {
        QFETCH(qsizetype, size);
        const QString logs = folder(u"logs/"_s);
        ReceiveLog::LogReceivedData(logs, "before", Evening);
        LogResult failed;
        withFileSizeLimit(4096, [&] {
            failed = ReceiveLog::LogReceivedData(logs, QByteArray(size, 'x'), Evening);
        });
        QVERIFY(!failed.written);
        QCOMPARE(failed.reason, u"File too large"_s);
        QVERIFY(ReceiveLog::LogReceivedData(logs, "after", Evening).written);
        QCOMPARE(fileBytes(failed.fileName), logEntry("12/5/2026 9:34:51 PM---", "before")
                                                 + logEntry("12/5/2026 9:34:51 PM---", "after"));

        QVERIFY(QDir().mkpath(folder(u"dirlog/SendrelLog_12052026.txt"_s)));
        const LogResult refused = ReceiveLog::LogReceivedData(folder(u"dirlog"_s), "x", Evening);
        QVERIFY(!refused.written && !refused.reason.isEmpty());
        QVERIFY(refused.fileName.endsWith(u"dirlog/SendrelLog_12052026.txt"_s));
    }

    // Entries that come inside a delivery batch wait for its end, or for the bound, and go in
    // together, many to a system call; where the file stops taking them the whole ones stand
    // and the cut one is taken back.
    void batchedEntries_data() {
        QTest::addColumn<bool>("logger"); // through the logger, else written in one call
        QTest::addColumn<int>("entries");
        QTest::addColumn<double>("fitting"); // entries the file may take; 0: no limit
        QTest::addColumn<bool>("beforeEnd"); // something is written before the batch ends
        QTest::addColumn<qsizetype>("size");
        QTest::newRow("all at the end") << true << 5 << 0.0 << false << qsizetype(100);
        QTest::newRow("cut in the third") << true << 5 << 2.5 << false << qsizetype(100);
        QTest::newRow("past the bound") << true << 300 << 0.0 << true << qsizetype(100);
        QTest::newRow("past the bound in bytes") << true << 5 << 0.0 << true << qsizetype(1 << 20);
        QTest::newRow("cut after the bound") << true << 300 << 280.5 << true << qsizetype(100);
        QTest::newRow("cut in the second system call")
            << false << 400 << 350.5 << true << qsizetype(100);
    }
    void batchedEntries() {
        QFETCH(bool, logger);
        QFETCH(int, entries);
        QFETCH(double, fitting);
        QFETCH(bool, beforeEnd);
        QFETCH(qsizetype, size);
        const QString file = folder(u"logs/SendrelLog_12052026.txt"_s);
        const qint64 entryBytes = logEntry(EveningStamp, numbered(0, size)).size();
        Form form;
        TrafficCounters traffic;
        ReceiveLogger log(form, traffic, m_dir.path());
        form.txtLogPath.setText(u"logs"_s);
        std::vector<LogResult> results;
        withFileSizeLimit(fitting > 0 ? qint64(fitting * double(entryBytes)) : (1LL << 40), [&] {
            if (!logger) {
                std::vector<ReceiveLog::Entry> batch;
                for (int i = 0; i < entries; ++i)
                    batch.push_back({folder(u"logs"_s), numbered(i, size), Evening, {}});
                results = ReceiveLog::LogReceivedEntries(batch);
                return;
            }
            const DeliveryBatch batch;
            for (int i = 0; i < entries; ++i)
                log.log(numbered(i, size), Evening);
            QCOMPARE(QFile::exists(file), beforeEnd);
        });
        const int whole = fitting > 0 ? int(fitting) : entries;
        QByteArray expected;
        for (int i = 0; i < whole; ++i)
            expected += logEntry(EveningStamp, numbered(i, size));
        QCOMPARE(fileBytes(file), expected);
        if (logger) {
            QCOMPARE(traffic.snapshot().logWritten, whole);
            QCOMPARE(traffic.snapshot().logFailed, entries - whole);
            QCOMPARE(log.failure().isEmpty(), whole == entries);
            return;
        }
        for (int i = 0; i < entries; ++i)
            QCOMPARE(results[std::size_t(i)].written, i < whole);
        QCOMPARE(results[std::size_t(whole)].reason, u"File too large"_s);
    }

    // A failing log is announced once with its reason, and so is the entry that is written again.
    void logger_announcesFailureAndRecovery() {
        Form form;
        TrafficCounters traffic;
        ReceiveLogger logger(form, traffic, m_dir.path());
        QSignalSpy changed(&logger, &ReceiveLogger::failureChanged);
        form.txtLogPath.setText(QString());
        logger.log("a", Evening);
        QVERIFY(QDir().mkpath(folder(u"dirlog/SendrelLog_12052026.txt"_s)));
        form.txtLogPath.setText(u"dirlog"_s);
        logger.log("b", Evening);
        logger.log("c", Evening);
        form.txtLogPath.setText(u"logs"_s);
        logger.log("d", Evening);
        QCOMPARE(changed.size(), 3);
        QCOMPARE(changed[0][0].toString(), u"No log folder given"_s);
        QVERIFY(changed[1][0].toString().startsWith(u"The received data was not logged to "_s));
        QCOMPARE(changed[2][0].toString(), QString());
        QVERIFY(logger.failure().isEmpty());
    }
};

QTEST_GUILESS_MAIN(tst_ReceiveLog)
#include "tst_receive_log.moc"
