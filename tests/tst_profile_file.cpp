#include "settings/profile_document.h"
#include "settings/profile_file.h"
#include "support/file_bytes.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

const QByteArray None = "<none>"; // a read that finds nothing

// name, file, calls "section/key=value|...", file after (nullptr: reads; no '=': nothing found)
const char *const cases[][4] = {
    {"first duplicate section and key win",
     "[s]\r\nk=one\r\nk=two\r\n[t]\r\n[s]\r\nk=three\r\nj=3\r\n", "s/k=one|s/j", nullptr},
    {"names in any case, arguments lose spaces only, no inline comment",
     "[Sec]\r\nKey=v\r\nc=v ;c=d\r\n", "sEC/kEY=v| sec / key =v|\tsec/key|sec/c=v ;c=d", nullptr},
    {"blanks and one matching pair of quotes go",
     "[s]\r\n  k  =\t v v \t\r\nd=\"  v  \"\r\nq='v'\r\ne=\"\"\r\nl=\"\r\nm=\"v'\r\n",
     "s/k=v v|s/d=  v  |s/q=v|s/e=|s/l=\"|s/m=\"v'", nullptr},
    {"text after a header, only ';' starts a comment", "[s]k=v\r\n#k=v\r\n  ;j=w\r\nj=w\r\n",
     "s/k|s/#k=v|s/;j", nullptr},
    {"no section yet, header without ']'", "k=v\r\n[s   \r\nj=w\r\n", "/k|s/j=w", nullptr},
    {"CR and LF lines, no final break", "[s]\rk=v\r[t]\nk=w", "s/k=v|t/k=w", nullptr},
    {"BOM breaks line 1 only", "\xEF\xBB\xBF[s]\r\nk=v\r\n[t]\r\nk=w\r\n", "s/k|t/k=w", nullptr},
    {"empty file, sections appended", "", "App/key=|A/k1=1|A/k2=2|B/k3=3",
     "[App]\r\nkey=\r\n[A]\r\nk1=1\r\nk2=2\r\n[B]\r\nk3=3\r\n"},
    {"comments keep their place", ";c0\r\n[s]\r\n;c1\r\nb=v\r\n;c2\r\na=v\r\n",
     "s/z=|s/;x=|s/y=|s/a=|s/b=", ";c0\r\n[s]\r\n;c1\r\nb=\r\n;c2\r\na=\r\nz=\r\ny=\r\n;x=\r\n"},
    {"value verbatim, file spelling of names kept", "[Sec]\r\n  keyName = old \r\nx=1\r\n",
     " SEC / KEYNAME =  v  ", "[Sec]\r\nkeyName=  v  \r\nx=1\r\n"},
    {"first duplicate edited, LF kept", "[s]\nk=1\nk=2\n\n[s]\nk=3\n", "s/k=9|s/j=8",
     "[s]\nk=9\nk=2\nj=8\r\n\n[s]\nk=3\n"},
    {"CR file edited in place, final break added", "[s]\rk=1\rj=2", "s/k=7", "[s]\rk=7\rj=2\r\n"},
    {"no final break, new section", "; note", "s/j=2", "; note\r\n[s]\r\nj=2\r\n"},
    {"junk and blank lines kept", "junk\r\n\r\n[s]\r\n\r\nnot a key\r\nk=1\r\n\r\n\xFF\xFE\r\n",
     "s/j=2|s/k=3", "junk\r\n\r\n[s]\r\n\r\nnot a key\r\nk=3\r\nj=2\r\n\r\n\xFF\xFE\r\n"},
    {"Windows-1252 file read as text", "[s]\r\nk=caf\xE9 \x80\x81\r\n",
     "s/k=caf\xC3\xA9 \xE2\x82\xAC\xC2\x81", nullptr},
    {"Windows-1252 file written in its code page", "[s]\r\nk=caf\xE9\r\n",
     "s/j=\xC2\xB0"
     "C",
     "[s]\r\nk=caf\xE9\r\nj=\xB0"
     "C\r\n"},
    {"a value beyond Windows-1252 turns the file into UTF-8", "[s]\r\nk=caf\xE9\r\n",
     "s/j=\xE6\x97\xA5", "[s]\r\nk=caf\xC3\xA9\r\nj=\xE6\x97\xA5\r\n"},
    {"so does a write that would read as UTF-8", "[s]\r\nk=\xE9\r\n", "s/k=\xC3\x83\xC2\xA9",
     "[s]\r\nk=\xC3\x83\xC2\xA9\r\n"},
    {"section after BOM line is new", "\xEF\xBB\xBF[s]\r\nk=1\r\n", "s/k=2",
     "\xEF\xBB\xBF[s]\r\nk=1\r\n[s]\r\nk=2\r\n"},
};

} // namespace

class tst_ProfileFile : public QObject {
    Q_OBJECT

    static QByteArray read(const QString &path, QByteArrayView section = "s",
                           QByteArrayView key = "k") {
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
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("calls");
        QTest::addColumn<QByteArray>("after");
        for (const auto &c : cases)
            QTest::newRow(c[0]) << QByteArray(c[1]) << QByteArray(c[2]) << QByteArray(c[3]);
    }

    // Each row runs call by call on the file, then as one batch in memory saved once: both must
    // read and write the same bytes.
    void vectors() {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, calls);
        QFETCH(QByteArray, after);
        for (const bool batch : {false, true}) {
            QVERIFY(writeBytes(m_path, before));
            ProfileFile::Document document;
            QVERIFY(document.load(m_path));
            for (const QByteArray &call : calls.split('|')) {
                const qsizetype slash = call.indexOf('/'), equals = call.indexOf('=', slash);
                const QByteArray section = call.first(slash);
                const QByteArray key =
                    call.first(equals < 0 ? call.size() : equals).sliced(slash + 1);
                const QByteArray value = equals < 0 ? None : call.sliced(equals + 1);
                if (after.isNull())
                    QCOMPARE(batch ? document.value(section, key).value_or(None)
                                   : read(m_path, section, key),
                             value);
                else if (batch)
                    QVERIFY(document.setValue(section, key, value));
                else
                    QVERIFY(ProfileFile::writeValue(m_path, section, key, value));
            }
            QVERIFY(document.save());
            QCOMPARE(fileBytes(m_path), after.isNull() ? before : after);
        }
    }

    void badFileContents_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("value"); // what reading k gives before the write

        QByteArray noise(64 * 1024, Qt::Uninitialized);
        QRandomGenerator(20260105).fillRange(reinterpret_cast<quint32 *>(noise.data()),
                                             noise.size() / 4);
        QTest::newRow("random bytes in section") << "[s]\r\n" + noise << None;
        QTest::newRow("NUL bytes") << "\0\0junk\0\r\n[s]\r\nk\0=a\0b\r\n"_ba << None;
        QTest::newRow("UTF-16LE BOM") << "\xFF\xFE[\0s\0]\0\r\0\n\0k\0=\0v\0"_ba << None;
        // One byte over the limit, the file is neither read nor rewritten from a partial read.
        const QByteArray head = "[s]\r\nk=v\r\n;";
        const qsizetype room = ProfileFile::MaxBytes - head.size();
        QTest::newRow("at the limit") << head + QByteArray(room, 'x') << "v"_ba;
        QTest::newRow("over the limit") << head + QByteArray(room + 1, 'x') << None;
    }

    void badFileContents() {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, value);
        const bool writable = file.size() < ProfileFile::MaxBytes; // at the limit it cannot grow

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

    // Arguments that would add lines are refused, and the disk fills up while saving (a file size
    // limit stands in for it): the old file must stay whole, with no temporary file left behind.
    void failedWriteLeavesTheOldFile() {
        QVERIFY(writeBytes(m_path, "[s]\r\nk=old\r\n"));
        QVERIFY(!ProfileFile::writeValue(m_path, "s", "k", "a\r\n[x]"));
        QVERIFY(!ProfileFile::writeValue(m_path, "s", "k", QByteArrayView("a\0b", 3)));
        QVERIFY(!ProfileFile::writeValue(m_path, "s]\nx=y", "k", "v"));
        QVERIFY(!ProfileFile::writeValue(m_path, "s", "k\rj", "v"));
        bool written = true;
        QString problem;
        withFileSizeLimit(4096, [&] {
            written = ProfileFile::writeValue(m_path, "s", "k", QByteArray(8192, 'n'), &problem);
        });
        QVERIFY(!written);
        QCOMPARE(problem, u"File too large"_s);
        QCOMPARE(fileBytes(m_path), "[s]\r\nk=old\r\n"_ba);
        QCOMPARE(entries(), QStringList{u"test.ini"_s});
    }
};

QTEST_GUILESS_MAIN(tst_ProfileFile)
#include "tst_profile_file.moc"
