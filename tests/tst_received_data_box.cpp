#include "support/file_bytes.h"
#include "support/loopback.h"
#include "support/shown_data.h"
#include "support/window_fixture.h"

#include <QAction>
#include <QApplication>
#include <QFontDatabase>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

static ReceivedChunk chunk(const QByteArray &data) {
    return {data, QDateTime(QDate(2026, 12, 7), QTime(9, 34, 51, 42)), "192.168.1.20", 51234};
}

class TstReceivedDataBox : public QObject {
    Q_OBJECT

private slots:
    void appendAndReplace_keepEveryCharacter() {
        const QString nul(1, QChar(0));
        ShownData box;
        box.appendText("ab");
        box.appendText(QString());
        box.appendText("c\r\n" + nul);
        QCOMPARE(box.text(), "abc\r\n" + nul);
        box.setText("new");
        box.appendText(nul + "x");
        QCOMPARE(box.text(), "new" + nul + "x");
    }

    void bound_keepsNewestText() {
        ShownData box;
        QString all;
        for (int i = 0; all.size() < 5 * Kept; i += 1000) {
            all += numbered(i, 1000);
            box.appendText(numbered(i, 1000));
            QVERIFY(box.text().size() <= 2 * Kept);
        }
        QVERIFY(box.text().size() >= Kept && all.endsWith(box.text()));

        // A chunk several times the bound leaves its tail, less half a surrogate pair.
        const QString chunk = QStringLiteral("x\U0001F600").repeated(Kept);
        for (bool replace : {false, true}) {
            replace ? box.setText(chunk) : box.appendText(chunk);
            QVERIFY(box.text().size() >= Kept - 1 && chunk.endsWith(box.text())
                    && !box.text().front().isLowSurrogate());
        }
    }

    void receivedBytes_decodedAsUtf8_onlyTheVisibleTail() {
        ShownData box;
        box.setText("old");
        box.appendUtf8("a\xc3");
        box.appendText("!"); // keeps its place after the bytes received before it
        box.appendUtf8("\xbc\xff");
        QCOMPARE(box.text(), QStringLiteral("olda\uFFFD!\uFFFD\uFFFD"));

        // A flood of bytes keeps its newest text and never starts inside a character.
        const QByteArray euro = "\xe2\x82\xac";
        const QByteArray invalid = QByteArray("\xff\x80\xc3"
                                              "a\xe2\x82")
                                       .repeated(Kept)
                                   + 'z';
        for (const QByteArray &chunk :
             {euro.repeated(Kept), QByteArray(4 * Kept, 'z') + euro, invalid}) {
            box.setUtf8("x");
            box.appendUtf8(chunk);
            const QString shown = box.text();
            QVERIFY(shown.size() >= Kept && shown.size() <= 2 * Kept);
            QVERIFY(QString::fromUtf8(chunk).endsWith(shown));
        }
        for (int i = 0; i < 200; ++i)
            box.appendUtf8(QByteArray(Kept / 10, char('a' + i % 26)));
        QCOMPARE(box.text().right(Kept / 10), QString(Kept / 10, QChar(u'a' + 199 % 26)));
    }

    // Until the rest of a character comes, the view shows its bytes as replacement marks, one
    // for each byte.
    void splitCharacter_shownWhole_data() {
        QTest::addColumn<QByteArray>("first");
        QTest::addColumn<QString>("waiting"); // what the view shows meanwhile
        QTest::addColumn<QByteArray>("second");
        QTest::addColumn<bool>("replace");
        QTest::addColumn<QString>("shown");
        const QString cafWaiting = QStringLiteral("caf\uFFFD");
        // clang-format off
        QTest::newRow("2-byte") << QByteArray("caf\xc3") << cafWaiting << QByteArray("\xa9 ok")
                                << false << QStringLiteral("caf\u00e9 ok");
        QTest::newRow("3-byte") << QByteArray("\xe2\x82") << QStringLiteral("\uFFFD\uFFFD")
                                << QByteArray("\xac") << false << QStringLiteral("\u20ac");
        QTest::newRow("4-byte") << QByteArray("\xf0") << QStringLiteral("\uFFFD")
                                << QByteArray("\x9f\x98\x80!") << false
                                << QStringLiteral("\U0001F600!");
        QTest::newRow("then replaced") << QByteArray("caf\xc3") << cafWaiting
                                       << QByteArray("\xa9 ok") << true
                                       << QStringLiteral("\uFFFD ok");
        QTest::newRow("Latin-1, never completed") << QByteArray("caf\xe9") << cafWaiting
                                                  << QByteArray(" ok") << false
                                                  << QStringLiteral("caf\uFFFD ok");
        QTest::newRow("Latin-1 lead, completed") << QByteArray("caf\xe9") << cafWaiting
                                                 << QByteArray("\xa9\x80") << false
                                                 << QStringLiteral("caf\u9a40");
        // clang-format on
    }
    void splitCharacter_shownWhole() {
        QFETCH(QByteArray, first);
        QFETCH(QString, waiting);
        QFETCH(QByteArray, second);
        QFETCH(bool, replace);
        QFETCH(QString, shown);
        ShownData box;
        box.setUtf8(first);
        QVERIFY(!box.text().contains(QChar::ReplacementCharacter));
        QTRY_COMPARE(box.shown(), waiting);
        replace ? box.setUtf8(second) : box.appendUtf8(second);
        QCOMPARE(box.text(), shown);
        QTRY_COMPARE(box.shown(), shown);
    }

    // New text and the marks of an unfinished character after it, shown in one refresh.
    void textAndSplitCharacter_shownInOrder() {
        ShownData box;
        box.setUtf8("ab");
        QTRY_COMPARE(box.shown(), QStringLiteral("ab"));
        box.appendUtf8("c\xc3");
        QTRY_COMPARE(box.shown(), QStringLiteral("abc\uFFFD"));
        box.appendUtf8("\xa9");
        QTRY_COMPARE(box.shown(), QStringLiteral("abc\u00e9"));
    }

    // Each chunk shows in a refresh of its own; a CR LF split between two is one line break.
    void crLf_splitBetweenRefreshes_oneBreak_data() {
        QTest::addColumn<QByteArrayList>("chunks");
        QTest::addColumn<QString>("lines"); // the view's lines
        QTest::newRow("CR | LF") << QByteArrayList{"line1\r", "\nline2"} << "line1\nline2";
        QTest::newRow("CR | LF | LF") << QByteArrayList{"a\r", "\n", "\nb"} << "a\n\nb";
        QTest::newRow("CR | CR LF") << QByteArrayList{"a\r", "\r\nb"} << "a\n\nb";
    }
    void crLf_splitBetweenRefreshes_oneBreak() {
        QFETCH(QByteArrayList, chunks);
        QFETCH(QString, lines);
        ShownData box;
        for (const QByteArray &chunk : chunks) {
            box.appendUtf8(chunk);
            QTRY_COMPARE(box.shown(), box.text());
        }
        QCOMPARE(box.rows(), lines);
    }

    void hexView_dumpsTheBytesThatArrived_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("shown");
        QTest::newRow("NUL and 0xFF")
            << QByteArray("a\0\xff", 3)
            << "00000000  61 00 ff                                          |a..|\n00000003\n";
        QTest::newRow("more than 16 bytes")
            << QByteArray("0123456789abcdef\tXYZ")
            << "00000000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  |0123456789abcdef|\n"
               "00000010  09 58 59 5a                                       |.XYZ|\n00000014\n";
        QTest::newRow("empty datagram") << QByteArray() << "00000000\n";
    }
    void hexView_dumpsTheBytesThatArrived() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, shown);
        ShownData box;
        box.setShowHex(true);
        box.setChunk(chunk(bytes));
        QCOMPARE(box.text(), shown);
    }

    // The dump's columns line up whatever the system's fixed font is: a proportional one gives
    // way to a family whose characters take one advance, where the machine has one.
    void hexView_fontWithEvenAdvances() {
        const QStringList families = QFontDatabase::families();
        const auto uneven = std::find_if(families.begin(), families.end(), [](const QString &f) {
            return !hasEvenAdvances(QFont(f, 13));
        });
        if (uneven == families.end()
            || std::none_of(families.begin(), families.end(),
                            [](const QString &f) { return hasEvenAdvances(QFont(f)); }))
            QSKIP("no font here without or with even advances");
        const QFont even = evenFont(QFont(*uneven, 13));
        QVERIFY(hasEvenAdvances(even));
        QCOMPARE(even.pointSize(), 13);
    }

    void switchingViews_showsWhatTheBoxHolds() {
        ShownData box;
        QSignalSpy hexToggles(&box, &ReceivedData::optionsChanged);
        box.setChunk(chunk("caf\xc3"));
        box.appendChunk(chunk("\xa9\n"));
        box.appendText("note");
        const QString text = QStringLiteral("caf\u00e9\nnote");
        QCOMPARE(box.text(), text);
        box.setShowHex(true);
        box.setShowTimeStamps(true);
        QVERIFY(box.text().startsWith("[2026-12-07 09:34:51.042] 192.168.1.20:51234, 4 bytes\n"
                                      "00000000  63 61 66 c3  "));
        QVERIFY(box.text().endsWith("|..|\n00000002\nnote"));
        box.setShowHex(false);
        box.setShowTimeStamps(false);
        QCOMPARE(box.text(), text);
        QTRY_COMPARE(box.shown(), text);
        QCOMPARE(hexToggles.count(), 4);

        // Bounded in either view, and either view still full after a switch.
        for (int i = 0; i < 100; ++i)
            box.appendChunk(chunk(QByteArray(64 * 1024, char('a' + i % 26))));
        for (bool hex : {true, false}) {
            box.setShowHex(hex);
            QVERIFY(box.text().size() >= Kept && box.text().size() <= 2 * Kept);
        }
        QAction *clear = menuEntry(box.view, "&Clear");
        QVERIFY(clear);
        clear->trigger();
        QCOMPARE(box.text(), QString());
        QCOMPARE(box.receivedBytes(), QByteArray());
    }

    void timeStamps_nameArrivalPeerAndSize_data() {
        QTest::addColumn<bool>("tcp");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("size");
        QTest::newRow("tcp") << true << QByteArray("hi") << "2 bytes";
        QTest::newRow("udp, one byte") << false << QByteArray("x") << "1 byte";
    }
    void timeStamps_nameArrivalPeerAndSize() {
        QFETCH(bool, tcp);
        QFETCH(QByteArray, data);
        QFETCH(QString, size);
        WindowFixture fixture;
        Form &c = fixture.form();
        c.txtNetData.setShowTimeStamps(true);
        const quint16 port = startListener(c, tcp);
        QTcpSocket tcpPeer;
        QUdpSocket udpPeer;
        if (tcp) {
            tcpPeer.connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(tcpPeer.waitForConnected(5000));
            tcpPeer.write(data);
        } else {
            QVERIFY(udpPeer.bind(QHostAddress::LocalHost, 0));
            udpPeer.writeDatagram(data, QHostAddress::LocalHost, port);
        }
        const quint16 peerPort = tcp ? tcpPeer.localPort() : udpPeer.localPort();
        QTRY_COMPARE(c.txtNetData.text(),
                     "[2026-12-05 21:34:51.000] 127.0.0.1:" + QString::number(peerPort) + ", "
                         + size + "\n" + data);
    }

    void save_writesWhatTheBoxHolds_data() {
        QTest::addColumn<bool>("rawBytes");
        QTest::addColumn<bool>("pcapng");
        QTest::newRow("raw bytes") << true << false;
        QTest::newRow("text as shown") << false << false;
        QTest::newRow("pcapng capture") << false << true;
    }
    void save_writesWhatTheBoxHolds() {
        QFETCH(bool, rawBytes);
        QFETCH(bool, pcapng);
        const QTemporaryDir dir;
        const QString file = dir.filePath("saved");
        ShownData box;
        box.view.setSaveDialog([&](QWidget *) {
            return ReceivedDataBox::SaveChoice{file, rawBytes, pcapng};
        });
        box.setShowTimeStamps(true);
        box.setChunk(chunk(QByteArray("a\0\xff\r\n", 5)));
        box.appendText("note");
        box.appendChunk(chunk("\xc3"));
        QAction *save = menuEntry(box.view, "Sa&ve Received Data As...");
        QVERIFY(save);
        save->trigger();
        if (pcapng) // a section header, then each chunk's bytes at the end of its packet
            QVERIFY(fileBytes(file).startsWith("\x0a\x0d\x0d\x0a")
                    && fileBytes(file).contains(QByteArray("a\0\xff\r\n", 5))
                    && fileBytes(file).contains("\xc3"));
        else
            QCOMPARE(fileBytes(file),
                     rawBytes ? QByteArray("a\0\xff\r\n\xc3", 6) : box.text().toUtf8());
    }

    // A save that fails says why, as the system put it, and leaves no file.
    void save_fails_namesTheSystemsReason() {
        const QTemporaryDir dir;
        const QString file = dir.filePath("saved.bin");
        ShownData box;
        box.view.setSaveDialog([&](QWidget *) { return ReceivedDataBox::SaveChoice{file, true}; });
        box.setChunk(chunk(QByteArray(100000, 'x')));
        QString told;
        QTimer::singleShot(0, this, [&told] {
            if (auto *message = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                told = message->text();
                message->accept();
            }
        });
        withFileSizeLimit(4096,
                          [&] { menuEntry(box.view, "Sa&ve Received Data As...")->trigger(); });
        QCOMPARE(told, "Cannot save " + file + ":\nFile too large");
        QVERIFY(!QFile::exists(file));
    }
};

QTEST_MAIN(TstReceivedDataBox)
#include "tst_received_data_box.moc"
