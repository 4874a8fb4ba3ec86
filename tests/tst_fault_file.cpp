// The faults file: what it takes, what it refuses whole, what a save writes, and the program
// taking its faults into the relay at start.
#include "model/configuration.h"
#include "settings/fault_file.h"
#include "support/file_bytes.h"
#include "support/program_fixture.h"

#include <QDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

Q_DECLARE_METATYPE(QList<Fault>)

namespace {

Fault fault(const QString &name, FaultKind kind, std::initializer_list<qint64> values = {}) {
    Fault made;
    made.name = name;
    made.kind = kind;
    std::copy(values.begin(), values.end(), made.values.begin());
    return made;
}

QString manyFaults(int count) {
    QString text;
    for (int i = 0; i < count; ++i)
        text += u"[f%1]\ntype = down\n"_s.arg(i);
    return text;
}

} // namespace

class tst_FaultFile : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path() const { return m_dir.filePath(u"Sendrel_Faults.ini"_s); }

private slots:
    void load_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QList<Fault>>("faults");
        QTest::addColumn<QString>("problem"); // after the file's name; empty: loaded
        Fault slow = fault(u"slow"_s, FaultKind::Latency, {120, 10});
        slow.up = true;
        slow.toxicity = 0.25;
        slow.enabled = false;
        slow.after.mode = MatchMode::Contains;
        slow.after.watch = u" LOGIN ; x"_s;
        QTest::newRow("every key, comments, CRLF")
            << "; mine\r\n[slow]\r\nTYPE = latency ; a comment\r\nstream=upstream\r\n"
               "toxicity = 0.25\r\nenabled = no\r\nlatency = 120\r\njitter = 10\r\n"
               "after_mode = contains\r\nafter = \" LOGIN ; x\"\r\n"_ba
            << QList<Fault>{slow} << QString();
        // A UDP kind is kept whatever the relay carries.
        QTest::newRow("kinds in order, defaults")
            << "[a]\ntype = loss\npercent = 30\n\n[b]\ntype = slow_close\n"_ba
            << QList<Fault>{fault(u"a"_s, FaultKind::Loss, {30}),
                            fault(u"b"_s, FaultKind::SlowClose)}
            << QString();
        QTest::newRow("empty") << ""_ba << QList<Fault>{} << QString();
        QTest::newRow("unknown type")
            << "[a]\n\ntype = lag\n"_ba << QList<Fault>{} << u" line 3: [a] no fault type 'lag'"_s;
        QTest::newRow("no type") << "[a]\nlatency = 5\n"_ba << QList<Fault>{}
                                 << u" line 1: [a] has no type"_s;
        QTest::newRow("attribute out of range")
            << "[ok]\ntype = down\n[a]\ntype = loss\npercent = 101\n"_ba << QList<Fault>{}
            << u" line 5: [a] percent is a whole number from 0 to 100 %, not '101'"_s;
        QTest::newRow("attribute of another kind")
            << "[a]\ntype = down\nlatency = 5\n"_ba << QList<Fault>{}
            << u" line 3: [a] 'latency' is no key of a down fault"_s;
        QTest::newRow("a name twice") << "[a]\ntype = down\n[a]\ntype = down\n"_ba << QList<Fault>{}
                                      << u" line 3: [a] is named like the fault on line 1"_s;
        QTest::newRow("a bad name") << "[a b]\ntype = down\n"_ba << QList<Fault>{}
                                    << u" line 1: [a b] a fault's name is 1 to 64 letters, "
                                       "digits, '_', '-' or '.'"_s;
        QTest::newRow("too many faults")
            << manyFaults(Fault::MaxFaults + 1).toUtf8() << QList<Fault>{}
            << u" line %1: more than 32 faults"_s.arg(Fault::MaxFaults * 2 + 1);
        QTest::newRow("toxicity") << "[a]\ntype = down\ntoxicity = 2\n"_ba << QList<Fault>{}
                                  << u" line 3: [a] toxicity is a number from 0 to 1, not '2'"_s;
        QTest::newRow("key twice") << "[a]\ntype = down\ntype = loss\n"_ba << QList<Fault>{}
                                   << u" line 3: [a] 'type' given twice"_s;
        QTest::newRow("mode without watch")
            << "[a]\ntype = down\nafter_mode = regex\n"_ba << QList<Fault>{}
            << u" line 3: [a] after_mode is for a fault with after"_s;
        QTest::newRow("slicer as a whole")
            << "[a]\ntype = slicer\naverage_size = 5\nsize_variation = 5\n"_ba << QList<Fault>{}
            << u" line 1: [a] a slice's average_size is above 0 and above its size_variation"_s;
        QTest::newRow("after that does not compile")
            << "[a]\ntype = down\nafter_mode = regex\nafter = (a\n"_ba << QList<Fault>{}
            << u" line 1: [a] after: Pattern error at offset 2: missing closing parenthesis"_s;
        QTest::newRow("key outside a section") << "type = down\n"_ba << QList<Fault>{}
                                               << u" line 1: 'type = down' is no key = value "
                                                  "of a fault"_s;
        QTest::newRow("a file too big")
            << "[a]\ntype = down\n"_ba + QByteArray(FaultFile::MaxBytes, ';') << QList<Fault>{}
            << u": larger than 64 KiB"_s;
        QTest::newRow("binary") << "[a]\ntype = down\n\0"_ba << QList<Fault>{}
                                << u": it is binary, not text (byte 17 is 0)"_s;
    }
    void load() {
        QFETCH(QByteArray, text);
        QFETCH(QList<Fault>, faults);
        QFETCH(QString, problem);
        QVERIFY(writeBytes(path(), text));
        FaultFile file;
        QString told;
        QCOMPARE(file.load(path(), &told), problem.isEmpty());
        QCOMPARE(told, problem.isEmpty() ? QString() : QDir::toNativeSeparators(path()) + problem);
        QCOMPARE(file.faults(), faults);
        // A file that was refused is never written over.
        QCOMPARE(file.save({fault(u"x"_s, FaultKind::Down)}), problem.isEmpty());
        if (!problem.isEmpty())
            QCOMPARE(fileBytes(path()), text);
    }

    // What a save writes reads back as the same faults, the lines before them kept.
    void save_readsBack() {
        QVERIFY(writeBytes(path(), "; by hand\n[old]\ntype = down\n"));
        FaultFile file;
        QVERIFY(file.load(path()));
        Fault watch = fault(u"w"_s, FaultKind::Corrupt, {5});
        watch.toxicity = 0.1;
        watch.after.watch = u"  padded"_s;
        const QList<Fault> faults{fault(u"lat"_s, FaultKind::Latency, {120}), watch};
        QVERIFY(file.save(faults));
        QVERIFY(fileBytes(path()).startsWith("; by hand\n\n[lat]\ntype = latency\n"));
        FaultFile again;
        QVERIFY(again.load(path()));
        QCOMPARE(again.faults(), faults);
        QString problem;
        QVERIFY(!file.save(faults + QList<Fault>{faults[0]}, &problem));
        QCOMPARE(problem, u"lat: a second fault of that name"_s);
    }

    // Loaded at start from beside the settings file, into the relay's options.
    void program_takesFileBesideSettings() {
        ProgramFixture fixture;
        QVERIFY(writeBytes(FaultFile::besideSettings(fixture.settingsFile()),
                           "[drop]\ntype = loss\npercent = 10\n"));
        QVERIFY(writeBytes(fixture.settingsFile(), "[Settings]\r\nRelayTarget=127.0.0.1:9\r\n"));
        fixture.reopen(false);
        const RelayOptions &relay = fixture.program().configuration().relay();
        QCOMPARE(relay.targetText(), u"127.0.0.1:9"_s);
        QCOMPARE(relay.faults, QList<Fault>{fault(u"drop"_s, FaultKind::Loss, {10})});
        QVERIFY(fixture.problems.isEmpty());
        QVERIFY(writeBytes(FaultFile::besideSettings(fixture.settingsFile()), "[drop]\n"));
        fixture.reopen(false);
        QVERIFY(fixture.program().configuration().relay().faults.isEmpty());
        QCOMPARE(fixture.problems.size(), 1);
        QVERIFY2(fixture.problems[0].endsWith(u"Sendrel_Faults.ini line 1: [drop] has no type"_s),
                 qPrintable(fixture.problems[0]));
    }
};

QTEST_GUILESS_MAIN(tst_FaultFile)
#include "tst_fault_file.moc"
