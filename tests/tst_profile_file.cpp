#include "settings/profile_file.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

class tst_ProfileFile : public QObject {
    Q_OBJECT

private slots:
    void init();

    void readVectors_data();
    void readVectors();
    void writeVectors_data();
    void writeVectors();
    void writtenValueReadsBack_data();
    void writtenValueReadsBack();

    void badFileContents_data();
    void badFileContents();
    void nulBytesSurviveAnEdit();
    void sizeLimit();
    void pathsThatAreNotFiles_data();
    void pathsThatAreNotFiles();
    void missingFolderIsNotCreated();
    void argumentsThatWouldBreakLinesAreRefused();
    void otherWritersAreSeen();

private:
    QString writeFile(const QByteArray &bytes);
    QByteArray fileBytes() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
};

void tst_ProfileFile::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_path = m_dir->filePath(u"test.ini"_s);
}

QString tst_ProfileFile::writeFile(const QByteArray &bytes) {
    QFile file(m_path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(m_path));
    return m_path;
}

QByteArray tst_ProfileFile::fileBytes() const {
    QFile file(m_path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void tst_ProfileFile::readVectors_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QByteArray>("value");

    const QByteArray dupKeys = "[s]\r\nk=first\r\nk=second\r\n";
    QTest::newRow("first duplicate key wins") << dupKeys << "s"_ba
                                              << "k"_ba << true << "first"_ba;
    const QByteArray dupSections = "[s]\r\nk=one\r\n[t]\r\n[s]\r\nk=two\r\nj=3\r\n";
    QTest::newRow("first duplicate section wins") << dupSections << "s"_ba
                                                  << "k"_ba << true << "one"_ba;
    QTest::newRow("later duplicate section ignored") << dupSections << "s"_ba
                                                     << "j"_ba << false << ""_ba;

    const QByteArray cased = "[Sec]\r\nKey=v\r\n";
    QTest::newRow("names ignore case") << cased << "sEC"_ba
                                       << "kEY"_ba << true << "v"_ba;
    QTest::newRow("argument spaces trimmed") << cased << " sec "_ba
                                             << " key "_ba << true << "v"_ba;
    QTest::newRow("argument tab not trimmed") << cased << "\tsec"_ba
                                              << "key"_ba << false << ""_ba;
    QTest::newRow("case of value kept") << "[s]\r\nk=MiXeD\r\n"_ba
                                        << "S"_ba
                                        << "K"_ba << true << "MiXeD"_ba;

    QTest::newRow("blanks round key and value") << "[s]\r\n  k  =\t v v \t\r\n"_ba
                                                << "s"_ba
                                                << "k"_ba << true << "v v"_ba;
    QTest::newRow("vertical tab is a blank") << "[s]\r\nk=\vv\v\r\n"_ba
                                             << "s"_ba
                                             << "k"_ba << true << "v"_ba;
    QTest::newRow("double quotes") << "[s]\r\nk=\"  v  \"\r\n"_ba
                                   << "s"_ba
                                   << "k"_ba << true << "  v  "_ba;
    QTest::newRow("single quotes") << "[s]\r\nk='v'\r\n"_ba
                                   << "s"_ba
                                   << "k"_ba << true << "v"_ba;
    QTest::newRow("mismatched quotes") << "[s]\r\nk=\"v'\r\n"_ba
                                       << "s"_ba
                                       << "k"_ba << true << "\"v'"_ba;
    QTest::newRow("lone quote") << "[s]\r\nk=\"\r\n"_ba
                                << "s"_ba
                                << "k"_ba << true << "\""_ba;
    QTest::newRow("empty quotes") << "[s]\r\nk=\"\"\r\n"_ba
                                  << "s"_ba
                                  << "k"_ba << true << ""_ba;
    QTest::newRow("only outer pair") << "[s]\r\nk=''x''\r\n"_ba
                                     << "s"_ba
                                     << "k"_ba << true << "'x'"_ba;
    QTest::newRow("quoted key stays quoted") << "[s]\r\n\"k\"=v\r\n"_ba
                                             << "s"_ba
                                             << "k"_ba << false << ""_ba;
    QTest::newRow("empty value is found") << "[s]\r\nk=\r\n"_ba
                                          << "s"_ba
                                          << "k"_ba << true << ""_ba;
    QTest::newRow("empty key") << "[s]\r\n=v\r\n"_ba
                               << "s"_ba
                               << ""_ba << true << "v"_ba;
    QTest::newRow("no inline comment") << "[s]\r\nk=v ;c\r\n"_ba
                                       << "s"_ba
                                       << "k"_ba << true << "v ;c"_ba;
    QTest::newRow("split at first equals") << "[s]\r\nk=a=b\r\n"_ba
                                           << "s"_ba
                                           << "k"_ba << true << "a=b"_ba;
    QTest::newRow("line without equals") << "[s]\r\nk\r\n"_ba
                                         << "s"_ba
                                         << "k"_ba << false << ""_ba;

    const QByteArray comments = "[s]\r\n#k=v\r\n  ;j=w\r\n";
    QTest::newRow("hash is no comment") << comments << "s"_ba
                                        << "#k"_ba << true << "v"_ba;
    QTest::newRow("semicolon comment") << comments << "s"_ba
                                       << ";j"_ba << false << ""_ba;

    QTest::newRow("text after header") << "[s]k=v\r\nj=w\r\n"_ba
                                       << "s"_ba
                                       << "k"_ba << false << ""_ba;
    QTest::newRow("key after header line") << "[s]k=v\r\nj=w\r\n"_ba
                                           << "s"_ba
                                           << "j"_ba << true << "w"_ba;
    QTest::newRow("header without bracket") << "[s   \r\nk=v\r\n"_ba
                                            << "s"_ba
                                            << "k"_ba << true << "v"_ba;
    QTest::newRow("blanks inside brackets") << "[ s ]\r\nk=v\r\n"_ba
                                            << "s"_ba
                                            << "k"_ba << true << "v"_ba;
    QTest::newRow("empty section name") << "[]\r\nk=v\r\n"_ba
                                        << ""_ba
                                        << "k"_ba << true << "v"_ba;
    QTest::newRow("name ends at first bracket") << "[a]b]\r\nk=v\r\n"_ba
                                                << "a"_ba
                                                << "k"_ba << true << "v"_ba;
    QTest::newRow("key before any section") << "k=v\r\n[s]\r\n"_ba
                                            << ""_ba
                                            << "k"_ba << false << ""_ba;

    QTest::newRow("CR only") << "[s]\rk=v\rj=w\r"_ba
                             << "s"_ba
                             << "j"_ba << true << "w"_ba;
    QTest::newRow("LF only") << "[s]\nk=v\n"_ba
                             << "s"_ba
                             << "k"_ba << true << "v"_ba;
    QTest::newRow("mixed line ends") << "[s]\n\ra=1\r\r\nk=v"_ba
                                     << "s"_ba
                                     << "k"_ba << true << "v"_ba;
    const QByteArray bom = "\xEF\xBB\xBF[s]\r\nk=v\r\n[t]\r\nk=w\r\n";
    QTest::newRow("BOM breaks line 1") << bom << "s"_ba
                                       << "k"_ba << false << ""_ba;
    QTest::newRow("BOM later lines fine") << bom << "t"_ba
                                          << "k"_ba << true << "w"_ba;
    QTest::newRow("UTF-8 value") << "[s]\r\nk=\xC3\xA9 \xE6\x97\xA5\r\n"_ba
                                 << "s"_ba
                                 << "k"_ba << true << "\xC3\xA9 \xE6\x97\xA5"_ba;
    QTest::newRow("long value not cut") << "[s]\r\nk="_ba + QByteArray(600, 'x') << "s"_ba
                                        << "k"_ba << true << QByteArray(600, 'x');
    QTest::newRow("empty file") << ""_ba
                                << "s"_ba
                                << "k"_ba << false << ""_ba;
}

void tst_ProfileFile::readVectors() {
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, section);
    QFETCH(QByteArray, key);
    QFETCH(bool, found);
    QFETCH(QByteArray, value);

    const std::optional<QByteArray> got = ProfileFile::readValue(writeFile(file), section, key);
    QCOMPARE(got.has_value(), found);
    if (found)
        QCOMPARE(*got, value);
}

using Writes = QList<QByteArrayList>; // section, key, value

void tst_ProfileFile::writeVectors_data() {
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<Writes>("writes");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("new file") << false << ""_ba << Writes{{"App", "key", ""}}
                              << "[App]\r\nkey=\r\n"_ba;
    QTest::newRow("empty file") << true << ""_ba << Writes{{"App", "key", ""}}
                                << "[App]\r\nkey=\r\n"_ba;
    QTest::newRow("sections appended")
        << false << ""_ba
        << Writes{{"App1", "key1", "string1"},
                  {"App1", "key2", "string2"},
                  {"App1", "key3", "string3"},
                  {"App2", "key4", "string4"},
                  {"App3", "key5", "string5"}}
        << "[App1]\r\nkey1=string1\r\nkey2=string2\r\nkey3=string3\r\n[App2]\r\nkey4=string4\r\n"
           "[App3]\r\nkey5=string5\r\n"_ba;
    QTest::newRow("comments keep their place")
        << true << ";c0\r\n[s]\r\n;c1\r\nb=v\r\n;c2\r\na=v\r\n"_ba
        << Writes{{"s", "z", ""}, {"s", ";x", ""}, {"s", "y", ""}, {"s", "a", ""}, {"s", "b", ""}}
        << ";c0\r\n[s]\r\n;c1\r\nb=\r\n;c2\r\na=\r\nz=\r\ny=\r\n;x=\r\n"_ba;
    QTest::newRow("comment keys stack up")
        << true << "[s]\r\n"_ba
        << Writes{{"s", "z", ""}, {"s", ";y", ""}, {"s", "a", ""}, {"s", ";b", ""}, {"s", ";c", ""}}
        << "[s]\r\nz=\r\na=\r\n;c=\r\n;b=\r\n;y=\r\n"_ba;
    QTest::newRow("value written verbatim")
        << true << "[s]\r\n"_ba << Writes{{"s", "k", "  v  "}} << "[s]\r\nk=  v  \r\n"_ba;
    QTest::newRow("file spelling of key kept")
        << true << "[Sec]\r\n  keyName = old \r\nx=1\r\n"_ba << Writes{{"SEC", "KEYNAME", "new"}}
        << "[Sec]\r\nkeyName=new\r\nx=1\r\n"_ba;
    QTest::newRow("first duplicate replaced")
        << true << "[s]\nk=1\nk=2\n[s]\nk=3\n"_ba << Writes{{"s", "k", "9"}, {"s", "j", "8"}}
        << "[s]\nk=9\nk=2\nj=8\r\n[s]\nk=3\n"_ba;
    QTest::newRow("LF file keeps its line ends")
        << true << "[s]\nk=1\n\n[t]\nm=2\n"_ba << Writes{{"t", "m", "3"}}
        << "[s]\nk=1\n\n[t]\nm=3\n"_ba;
    QTest::newRow("CR file edited in place")
        << true << "[s]\rk=1\rj=2\r"_ba << Writes{{"s", "k", "7"}} << "[s]\rk=7\rj=2\r"_ba;
    QTest::newRow("no final line break on edited line")
        << true << "[s]\r\nk=1"_ba << Writes{{"s", "k", "2"}} << "[s]\r\nk=2\r\n"_ba;
    QTest::newRow("no final line break before new key")
        << true << "[s]\r\nk=1"_ba << Writes{{"s", "j", "2"}} << "[s]\r\nk=1\r\nj=2\r\n"_ba;
    QTest::newRow("no final line break before new section")
        << true << "; note"_ba << Writes{{"s", "j", "2"}} << "; note\r\n[s]\r\nj=2\r\n"_ba;
    QTest::newRow("no final line break elsewhere")
        << true << "[s]\r\nk=1\r\n[t]\r\n;end"_ba << Writes{{"s", "k", "2"}}
        << "[s]\r\nk=2\r\n[t]\r\n;end\r\n"_ba;
    QTest::newRow("key after header with text")
        << true << "[s]k=v\r\n"_ba << Writes{{"s", "j", "w"}} << "[s]k=v\r\nj=w\r\n"_ba;
    QTest::newRow("junk and blank lines kept")
        << true << "garbage\r\n\r\n[s]\r\n\r\nnot a key\r\nk=1\r\n\r\n\xFF\xFE\r\n"_ba
        << Writes{{"s", "j", "2"}, {"s", "k", "3"}}
        << "garbage\r\n\r\n[s]\r\n\r\nnot a key\r\nk=3\r\nj=2\r\n\r\n\xFF\xFE\r\n"_ba;
    QTest::newRow("section after BOM line is new")
        << true << "\xEF\xBB\xBF[s]\r\nk=1\r\n"_ba << Writes{{"s", "k", "2"}}
        << "\xEF\xBB\xBF[s]\r\nk=1\r\n[s]\r\nk=2\r\n"_ba;
    QTest::newRow("argument spaces trimmed")
        << false << ""_ba << Writes{{" s ", " k ", " v "}} << "[s]\r\nk= v \r\n"_ba;
}

void tst_ProfileFile::writeVectors() {
    QFETCH(bool, exists);
    QFETCH(QByteArray, before);
    QFETCH(Writes, writes);
    QFETCH(QByteArray, after);

    if (exists)
        writeFile(before);
    for (const QByteArrayList &w : writes)
        QVERIFY(ProfileFile::writeValue(m_path, w[0], w[1], w[2]));
    QCOMPARE(fileBytes(), after);
}

void tst_ProfileFile::writtenValueReadsBack_data() {
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QByteArray>("stored");

    QTest::newRow("plain") << "v"_ba
                           << "v"_ba;
    QTest::newRow("empty") << ""_ba
                           << ""_ba;
    QTest::newRow("leading blank") << " v"_ba
                                   << "\" v\""_ba;
    QTest::newRow("trailing tab") << "v\t"_ba
                                  << "\"v\t\""_ba;
    QTest::newRow("only spaces") << "   "_ba
                                 << "\"   \""_ba;
    QTest::newRow("double quoted") << "\"v\""_ba
                                   << "\"\"v\"\""_ba;
    QTest::newRow("single quoted") << "'v'"_ba
                                   << "\"'v'\""_ba;
    QTest::newRow("lone quote") << "\""_ba
                                << "\""_ba;
    QTest::newRow("mismatched quotes") << "\"v'"_ba
                                       << "\"v'"_ba;
    QTest::newRow("quote inside") << "a\"b"_ba
                                  << "a\"b"_ba;
    QTest::newRow("semicolon and equals") << ";a=b"_ba
                                          << ";a=b"_ba;
}

void tst_ProfileFile::writtenValueReadsBack() {
    QFETCH(QByteArray, value);
    QFETCH(QByteArray, stored);

    const QByteArray quoted = ProfileFile::quotedWhereNeeded(value);
    QCOMPARE(quoted, stored);
    QVERIFY(ProfileFile::writeValue(m_path, "s", "k", quoted));
    QCOMPARE(ProfileFile::readValue(m_path, "s", "k").value_or("<none>"), value);
}

void tst_ProfileFile::badFileContents_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("writable");

    QRandomGenerator random(20260105);
    QByteArray noise(64 * 1024, Qt::Uninitialized);
    random.fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
    QTest::newRow("random bytes") << noise << true;
    QTest::newRow("random bytes in section") << "[s]\r\n"_ba + noise << true;
    QTest::newRow("NUL bytes") << QByteArray(1000, '\0') << true;
    QTest::newRow("high bytes") << QByteArray(1000, '\xFF') << true;
    QTest::newRow("lone CRs") << QByteArray(1000, '\r') << true;
    QTest::newRow("brackets only") << "[[[[]]]]\r\n[\r\n]\r\n[=]\r\n="_ba << true;
    QTest::newRow("UTF-16LE BOM") << "\xFF\xFE[\0s\0]\0\r\0\n\0k\0=\0v\0"_ba << true;
    QTest::newRow("line of 64 KiB - 1") << "[s]\r\n"_ba + QByteArray(64 * 1024 - 1, 'a') << true;
    QTest::newRow("line of 64 KiB") << "[s]\r\n"_ba + QByteArray(64 * 1024, 'a') << true;
    QTest::newRow("line of 64 KiB + 1") << "[s]\r\n"_ba + QByteArray(64 * 1024 + 1, 'a') << true;
    QTest::newRow("line of 1 MiB") << QByteArray(1024 * 1024, '[') << false;
}

void tst_ProfileFile::badFileContents() {
    QFETCH(QByteArray, file);
    QFETCH(bool, writable);

    writeFile(file);
    QVERIFY(!ProfileFile::readValue(m_path, "s", "k").has_value());
    QCOMPARE(ProfileFile::writeValue(m_path, "s", "k", "v"), writable);
    if (writable) {
        QCOMPARE(ProfileFile::readValue(m_path, "s", "k").value_or("<none>"), "v"_ba);
        // Only the new line (and its section) and a final line break were added.
        const bool ends = file.isEmpty() || file.endsWith('\n') || file.endsWith('\r');
        const qsizetype added = (ends ? 0 : 2) + (file.startsWith("[s]\r\n") ? 5 : 10);
        QCOMPARE(fileBytes().size(), file.size() + added);
    } else {
        QCOMPARE(fileBytes(), file);
    }
}

void tst_ProfileFile::nulBytesSurviveAnEdit() {
    const QByteArray before = "\0\0junk\0\r\n[s]\r\nk=a\0b\r\nj=1\0\r\n"_ba;
    writeFile(before);
    QCOMPARE(ProfileFile::readValue(m_path, "s", "k").value_or("<none>"), "a\0b"_ba);
    QVERIFY(ProfileFile::writeValue(m_path, "s", "j", "2"));
    QCOMPARE(fileBytes(), "\0\0junk\0\r\n[s]\r\nk=a\0b\r\nj=2\r\n"_ba);
}

void tst_ProfileFile::sizeLimit() {
    const QByteArray head = "[s]\r\nk=v\r\n;";
    const QByteArray atLimit = head + QByteArray(ProfileFile::MaxBytes - head.size(), 'x');
    writeFile(atLimit);
    QCOMPARE(ProfileFile::readValue(m_path, "s", "k").value_or("<none>"), "v"_ba);

    // One byte over: nothing is read, and the file is never rewritten from a partial read.
    const QByteArray overLimit = atLimit + 'x';
    writeFile(overLimit);
    QVERIFY(!ProfileFile::readValue(m_path, "s", "k").has_value());
    QVERIFY(!ProfileFile::writeValue(m_path, "s", "k", "w"));
    QCOMPARE(fileBytes(), overLimit);
}

void tst_ProfileFile::pathsThatAreNotFiles_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("directory") << u"directory"_s;
    QTest::newRow("FIFO") << u"fifo"_s;
    QTest::newRow("/dev/zero") << u"/dev/zero"_s;
    QTest::newRow("through a file") << u"through a file"_s;
}

void tst_ProfileFile::pathsThatAreNotFiles() {
    QFETCH(QString, kind);

    QString path = m_path;
    if (kind == u"directory") {
        QVERIFY(QDir().mkpath(path));
    } else if (kind == u"fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (kind == u"through a file") {
        writeFile("[s]\r\nk=v\r\n");
        path += u"/inner.ini"_s;
    } else {
        path = kind;
    }

    // A FIFO or a device must come back at once with nothing read (a hang fails by timeout).
    QVERIFY(!ProfileFile::readValue(path, "s", "k").has_value());
    QVERIFY(!ProfileFile::writeValue(path, "s", "k", "v"));
    if (kind == u"directory")
        QVERIFY(QDir(path).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System
                                   | QDir::NoDotAndDotDot));
    if (kind == u"through a file")
        QCOMPARE(fileBytes(), "[s]\r\nk=v\r\n"_ba);
}

void tst_ProfileFile::missingFolderIsNotCreated() {
    const QString path = m_dir->filePath(u"missing/test.ini"_s);
    QVERIFY(!ProfileFile::writeValue(path, "s", "k", "v"));
    QVERIFY(!QFileInfo::exists(m_dir->filePath(u"missing"_s)));
    QVERIFY(!ProfileFile::readValue(path, "s", "k").has_value());
}

void tst_ProfileFile::argumentsThatWouldBreakLinesAreRefused() {
    const QByteArray before = "[s]\r\nk=old\r\n";
    writeFile(before);
    QVERIFY(!ProfileFile::writeValue(m_path, "s", "k", "a\r\n[x]"));
    QVERIFY(!ProfileFile::writeValue(m_path, "s", "k", "a\nb"));
    QVERIFY(!ProfileFile::writeValue(m_path, "s", "k", QByteArrayView("a\0b", 3)));
    QVERIFY(!ProfileFile::writeValue(m_path, "s]\r\nx=y", "k", "v"));
    QVERIFY(!ProfileFile::writeValue(m_path, "s", "k\rj", "v"));
    QCOMPARE(fileBytes(), before);
}

void tst_ProfileFile::otherWritersAreSeen() {
    writeFile("[s]\r\nk=1\r\n");
    QCOMPARE(ProfileFile::readValue(m_path, "s", "k").value_or("<none>"), "1"_ba);
    writeFile("[s]\r\nk=2\r\n");
    QCOMPARE(ProfileFile::readValue(m_path, "s", "k").value_or("<none>"), "2"_ba);
    QVERIFY(ProfileFile::writeValue(m_path, "s", "j", "3"));
    QCOMPARE(fileBytes(), "[s]\r\nk=2\r\nj=3\r\n"_ba);
}

QTEST_GUILESS_MAIN(tst_ProfileFile)
#include "tst_profile_file.moc"
