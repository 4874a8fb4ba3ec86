#include "listener/listener.h"
#include "settings/settings_store.h"
#include "support/window_fixture.h"

#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

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
            after = f.controls().txtLogPath->text();
        f.controls().btnLogLocation->click();
        QCOMPARE(f.pickerCalls, 1);
        QCOMPARE(f.controls().txtLogPath->text(), after);
        QVERIFY(!QFile::exists(f.settingsFile()));
        f.window().listener().StopListening();
        QCOMPARE(ReadIniValue(f.settingsFile(), "Settings", "LogPath"), after);
    }
};

QTEST_MAIN(tst_FolderChooser)
#include "tst_folder_chooser.moc"
