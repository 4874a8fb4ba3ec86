#include "settings/settings_store.h"
#include "support/file_bytes.h"
#include "support/program_fixture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

// The switches (check boxes by Value: 0, 1 or 2 for grey, '-' for left as it was) and the port.
QString loaded(const Settings &s) {
    return u"%1 log%2 %3 auto%4 port %5"_s.arg(s.udp ? u"UDP"_s : u"TCP"_s)
        .arg(int(s.createLog))
        .arg(s.httpRequests ? u"HTTP"_s : u"ASCII"_s)
        .arg(s.enableAutoRespond ? QString::number(*s.enableAutoRespond) : u"-"_s)
        .arg(s.port);
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
        const SettingsStore store(
            {programFolder.startsWith(u"/usr") ? programFolder : m_dir->path() + programFolder,
             m_location.userConfigFolder, m_location.userDataFolder});
        const QString home = m_dir->path() + u'/';
        QCOMPARE(store.settingsFilePath(),
                 (fallback ? home + u"config/"_s : home) + u"Sendrel_Settings.ini"_s);
        QCOMPARE(store.defaultLogFolder(),
                 (fallback ? home + u"data/"_s : home) + u"Sendrel_Logs/"_s);
        store.SaveSettings({});
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

        Settings saving;
        saving.watchStrings[0] = text;
        saving.responseStrings[6] = text;
        saving.port = u"x"_s + text;
        saving.logPath = text;
        const SettingsStore store(m_location);
        store.SaveSettings(saving);
        QVERIFY(store.problem().isEmpty());

        const Settings s = store.LoadSettings();
        QCOMPARE(s.watchStrings[0], watchText);
        QCOMPARE(s.responseStrings[6], watchText);
        QCOMPARE(s.watchStrings[1], QString());
        const QString dropped = QString(text).remove(u'\r').remove(u'\n').remove(QChar(u'\0'));
        QCOMPARE(s.port, u"x"_s + dropped);
        // An empty folder is stored empty, never as the root, and loads as the default.
        QCOMPARE(s.logPath,
                 dropped.isEmpty() ? store.defaultLogFolder() : dropped + QDir::separator());
    }

    // Every control starts away from its default; what is loaded is saved back as plain numbers,
    // and a new file holds every key in order.
    void switchesAndPort_data() {
        QTest::addColumn<QByteArray>("lines"); // '|' for a line break; "-": no file
        QTest::addColumn<QString>("expected");
        const char *const rows[][3] = {
            {"no file", "-", "TCP log0 ASCII auto0 port 7000"},
            {"numbers", "TcpUdpMode=1|CreateLog=7|ReceiveMode=00|EnableAutoRespond=7|Port=  8080 ",
             "UDP log1 HTTP auto- port 8080"},
            {"TRUE, grey", "TcpUdpMode=tRuE|CreateLog=True|ReceiveMode=TRUE|EnableAutoRespond=2",
             "UDP log1 HTTP auto2 port 7000"},
            {"FALSE, blanks", "TcpUdpMode=-1|ReceiveMode= 0 |EnableAutoRespond=FALSE|Port=   \t",
             "UDP log0 ASCII auto0 port 7000"},
            {"text, empty", "TcpUdpMode=abc|ReceiveMode=|EnableAutoRespond=\"\t1\"",
             "TCP log0 ASCII auto0 port 7000"}, // a control character first gives the default
            {"TRUE skipped", "ReceiveMode=FALSE|EnableAutoRespond=TRUE",
             "TCP log0 ASCII auto- port 7000"}, // the box stays as it was
        };
        for (const auto &row : rows)
            QTest::newRow(row[0]) << QByteArray(row[1]).replace('|', "\r\n")
                                  << QString::fromLatin1(row[2]);
    }

    void switchesAndPort() {
        QFETCH(QByteArray, lines);
        QFETCH(QString, expected);

        QVERIFY(lines == "-" || writeBytes(settingsPath(), "[Settings]\r\n" + lines + "\r\n"));
        const SettingsStore store(m_location);
        const Settings s = store.LoadSettings();
        QCOMPARE(loaded(s), expected);
        QCOMPARE(QFile::exists(settingsPath()), lines != "-");

        store.SaveSettings(s);
        QByteArray file =
            "[Settings]\r\nPort=7000\r\nTcpUdpMode=0\r\nCreateLog=0\r\nReceiveMode=0\r\nLogPath="
            + store.defaultLogFolder().toUtf8() + "\r\nEnableAutoRespond=0\r\n";
        for (const QByteArray i : {"0", "1", "2", "3", "4", "5", "6"})
            file += "WatchString" + i + "=\r\nResponseString" + i + "=\r\n";
        if (lines == "-")
            QCOMPARE(fileBytes(settingsPath()), file);
        QByteArray autoRespond = expected.section(u' ', 3, 3).mid(4).toLatin1();
        QVERIFY(fileBytes(settingsPath())
                    .contains("\r\nEnableAutoRespond=" + autoRespond.replace('-', '0') + "\r\n"));
        QCOMPARE(loaded(store.LoadSettings()), QString(expected).replace(u"auto-"_s, u"auto0"_s));
    }

    // The additions follow the response strings, only once switched on; absent means off.
    void additions_afterResponseStrings() {
        const SettingsStore store(m_location);
        Settings s = store.LoadSettings();
        QVERIFY(!s.showHex && !s.showTimeStamps && !s.sendAsHex);
        s.showHex = s.showTimeStamps = true;
        store.SaveSettings(s);
        QVERIFY(fileBytes(settingsPath())
                    .endsWith("ResponseString6=\r\nShowHex=1\r\nShowTimeStamps=1\r\n"));
        s = store.LoadSettings();
        QVERIFY(s.showHex && s.showTimeStamps && !s.sendAsHex);
        s.showHex = false;
        store.SaveSettings(s);
        QVERIFY(fileBytes(settingsPath()).endsWith("ShowHex=0\r\nShowTimeStamps=1\r\n"));
        QVERIFY(!store.LoadSettings().showHex);
    }

    // The network options: absent they read as the defaults; once changed they follow the
    // other additions and read back.
    void networkOptions() {
        const SettingsStore store(m_location);
        Settings s = store.LoadSettings();
        QCOMPARE(s.network, NetworkOptions());
        store.SaveSettings(s);
        QVERIFY(!fileBytes(settingsPath()).contains("Multicast"));
        NetworkOptions &n = s.network;
        n.listenAddress = QHostAddress(u"::"_s);
        n.multicastGroups = {QHostAddress(u"239.1.2.3"_s), QHostAddress(u"ff12::1"_s)};
        n.multicastInterface = u"lo"_s;
        n.allowBroadcast = n.sendFromListenPort = true;
        n.multicastTtl = 7;
        n.udpReceiveBufferKiB = 16384;
        store.SaveSettings(s);
        QVERIFY(fileBytes(settingsPath())
                    .endsWith("ResponseString6=\r\nListenAddress=::\r\nMulticastGroups=239.1.2.3,"
                              "ff12::1\r\nMulticastInterface=lo\r\nAllowBroadcast=1\r\n"
                              "MulticastTtl=7\r\nSendFromListenPort=1\r\n"
                              "UdpReceiveBuffer=16384\r\n"));
        QCOMPARE(store.LoadSettings().network, s.network);
    }

    // Pair options follow, only once changed.
    void pairOptions_storedOnceChanged() {
        const SettingsStore store(m_location);
        Settings s;
        s.pairOptions[2] = {MatchMode::Regex, true, false, 60000};
        store.SaveSettings(s);
        QVERIFY(fileBytes(settingsPath())
                    .endsWith("ResponseString6=\r\nWatchMode2=regex\r\nResponseHex2=1\r\n"
                              "ResponseLineEnd2=0\r\nResponseDelay2=60000\r\n"));
        QVERIFY(store.LoadSettings().pairOptions == s.pairOptions);
        s.pairOptions[2] = {};
        store.SaveSettings(s);
        QVERIFY(fileBytes(settingsPath())
                    .endsWith("WatchMode2=exact\r\nResponseHex2=0\r\nResponseLineEnd2=1\r\n"
                              "ResponseDelay2=0\r\n"));
        QVERIFY(store.LoadSettings().pairOptions == s.pairOptions);
    }

    // Every group of additions at once keeps its place after the others, and reads back whole.
    void additions_allInTheirOrder() {
        const SettingsStore store(m_location);
        Settings s;
        s.textZoom = 150;
        s.network.multicastTtl = 3;
        s.pairOptions[6].delayMs = 5;
        QVERIFY(parseRelayTarget(u"127.0.0.1:5020"_s, s.relay).isEmpty());
        s.relay.up = {20, 40, 0, 1000, 0};
        s.relay.down = {0, 0, 5, 0, 99};
        s.relay.targetTls = true;
        s.tls.enabled = s.clientTls.enabled = true;
        s.tls.caFile = s.clientTls.caFile = u"/tmp/ca.pem"_s;
        s.tls.certificateFile = u"/tmp/c.pem"_s;
        s.tls.keyFile = u"/tmp/k.pem"_s;
        s.tls.clientCertificates = ClientCertificates::Require;
        s.clientTls.insecure = true;
        s.clientTls.pin = QByteArray(32, '\x01');
        s.clientTls.alpn = {"h2"};
        store.SaveSettings(s);
        QCOMPARE(fileBytes(settingsPath()).mid(fileBytes(settingsPath()).indexOf("TextZoom")),
                 "TextZoom=150\r\nMulticastTtl=3\r\nResponseDelay6=5\r\nRelayTarget=127.0.0.1:"
                 "5020\r\nRelayDelayUp=20-40\r\nRelayRateUp=1000\r\nRelayDropDown=5\r\n"
                 "RelayCutDown=99\r\nRelayTargetTls=1\r\nTlsEnabled=1\r\nTlsCertificate=/tmp/"
                 "c.pem\r\nTlsKey=/tmp/k.pem\r\nTlsCa=/tmp/ca.pem\r\nTlsClientCertificates="
                 "require\r\nTlsSendEnabled=1\r\nTlsSendCa=/tmp/ca.pem\r\nTlsSendVerify=0\r\n"
                 "TlsSendPin="_ba
                     + QByteArray("01:").repeated(31) + "01\r\nTlsSendAlpn=h2\r\n");
        const Settings back = store.LoadSettings();
        QVERIFY(back.badValues.isEmpty());
        QCOMPARE(back.textZoom, 150);
        QCOMPARE(back.network, s.network);
        QVERIFY(back.pairOptions == s.pairOptions);
        QCOMPARE(back.relay, s.relay);
        QCOMPARE(back.tls, s.tls);
        QCOMPARE(back.clientTls, s.clientTls);
    }

    // A save gives the bytes the key-by-key writes gave: values replaced in place under the
    // file's spelling, new keys after the section's last key in the order written, other sections,
    // duplicates and line ends kept, and a Windows-1252 file kept in its code page while it can be.
    void saveKeepsTheFileFormat_data() {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("watch0");
        QTest::addColumn<QByteArray>("after");
        QByteArray tail; // what every save below appends to a file that lacks it
        for (const QByteArray i : {"2", "3", "4", "5", "6"})
            tail += "WatchString" + i + "=\r\nResponseString" + i + "=\r\n";
        tail += "ShowHex=1\r\nResponseDelay1=5\r\n";
        const auto all = [&tail](const QByteArray &watch0) {
            return "Port=8080\r\nTcpUdpMode=0\r\nCreateLog=0\r\nReceiveMode=0\r\nLogPath=/l/\r\n"
                   "EnableAutoRespond=0\r\nWatchString0="
                   + watch0 + "\r\nResponseString0=\r\nWatchString1=\r\nResponseString1=\" x \"\r\n"
                   + tail;
        };
        QTest::newRow("CRLF, duplicates, case, sections")
            << "; top\r\n[Other]\r\nPort=1\r\n[settings]\r\nport=1\r\nPort=2\r\n; c\r\n"
               "ResponseString1='old'\r\nShowTimeStamps=1\r\n\r\n[Settings]\r\nWatchString0=x\r\n"_ba
            << u"w"_s
            << "; top\r\n[Other]\r\nPort=1\r\n[settings]\r\nport=8080\r\nPort=2\r\n; c\r\n"
               "ResponseString1=\" x \"\r\nShowTimeStamps=0\r\nTcpUdpMode=0\r\nCreateLog=0\r\n"
               "ReceiveMode=0\r\nLogPath=/l/\r\nEnableAutoRespond=0\r\nWatchString0=w\r\n"
               "ResponseString0=\r\nWatchString1=\r\n"
                   + tail + "\r\n[Settings]\r\nWatchString0=x\r\n";
        QTest::newRow("LF, no final line break")
            << "[Settings]\nCreateLog=1\nEnableAutoRespond=2"_ba << u"w"_s
            << "[Settings]\nCreateLog=0\nEnableAutoRespond=0\r\nPort=8080\r\nTcpUdpMode=0\r\n"
               "ReceiveMode=0\r\nLogPath=/l/\r\nWatchString0=w\r\nResponseString0=\r\n"
               "WatchString1=\r\nResponseString1=\" x \"\r\n"
                   + tail;
        const QByteArray other = "[Other]\r\nk=\xe9\r\n[Settings]\r\n";
        QTest::newRow("Windows-1252 kept") << other << u"café"_s << other + all("caf\xe9");
        QTest::newRow("Windows-1252 until a value needs UTF-8")
            << other << u"日本"_s
            << "[Other]\r\nk=\xc3\xa9\r\n[Settings]\r\n" + all("\xe6\x97\xa5\xe6\x9c\xac");
        // The first key written leaves no byte that is not ASCII: the rest is written as UTF-8.
        QTest::newRow("Windows-1252 until it turns ASCII")
            << "[Settings]\r\nPort=\xe9\r\n"_ba << u"café"_s
            << "[Settings]\r\n" + all("caf\xc3\xa9");
    }
    void saveKeepsTheFileFormat() {
        QFETCH(QByteArray, before);
        QFETCH(QString, watch0);
        QFETCH(QByteArray, after);

        Settings s;
        s.port = u"8080"_s;
        s.logPath = u"/l"_s;
        s.watchStrings[0] = watch0;
        s.responseStrings[1] = u" x "_s;
        s.showHex = true;
        s.pairOptions[1].delayMs = 5;
        QVERIFY(writeBytes(settingsPath(), before));
        const SettingsStore store(m_location);
        store.SaveSettings(s);
        QVERIFY(store.problem().isEmpty());
        QCOMPARE(fileBytes(settingsPath()), after);
    }

    // A save is one write: a disk that fills up part way through leaves the old file whole, and
    // a save that changes nothing leaves the file alone.
    void saveIsOneWrite() {
        const QByteArray before = "[Settings]\r\nPort=1\r\n";
        QVERIFY(writeBytes(settingsPath(), before));
        const SettingsStore store(m_location);
        withFileSizeLimit(before.size() + 100, [&store] { store.SaveSettings({}); });
        QCOMPARE(fileBytes(settingsPath()), before);
        QVERIFY(store.problem().endsWith(u": File too large."_s));

        const auto inode = [this] {
            struct stat info {};
            return ::stat(QFile::encodeName(settingsPath()).constData(), &info) == 0 ? info.st_ino
                                                                                     : 0;
        };
        store.SaveSettings({});
        const auto saved = inode();
        store.SaveSettings({});
        QCOMPARE(inode(), saved);
        QVERIFY(store.problem().isEmpty());
    }

    // A value the program cannot use is told by its key and value, and a save leaves it in the
    // file (the operator may mend it there); the command line refuses the same values.
    void badValues_told_data() {
        QTest::addColumn<QByteArray>("lines"); // '|' for a line break; the last one is told
        QTest::addColumn<QString>("told");     // "KEY=VALUE in FILE: reason", FILE as %1
        const char *const rows[][2] = {
            {"Port=99999", "the port must be 0 to 65535"},
            {"Port=-1", "the port must be 0 to 65535"},
            {"ListenAddress=127.0.0.l", "127.0.0.l is not an IPv4 or IPv6 address"},
            {"MulticastGroups=239.1.1.1,10.0.0.1",
             "10.0.0.1 is not a multicast group (224.0.0.0/4 or ff00::/8)"},
            {"MulticastInterface=nosuch0", "there is no network interface named nosuch0"},
            {"AllowBroadcast=yes", "yes is neither 0 nor 1"},
            {"MulticastTtl=256", "the multicast TTL 256 is outside 0-255"},
            {"SendFromListenPort=2", "2 is neither 0 nor 1"},
            {"UdpReceiveBuffer=4k", "the receive buffer 4k is not a whole number of KiB"},
            {"WatchMode3=bogus", "the mode must be exact, contains, starts, ends, regex or hex"},
            {"ResponseHex3=2", "2 is neither 0 nor 1"},
            {"ResponseDelay3=99999999", "the delay must be 0 to 60000 ms"},
            {"WatchMode3=regex|WatchString3=(a",
             "Pattern error at offset 2: missing closing parenthesis"},
            {"WatchMode3=hex|WatchString3=4G", "Not valid hex at character 2: G"},
        };
        for (const auto &[lines, reason] : rows)
            QTest::newRow(lines) << QByteArray(lines).replace('|', "\r\n")
                                 << QString::fromLatin1(lines).section(u'|', -1) + u" in %1: "_s
                                        + reason;
    }
    void badValues_told() {
        QFETCH(QByteArray, lines);
        QFETCH(QString, told);
        QVERIFY(writeBytes(settingsPath(), "[Settings]\r\n" + lines + "\r\n"));
        const SettingsStore store(m_location);
        const Settings s = store.LoadSettings();
        QCOMPARE(s.badValues.size(), 1);
        QCOMPARE(s.badValues[0].text, told.arg(settingsPath()));
        QCOMPARE(s.badValues[0].key, told.section(u'=', 0, 0));
        store.SaveSettings(s);
        for (const QByteArray &line : lines.split('\r'))
            QVERIFY2(fileBytes(settingsPath()).contains("\n" + line.trimmed() + "\r\n"), line);
    }

    // In the window a bad listening address or interface fails Start by its name, never
    // listening on every address or taking the system's interface instead.
    void badValues_failStart_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("status");
        QTest::newRow("address") << "ListenAddress=127.0.0.l"_ba
                                 << u"ListenAddress=127.0.0.l: 127.0.0.l is not an IPv4 or IPv6 "
                                    "address"_s;
        QTest::newRow("interface")
            << "MulticastInterface=nosuch0"_ba << u"there is no network interface named nosuch0"_s;
    }
    void badValues_failStart() {
        QFETCH(QByteArray, line);
        QFETCH(QString, status);
        ProgramFixture f;
        QVERIFY(writeBytes(f.settingsFile(), "[Settings]\r\nPort=0\r\n" + line + "\r\n"));
        f.reopen(false);
        QCOMPARE(f.problems.size(), 1);
        QVERIFY2(f.problems[0].contains(QString::fromLatin1(line) + u" in "_s),
                 qPrintable(f.problems[0]));
        f.form().btnConnect.Click();
        QVERIFY(!f.form().btnDisconnect.Visible());
        QCOMPARE(f.form().lblStatus[0]->Text(), status);
        f.program().Form_Unload();
        QVERIFY(fileBytes(f.settingsFile()).contains("\r\n" + line + "\r\n"));
    }

    // Files from elsewhere, through the window: values of any length or code page come back
    // byte for byte after an open and a close; files that cannot be read or saved are told of
    // once and never replaced.
    void windowKeepsFilesItDidNotEdit_data() {
        QTest::addColumn<QByteArray>("file"); // "folder": a folder in its place
        QTest::addColumn<QString>("shown");   // the response box; null: the defaults are shown
        QTest::addColumn<QString>("problem"); // what the operator is told
        QTest::addColumn<bool>("fullDisk");   // the disk fills up while saving
        const QByteArray longValue(65'536, 'r');
        QTest::newRow("65,536 characters") << "[Settings]\r\nResponseString0=" + longValue + "\r\n"
                                           << QString(longValue) << QString() << false;
        QTest::newRow("Windows-1252") << "[Settings]\r\nResponseString0=caf\xe9 \xb0"
                                         "C \x80\x81\r\n"_ba
                                      << u"café °C €\u0081"_s << QString() << false;
        QTest::newRow("larger than the cap")
            << "[Settings]\r\nPort=1\r\n;" + QByteArray(1024 * 1024, 'x') << QString()
            << u"could not be read from %1: it is larger than 1024 KiB."_s << false;
        QTest::newRow("a folder") << "folder"_ba << QString()
                                  << u"could not be read from %1: it is not a regular file."_s
                                  << false;
        QTest::newRow("full disk") << "[Settings]\r\nResponseString0=v\r\n"_ba << u"v"_s
                                   << u"could not be saved to %1: File too large."_s << true;
    }
    void windowKeepsFilesItDidNotEdit() {
        QFETCH(QByteArray, file);
        QFETCH(QString, shown);
        QFETCH(QString, problem);
        QFETCH(bool, fullDisk);

        ProgramFixture f;
        const QString path = f.settingsFile();
        QVERIFY(file == "folder" ? QDir().mkpath(path) : writeBytes(path, file));
        f.reopen(false);
        QCOMPARE(f.form().txtResponseString[0]->Text(), shown.isNull() ? QString() : shown);
        if (fullDisk)
            withFileSizeLimit(file.size(), [&f] { f.program().Form_Unload(); });
        else
            f.program().Form_Unload();
        if (file != "folder")
            QCOMPARE(fileBytes(path).left(file.size()), file);
        // A file that cannot be read cannot be saved either; each is told once.
        QCOMPARE(f.problems.size(), problem.isEmpty() ? 0 : fullDisk ? 1 : 2);
        if (!problem.isEmpty())
            QCOMPARE(f.problems.first(), u"The settings "_s + problem.arg(path));
    }
};

QTEST_GUILESS_MAIN(tst_SettingsStore)
#include "tst_settings_store.moc"
