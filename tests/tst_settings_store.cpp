#include "app/controls.h"
#include "settings/settings_store.h"
#include "support/file_bytes.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

struct Window {
    explicit Window(const SettingsLocation &location)
        : controls(buildControls(&widget)), store(controls, location) {}

    QWidget widget;
    Controls controls;
    SettingsStore store;
};

// The switches (check boxes by Value: 0, 1 or 2 for grey) and the port, in one line.
QString loaded(const Controls &c) {
    const auto value = [](const QCheckBox *box) {
        return box->checkState() == Qt::Checked            ? 1
               : box->checkState() == Qt::PartiallyChecked ? 2
                                                           : 0;
    };
    return u"%1 log%2 %3 auto%4 port %5"_s.arg(c.optTCP[0]->isChecked() ? u"TCP"_s : u"UDP"_s)
        .arg(value(c.chkLogData))
        .arg(c.optReceiveType[0]->isChecked() ? u"ASCII"_s : u"HTTP"_s)
        .arg(value(c.chkEnableAutoRespond))
        .arg(c.txtListenPort->text());
}

} // namespace

class tst_SettingsStore : public QObject {
    Q_OBJECT

    QString settingsPath() const { return m_dir->filePath(u"Sendrel_Settings.ini"_s); }

    std::unique_ptr<QTemporaryDir> m_dir;
    SettingsLocation m_location;

private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        m_location = {m_dir->path(), m_dir->filePath(u"config"_s), m_dir->filePath(u"data"_s)};
    }

    void location_data() {
        QTest::addColumn<QString>("programFolder"); // below the test folder unless absolute
        QTest::addColumn<bool>("fallback");
        QTest::newRow("writable folder") << QString() << false;
        QTest::newRow("doubled separators") << u"//"_s << false;
        // Root writes anywhere, so the folder is made unwritable by not being a folder at all.
        QTest::newRow("path through a file") << u"/program.bin"_s << true;
        QTest::newRow("missing folder") << u"/gone"_s << true;
        QTest::newRow("installed under /usr") << u"/usr/bin"_s << true;
    }

    void location() {
        QFETCH(QString, programFolder);
        QFETCH(bool, fallback);

        QVERIFY(writeBytes(m_dir->filePath(u"program.bin"_s), {}));
        const SettingsLocation location{
            programFolder.startsWith(u"/usr") ? programFolder : m_dir->path() + programFolder,
            m_location.userConfigFolder, m_location.userDataFolder};
        Window window(location);
        const QChar sep = QDir::separator();
        const auto folder = [&](const QString &user) {
            return QDir::toNativeSeparators(fallback ? user : m_dir->path()) + sep;
        };
        QCOMPARE(window.store.settingsFilePath(),
                 folder(m_location.userConfigFolder) + u"Sendrel_Settings.ini"_s);
        QCOMPARE(window.store.defaultLogFolder(),
                 folder(m_location.userDataFolder) + u"Sendrel_Logs"_s + sep);

        window.store.LoadSettings();
        QCOMPARE(window.controls.txtLogPath->text(), window.store.defaultLogFolder());
        window.controls.txtListenPort->setText(u"8123"_s);
        window.store.SaveSettings();
        Window again(location);
        again.store.LoadSettings();
        QCOMPARE(again.controls.txtListenPort->text(), u"8123"_s);
        const QStringList written{fallback ? u"config"_s : u"Sendrel_Settings.ini"_s,
                                  u"program.bin"_s};
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries, QDir::Name),
                 written);
    }

    void newFileHoldsKeysInOrder() {
        Window window(m_location);
        window.store.LoadSettings();
        window.store.SaveSettings();
        QByteArray expected =
            "[Settings]\r\nPort=7000\r\nTcpUdpMode=0\r\nCreateLog=0\r\nReceiveMode=0\r\n"
            "LogPath="
            + window.store.defaultLogFolder().toUtf8() + "\r\nEnableAutoRespond=0\r\n";
        for (const QByteArray i : {"0", "1", "2", "3", "4", "5", "6"})
            expected += "WatchString" + i + "=\r\nResponseString" + i + "=\r\n";
        QCOMPARE(fileBytes(settingsPath()), expected);
        window.store.SaveSettings();
        QCOMPARE(fileBytes(settingsPath()), expected);
    }

    // Text settings read back exactly; line breaks survive as tokens in watch and response
    // strings only and are dropped elsewhere, as NUL is.
    void textSettingsRoundTrip_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("watchText");
        for (const QString &text :
             {u"  padded  "_s, u"\"quoted\""_s, u"'single'"_s, u"\""_s, u"\"mixed'"_s, u"true"_s,
              u"FALSE"_s, QString(600, u'x'), u"%CR%%LF%"_s, u"\tleading tab"_s, u"é 日本"_s,
              u"k=v ;c"_s, u"[Settings]"_s, u"Port=1"_s})
            QTest::newRow(qPrintable(text.left(20))) << text << text;
        QTest::newRow("CR LF") << u"a\r\n[x]b"_s << u"a%CR%%LF%[x]b"_s;
        QTest::newRow("lone LF") << u"a\nb"_s << u"a%LF%b"_s;
        QTest::newRow("NUL") << QStringLiteral("a\0b") << u"ab"_s;
    }

    void textSettingsRoundTrip() {
        QFETCH(QString, text);
        QFETCH(QString, watchText);

        Window saving(m_location);
        saving.store.LoadSettings();
        saving.controls.txtWatchString[0]->setText(text);
        saving.controls.txtResponseString[6]->setText(text);
        saving.controls.txtListenPort->setText(u"x"_s + text);
        saving.controls.txtLogPath->setText(text + u'/');
        saving.store.SaveSettings();

        Window loading(m_location);
        loading.store.LoadSettings();
        const Controls &c = loading.controls;
        QCOMPARE(c.txtWatchString[0]->text(), watchText);
        QCOMPARE(c.txtResponseString[6]->text(), watchText);
        QCOMPARE(c.txtWatchString[1]->text(), QString());
        const QString dropped = QString(text).remove(u'\r').remove(u'\n').remove(QChar(u'\0'));
        QCOMPARE(c.txtListenPort->text(), u"x"_s + dropped);
        QCOMPARE(c.txtLogPath->text(), dropped + u'/');
    }

    // Every control starts away from its default; what is loaded is saved back as plain numbers.
    void switchesAndPort_data() {
        QTest::addColumn<QByteArray>("line"); // "-": no file
        QTest::addColumn<QString>("expected");
        const char *const rows[][2] = {
            {"-", "TCP log0 ASCII auto0 port 7000"},
            {"TcpUdpMode=1", "UDP log0 ASCII auto0 port 7000"},
            {"TcpUdpMode=-1", "UDP log0 ASCII auto0 port 7000"},
            {"TcpUdpMode=tRuE", "UDP log0 ASCII auto0 port 7000"},
            {"TcpUdpMode=abc", "TCP log0 ASCII auto0 port 7000"},
            {"CreateLog=7", "TCP log1 ASCII auto0 port 7000"},
            {"CreateLog=True", "TCP log1 ASCII auto0 port 7000"},
            {"ReceiveMode= 0 ", "TCP log0 ASCII auto0 port 7000"},
            {"ReceiveMode=00", "TCP log0 HTTP auto0 port 7000"},
            {"ReceiveMode=TRUE", "TCP log0 HTTP auto0 port 7000"},
            {"ReceiveMode=FALSE", "TCP log0 ASCII auto0 port 7000"},
            {"ReceiveMode=", "TCP log0 ASCII auto0 port 7000"},
            {"EnableAutoRespond=1", "TCP log0 ASCII auto1 port 7000"},
            {"EnableAutoRespond=2", "TCP log0 ASCII auto2 port 7000"},
            {"EnableAutoRespond=FALSE", "TCP log0 ASCII auto0 port 7000"},
            {"EnableAutoRespond=\"\t1\"", "TCP log0 ASCII auto0 port 7000"}, // a control character
            {"EnableAutoRespond=TRUE", "TCP log0 ASCII auto1 port 7000"}, // skipped: stays checked
            {"EnableAutoRespond=7", "TCP log0 ASCII auto1 port 7000"},
            {"Port=  8080 ", "TCP log0 ASCII auto0 port 8080"},
            {"Port=   \t", "TCP log0 ASCII auto0 port 7000"},
        };
        for (const auto &row : rows)
            QTest::newRow(row[0]) << QByteArray(row[0]) << QString::fromLatin1(row[1]);
    }

    void switchesAndPort() {
        QFETCH(QByteArray, line);
        QFETCH(QString, expected);

        QVERIFY(line == "-" || writeBytes(settingsPath(), "[Settings]\r\n" + line + "\r\n"));
        Window window(m_location);
        Controls &c = window.controls;
        c.txtListenPort->setText(u"1"_s);
        c.optTCP[1]->setChecked(true);
        c.chkLogData->setCheckState(Qt::Checked);
        c.optReceiveType[1]->setChecked(true);
        c.chkEnableAutoRespond->setCheckState(Qt::Checked);
        window.store.LoadSettings();
        QCOMPARE(loaded(c), expected);
        QCOMPARE(QFile::exists(settingsPath()), line != "-");

        window.store.SaveSettings();
        const QByteArray autoRespond = expected.section(u' ', 3, 3).mid(4).toLatin1();
        QVERIFY(
            fileBytes(settingsPath()).contains("\r\nEnableAutoRespond=" + autoRespond + "\r\n"));
        Window again(m_location);
        again.store.LoadSettings();
        QCOMPARE(loaded(again.controls), expected);
    }

    // The log folder always ends with a separator, in the box as in the file.
    void logPathEndsWithSeparator() {
        const QString sep = QDir::separator();
        QVERIFY(writeBytes(settingsPath(), "[Settings]\r\nLogPath=logs \r\n"));
        Window window(m_location);
        window.store.LoadSettings();
        QCOMPARE(window.controls.txtLogPath->text(), u"logs"_s + sep);
        window.controls.txtLogPath->setText(u"logs "_s);
        window.store.SaveSettings();
        QCOMPARE(window.controls.txtLogPath->text(), u"logs "_s + sep);
        window.controls.txtLogPath->clear();
        window.store.SaveSettings();
        QCOMPARE(window.controls.txtLogPath->text(), sep);
        QVERIFY(fileBytes(settingsPath()).contains("\r\nLogPath=" + sep.toLatin1() + "\r\n"));
    }
};

QTEST_MAIN(tst_SettingsStore)
#include "tst_settings_store.moc"
