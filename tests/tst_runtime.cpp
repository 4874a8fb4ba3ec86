#include "runtime/date_time_text.h"
#include "runtime/hex_text.h"
#include "runtime/host_port.h"
#include "runtime/leading_number.h"
#include "runtime/shown_text.h"
#include "runtime/wait_cycle.h"

#include <QTest>
#include <QTimer>

class tst_Runtime : public QObject {
    Q_OBJECT

private slots:
    void normalisedPortText_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("normal"); // null: only that the result reads back as itself
        // clang-format off
        const QList<std::pair<QString, QString>> rows{
            {"", "0"}, {"abc", "0"}, {"7000", "7000"}, {"010", "10"}, {"8080x", "8080"}, {"-", "0"},
            {"-0", "0"}, {"12.9", "12"}, {"-3.5", "-4"}, {"-0.2", "-1"}, {".9", "0"}, {"5,5", "5"},
            {"1.2.3", "1"}, {"+25", "25"}, {"+-5", "0"}, {"- 12", "-12"}, {"\t8\n0 8 0", "8080"},
            {"80\r80", "80"}, {"1E3", "1000"}, {"2e2", "200"}, {"25E+2", "2500"}, {"1234E-2", "12"},
            {"1.5E1", "15"}, {"12E", "12"}, {"5E-400", "0"}, {"&H1F", "31"}, {"&hff", "255"},
            {"&H1G", "1"}, {"&H", "0"}, {"&O17", "15"}, {"&O78", "7"}, {"&", "0"}, {"&X12", "0"},
            {"12\u0663", "12"}, {"7000~", "7000"}, {"70000", "70000"}, {"1E300", {}}, {"1E400", {}},
            {"123456789012", "123456789012"}, {"-1E300", {}}, {QString(400, u'9'), {}},
            {"9E99999999999999999999", {}}, {"&H" + QString(300, u'F'), {}}};
        // clang-format on
        for (const auto &[typed, normal] : rows)
            QTest::newRow(qPrintable(typed.left(24).simplified())) << typed << normal;
    }
    void normalisedPortText() {
        QFETCH(QString, typed);
        QFETCH(QString, normal);
        const QString once = ::normalisedPortText(typed);
        QCOMPARE(once, normal.isNull() ? once : normal);
        QCOMPARE(::normalisedPortText(once), once);
    }

    void bytesFromHexText_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("error");
        // clang-format off
        const QList<std::tuple<QString, QByteArray, QString>> rows{
            {"", "", ""}, {"48 65 6C 6c", "Hell", ""}, {"00ff", QByteArray("\0\xff", 2), ""},
            {"0x41,0X42-43:44\t45\r\n46", "ABCDEF", ""}, {"0x0x41", "A", ""},
            {"4G", "", "Not valid hex at character 2: G"},
            {"41 4", "", "Not valid hex at character 4: 4 has no second digit"},
            {"41 0", "", "Not valid hex at character 4: 0 has no second digit"},
            {"4 1", "A", ""}, {"41 x", "", "Not valid hex at character 4: x"},
            {"\U0001F600 41", "", "Not valid hex at character 1: \U0001F600"},
            {"41\U0001F600", "", "Not valid hex at character 3: \U0001F600"}};
        // clang-format on
        for (const auto &[text, bytes, error] : rows)
            QTest::newRow(qPrintable(text.isEmpty() ? u"empty"_qs : text))
                << text << bytes << error;
    }
    void bytesFromHexText() {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, error);
        const HexText parsed = ::bytesFromHexText(text);
        QCOMPARE(parsed.error, error);
        QCOMPARE(parsed.bytes, bytes);
    }

    void dateTimeText_data() {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QTime>("time");
        QTest::addColumn<QString>("text");
        QTest::newRow("evening") << "C" << QTime(21, 34, 51) << "12/5/2026 9:34:51 PM";
        QTest::newRow("morning") << "C" << QTime(9, 5, 7) << "12/5/2026 9:05:07 AM";
        QTest::newRow("noon") << "C" << QTime(12, 0, 0) << "12/5/2026 12:00:00 PM";
        QTest::newRow("after midnight") << "C" << QTime(0, 0, 1) << "12/5/2026 12:00:01 AM";
        QTest::newRow("midnight") << "C" << QTime(0, 0, 0) << "12/5/2026";
        QTest::newRow("midnight, ms") << "C" << QTime(0, 0, 0, 400) << "12/5/2026";
        // The locale's own long time would carry a zone; the text must not.
        QTest::newRow("de_DE") << "de_DE" << QTime(21, 34, 51) << "05.12.26 21:34:51";
        QTest::newRow("de_DE midnight") << "de_DE" << QTime(0, 0) << "05.12.26";
    }
    void dateTimeText() {
        QFETCH(QString, locale);
        QFETCH(QTime, time);
        QFETCH(QString, text);
        QCOMPARE(::dateTimeText(QDateTime(QDate(2026, 12, 5), time), QLocale(locale)), text);
    }

    // Every host:port text the program writes reads back as the same host and port.
    void hostPort_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("text");
        QTest::newRow("IPv4") << QStringLiteral("192.0.2.7") << 5000
                              << QStringLiteral("192.0.2.7:5000");
        QTest::newRow("name") << QStringLiteral("device.local") << 1
                              << QStringLiteral("device.local:1");
        QTest::newRow("IPv6") << QStringLiteral("2001:db8::7") << 5000
                              << QStringLiteral("[2001:db8::7]:5000");
        QTest::newRow("IPv6 loopback")
            << QStringLiteral("::1") << 65535 << QStringLiteral("[::1]:65535");
        QTest::newRow("IPv6 with a scope")
            << QStringLiteral("fe80::1%eth0") << 80 << QStringLiteral("[fe80::1%eth0]:80");
    }
    void hostPort() {
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, text);
        QCOMPARE(joinHostPort(host, port), text);
        QString readHost;
        int readPort = 0;
        QVERIFY(splitHostPort(text, readHost, readPort));
        QCOMPARE(readHost, host);
        QCOMPARE(readPort, port);
    }

    // A message shows a value whole up to its bound, cut past it with its size, and never half a
    // character.
    void shownValue_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("shown");
        const QString bound(LongestShown, u'q');
        const QString pair = QStringLiteral("\U0001F600"); // one character, two UTF-16 units
        QTest::newRow("short") << QStringLiteral("ab") << QStringLiteral("ab");
        QTest::newRow("at the bound") << bound << bound;
        QTest::newRow("one past") << bound + u'q' << bound + QStringLiteral("... (201 bytes)");
        QTest::newRow("pair across the bound")
            << bound.left(LongestShown - 1) + pair + u'x'
            << bound.left(LongestShown - 1) + QStringLiteral("... (204 bytes)");
    }
    void shownValue() {
        QFETCH(QString, value);
        QFETCH(QString, shown);
        QCOMPARE(::shownValue(value), shown);
    }

    void escapedBytes_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("UTF-8 as itself")
            << QByteArray("pem\xc3\xa9") << QStringLiteral("pem\u00e9");
        QTest::newRow("other bytes escaped")
            << QByteArray("pem\xff\xfe") << QStringLiteral("pem\\xff\\xfe");
        QTest::newRow("a sequence cut short") << QByteArray("a\xc3") << QStringLiteral("a\\xc3");
        QTest::newRow("overlong") << QByteArray("\xc0\xaf") << QStringLiteral("\\xc0\\xaf");
    }
    void escapedBytes() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QCOMPARE(::escapedBytes(bytes), text);
    }

    void runWaitCycles_countsCyclesAndRunsEvents() {
        int calls = 0;
        QVERIFY(!runWaitCycles(2, [&] { return ++calls == 0; }));
        QCOMPARE(calls, 3); // a limit of n gives at most n + 1 cycles
        bool fired = false;
        QTimer::singleShot(0, this, [&] { fired = true; });
        QVERIFY(runWaitCycles(60, [&] { return ++calls && fired; }));
        QCOMPARE(calls, 5); // the first cycle ran the timer, the second saw it and ended the wait
    }
};

QTEST_GUILESS_MAIN(tst_Runtime)
#include "tst_runtime.moc"
