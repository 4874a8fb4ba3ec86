#include "listener/listener.h"
#include "settings/ini_value.h"
#include "support/loopback.h"
#include "support/window_fixture.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

using namespace Qt::StringLiterals;

class tst_FolderChooser : public QObject {
    Q_OBJECT

private slots:
    void click_data() {
        QTest::addColumn<QString>("chosen"); // empty: the picker was cancelled
        QTest::addColumn<QString>("after");  // null: unchanged
        // clang-format off
        QTest::newRow("folder") << "/data/logs" << "/data/logs/";
        QTest::newRow("ends with separator") << "/data/logs/" << "/data/logs/";
        QTest::newRow("root") << QDir::rootPath() << QDir::rootPath();
        QTest::newRow("blank at end") << "/data/my logs " << "/data/my logs /";
        QTest::newRow("cancelled") << "" << QString();
        // clang-format on
    }
    // The folder reaches the settings file with the next stop, not before.
    void click() {
        QFETCH(QString, chosen);
        QFETCH(QString, after);
        WindowFixture f;
        f.pickedFolder = chosen;
        if (after.isNull())
            after = f.form().txtLogPath.Text();
        f.form().btnLogLocation.Click();
        QCOMPARE(f.pickerCalls, 1);
        QCOMPARE(f.form().txtLogPath.Text(), after);
        QVERIFY(!QFile::exists(f.settingsFile()));
        f.window().program().listener().StopListening();
        QCOMPARE(ReadIniValue(f.settingsFile(), "Settings", "LogPath"), after);
    }

    // The system's picker opens at the top of the file system, whatever the working folder.
    void systemPicker_startsAtTheTop() {
        QString shown;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&shown] {
            if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
                shown = dialog->directory().absolutePath();
                dialog->reject();
            }
        });
        poll.start(20);
        QCOMPARE(browseForFolderDialog(nullptr, u"Select a folder"_s), QString());
        QCOMPARE(shown, QDir::rootPath());
    }

    // The log folder as a Linux user types it: "~" is home, a relative folder starts at the
    // program's folder, and a pasted line break is gone from the box before it is used.
    void typedLogFolder_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("used"); // below the fixture's folder
        QTest::newRow("home") << u"~/logs/"_s << u"~/logs/"_s << u"home/logs/"_s;
        QTest::newRow("relative") << u"rel/logs"_s << u"rel/logs/"_s << u"rel/logs/"_s;
        QTest::newRow("pasted line break") << u"pas\r\nted/"_s << u"pasted/"_s << u"pasted/"_s;
    }
    void typedLogFolder() {
        QFETCH(QString, typed);
        QFETCH(QString, box);
        QFETCH(QString, used);
        WindowFixture f;
        const QByteArray home = qgetenv("HOME");
        qputenv("HOME", QFile::encodeName(f.folder() + u"/home"_s));
        QDir::setCurrent(QDir::tempPath());
        const quint16 port = startListener(f.form(), false);
        f.form().chkLogData.setValue(1);
        f.controls().txtLogPath->setText(typed); // as typed or pasted into the box
        QUdpSocket peer;
        peer.writeDatagram("logged", QHostAddress::LocalHost, port);
        const QString file = f.folder() + u'/' + used + u"SendrelLog_12052026.txt"_s;
        QTRY_VERIFY(QFile::exists(file));
        qputenv("HOME", home);
        QCOMPARE(f.form().txtLogPath.Text(), box);
        f.window().program().listener().StopListening();
        QCOMPARE(ReadIniValue(f.settingsFile(), "Settings", "LogPath"), box);
    }
};

QTEST_MAIN(tst_FolderChooser)
#include "tst_folder_chooser.moc"
