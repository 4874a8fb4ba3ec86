#include "listener/listener.h"
#include "listener/relay.h"
#include "net/certificate_files.h"
#include "sender/repeat_send.h"
#include "settings/fault_file.h"
#include "support/file_bytes.h"
#include "support/when_shown.h"
#include "support/window_fixture.h"
#include "window/fault_dialog.h"
#include "window/network_options_dialog.h"
#include "window/received_data_box.h"
#include "window/repeat_dialog.h"
#include "window/statistics_window.h"
#include "window/text_zoom.h"
#include "window/tls_dialog.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QUdpSocket>
#include <QWheelEvent>

#include <functional>
#include <memory>

Q_DECLARE_METATYPE(PairOptions)

// What the window's menus, keys and dialogs reach beyond its controls: the pairs' options, the
// text zoom, the network options, a repeated send and the statistics.
class tst_WindowMenus : public QObject {
    Q_OBJECT

    std::unique_ptr<WindowFixture> m_fixture;
    Controls &c() { return m_fixture->controls(); }
    MainWindow &window() { return m_fixture->window(); }

    // Picks `path` in the context menu `box` opens for the Menu key, as the operator would.
    static void choose(QWidget *box, const QStringList &path) {
        QTimer::singleShot(0, box, [path] {
            auto *top = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            QMenu *menu = top;
            for (const QString &step : path) {
                QAction *action = nullptr;
                for (QAction *entry : menu ? menu->actions() : QList<QAction *>())
                    action = QString(entry->text()).remove(u'&') == step ? entry : action;
                if (!action)
                    break;
                action->menu() ? void(menu = action->menu()) : action->trigger();
            }
            if (top)
                top->close();
        });
        QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(4, 4),
                                box->mapToGlobal(QPoint(4, 4)));
        QApplication::sendEvent(box, &event);
    }

private slots:
    void init() { m_fixture = std::make_unique<WindowFixture>(); }
    void cleanup() { m_fixture.reset(); }

    // Each pair's options from its boxes' menus; the watch box tells them at a glance.
    void pairMenus_setOptions_data() {
        QTest::addColumn<bool>("watchBox");
        QTest::addColumn<QStringList>("path");
        QTest::addColumn<PairOptions>("options");
        QTest::addColumn<QString>("tag");
        QTest::newRow("regex") << true << QStringList{"Match", "Regular Expression"}
                               << PairOptions{MatchMode::Regex, false, true, 0} << "regex";
        QTest::newRow("hex response")
            << false << QStringList{"Response as Hex"}
            << PairOptions{MatchMode::Exact, true, true, 0} << "exact hex out";
        QTest::newRow("no line end")
            << false << QStringList{"Add Line End (CR LF)"}
            << PairOptions{MatchMode::Exact, false, false, 0} << "exact no CR LF";
        QTest::newRow("delay") << false << QStringList{"Delay..."}
                               << PairOptions{MatchMode::Exact, false, true, 250} << "exact 250 ms";
    }
    void pairMenus_setOptions() {
        QFETCH(bool, watchBox);
        QFETCH(QStringList, path);
        QFETCH(PairOptions, options);
        QFETCH(QString, tag);
        m_fixture->showFullLayout();
        QTimer answer; // the delay dialog, once it opens
        connect(&answer, &QTimer::timeout, this, [] {
            if (auto *dialog = qobject_cast<QInputDialog *>(QApplication::activeModalWidget())) {
                dialog->setIntValue(250);
                dialog->accept();
            }
        });
        answer.start(10);
        choose(watchBox ? c().txtWatchString[2] : c().txtResponseString[2], path);
        QTRY_COMPARE(m_fixture->window().program().configuration().pairOptions(2), options);
        auto *label = c().txtWatchString[2]->findChild<QLabel *>();
        QVERIFY(label->isVisibleTo(&window()));
        QCOMPARE(label->text(), tag);
        QVERIFY(c().txtWatchString[2]->accessibleDescription().startsWith(u"Match: "));
        QVERIFY(m_fixture->window().program().configuration().pairOptions(1) == PairOptions());
        QVERIFY(!c().txtWatchString[1]->findChild<QLabel *>()->isVisibleTo(&window()));
    }

    // A pattern that does not compile turns its box red, the reason in its tip.
    void pairMenus_badPatternShowsRed() {
        m_fixture->showFullLayout();
        choose(c().txtWatchString[0], {"Match", "Regular Expression"});
        QTest::keyClicks(c().txtWatchString[0], "(a");
        QCOMPARE(c().txtWatchString[0]->palette().color(QPalette::Text), QColor(Qt::red));
        QVERIFY(c().txtWatchString[0]->toolTip().startsWith(u"Pattern error at offset 2"));
        c().txtWatchString[0]->setText(QStringLiteral("a"));
        QCOMPARE(c().txtWatchString[0]->toolTip(), u"Match: Regular Expression");
    }

    // Ctrl+Plus (or Ctrl+=), Ctrl+Minus, Ctrl+0 and Ctrl+wheel zoom both boxes, the hex view in
    // its fixed-pitch font; the zoom is kept once it is not 100 %.
    void textZoom_keysWheelAndSettings_data() {
        QTest::addColumn<QString>("keys"); // + = - 0 as with Ctrl; w W: Ctrl+wheel up, down
        QTest::addColumn<int>("zoom");
        QTest::newRow("plus") << "++" << 120;
        QTest::newRow("equals") << "=" << 110;
        QTest::newRow("minus") << "-" << 90;
        QTest::newRow("back to normal") << "++0" << 100;
        QTest::newRow("smallest") << QString(8, u'-') << 50;
        QTest::newRow("largest") << QString(40, u'+') << 400;
        QTest::newRow("wheel") << "wwW" << 110;
    }
    void textZoom_keysWheelAndSettings() {
        QFETCH(QString, keys);
        QFETCH(int, zoom);
        const qreal points = c().txtSendData->font().pointSizeF();
        window().form().txtNetData.setShowHex(true);
        const QHash<QChar, Qt::Key> keyOf{
            {u'+', Qt::Key_Plus}, {u'=', Qt::Key_Equal}, {u'-', Qt::Key_Minus}, {u'0', Qt::Key_0}};
        for (const QChar key : keys) {
            if (keyOf.contains(key)) {
                QTest::keyClick(&window(), keyOf[key], Qt::ControlModifier);
                continue;
            }
            QWidget *viewport =
                key == u'w' ? c().txtNetData->viewport() : c().txtSendData->viewport();
            QWheelEvent wheel({5, 5}, viewport->mapToGlobal(QPoint(5, 5)), {},
                              {0, key == u'w' ? 120 : -120}, Qt::NoButton, Qt::ControlModifier,
                              Qt::NoScrollPhase, false);
            QApplication::sendEvent(viewport, &wheel);
        }
        for (bool reopened : {false, true}) {
            QCOMPARE(window().program().textZoom(), zoom);
            QCOMPARE(c().txtSendData->font().pointSizeF(), points * zoom / 100);
            QCOMPARE(c().txtNetData->font().pointSizeF(), points * zoom / 100);
            QVERIFY(hasEvenAdvances(c().txtNetData->font()));
            if (!reopened)
                m_fixture->reopen();
        }
        QFile file(m_fixture->settingsFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll().contains("TextZoom=" + QByteArray::number(zoom)), zoom != 100);
    }

    // From the port box's menu: a bad address is told in the dialog, and OK takes the rest to
    // the form and the settings file at once.
    void networkOptions_dialogToFormAndSettings() {
        bool checked = false;
        whenShown<QMenu>(this, [](QMenu *menu) {
            menu->setActiveAction(menu->actions().constLast());
            QTest::keyClick(menu, Qt::Key_Return);
        });
        whenShown<NetworkOptionsDialog>(this, [&checked](NetworkOptionsDialog *dialog) {
            const auto field = [dialog](const char *name) {
                return dialog->findChild<QWidget *>(name);
            };
            QVERIFY(field("listenAddress")->isEnabled());
            static_cast<QComboBox *>(field("listenAddress"))->setCurrentText("127.1");
            static_cast<QLineEdit *>(field("multicastGroups"))->setText("239.1.2.3");
            static_cast<QCheckBox *>(field("allowBroadcast"))->setChecked(true);
            QPushButton *ok = dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok);
            ok->click();
            QCOMPARE(static_cast<QLabel *>(field("problem"))->text(),
                     "127.1 is not an IPv4 or IPv6 address");
            static_cast<QComboBox *>(field("listenAddress"))->setCurrentText("");
            checked = true;
            ok->click();
        });
        emit c().txtListenPort->customContextMenuRequested({2, 2});
        QVERIFY(checked);
        NetworkOptions expected;
        expected.multicastGroups = {QHostAddress("239.1.2.3")};
        expected.allowBroadcast = true;
        QCOMPARE(window().program().configuration().network(), expected);
        QFile file(m_fixture->settingsFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray saved = file.readAll();
        QVERIFY2(saved.contains("MulticastGroups=239.1.2.3\r\nAllowBroadcast=1\r\n"), saved);
    }

    // The relay's fields in the same dialog: a bad target is told; OK takes the target and each
    // way's faults to the configuration and the settings file.
    void networkOptions_relayFields() {
        whenShown<QMenu>(this, [](QMenu *menu) {
            menu->setActiveAction(menu->actions().constLast());
            QTest::keyClick(menu, Qt::Key_Return);
        });
        whenShown<NetworkOptionsDialog>(this, [](NetworkOptionsDialog *dialog) {
            const auto field = [dialog](const char *name) {
                return dialog->findChild<QLineEdit *>(name);
            };
            field("relayTarget")->setText("10.0.0.5");
            field("relayFault0Up")->setText("50-150");
            field("relayFault1Down")->setText("10");
            QPushButton *ok = dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok);
            ok->click();
            QCOMPARE(dialog->findChild<QLabel *>("problem")->text(), "Relay target: no HOST:PORT");
            field("relayTarget")->setText("10.0.0.5:502");
            ok->click();
        });
        emit c().txtListenPort->customContextMenuRequested({2, 2});
        RelayOptions expected;
        expected.targetHost = "10.0.0.5";
        expected.targetPort = 502;
        expected.up.delayMinMs = 50;
        expected.up.delayMaxMs = 150;
        expected.down.dropPercent = 10;
        QCOMPARE(window().program().configuration().relay(), expected);
        QFile file(m_fixture->settingsFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray saved = file.readAll();
        QVERIFY2(saved.contains("RelayTarget=10.0.0.5:502\r\nRelayDelayUp=50-150\r\n"
                                "RelayDropDown=10\r\n"),
                 saved);
    }

    // The named faults in the same dialog: Add opens a fault's own dialog, which tells a value
    // out of range; OK gives the relay the list at once and writes the faults file, and Remove
    // takes the fault out of both again.
    void networkOptions_namedFaults() {
        const auto ok = [](QDialog *dialog) {
            dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
        };
        const auto inOptions = [this](const std::function<void(NetworkOptionsDialog *)> &work) {
            whenShown<QMenu>(this, [](QMenu *menu) {
                menu->setActiveAction(menu->actions().constLast());
                QTest::keyClick(menu, Qt::Key_Return);
            });
            whenShown<NetworkOptionsDialog>(this, work);
            emit c().txtListenPort->customContextMenuRequested({2, 2});
        };
        inOptions([this, ok](NetworkOptionsDialog *dialog) {
            whenShown<FaultDialog>(this, [ok](FaultDialog *fault) {
                fault->findChild<QLineEdit *>("faultName")->setText("lag");
                fault->findChild<QComboBox *>("faultStream")->setCurrentIndex(1);
                fault->findChild<QLineEdit *>("faultValue0")->setText("3600001");
                ok(fault);
                QCOMPARE(fault->findChild<QLabel *>("faultProblem")->text(),
                         "latency is a whole number from 0 to 3600000 ms.");
                fault->findChild<QLineEdit *>("faultValue0")->setText("120");
                ok(fault);
            });
            dialog->findChild<QPushButton *>("addFault")->click();
            auto *table = dialog->findChild<QTreeWidget *>("relayFaults");
            QCOMPARE(table->topLevelItem(0)->text(3), "latency 120 ms");
            table->topLevelItem(0)->setCheckState(0, Qt::Unchecked);
            ok(dialog);
        });
        Fault lag;
        lag.name = "lag";
        lag.up = true;
        lag.enabled = false;
        lag.values[0] = 120;
        QCOMPARE(window().program().relay().options().faults, QList<Fault>{lag});
        const QString file = FaultFile::besideSettings(m_fixture->settingsFile());
        QVERIFY(fileBytes(file).startsWith("[lag]\ntype = latency\nstream = upstream\n"));
        inOptions([ok](NetworkOptionsDialog *dialog) {
            auto *table = dialog->findChild<QTreeWidget *>("relayFaults");
            table->setCurrentItem(table->topLevelItem(0));
            dialog->findChild<QPushButton *>("removeFault")->click();
            ok(dialog);
        });
        QVERIFY(window().program().relay().options().faults.isEmpty());
        QCOMPARE(fileBytes(file), "");
    }

    // From the port box's menu: OK refuses a secure listener without files and a bad pin; the
    // certificate made on request fills both files, and OK stores the options at once.
    void secureOptions_dialogMakesCertificateAndStores() {
        bool checked = false;
        whenShown<QMenu>(this, [](QMenu *menu) {
            menu->setActiveAction(menu->actions().at(menu->actions().size() - 2));
            QTest::keyClick(menu, Qt::Key_Return);
        });
        whenShown<TlsDialog>(this, [&checked](TlsDialog *dialog) {
            const auto box = [dialog](const char *name) {
                return dialog->findChild<QLineEdit *>(name);
            };
            const auto problem = [dialog] {
                return dialog->findChild<QLabel *>("problem")->text();
            };
            QPushButton *ok = dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok);
            dialog->findChild<QCheckBox *>("tlsEnabled")->setChecked(true);
            ok->click();
            QCOMPARE(problem(), "A secure listener needs a certificate file and its key file.");
            dialog->findChild<QPushButton *>("makeCertificate")->click();
            const QString made = dialog->findChild<QLabel *>("fingerprint")->text();
            QVERIFY2(made.startsWith("Made. SHA-256 fingerprint:\n"), qPrintable(made));
            QVERIFY(QFile::exists(box("tlsCertificate")->text()));
            QVERIFY(QFile::exists(box("tlsKey")->text()));
            dialog->findChild<QComboBox *>("tlsVerify")->setCurrentIndex(2);
            box("tlsPin")->setText("AB:CD");
            ok->click();
            QVERIFY(dialog->isVisible() && !problem().isEmpty());
            box("tlsPin")->setText(made.section(u'\n', 1));
            checked = true;
            ok->click();
        });
        emit c().txtListenPort->customContextMenuRequested({2, 2});
        QVERIFY(checked);
        const Configuration &configuration = window().program().configuration();
        QVERIFY(configuration.tls().enabled
                && configuration.tls().keyFile.startsWith(m_fixture->folder()));
        QCOMPARE(configuration.clientTls().pin.size(), 32);
        QFile file(m_fixture->settingsFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray saved = file.readAll();
        QVERIFY2(saved.contains("TlsEnabled=1\r\n"), saved);
        c().btnConnect->click();
        QTRY_VERIFY(window().program().listener().state().open());
    }

    // A key locked with a passphrase asks for it at Start; a wrong one fails the start and is
    // asked for again the next time, and Cancel starts nothing.
    void secureListener_asksForThePassphrase() {
        const QString folder = m_fixture->folder();
        const MadeCertificate made = makeSelfSignedCertificate(folder, "sendrel-test");
        QVERIFY(made.error.isEmpty());
        const QString locked = folder + "/locked.pem";
        QCOMPARE(QProcess::execute("openssl", {"pkey", "-in", made.keyFile, "-aes256", "-passout",
                                               "pass:right", "-out", locked}),
                 0);
        TlsOptions options;
        options.enabled = true;
        options.certificateFile = made.certificateFile;
        options.keyFile = locked;
        window().program().configuration().setTls(options);
        const Listener &listener = window().program().listener();
        QStringList asked;
        for (const char *typed : {"wrong", static_cast<const char *>(nullptr), "right"}) {
            whenShown<QInputDialog>(this, [&asked, typed](QInputDialog *dialog) {
                asked << dialog->labelText();
                if (typed)
                    dialog->setTextValue(typed);
                typed ? dialog->accept() : dialog->reject();
            });
            c().btnConnect->click();
            QTRY_COMPARE(listener.state().phase,
                         typed && *typed == 'r' ? ListenerPhase::Listening : ListenerPhase::Failed);
        }
        QCOMPARE(asked, QStringList(3, "Passphrase of the key " + locked + ":"));
        QVERIFY(listener.state().open());
    }

    // Ctrl+R asks for the interval and count; the button then reads "Stop Repeat" and stops it.
    void repeatSend_keyDialogAndButton_data() {
        QTest::addColumn<bool>("full");
        QTest::newRow("full layout") << true;
        // Only the full layout has a send box to repeat.
        QTest::newRow("compact layout") << false;
    }
    void repeatSend_keyDialogAndButton() {
        QFETCH(bool, full);
        full ? m_fixture->showFullLayout() : void(m_fixture->showWithFocus(c().txtListenPort));
        QUdpSocket peer;
        QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
        window().form().txtSendIP.setText("127.0.0.1");
        window().form().optTCP[1]->setValue(1);
        window().form().txtListenPort.setText(QString::number(peer.localPort()));
        window().form().txtSendData.setText("beat");
        QObject looking;
        bool asked = false;
        whenShown<RepeatDialog>(&looking, [&asked](RepeatDialog *dialog) {
            asked = true;
            dialog->findChild<QSpinBox *>("repeatInterval")->setValue(20);
            QCOMPARE(dialog->findChild<QSpinBox *>("repeatCount")->text(), "Until stopped");
            dialog->accept();
        });
        QTest::keyClick(full ? static_cast<QWidget *>(c().txtSendData) : c().txtListenPort,
                        Qt::Key_R, Qt::ControlModifier);
        QCOMPARE(asked, full);
        if (!full)
            return;
        QCOMPARE(c().btnSendData->text(), "Stop Repeat");
        QTRY_VERIFY(peer.hasPendingDatagrams());
        c().btnSendData->click();
        QCOMPARE(c().btnSendData->text(), "Send Data");
        QVERIFY(!window().program().repeatSend().running());
    }

    // "Statistics..." opens one window, however often chosen: every stop in it named, counts
    // grouped by thousands, Reset zeroes the counters.
    void statistics_oneNamedWindowResets() {
        window().program().traffic().countReceived(1234567);
        window().program().traffic().countFaultActs("lag", 1234);
        window().program().traffic().countFaultActs("idle", 0);
        for (int i = 0; i < 2; ++i)
            choose(c().txtNetData, {"Statistics..."});
        const auto shown = window().findChildren<StatisticsWindow *>();
        QCOMPARE(shown.size(), 1);
        QVERIFY(shown[0]->isVisible() && !shown[0]->isModal());
        QLabel *received = nullptr;
        QPushButton *reset = nullptr;
        QStringList faultRows;
        for (QWidget *widget : shown[0]->findChildren<QWidget *>()) {
            const QString name =
                QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
            QVERIFY(!(widget->focusPolicy() & Qt::TabFocus) || !name.isEmpty());
            received = name == "Bytes received" ? qobject_cast<QLabel *>(widget) : received;
            reset = name == "Reset the counters" ? qobject_cast<QPushButton *>(widget) : reset;
            if (name.startsWith("Fault ") && !name.endsWith(u':')) // not the caption
                faultRows.append(name + ' ' + qobject_cast<QLabel *>(widget)->text());
        }
        QVERIFY(received && reset);
        QCOMPARE(received->text(), "1,234,567");
        QCOMPARE(faultRows, QStringList{"Fault lag 1,234"}); // only a fault that acted
        reset->click();
        QCOMPARE(received->text(), "0");
        for (const QLabel *label : shown[0]->findChildren<QLabel *>())
            QVERIFY(!label->accessibleName().startsWith("Fault ")); // a reset takes its row
        QCOMPARE(window().program().traffic().snapshot().receivedBytes, 0);
    }
};

QTEST_MAIN(tst_WindowMenus)
#include "tst_window_menus.moc"
