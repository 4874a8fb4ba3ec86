#include "app/main_window.h"
#include "listener/listener.h"
#include "log/folder_chooser.h"
#include "settings/settings_store.h"
#include "support/window_fixture.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

class tst_FolderChooser : public QObject {
    Q_OBJECT

private slots:
    void click_chosenFolder_setsPathWithOneTrailingSeparator_data();
    void click_chosenFolder_setsPathWithOneTrailingSeparator();
    void click_cancelled_keepsText_data();
    void click_cancelled_keepsText();
    void click_inWindow_doesNotWriteSettingsUntilStop();
};

void tst_FolderChooser::click_chosenFolder_setsPathWithOneTrailingSeparator_data() {
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("expected");

    const QString sep = QDir::separator();
    QTest::newRow("folder") << QDir::toNativeSeparators("/data/logs")
                            << QDir::toNativeSeparators("/data/logs") + sep;
    QTest::newRow("already ends with separator")
        << QDir::toNativeSeparators("/data/logs/") << QDir::toNativeSeparators("/data/logs/");
    QTest::newRow("root") << QDir::toNativeSeparators(QDir::rootPath())
                          << QDir::toNativeSeparators(QDir::rootPath());
    QTest::newRow("blank in name") << QDir::toNativeSeparators("/data/my logs ")
                                   << QDir::toNativeSeparators("/data/my logs ") + sep;
}

void tst_FolderChooser::click_chosenFolder_setsPathWithOneTrailingSeparator() {
    QFETCH(QString, chosen);
    QFETCH(QString, expected);

    QWidget window;
    Controls controls;
    controls.frmMain = &window;
    controls.txtLogPath = new QLineEdit(QStringLiteral("/old/"), &window);
    FolderChooser chooser(controls, [&](QWidget *, const QString &) { return chosen; });

    chooser.btnLogLocation_Click();

    QCOMPARE(controls.txtLogPath->text(), expected);
}

void tst_FolderChooser::click_cancelled_keepsText_data() {
    QTest::addColumn<QString>("before");
    QTest::newRow("a folder") << QStringLiteral("/var/log/sendrel/");
    QTest::newRow("design text") << QStringLiteral("[Path To Save Log File]");
    QTest::newRow("empty") << QString();
}

void tst_FolderChooser::click_cancelled_keepsText() {
    QFETCH(QString, before);

    QWidget window;
    Controls controls;
    controls.frmMain = &window;
    controls.txtLogPath = new QLineEdit(before, &window);
    FolderChooser chooser(controls, [](QWidget *, const QString &) { return QString(); });

    chooser.btnLogLocation_Click();

    QCOMPARE(controls.txtLogPath->text(), before);
}

void tst_FolderChooser::click_inWindow_doesNotWriteSettingsUntilStop() {
    WindowFixture f;
    f.pickedFolder = QDir::toNativeSeparators(QDir(f.folder()).filePath(QStringLiteral("picked")));
    const QString file = f.settingsFile();
    const bool existed = QFile::exists(file);
    QByteArray before;
    if (QFile in(file); in.open(QIODevice::ReadOnly))
        before = in.readAll();

    f.controls().btnLogLocation->click();

    QCOMPARE(f.pickerCalls, 1);
    QCOMPARE(f.controls().txtLogPath->text(), f.pickedFolder + QDir::separator());
    QCOMPARE(QFile::exists(file), existed);
    if (QFile in(file); in.open(QIODevice::ReadOnly))
        QCOMPARE(in.readAll(), before);

    f.window().listener().StopListening();
    QCOMPARE(ReadIniValue(file, QStringLiteral("Settings"), QStringLiteral("LogPath")),
             f.pickedFolder + QDir::separator());
}

QTEST_MAIN(tst_FolderChooser)
#include "tst_folder_chooser.moc"
