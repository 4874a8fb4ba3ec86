#include "app/controls.h"
#include "settings/settings_store.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(SettingValue)

namespace {

QString describe(const SettingValue &value) {
    if (const int *number = std::get_if<int>(&value))
        return u"int "_s + QString::number(*number);
    if (const bool *flag = std::get_if<bool>(&value))
        return *flag ? u"bool true"_s : u"bool false"_s;
    return u"text \""_s + std::get<QString>(value) + u'"';
}

// A check box's Value: 0 unchecked, 1 checked, 2 grey.
int value(const QCheckBox *box) {
    switch (box->checkState()) {
    case Qt::Unchecked:
        return 0;
    case Qt::Checked:
        return 1;
    case Qt::PartiallyChecked:
        return 2;
    }
    return -1;
}

// The window's switches as the settings see them, in one line.
QString switchState(const Controls &c) {
    return QStringLiteral("%1 log%2 %3 auto%4")
        .arg(c.optTCP[0]->isChecked() ? u"TCP"_s : u"UDP"_s)
        .arg(value(c.chkLogData))
        .arg(c.optReceiveType[0]->isChecked() ? u"ASCII"_s : u"HTTP"_s)
        .arg(value(c.chkEnableAutoRespond));
}

struct Window {
    explicit Window(const SettingsLocation &location)
        : controls(buildControls(&widget)), store(controls, location) {}

    QWidget widget;
    Controls controls;
    SettingsStore store;
};

} // namespace

class tst_SettingsStore : public QObject {
    Q_OBJECT

private slots:
    void init();

    void paths_data();
    void paths();
    void fallbackWhenProgramFolderCannotBeWritten_data();
    void fallbackWhenProgramFolderCannotBeWritten();

    void readSetting_data();
    void readSetting();
    void writeSettingStoresText_data();
    void writeSettingStoresText();

    void missingFileGivesDefaults();
    void newFileHoldsKeysInOrder();
    void textSettingsRoundTripExactly_data();
    void textSettingsRoundTripExactly();
    void emptyTextGivesDefault_data();
    void emptyTextGivesDefault();
    void switches_data();
    void switches();
    void logPathEndsWithSeparator_data();
    void logPathEndsWithSeparator();
    void fileFromOtherWriters();

private:
    void writeFile(const QByteArray &bytes);
    QByteArray fileBytes() const;
    QString settingsPath() const { return m_dir->filePath(u"Sendrel_Settings.ini"_s); }

    std::unique_ptr<QTemporaryDir> m_dir;
    SettingsLocation m_location;
};

void tst_SettingsStore::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_location = {m_dir->path(), m_dir->filePath(u"config"_s), m_dir->filePath(u"data"_s)};
}

void tst_SettingsStore::writeFile(const QByteArray &bytes) {
    QFile file(settingsPath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray tst_SettingsStore::fileBytes() const {
    QFile file(settingsPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void tst_SettingsStore::paths_data() {
    QTest::addColumn<QString>("suffix");
    QTest::newRow("plain folder") << QString();
    QTest::newRow("trailing separator") << u"/"_s;
    QTest::newRow("doubled separators") << u"//"_s;
}

void tst_SettingsStore::paths() {
    QFETCH(QString, suffix);

    Window window({m_dir->path() + suffix, m_location.userConfigFolder, m_location.userDataFolder});
    const QString folder = QDir::toNativeSeparators(m_dir->path());
    const QChar sep = QDir::separator();
    QCOMPARE(window.store.settingsFilePath(), folder + sep + u"Sendrel_Settings.ini"_s);
    QCOMPARE(window.store.defaultLogFolder(), folder + sep + u"Sendrel_Logs"_s + sep);
}

void tst_SettingsStore::fallbackWhenProgramFolderCannotBeWritten_data() {
    QTest::addColumn<QString>("programFolder");
    // Root writes anywhere, so the folder is made unwritable by not being a folder at all.
    QTest::newRow("path through a file") << u"program.bin"_s;
    QTest::newRow("missing folder") << u"gone"_s;
    QTest::newRow("installed under /usr") << u"/usr/bin"_s;
}

void tst_SettingsStore::fallbackWhenProgramFolderCannotBeWritten() {
    QFETCH(QString, programFolder);

    QFile executable(m_dir->filePath(u"program.bin"_s));
    QVERIFY(executable.open(QIODevice::WriteOnly));
    executable.close();

    Window window(
        {m_dir->filePath(programFolder), m_location.userConfigFolder, m_location.userDataFolder});
    const QString config = QDir::toNativeSeparators(m_location.userConfigFolder);
    const QString data = QDir::toNativeSeparators(m_location.userDataFolder);
    const QChar sep = QDir::separator();
    QCOMPARE(window.store.settingsFilePath(), config + sep + u"Sendrel_Settings.ini"_s);
    QCOMPARE(window.store.defaultLogFolder(), data + sep + u"Sendrel_Logs"_s + sep);

    window.store.LoadSettings();
    QCOMPARE(window.controls.txtLogPath->text(), data + sep + u"Sendrel_Logs"_s + sep);
    window.controls.txtListenPort->setText(u"8123"_s);
    window.store.SaveSettings();
    QVERIFY(!QFile::exists(m_dir->filePath(programFolder) + u"/Sendrel_Settings.ini"_s));

    Window again(
        {m_dir->filePath(programFolder), m_location.userConfigFolder, m_location.userDataFolder});
    again.store.LoadSettings();
    QCOMPARE(again.controls.txtListenPort->text(), u"8123"_s);
    QVERIFY(QFileInfo::exists(m_location.userConfigFolder + u"/Sendrel_Settings.ini"_s));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
             QStringList({u"config"_s, u"program.bin"_s}));
}

void tst_SettingsStore::readSetting_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<SettingValue>("defaultValue");
    QTest::addColumn<SettingValue>("expected");

    const SettingValue zero = 0;
    QTest::newRow("spaces trimmed") << "k=  7000  "_ba << zero << SettingValue(u"7000"_s);
    QTest::newRow("only spaces") << "k=\"   \""_ba << zero << zero;
    QTest::newRow("leading tab") << "k=\"\tx\""_ba << zero << zero;
    QTest::newRow("TRUE") << "k=TRUE"_ba << zero << SettingValue(true);
    QTest::newRow("mixed-case true") << "k=tRuE"_ba << zero << SettingValue(true);
    QTest::newRow("false") << "k=false"_ba << zero << SettingValue(false);
    QTest::newRow("1 stays text") << "k=1"_ba << zero << SettingValue(u"1"_s);
    QTest::newRow("0 stays text") << "k=0"_ba << zero << SettingValue(u"0"_s);
    QTest::newRow("missing keeps default type") << "j=1"_ba << zero << zero;
    QTest::newRow("missing text default")
        << "j=1"_ba << SettingValue(u"7000"_s) << SettingValue(u"7000"_s);
    QTest::newRow("text default TRUE") << "j=1"_ba << SettingValue(u"True"_s) << SettingValue(true);
    QTest::newRow("600 characters")
        << "k="_ba + QByteArray(600, 'x') << zero << SettingValue(QString(600, u'x'));
}

void tst_SettingsStore::readSetting() {
    QFETCH(QByteArray, line);
    QFETCH(SettingValue, defaultValue);
    QFETCH(SettingValue, expected);

    writeFile("[Settings]\r\n" + line + "\r\n");
    Window window(m_location);
    QCOMPARE(describe(window.store.ReadSetting(u"Settings"_s, u"k"_s, defaultValue)),
             describe(expected));
}

void tst_SettingsStore::writeSettingStoresText_data() {
    QTest::addColumn<SettingValue>("value");
    QTest::addColumn<QByteArray>("line");

    QTest::newRow("integer 0") << SettingValue(0) << "k=0"_ba;
    QTest::newRow("integer 1") << SettingValue(1) << "k=1"_ba;
    QTest::newRow("text") << SettingValue(u"a b"_s) << "k=a b"_ba;
    QTest::newRow("UTF-8 text") << SettingValue(u"é 日本"_s)
                                << "k=\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC"_ba;
    QTest::newRow("blank at an end") << SettingValue(u" a"_s) << "k=\" a\""_ba;
    QTest::newRow("line breaks and NUL dropped") << SettingValue(u"a\r\n[x]\0b"_s) << "k=a[x]b"_ba;
}

void tst_SettingsStore::writeSettingStoresText() {
    QFETCH(SettingValue, value);
    QFETCH(QByteArray, line);

    Window window(m_location);
    QVERIFY(window.store.WriteSetting(u"Settings"_s, u"k"_s, value));
    QCOMPARE(fileBytes(), "[Settings]\r\n" + line + "\r\n");
}

void tst_SettingsStore::missingFileGivesDefaults() {
    Window window(m_location);
    Controls &c = window.controls;
    c.txtListenPort->setText(u"1"_s);
    c.optTCP[1]->setChecked(true);
    c.chkLogData->setCheckState(Qt::Checked);
    c.optReceiveType[1]->setChecked(true);
    c.chkEnableAutoRespond->setCheckState(Qt::Checked);
    c.txtWatchString[3]->setText(u"w"_s);

    window.store.LoadSettings();
    QCOMPARE(c.txtListenPort->text(), u"7000"_s);
    QCOMPARE(switchState(c), u"TCP log0 ASCII auto0"_s);
    QCOMPARE(c.txtLogPath->text(), window.store.defaultLogFolder());
    QCOMPARE(c.txtWatchString[3]->text(), QString());
    QVERIFY(!QFileInfo::exists(settingsPath()));
}

void tst_SettingsStore::newFileHoldsKeysInOrder() {
    Window window(m_location);
    window.store.LoadSettings();
    window.store.SaveSettings();

    QByteArray expected =
        "[Settings]\r\nPort=7000\r\nTcpUdpMode=0\r\nCreateLog=0\r\nReceiveMode=0\r\n"
        "LogPath="
        + window.store.defaultLogFolder().toUtf8() + "\r\nEnableAutoRespond=0\r\n";
    for (int i = 0; i < 7; ++i)
        expected += "WatchString" + QByteArray::number(i) + "=\r\nResponseString"
                    + QByteArray::number(i) + "=\r\n";
    QCOMPARE(fileBytes(), expected);

    // Saving again changes nothing.
    window.store.SaveSettings();
    QCOMPARE(fileBytes(), expected);
}

void tst_SettingsStore::textSettingsRoundTripExactly_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("loaded");

    const QStringList same = {
        u"  padded  "_s, u"\"quoted\""_s,    u"'single'"_s,   u"\""_s,          u"true"_s,
        u"FALSE"_s,      QString(600, u'x'), u"%CR%%LF%"_s,   u"tab\tinside"_s, u"\tleading tab"_s,
        u"é 日本"_s,     u"k=v ;c"_s,        u"[Settings]"_s, u"Port=1"_s,      u"\"mixed'"_s};
    for (const QString &text : same)
        QTest::newRow(qPrintable(text.left(20))) << text << text;
    QTest::newRow("CR LF as tokens") << u"a\r\nb"_s << u"a%CR%%LF%b"_s;
    QTest::newRow("lone LF as token") << u"a\nb"_s << u"a%LF%b"_s;
    QTest::newRow("NUL dropped") << QStringLiteral("a\0b") << u"ab"_s;
}

void tst_SettingsStore::textSettingsRoundTripExactly() {
    QFETCH(QString, text);
    QFETCH(QString, loaded);

    Window saving(m_location);
    saving.store.LoadSettings();
    saving.controls.txtWatchString[0]->setText(text);
    saving.controls.txtResponseString[6]->setText(text);
    saving.controls.txtListenPort->setText(u"x"_s + text);
    saving.controls.txtLogPath->setText(text + u'/');
    saving.store.SaveSettings();

    Window loading(m_location);
    loading.store.LoadSettings();
    QCOMPARE(loading.controls.txtWatchString[0]->text(), loaded);
    QCOMPARE(loading.controls.txtResponseString[6]->text(), loaded);
    QCOMPARE(loading.controls.txtWatchString[1]->text(), QString());
    // Only watch and response strings keep line breaks as tokens.
    if (text == loaded) {
        QCOMPARE(loading.controls.txtListenPort->text(), u"x"_s + text);
        QCOMPARE(loading.controls.txtLogPath->text(), text + u'/');
    }
}

void tst_SettingsStore::emptyTextGivesDefault_data() {
    QTest::addColumn<QByteArray>("stored");
    QTest::newRow("empty") << ""_ba;
    QTest::newRow("unquoted blanks") << "   \t"_ba;
    QTest::newRow("empty quotes") << "\"\""_ba;
}

void tst_SettingsStore::emptyTextGivesDefault() {
    QFETCH(QByteArray, stored);

    writeFile("[Settings]\r\nPort=" + stored + "\r\nLogPath=" + stored + "\r\n");
    Window window(m_location);
    window.store.LoadSettings();
    QCOMPARE(window.controls.txtListenPort->text(), u"7000"_s);
    QCOMPARE(window.controls.txtLogPath->text(), window.store.defaultLogFolder());
}

void tst_SettingsStore::switches_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("expected");

    QTest::newRow("TCP 0") << "TcpUdpMode=0"_ba << u"TCP log0 ASCII auto0"_s;
    QTest::newRow("UDP 1") << "TcpUdpMode=1"_ba << u"UDP log0 ASCII auto0"_s;
    QTest::newRow("UDP 2") << "TcpUdpMode=2"_ba << u"UDP log0 ASCII auto0"_s;
    QTest::newRow("UDP -1") << "TcpUdpMode=-1"_ba << u"UDP log0 ASCII auto0"_s;
    QTest::newRow("UDP spaced") << "TcpUdpMode=  1  "_ba << u"UDP log0 ASCII auto0"_s;
    QTest::newRow("TCP empty") << "TcpUdpMode="_ba << u"TCP log0 ASCII auto0"_s;
    QTest::newRow("UDP TRUE") << "TcpUdpMode=TRUE"_ba << u"UDP log0 ASCII auto0"_s;
    QTest::newRow("TCP false") << "TcpUdpMode=false"_ba << u"TCP log0 ASCII auto0"_s;
    QTest::newRow("TCP letters") << "TcpUdpMode=abc"_ba << u"TCP log0 ASCII auto0"_s;

    QTest::newRow("log 1") << "CreateLog=1"_ba << u"TCP log1 ASCII auto0"_s;
    QTest::newRow("log 7") << "CreateLog=7"_ba << u"TCP log1 ASCII auto0"_s;
    QTest::newRow("log True") << "CreateLog=True"_ba << u"TCP log1 ASCII auto0"_s;
    QTest::newRow("log 0") << "CreateLog=0"_ba << u"TCP log0 ASCII auto0"_s;

    QTest::newRow("receive 0") << "ReceiveMode=0"_ba << u"TCP log0 ASCII auto0"_s;
    QTest::newRow("receive spaced 0") << "ReceiveMode= 0 "_ba << u"TCP log0 ASCII auto0"_s;
    QTest::newRow("receive 1") << "ReceiveMode=1"_ba << u"TCP log0 HTTP auto0"_s;
    QTest::newRow("receive 00") << "ReceiveMode=00"_ba << u"TCP log0 HTTP auto0"_s;
    QTest::newRow("receive text") << "ReceiveMode=http"_ba << u"TCP log0 HTTP auto0"_s;
    QTest::newRow("receive TRUE") << "ReceiveMode=TRUE"_ba << u"TCP log0 HTTP auto0"_s;
    QTest::newRow("receive FALSE") << "ReceiveMode=FALSE"_ba << u"TCP log0 ASCII auto0"_s;
    QTest::newRow("receive empty") << "ReceiveMode="_ba << u"TCP log0 ASCII auto0"_s;

    // The box starts checked, so a value that is skipped leaves it checked.
    QTest::newRow("auto 0") << "EnableAutoRespond=0"_ba << u"TCP log0 ASCII auto0"_s;
    QTest::newRow("auto 1") << "EnableAutoRespond=1"_ba << u"TCP log0 ASCII auto1"_s;
    QTest::newRow("auto 2 grey") << "EnableAutoRespond=2"_ba << u"TCP log0 ASCII auto2"_s;
    QTest::newRow("auto missing") << "Other=1"_ba << u"TCP log0 ASCII auto0"_s;
    QTest::newRow("auto TRUE skipped") << "EnableAutoRespond=TRUE"_ba << u"TCP log0 ASCII auto1"_s;
    QTest::newRow("auto FALSE") << "EnableAutoRespond=FALSE"_ba << u"TCP log0 ASCII auto0"_s;
    QTest::newRow("auto 7 skipped") << "EnableAutoRespond=7"_ba << u"TCP log0 ASCII auto1"_s;
    QTest::newRow("auto -1 skipped") << "EnableAutoRespond=-1"_ba << u"TCP log0 ASCII auto1"_s;
    QTest::newRow("auto letters skipped") << "EnableAutoRespond=on"_ba << u"TCP log0 ASCII auto1"_s;
}

void tst_SettingsStore::switches() {
    QFETCH(QByteArray, line);
    QFETCH(QString, expected);

    writeFile("[Settings]\r\n" + line + "\r\n");
    Window window(m_location);
    window.controls.chkEnableAutoRespond->setCheckState(Qt::Checked);
    window.store.LoadSettings();
    QCOMPARE(switchState(window.controls), expected);

    // What is loaded is saved back as the plain numbers.
    window.store.SaveSettings();
    const QByteArray autoRespond = QByteArray::number(value(window.controls.chkEnableAutoRespond));
    QVERIFY(fileBytes().contains("\r\nEnableAutoRespond=" + autoRespond + "\r\n"));
    Window again(m_location);
    again.store.LoadSettings();
    QCOMPARE(switchState(again.controls), expected);
}

void tst_SettingsStore::logPathEndsWithSeparator_data() {
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("shown");

    const QString sep = QDir::separator();
    QTest::newRow("no separator") << u"logs"_s << u"logs"_s + sep;
    QTest::newRow("with separator") << u"logs"_s + sep << u"logs"_s + sep;
    QTest::newRow("blank at end") << u"logs "_s << u"logs "_s + sep;
}

void tst_SettingsStore::logPathEndsWithSeparator() {
    QFETCH(QString, stored);
    QFETCH(QString, shown);

    Window window(m_location);
    QVERIFY(window.store.WriteSetting(u"Settings"_s, u"LogPath"_s, stored));
    window.store.LoadSettings();
    QCOMPARE(window.controls.txtLogPath->text(), shown);

    // Saving appends the separator in the box itself; an emptied box becomes the separator.
    window.controls.txtLogPath->setText(stored);
    window.store.SaveSettings();
    QCOMPARE(window.controls.txtLogPath->text(), shown);
    window.controls.txtLogPath->clear();
    window.store.SaveSettings();
    QCOMPARE(window.controls.txtLogPath->text(), QString(QDir::separator()));
    QVERIFY(fileBytes().contains("\r\nLogPath="_ba + QDir::separator().toLatin1() + "\r\n"));
}

void tst_SettingsStore::fileFromOtherWriters() {
    // Lower-case names, LF and CRLF mixed, comments, a duplicate that must not win.
    writeFile("; saved elsewhere\n[settings]\nport=8080\r\ntcpudpmode = 1\n"
              "WATCHSTRING0=  hi  \r\nresponsestring0=\"  there \"\r\nport=9\n"
              "[Settings]\r\nCreateLog=1\r\n");
    Window window(m_location);
    window.store.LoadSettings();
    QCOMPARE(window.controls.txtListenPort->text(), u"8080"_s);
    QCOMPARE(switchState(window.controls), u"UDP log0 ASCII auto0"_s);
    QCOMPARE(window.controls.txtWatchString[0]->text(), u"hi"_s);
    QCOMPARE(window.controls.txtResponseString[0]->text(), u"  there "_s);

    window.controls.txtListenPort->setText(u"7001"_s);
    window.store.SaveSettings();
    const QByteArray saved = fileBytes();
    QVERIFY(saved.startsWith("; saved elsewhere\n[settings]\nport=7001\r\ntcpudpmode=1\n"));
    QVERIFY(saved.contains(
        "responsestring0=\"  there \"\r\nport=9\nCreateLog=0\r\nReceiveMode=0\r\nLogPath="));
    QVERIFY(saved.endsWith("[Settings]\r\nCreateLog=1\r\n"));
}

QTEST_MAIN(tst_SettingsStore)
#include "tst_settings_store.moc"
