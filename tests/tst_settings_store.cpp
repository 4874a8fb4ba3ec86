#include "form/controls.h"
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
    const auto value = [](const QCheckBox *box) { return QChar(u"021"[box->checkState()]); };
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
        QTest::newRow("writable folder, doubled separators") << u"//"_s << false;
        // Root writes anywhere, so the folder is made unwritable by not being a folder at all.
        QTest::newRow("path through a file") << u"/program.bin"_s << true;
        QTest::newRow("installed under /usr") << u"/usr/bin"_s << true;
    }

    void location() {
        QFETCH(QString, programFolder);
        QFETCH(bool, fallback);

        QVERIFY(writeBytes(m_dir->filePath(u"program.bin"_s), {}));
        Window window(
            {programFolder.startsWith(u"/usr") ? programFolder : m_dir->path() + programFolder,
             m_location.userConfigFolder, m_location.userDataFolder});
        const QString home = m_dir->path() + u'/';
        QCOMPARE(window.store.settingsFilePath(),
                 (fallback ? home + u"config/"_s : home) + u"Sendrel_Settings.ini"_s);
        QCOMPARE(window.store.defaultLogFolder(),
                 (fallback ? home + u"data/"_s : home) + u"Sendrel_Logs/"_s);
        window.store.SaveSettings();
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).join(u' '),
                 fallback ? u"config program.bin"_s : u"program.bin Sendrel_Settings.ini"_s);
    }

    // Text settings read back exactly; line breaks survive as tokens in watch and response
    // strings only and are dropped elsewhere, as NUL is. The log folder gains a final separator.
    void textSettingsRoundTrip_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("watchText");
        for (const QString &text :
             {u"  padded  "_s, u"\"quoted\""_s, u"'single'"_s, u"\""_s, u"\"mixed'"_s, u"true"_s,
              u"FALSE"_s, QString(600, u'x'), u"%CR%%LF%"_s, u"\ttabs\t"_s, u"   "_s, QString(),
              u"é 日本"_s, u"k=v ;c"_s, u"[Settings]"_s, u"Port=1"_s, u"\uFEFF=bom first"_s})
            QTest::newRow(qPrintable(text.left(20))) << text << text;
        QTest::newRow("CR LF, lone LF") << u"a\r\n[x]b\nc"_s << u"a%CR%%LF%[x]b%LF%c"_s;
        QTest::newRow("NUL") << QStringLiteral("a\0b") << u"ab"_s;
    }

    void textSettingsRoundTrip() {
        QFETCH(QString, text);
        QFETCH(QString, watchText);

        Window saving(m_location);
        saving.controls.txtWatchString[0]->setText(text);
        saving.controls.txtResponseString[6]->setText(text);
        saving.controls.txtListenPort->setText(u"x"_s + text);
        saving.controls.txtLogPath->setText(text);
        saving.store.SaveSettings();
        QCOMPARE(saving.controls.txtLogPath->text(), text + QDir::separator());

        Window loading(m_location);
        loading.store.LoadSettings();
        const Controls &c = loading.controls;
        QCOMPARE(c.txtWatchString[0]->text(), watchText);
        QCOMPARE(c.txtResponseString[6]->text(), watchText);
        QCOMPARE(c.txtWatchString[1]->text(), QString());
        const QString dropped = QString(text).remove(u'\r').remove(u'\n').remove(QChar(u'\0'));
        QCOMPARE(c.txtListenPort->text(), u"x"_s + dropped);
        QCOMPARE(c.txtLogPath->text(), dropped + QDir::separator());
    }

    // Every control starts away from its default; what is loaded is saved back as plain numbers,
    // and a new file holds every key in order.
    void switchesAndPort_data() {
        QTest::addColumn<QByteArray>("lines"); // '|' for a line break; "-": no file
        QTest::addColumn<QString>("expected");
        const char *const rows[][3] = {
            {"no file", "-", "TCP log0 ASCII auto0 port 7000"},
            {"numbers", "TcpUdpMode=1|CreateLog=7|ReceiveMode=00|EnableAutoRespond=7|Port=  8080 ",
             "UDP log1 HTTP auto1 port 8080"},
            {"TRUE, grey", "TcpUdpMode=tRuE|CreateLog=True|ReceiveMode=TRUE|EnableAutoRespond=2",
             "UDP log1 HTTP auto2 port 7000"},
            {"FALSE, blanks", "TcpUdpMode=-1|ReceiveMode= 0 |EnableAutoRespond=FALSE|Port=   \t",
             "UDP log0 ASCII auto0 port 7000"},
            {"text, empty", "TcpUdpMode=abc|ReceiveMode=|EnableAutoRespond=\"\t1\"",
             "TCP log0 ASCII auto0 port 7000"}, // a control character first gives the default
            {"TRUE skipped", "ReceiveMode=FALSE|EnableAutoRespond=TRUE",
             "TCP log0 ASCII auto1 port 7000"}, // the box stays checked
        };
        for (const auto &row : rows)
            QTest::newRow(row[0]) << QByteArray(row[1]).replace('|', "\r\n")
                                  << QString::fromLatin1(row[2]);
    }

    void switchesAndPort() {
        QFETCH(QByteArray, lines);
        QFETCH(QString, expected);

        QVERIFY(lines == "-" || writeBytes(settingsPath(), "[Settings]\r\n" + lines + "\r\n"));
        Window window(m_location);
        Controls &c = window.controls;
        c.txtListenPort->setText(u"1"_s);
        c.optTCP[1]->setChecked(true);
        c.chkLogData->setCheckState(Qt::Checked);
        c.optReceiveType[1]->setChecked(true);
        c.chkEnableAutoRespond->setCheckState(Qt::Checked);
        window.store.LoadSettings();
        QCOMPARE(loaded(c), expected);
        QCOMPARE(QFile::exists(settingsPath()), lines != "-");

        window.store.SaveSettings();
        QByteArray file =
            "[Settings]\r\nPort=7000\r\nTcpUdpMode=0\r\nCreateLog=0\r\nReceiveMode=0\r\nLogPath="
            + window.store.defaultLogFolder().toUtf8() + "\r\nEnableAutoRespond=0\r\n";
        for (const QByteArray i : {"0", "1", "2", "3", "4", "5", "6"})
            file += "WatchString" + i + "=\r\nResponseString" + i + "=\r\n";
        if (lines == "-")
            QCOMPARE(fileBytes(settingsPath()), file);
        QVERIFY(fileBytes(settingsPath())
                    .contains("\r\nEnableAutoRespond="
                              + expected.section(u' ', 3, 3).mid(4).toLatin1() + "\r\n"));
        Window again(m_location);
        again.store.LoadSettings();
        QCOMPARE(loaded(again.controls), expected);
    }
};

QTEST_MAIN(tst_SettingsStore)
#include "tst_settings_store.moc"
