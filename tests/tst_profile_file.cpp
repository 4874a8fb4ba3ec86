#include "settings/profile_file.h"
#include "support/file_bytes.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

const QByteArray None = "<none>"; // a read that finds nothing

// name, file, section, key, value read (nullptr: nothing found)
const char *const readCases[][5] = {
    {"first duplicate key wins", "[s]\r\nk=first\r\nk=second\r\n", "s", "k", "first"},
    {"first duplicate section wins", "[s]\r\nk=one\r\n[t]\r\n[s]\r\nk=two\r\nj=3\r\n", "s", "k",
     "one"},
    {"later duplicate section ignored", "[s]\r\nk=one\r\n[t]\r\n[s]\r\nj=3\r\n", "s", "j", nullptr},
    {"names ignore case", "[Sec]\r\nKey=v\r\n", "sEC", "kEY", "v"},
    {"argument spaces trimmed", "[Sec]\r\nKey=v\r\n", " sec ", " key ", "v"},
    {"argument tab not trimmed", "[Sec]\r\nKey=v\r\n", "\tsec", "key", nullptr},
    {"blanks round key and value", "[s]\r\n  k  =\t v v \t\r\n", "s", "k", "v v"},
    {"double quotes", "[s]\r\nk=\"  v  \"\r\n", "s", "k", "  v  "},
    {"single quotes", "[s]\r\nk='v'\r\n", "s", "k", "v"},
    {"mismatched quotes", "[s]\r\nk=\"v'\r\n", "s", "k", "\"v'"},
    {"lone quote", "[s]\r\nk=\"\r\n", "s", "k", "\""},
    {"empty quotes", "[s]\r\nk=\"\"\r\n", "s", "k", ""},
    {"no inline comment, first equals", "[s]\r\nk=v ;c=d\r\n", "s", "k", "v ;c=d"},
    {"hash is no comment", "[s]\r\n#k=v\r\n;j=w\r\n", "s", "#k", "v"},
    {"semicolon comment", "[s]\r\n#k=v\r\n  ;j=w\r\n", "s", ";j", nullptr},
    {"text after header", "[s]k=v\r\nj=w\r\n", "s", "k", nullptr},
    {"key after header with text", "[s]k=v\r\nj=w\r\n", "s", "j", "w"},
    {"header without bracket", "[s   \r\nk=v\r\n", "s", "k", "v"},
    {"key before any section", "k=v\r\n[s]\r\n", "", "k", nullptr},
    {"CR only", "[s]\rk=v\rj=w\r", "s", "j", "w"},
    {"LF only, no final break", "[s]\nk=v", "s", "k", "v"},
    {"BOM breaks line 1", "\xEF\xBB\xBF[s]\r\nk=v\r\n[t]\r\nk=w\r\n", "s", "k", nullptr},
    {"BOM later lines fine", "\xEF\xBB\xBF[s]\r\nk=v\r\n[t]\r\nk=w\r\n", "t", "k", "w"},
};

// name, file before ("-": none), writes as "section/key=value|...", file after
const char *const writeCases[][4] = {
    {"empty file", "", "App/key=", "[App]\r\nkey=\r\n"},
    {"sections appended", "-",
     "App1/key1=string1|App1/key2=string2|App1/key3=string3|App2/key4=string4|App3/key5=string5",
     "[App1]\r\nkey1=string1\r\nkey2=string2\r\nkey3=string3\r\n[App2]\r\nkey4=string4\r\n"
     "[App3]\r\nkey5=string5\r\n"},
    {"comments keep their place", ";c0\r\n[s]\r\n;c1\r\nb=v\r\n;c2\r\na=v\r\n",
     "s/z=|s/;x=|s/y=|s/a=|s/b=", ";c0\r\n[s]\r\n;c1\r\nb=\r\n;c2\r\na=\r\nz=\r\ny=\r\n;x=\r\n"},
    {"value verbatim, names trimmed", "-", " s / k =  v  ", "[s]\r\nk=  v  \r\n"},
    {"file spelling of key kept", "[Sec]\r\n  keyName = old \r\nx=1\r\n", "SEC/KEYNAME=new",
     "[Sec]\r\nkeyName=new\r\nx=1\r\n"},
    {"first duplicate edited, LF kept", "[s]\nk=1\nk=2\n\n[s]\nk=3\n", "s/k=9|s/j=8",
     "[s]\nk=9\nk=2\nj=8\r\n\n[s]\nk=3\n"},
    {"CR file edited in place", "[s]\rk=1\rj=2\r", "s/k=7", "[s]\rk=7\rj=2\r"},
    {"no final break, edited line", "[s]\r\nk=1", "s/k=2", "[s]\r\nk=2\r\n"},
    {"no final break, new section", "; note", "s/j=2", "; note\r\n[s]\r\nj=2\r\n"},
    {"junk and blank lines kept", "junk\r\n\r\n[s]\r\n\r\nnot a key\r\nk=1\r\n\r\n\xFF\xFE\r\n",
     "s/j=2|s/k=3", "junk\r\n\r\n[s]\r\n\r\nnot a key\r\nk=3\r\nj=2\r\n\r\n\xFF\xFE\r\n"},
    {"section after BOM line is new", "\xEF\xBB\xBF[s]\r\nk=1\r\n", "s/k=2",
     "\xEF\xBB\xBF[s]\r\nk=1\r\n[s]\r\nk=2\r\n"},
};

} // namespace

class tst_ProfileFile : public QObject {
    Q_OBJECT

    static QByteArray read(const QString &path, const char *section = "s", const char *key = "k") {
        return ProfileFile::readValue(path, section, key).value_or(None);
    }
    QStringList entries() const {
        return QDir(m_dir->path())
            .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;

private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        m_path = m_dir->filePath(u"test.ini"_s);
    }

    void vectors_data() {
        QTest::addColumn<int>("readCase");
        QTest::addColumn<int>("writeCase");
        for (int i = 0; i < int(std::size(readCases)); ++i)
            QTest::addRow("read: %s", readCases[i][0]) << i << -1;
        for (int i = 0; i < int(std::size(writeCases)); ++i)
            QTest::addRow("write: %s", writeCases[i][0]) << -1 << i;
    }

    void vectors() {
        QFETCH(int, readCase);
        QFETCH(int, writeCase);
        if (readCase >= 0) {
            const auto &c = readCases[readCase];
            QVERIFY(writeBytes(m_path, c[1]));
            QCOMPARE(read(m_path, c[2], c[3]), c[4] ? QByteArray(c[4]) : None);
            return;
        }
        const auto &c = writeCases[writeCase];
        QVERIFY(QByteArray(c[1]) == "-" || writeBytes(m_path, c[1]));
        for (const QByteArray &w : QByteArray(c[2]).split('|')) {
            const qsizetype slash = w.indexOf('/'), equals = w.indexOf('=');
            QVERIFY(ProfileFile::writeValue(m_path, w.first(slash),
                                            w.sliced(slash + 1, equals - slash - 1),
                                            w.sliced(equals + 1)));
        }
        QCOMPARE(fileBytes(m_path), QByteArray(c[3]));
    }

    // Values with a blank at an end or an outer pair of quotes are quoted and so read back exactly.
    void writtenValueReadsBack_data() {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QByteArray>("stored");
        const char *const rows[][2] = {
            {"v", "v"},         {"", ""},           {" v", "\" v\""},
            {"v\t", "\"v\t\""}, {"   ", "\"   \""}, {"\"v\"", "\"\"v\"\""},
            {"'v'", "\"'v'\""}, {"\"", "\""},       {"\"v'", "\"v'"}};
        for (const auto &row : rows)
            QTest::addRow("[%s]", row[0]) << QByteArray(row[0]) << QByteArray(row[1]);
    }

    void writtenValueReadsBack() {
        QFETCH(QByteArray, value);
        QFETCH(QByteArray, stored);
        QCOMPARE(ProfileFile::quotedWhereNeeded(value), stored);
        QVERIFY(ProfileFile::writeValue(m_path, "s", "k", stored));
        QCOMPARE(read(m_path), value);
    }

    void badFileContents_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("value"); // what reading k gives before the write
        QTest::addColumn<bool>("writable");

        QByteArray noise(64 * 1024, Qt::Uninitialized);
        QRandomGenerator(20260105).fillRange(reinterpret_cast<quint32 *>(noise.data()),
                                             noise.size() / 4);
        QTest::newRow("random bytes") << noise << None << true;
        QTest::newRow("random bytes in section") << "[s]\r\n" + noise << None << true;
        QTest::newRow("NUL bytes") << "\0\0junk\0\r\n[s]\r\nk\0=a\0b\r\n"_ba << None << true;
        QTest::newRow("UTF-16LE BOM") << "\xFF\xFE[\0s\0]\0\r\0\n\0k\0=\0v\0"_ba << None << true;
        for (const int size : {64 * 1024 - 1, 64 * 1024, 64 * 1024 + 1})
            QTest::addRow("line of %d bytes", size)
                << "[s]\r\n" + QByteArray(size, 'a') << None << true;
        // At the size limit the file is read but cannot grow; one byte over it is neither read nor
        // rewritten from a partial read.
        const QByteArray head = "[s]\r\nk=v\r\n;";
        QTest::newRow("at the limit")
            << head + QByteArray(ProfileFile::MaxBytes - head.size(), 'x') << "v"_ba << false;
        QTest::newRow("over the limit")
            << head + QByteArray(ProfileFile::MaxBytes - head.size() + 1, 'x') << None << false;
    }

    void badFileContents() {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, value);
        QFETCH(bool, writable);

        QVERIFY(writeBytes(m_path, file));
        QCOMPARE(read(m_path), value);
        QCOMPARE(ProfileFile::writeValue(m_path, "s", "k", "w"), writable);
        QCOMPARE(read(m_path), writable ? "w"_ba : value);
        // Only the new line (and its section) and a final line break were added, byte for byte.
        const bool ends = file.endsWith('\n') || file.endsWith('\r');
        const qsizetype added =
            !writable ? 0 : (ends ? 0 : 2) + (file.contains("[s]\r\n") ? 5 : 10);
        QCOMPARE(fileBytes(m_path).size(), file.size() + added);
        if (!file.startsWith("[s]"))
            QVERIFY(fileBytes(m_path).startsWith(file));
    }

    // A FIFO or a device must come back at once with nothing read (a hang fails by timeout).
    void pathsThatAreNotFiles_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("file"); // what test.ini is: a folder, a FIFO or a file
        QTest::newRow("folder") << u"test.ini"_s << "folder"_ba;
        QTest::newRow("FIFO") << u"test.ini"_s << "FIFO"_ba;
        QTest::newRow("/dev/zero") << u"/dev/zero"_s << QByteArray();
        QTest::newRow("missing folder") << u"test.ini/inner.ini"_s << QByteArray();
        QTest::newRow("path through a file") << u"test.ini/inner.ini"_s << "[s]\r\nk=v\r\n"_ba;
    }

    void pathsThatAreNotFiles() {
        QFETCH(QString, path);
        QFETCH(QByteArray, file);

        if (file == "folder")
            QVERIFY(QDir().mkpath(m_path));
        else if (file == "FIFO")
            QCOMPARE(::mkfifo(QFile::encodeName(m_path).constData(), 0600), 0);
        else if (!file.isEmpty())
            QVERIFY(writeBytes(m_path, file));
        path = QDir(m_dir->path()).filePath(path);
        QCOMPARE(read(path), None);
        QVERIFY(!ProfileFile::writeValue(path, "s", "k", "v"));
        QCOMPARE(entries(), file.isEmpty() ? QStringList() : QStringList{u"test.ini"_s});
    }

    void argumentsThatWouldBreakLinesAreRefused() {
        QVERIFY(writeBytes(m_path, "[s]\r\nk=old\r\n"));
        QVERIFY(!ProfileFile::writeValue(m_path, "s", "k", "a\r\n[x]"));
        QVERIFY(!ProfileFile::writeValue(m_path, "s", "k", QByteArrayView("a\0b", 3)));
        QVERIFY(!ProfileFile::writeValue(m_path, "s]\nx=y", "k", "v"));
        QVERIFY(!ProfileFile::writeValue(m_path, "s", "k\rj", "v"));
        QCOMPARE(fileBytes(m_path), "[s]\r\nk=old\r\n"_ba);
    }

    // The disk fills up while saving (a file size limit stands in for it): the old file must stay
    // whole, with no temporary file left behind.
    void failedWriteLeavesTheOldFile() {
        QVERIFY(writeBytes(m_path, "[s]\r\nk=old\r\n"));
        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        rlimit small = saved;
        small.rlim_cur = 4096;
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        const bool written = ProfileFile::writeValue(m_path, "s", "k", QByteArray(8192, 'n'));
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
        QVERIFY(!written);
        QCOMPARE(fileBytes(m_path), "[s]\r\nk=old\r\n"_ba);
        QCOMPARE(entries(), QStringList{u"test.ini"_s});
    }
};

QTEST_GUILESS_MAIN(tst_ProfileFile)
#include "tst_profile_file.moc"
