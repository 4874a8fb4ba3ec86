#include "runtime/clock.h"
#include "runtime/date_time_text.h"
#include "runtime/leading_number.h"
#include "runtime/wait_cycle.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

class TstRuntime : public QObject {
    Q_OBJECT

private slots:
    void normalisedPortText_data();
    void normalisedPortText();
    void normalisedPortText_hugeValues_stayStable_data();
    void normalisedPortText_hugeValues_stayStable();
    void dateTimeText_cLocale_data();
    void dateTimeText_cLocale();
    void dateTimeText_namedLocale_hasNoTimeZone_data();
    void dateTimeText_namedLocale_hasNoTimeZone();
    void runWaitCycles_limit_countsCycles();
    void runWaitCycles_checkTrue_endsAtOnce();
    void runWaitCycles_processesPendingEvents();
    void systemClock_tick_advances();
};

void TstRuntime::normalisedPortText_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("normal");

    QTest::newRow("empty") << ""
                           << "0";
    QTest::newRow("letters") << "abc"
                             << "0";
    QTest::newRow("plain") << "7000"
                           << "7000";
    QTest::newRow("fraction down") << "12.9"
                                   << "12";
    QTest::newRow("negative fraction floors") << "-3.5"
                                              << "-4";
    QTest::newRow("small negative") << "-0.2"
                                    << "-1";
    QTest::newRow("negative zero") << "-0"
                                   << "0";
    QTest::newRow("plus sign") << "+25"
                               << "25";
    QTest::newRow("sign alone") << "-"
                                << "0";
    QTest::newRow("two signs") << "+-5"
                               << "0";
    QTest::newRow("inner blank") << "7 000"
                                 << "7000";
    QTest::newRow("tabs and line feeds") << "\t8\n0 8 0"
                                         << "8080";
    QTest::newRow("blank after sign") << "- 12"
                                      << "-12";
    QTest::newRow("carriage return stops") << "80\r80"
                                           << "80";
    QTest::newRow("trailing letters") << "8080x"
                                      << "8080";
    QTest::newRow("leading zeros") << "007"
                                   << "7";
    QTest::newRow("point first") << ".9"
                                 << "0";
    QTest::newRow("point alone") << "."
                                 << "0";
    QTest::newRow("second point stops") << "1.2.3"
                                        << "1";
    QTest::newRow("comma is not a point") << "5,5"
                                          << "5";
    QTest::newRow("exponent") << "1E3"
                              << "1000";
    QTest::newRow("lower-case exponent") << "2e2"
                                         << "200";
    QTest::newRow("exponent with sign") << "25E+2"
                                        << "2500";
    QTest::newRow("negative exponent") << "1234E-2"
                                       << "12";
    QTest::newRow("fraction with exponent") << "1.5E1"
                                            << "15";
    QTest::newRow("exponent without digits") << "12E"
                                             << "12";
    QTest::newRow("exponent sign without digits") << "12E+x"
                                                  << "12";
    QTest::newRow("tiny exponent") << "5E-400"
                                   << "0";
    QTest::newRow("hex") << "&H1F"
                         << "31";
    QTest::newRow("hex lower case") << "&hff"
                                    << "255";
    QTest::newRow("hex stops at non-digit") << "&H1G"
                                            << "1";
    QTest::newRow("hex without digits") << "&H"
                                        << "0";
    QTest::newRow("octal") << "&O17"
                           << "15";
    QTest::newRow("octal stops at 8") << "&O78"
                                      << "7";
    QTest::newRow("ampersand alone") << "&"
                                     << "0";
    QTest::newRow("other prefix") << "&X12"
                                  << "0";
    QTest::newRow("above 16 bits stays") << "70000"
                                         << "70000";
    QTest::newRow("large whole number") << "123456789012"
                                        << "123456789012";
    QTest::newRow("non-ASCII digit stops") << "12\u0663"
                                           << "12";
    QTest::newRow("tilde after number") << "7000~"
                                        << "7000";
}

void TstRuntime::normalisedPortText() {
    QFETCH(QString, typed);
    QFETCH(QString, normal);
    QCOMPARE(::normalisedPortText(typed), normal);
    QCOMPARE(::normalisedPortText(normal), normal);
}

void TstRuntime::normalisedPortText_hugeValues_stayStable_data() {
    QTest::addColumn<QString>("typed");

    QTest::newRow("1E300") << "1E300";
    QTest::newRow("-1E300") << "-1E300";
    QTest::newRow("twenty digits") << "98765432109876543210";
    QTest::newRow("overflow") << "1E400";
    QTest::newRow("huge exponent") << "9E99999999999999999999";
    QTest::newRow("long hex") << "&H" + QString(300, u'F');
    QTest::newRow("400 digits") << QString(400, u'9');
}

void TstRuntime::normalisedPortText_hugeValues_stayStable() {
    QFETCH(QString, typed);
    const QString once = ::normalisedPortText(typed);
    QVERIFY(!once.isEmpty());
    QCOMPARE(::normalisedPortText(once), once);
}

void TstRuntime::dateTimeText_cLocale_data() {
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("text");

    QTest::newRow("evening") << QDateTime(QDate(2026, 12, 5), QTime(21, 34, 51))
                             << "12/5/2026 9:34:51 PM";
    QTest::newRow("morning") << QDateTime(QDate(2026, 1, 9), QTime(9, 5, 7))
                             << "1/9/2026 9:05:07 AM";
    QTest::newRow("noon") << QDateTime(QDate(2026, 7, 4), QTime(12, 0, 0))
                          << "7/4/2026 12:00:00 PM";
    QTest::newRow("after midnight")
        << QDateTime(QDate(2026, 7, 4), QTime(0, 0, 1)) << "7/4/2026 12:00:01 AM";
    QTest::newRow("midnight") << QDateTime(QDate(2026, 7, 4), QTime(0, 0, 0)) << "7/4/2026";
    QTest::newRow("midnight with milliseconds")
        << QDateTime(QDate(2026, 7, 4), QTime(0, 0, 0, 400)) << "7/4/2026";
}

void TstRuntime::dateTimeText_cLocale() {
    QFETCH(QDateTime, when);
    QFETCH(QString, text);
    QCOMPARE(::dateTimeText(when, QLocale::c()), text);
}

void TstRuntime::dateTimeText_namedLocale_hasNoTimeZone_data() {
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("text");
    QTest::newRow("en_US") << "en_US"
                           << "12/5/26 9:34:51 PM";
    QTest::newRow("de_DE") << "de_DE"
                           << "05.12.26 21:34:51";
    QTest::newRow("en_GB") << "en_GB"
                           << "05/12/2026 21:34:51";
}

void TstRuntime::dateTimeText_namedLocale_hasNoTimeZone() {
    QFETCH(QString, locale);
    QFETCH(QString, text);
    const QLocale named(locale);
    const QDateTime when(QDate(2026, 12, 5), QTime(21, 34, 51));
    // The locale's own long time carries a zone; the text must not.
    QVERIFY(named.toString(when, QLocale::LongFormat).size() > text.size());
    QCOMPARE(::dateTimeText(when, named), text);
    QCOMPARE(::dateTimeText(QDateTime(when.date(), QTime(0, 0)), named),
             named.toString(when.date(), QLocale::ShortFormat));
}

void TstRuntime::runWaitCycles_limit_countsCycles() {
    int calls = 0;
    QVERIFY(!runWaitCycles(2, [&] {
        ++calls;
        return false;
    }));
    QCOMPARE(calls, 3);

    calls = 0;
    QVERIFY(!runWaitCycles(0, [&] {
        ++calls;
        return false;
    }));
    QCOMPARE(calls, 1);
}

void TstRuntime::runWaitCycles_checkTrue_endsAtOnce() {
    int calls = 0;
    QVERIFY(runWaitCycles(60, [&] { return ++calls == 2; }));
    QCOMPARE(calls, 2);
}

void TstRuntime::runWaitCycles_processesPendingEvents() {
    bool fired = false;
    QTimer::singleShot(0, this, [&] { fired = true; });
    QVERIFY(runWaitCycles(10, [&] { return fired; }));
}

void TstRuntime::systemClock_tick_advances() {
    const SystemClock clock;
    const qint32 first = clock.tick();
    QTest::qSleep(20);
    QVERIFY(qint32(quint32(clock.tick()) - quint32(first)) >= 20);
    QVERIFY(clock.now().isValid());
}

QTEST_GUILESS_MAIN(TstRuntime)
#include "tst_runtime.moc"
