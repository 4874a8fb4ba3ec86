#include "window/main_window.h"

#include "listener/listener.h"
#include "model/form.h"
#include "runtime/signal_relay.h"
#include "sender/file_send.h"
#include "sender/repeat_send.h"
#include "sender/send_target.h"
#include "sender/sender.h"
#include "window/file_send_dialog.h"
#include "window/form_binding.h"
#include "window/network_options_dialog.h"
#include "window/packet_menus.h"
#include "window/pair_menus.h"
#include "window/received_data_box.h"
#include "window/repeat_dialog.h"
#include "window/statistics_window.h"
#include "window/tls_dialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QIcon>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>

namespace {

const QKeySequence RepeatKeys(Qt::CTRL | Qt::Key_R);
// A label that changes with every send or chunk would otherwise be painted each time the event
// loop turns: a thousand times a second during a fast repeat.
constexpr int FrameMs = 16;

QIcon applicationIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/sendrel-%1.png").arg(size), QSize(size, size));
    return icon;
}

} // namespace

QString browseForFolderDialog(QWidget *owner, const QString &title) {
    // It opens at the top of the file system, not in whatever folder the program started in.
    const QString folder = QFileDialog::getExistingDirectory(owner, title, QDir::rootPath(),
                                                             QFileDialog::ShowDirsOnly);
    return folder.isEmpty() ? QString() : QDir::toNativeSeparators(folder);
}

MainWindow::MainWindow(WindowOptions options) : m_options(std::move(options)) {
    setWindowTitle(QStringLiteral("KVX Sendrel"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                   | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                   | Qt::WindowCloseButtonHint);
    setWindowIcon(applicationIcon());
    if (m_options.sessionEnd)
        connect(m_options.sessionEnd, &SignalRelay::received, this, &MainWindow::endSession);

    OperatorDialogs &dialogs = *this;
    m_program = std::make_unique<Program>(dialogs, m_options.program);
    Form &form = m_program->form();
    m_controls = buildControls(this, form);
    bindForm(form, m_controls);
    new PairMenus(form, program().configuration(), m_controls, this);
    m_packetMenus = new PacketMenus(program(), this);
    connect(m_controls.txtNetData, &ReceivedDataBox::chunkPacketRequested, m_packetMenus,
            &PacketMenus::saveBytes, Qt::QueuedConnection);
    connect(m_program.get(), &Program::layoutChanged, this, &MainWindow::showLayout);
    showLayout();

    m_controls.txtSendData->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_controls.txtSendData, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &at) { showSendBoxMenu(at); });
    for (QLineEdit *box : {m_controls.txtListenPort, m_controls.txtSendIP}) {
        box->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(box, &QWidget::customContextMenuRequested, this,
                [this, box](const QPoint &at) { showNetworkMenu(box, at); });
    }
    m_textZoom = new TextZoom(program().textZoom(), m_controls.txtNetData, m_controls.txtSendData);
    m_nextPaint = new QTimer(this);
    m_nextPaint->setSingleShot(true);
    connect(m_nextPaint, &QTimer::timeout, this, [this] {
        QEvent paint(QEvent::UpdateRequest);
        event(&paint);
    });
    new QShortcut(RepeatKeys, this, [this] { repeatSend(); });
    // One statistics window, opened again where it was.
    connect(m_controls.txtNetData, &ReceivedDataBox::statisticsRequested, this, [this] {
        auto *statistics = findChild<StatisticsWindow *>();
        if (!statistics)
            statistics = new StatisticsWindow(program().traffic(), this);
        statistics->start();
    });

    m_program->Form_Load();
    m_textZoom->show();
    qApp->installEventFilter(this);
    m_built = true;
}

// The program and its form go before the widgets, taking every binding with them.
MainWindow::~MainWindow() {
    qApp->removeEventFilter(this);
}

// The layout's heights are in twips.
void MainWindow::showLayout() {
    const LayoutHeights heights = layoutHeights(m_program->layout());
    setFixedSize(pixelsFromTwips(ClientWidthTwips), pixelsFromTwips(heights.form));
    ReceivedDataBox *box = m_controls.txtNetData;
    box->resize(box->width(), pixelsFromTwips(heights.receivedData));
}

// Qt's own editing entries, then the send box's additions.
void MainWindow::showSendBoxMenu(const QPoint &at) {
    QPlainTextEdit *box = m_controls.txtSendData;
    const std::unique_ptr<QMenu> menu(box->createStandardContextMenu());
    menu->setObjectName(QStringLiteral("sendBoxMenu"));
    menu->addSeparator();
    QAction *asHex = menu->addAction(QStringLiteral("Send as He&x"));
    asHex->setCheckable(true);
    asHex->setChecked(program().sender().sendAsHex());
    connect(asHex, &QAction::toggled, this,
            [this](bool on) { program().sender().setSendAsHex(on); });
    QAction *repeat =
        menu->addAction(program().repeatSend().running() ? QStringLiteral("Stop &Repeat")
                                                         : QStringLiteral("&Repeat Send..."));
    repeat->setShortcut(RepeatKeys);
    connect(repeat, &QAction::triggered, this, &MainWindow::repeatSend, Qt::QueuedConnection);
    // The same paths as "Send Data", so only while it could be pressed.
    QAction *sendFile = menu->addAction(QStringLiteral("Send &File..."));
    const FileSend &fileSend = program().fileSend();
    sendFile->setEnabled(sendCanStart(program().listener().state(), program().sender(), fileSend)
                         && !fileSend.running() && !program().repeatSend().running());
    menu->addSeparator();
    m_packetMenus->addToSendBoxMenu(menu.get());
    QAction *secure = menu->addAction(QStringLiteral("Secure (&TLS)..."));
    // The position comes in the viewport's coordinates, for the mouse and the Menu key alike.
    QAction *chosen = menu->exec(box->viewport()->mapToGlobal(at));
    if (chosen == sendFile)
        sendFileWithProgress(this, program().fileSend());
    else if (chosen == secure)
        openTlsOptions();
}

void MainWindow::showNetworkMenu(QLineEdit *box, const QPoint &at) {
    const std::unique_ptr<QMenu> menu(box->createStandardContextMenu());
    menu->setObjectName(QStringLiteral("networkMenu"));
    menu->addSeparator();
    QAction *secure = menu->addAction(QStringLiteral("&Secure (TLS)..."));
    QAction *options = menu->addAction(QStringLiteral("&Network Options..."));
    // The dialog opens once the menu is gone, not inside its loop.
    QAction *chosen = menu->exec(box->mapToGlobal(at));
    if (chosen == options)
        openNetworkOptions();
    else if (chosen == secure)
        openTlsOptions();
}

// As Network Options: OK stores what it changed at once; a certificate it makes goes beside the
// settings file.
void MainWindow::openTlsOptions() {
    Configuration &configuration = program().configuration();
    const QPointer<TlsDialog> dialog = new TlsDialog(
        configuration.tls(), configuration.clientTls(), program().listener().state().open(),
        QFileInfo(program().settings().settingsFilePath()).absolutePath(), this);
    const bool accepted = dialog->exec() == QDialog::Accepted;
    if (!dialog)
        return;
    if (accepted)
        m_program->saveChangesOf([&configuration, &dialog] {
            configuration.setTls(dialog->listenerOptions());
            configuration.setClientTls(dialog->clientOptions());
        });
    dialog->deleteLater();
}

QByteArray MainWindow::AskPassphrase(const QString &keyFile) {
    if (m_ending)
        return {};
    bool given = false;
    const QString passphrase = QInputDialog::getText(
        this, windowTitle(), QStringLiteral("Passphrase of the key %1:").arg(keyFile),
        QLineEdit::Password, QString(), &given);
    return given ? passphrase.toUtf8() : QByteArray();
}

// Modal, guarded as the message box is; OK stores at once the keys it changed.
void MainWindow::openNetworkOptions() {
    const QPointer<NetworkOptionsDialog> dialog = new NetworkOptionsDialog(
        program().configuration().network(), program().listener().state().open(), this);
    // Open, the listener keeps the protocol it started with.
    const ListenerState &listening = program().listener().state();
    dialog->showRelay(program().configuration().relay(),
                      listening.open() ? !listening.tcp : !program().form().optTCP[0]->isOn());
    const bool accepted = dialog->exec() == QDialog::Accepted;
    if (!dialog)
        return;
    if (accepted) {
        m_program->saveChangesOf([&configuration = program().configuration(), &dialog] {
            if (dialog->options() != configuration.network())
                configuration.setNetwork(dialog->options());
            if (dialog->relay() != configuration.relay())
                configuration.setRelay(dialog->relay());
        });
        m_program->saveFaults();
    }
    dialog->deleteLater();
}

void MainWindow::repeatSend() {
    RepeatSend &repeat = m_program->repeatSend();
    if (repeat.running()) {
        repeat.stop();
        return;
    }
    if (program().layout() != FormLayout::Full || program().fileSend().running())
        return;
    const QPointer<RepeatDialog> dialog = new RepeatDialog(m_repeatIntervalMs, m_repeatCount, this);
    const bool accepted = dialog->exec() == QDialog::Accepted;
    if (!dialog)
        return;
    dialog->deleteLater();
    if (!accepted)
        return;
    m_repeatIntervalMs = dialog->intervalMs();
    m_repeatCount = dialog->count();
    repeat.start(m_repeatIntervalMs, m_repeatCount);
}

void MainWindow::endSession() {
    m_ending = true;
    // Each box's own loop ends first; the window closes once its handler is back here.
    for (int open = 0; open < 100; ++open) {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            break;
        dialog->done(0);
    }
    if (m_built)
        QTimer::singleShot(0, this, [this] { QCoreApplication::exit(closeAfterEnd()); });
}

int MainWindow::closeAfterEnd() {
    close();
    return m_saveFailed ? 1 : 0;
}

// Modal, with one OK and no icon; on the heap and guarded, since closing the window while the
// box is open deletes it.
void MainWindow::MessageBox(const QString &text) {
    if (m_ending) {
        qWarning().noquote() << text;
        return;
    }
    const QPointer<QMessageBox> box =
        new QMessageBox(QMessageBox::NoIcon, windowTitle(), text, QMessageBox::Ok, this);
    box->setTextFormat(Qt::PlainText);
    box->exec();
    if (box)
        box->deleteLater();
}

QString MainWindow::BrowseForFolder(const QString &title) {
    return m_options.browseForFolder ? m_options.browseForFolder(this, title)
                                     : browseForFolderDialog(this, title);
}

void MainWindow::TellProblem(const QString &problem) {
    if (m_ending) { // already on stderr
        m_saveFailed = true;
        return;
    }
    if (m_options.reportProblem)
        m_options.reportProblem(problem);
    else
        MessageBox(problem);
}

// The window paints at most once a frame; what changed meanwhile is painted at the frame's end.
bool MainWindow::event(QEvent *event) {
    if (event->type() == QEvent::UpdateRequest) {
        if (m_lastPaint.isValid() && !m_lastPaint.hasExpired(FrameMs)) {
            if (!m_nextPaint->isActive())
                m_nextPaint->start(int(qMax<qint64>(0, FrameMs - m_lastPaint.elapsed())));
            return true;
        }
        m_lastPaint.start();
    }
    return QWidget::event(event);
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() != QEvent::KeyPress)
        return false;
    // A key press travels from the focused control up through its parents; only its first
    // stop counts, so each keystroke reaches Form_KeyPress once.
    QWidget *focus = QApplication::focusWidget();
    const bool focusHere = focus && focus->window() == this;
    if (watched != (focusHere ? static_cast<QObject *>(focus) : this))
        return false;
    const auto *key = static_cast<QKeyEvent *>(event);
    for (const QChar character : key->text())
        m_program->Form_KeyPress(character.unicode());
    // Ctrl+Return sends from the send box; a plain Return still breaks the line.
    const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
    if (enter && watched == m_controls.txtSendData
        && (key->modifiers() & ~Qt::KeypadModifier) == Qt::ControlModifier) {
        form().btnSendData.Click();
        return true;
    }
    return m_textZoom->zoomKey(*key);
}

void MainWindow::closeEvent(QCloseEvent *event) {
    m_program->Form_Unload();
    event->accept();
}
