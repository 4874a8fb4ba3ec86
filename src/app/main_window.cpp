#include "app/main_window.h"

#include "app/control_values.h"
#include "form/received_data_box.h"
#include "listener/listener.h"
#include "listener/receive_handler.h"
#include "listener/status_monitor.h"
#include "log/receive_log.h"
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "runtime/clock.h"
#include "runtime/paths.h"
#include "sender/sender.h"
#include "settings/settings_store.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

namespace {

constexpr int ClientWidth = 9780;
constexpr int CompactClientHeight = 7680;
constexpr int FullClientHeight = 12525;
constexpr int CompactNetDataHeight = 5520;
constexpr int FullNetDataHeight = 3420;
constexpr int KeyTilde = 126;
constexpr qint32 AppendWindow = 1000;

QIcon applicationIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/sendrel-%1.png").arg(size), QSize(size, size));
    return icon;
}

void setClientHeight(QWidget *window, int twips) {
    window->setFixedSize(pixelsFromTwips(ClientWidth), pixelsFromTwips(twips));
}

void setHeight(QWidget *widget, int twips) {
    widget->resize(widget->width(), pixelsFromTwips(twips));
}

// The send and auto-respond controls, in the order the layouts hide and show them.
QList<QWidget *> sendAndRespondControls(const Controls &c) {
    QList<QWidget *> list;
    list << c.Label5 << c.txtSendData << c.btnClearSendData << c.btnSendData
         << c.chkEnableAutoRespond << c.Label3 << c.Label4;
    for (size_t i = 0; i < c.txtWatchString.size(); ++i) {
        list.append(c.txtWatchString[i]);
        list.append(c.txtResponseString[i]);
    }
    return list;
}

} // namespace

MainWindow::MainWindow(WindowOptions options) {
    setWindowTitle(QStringLiteral("KVX Sendrel"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                   | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                   | Qt::WindowCloseButtonHint);
    setWindowIcon(applicationIcon());

    if (options.clock) {
        m_clock = options.clock;
    } else {
        m_ownClock = std::make_unique<SystemClock>();
        m_clock = m_ownClock.get();
    }
    m_controls = buildControls(this);
    setClientHeight(this, FullClientHeight);

    m_settings = std::make_unique<SettingsStore>(std::move(options.location));
    m_reportProblem = std::move(options.reportProblem);
    m_listener = std::make_unique<Listener>(m_controls, m_state, [this] { saveSettings(); });
    m_receiveHandler = std::make_unique<ReceiveHandler>(
        m_controls, m_state, *m_listener, [this](const QByteArray &data) { logReceivedData(data); },
        *m_clock);
    m_statusMonitor = std::make_unique<StatusMonitor>(m_controls, m_state, *m_listener);
    m_sender = std::make_unique<Sender>(m_controls, *m_clock);
    m_folderChooser = std::make_unique<FolderChooser>(
        m_controls, options.browseForFolder ? std::move(options.browseForFolder)
                                            : FolderChooser::Browser(BrowseForFolder));

    // Connected before loading, so the saved port text goes through the port box's own rule.
    connectHandlers();
    Form_Load();
    qApp->installEventFilter(this);
}

MainWindow::~MainWindow() {
    qApp->removeEventFilter(this);
    // The controls outlive the handlers; nothing they emit while dying may reach a handler.
    for (QObject *child : findChildren<QObject *>())
        child->disconnect(this);
}

void MainWindow::connectHandlers() {
    Controls &c = m_controls;
    Listener *listener = m_listener.get();
    ReceiveHandler *receiver = m_receiveHandler.get();
    StatusMonitor *monitor = m_statusMonitor.get();
    Sender *sender = m_sender.get();
    FolderChooser *chooser = m_folderChooser.get();

    connect(c.btnConnect, &QPushButton::clicked, this,
            [listener] { listener->btnConnect_Click(); });
    connect(c.btnDisconnect, &QPushButton::clicked, this,
            [listener] { listener->btnDisconnect_Click(); });
    connect(c.txtListenPort, &QLineEdit::textChanged, this,
            [listener] { listener->txtListenPort_Change(); });
    connect(c.listenSock, &SocketArray::ConnectionRequest, this,
            [listener](int index, qintptr requestID) {
                listener->listenSock_ConnectionRequest(index, requestID);
            });
    connect(c.listenSock, &SocketArray::Error, this,
            [listener](int index, int number, const QString &description, const QString &source) {
                listener->listenSock_Error(index, number, description, source);
            });
    connect(c.listenSock, &SocketArray::DataArrival, this,
            [receiver](int index, qint64 bytesTotal) {
                receiver->listenSock_DataArrival(index, bytesTotal);
            });
    connect(c.Command1, &QPushButton::clicked, this, [receiver] { receiver->Command1_Click(); });
    connect(c.tmrMain, &QTimer::timeout, this, [monitor] { monitor->tmrMain_Timer(); });
    connect(c.btnSendData, &QPushButton::clicked, this, [sender] { sender->btnSendData_Click(); });
    connect(c.tmrSendState, &QTimer::timeout, this, [sender] { sender->tmrSendState_Timer(); });
    connect(c.sendSock, &SocketControl::DataArrival, this,
            [sender](qint64 bytesTotal) { sender->sendSock_DataArrival(bytesTotal); });
    connect(c.sendSock, &SocketControl::Error, this,
            [sender](int number, const QString &description, const QString &source) {
                sender->sendSock_Error(number, description, source);
            });
    connect(c.btnClearSendData, &QPushButton::clicked, this,
            [sender] { sender->btnClearSendData_Click(); });
    connect(c.btnLogLocation, &QPushButton::clicked, this,
            [chooser] { chooser->btnLogLocation_Click(); });

    c.txtSendData->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(c.txtSendData, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &at) { showSendBoxMenu(at); });
}

void MainWindow::Form_Load() {
    setClientHeight(this, CompactClientHeight);
    setHeight(m_controls.txtNetData, CompactNetDataHeight);
    for (QWidget *control : sendAndRespondControls(m_controls))
        control->setVisible(false);
    m_state.LastDataTime = QStringLiteral("None");
    m_state.LastRemoteIP = QStringLiteral("None");
    m_state.AppendWindowMs = AppendWindow;
    loadSettings();
}

void MainWindow::loadSettings() {
    const Settings settings = m_settings->LoadSettings();
    showSettings(m_controls, settings);
    m_controls.txtNetData->setShowHex(settings.showHex);
    m_controls.txtNetData->setShowTimeStamps(settings.showTimeStamps);
    m_sender->setSendAsHex(settings.sendAsHex);
    reportProblem(m_settings->problem());
}

void MainWindow::saveSettings() {
    Settings settings = settingsFromControls(m_controls);
    settings.showHex = m_controls.txtNetData->showHex();
    settings.showTimeStamps = m_controls.txtNetData->showTimeStamps();
    settings.sendAsHex = m_sender->sendAsHex();
    m_settings->SaveSettings(settings);
    reportProblem(m_settings->problem());
}

// Qt's own editing entries, then the send box's additions.
void MainWindow::showSendBoxMenu(const QPoint &at) {
    QPlainTextEdit *box = m_controls.txtSendData;
    const std::unique_ptr<QMenu> menu(box->createStandardContextMenu());
    menu->setObjectName(QStringLiteral("sendBoxMenu"));
    menu->addSeparator();
    QAction *asHex = menu->addAction(QStringLiteral("Send as He&x"));
    asHex->setCheckable(true);
    asHex->setChecked(m_sender->sendAsHex());
    connect(asHex, &QAction::toggled, this, [this](bool on) { m_sender->setSendAsHex(on); });
    // The position comes in the viewport's coordinates, for the mouse and the Menu key alike.
    menu->exec(box->viewport()->mapToGlobal(at));
}

void MainWindow::logReceivedData(const QByteArray &data) {
    QLineEdit *pathBox = m_controls.txtLogPath;
    giveFinalSeparator(pathBox);
    const QString folder = absoluteFolder(pathBox->text(), m_settings->logBaseFolder());
    showLogResult(m_controls, ReceiveLog::LogReceivedData(folder, data, m_clock->now()));
}

void MainWindow::reportProblem(const QString &problem) {
    if (problem.isEmpty() || m_reportedProblems.contains(problem))
        return;
    m_reportedProblems.insert(problem);
    qWarning().noquote() << problem;
    if (m_reportProblem)
        m_reportProblem(problem);
    else
        QMessageBox(QMessageBox::NoIcon, windowTitle(), problem, QMessageBox::Ok, this).exec();
}

void MainWindow::Form_KeyPress(int key) {
    if (key != KeyTilde)
        return;
    setClientHeight(this, FullClientHeight);
    setHeight(m_controls.txtNetData, FullNetDataHeight);
    for (QWidget *control : sendAndRespondControls(m_controls))
        control->setVisible(true);
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
        Form_KeyPress(character.unicode());
    // Ctrl+Return sends from the send box; a plain Return still breaks the line.
    const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
    if (enter && watched == m_controls.txtSendData
        && (key->modifiers() & ~Qt::KeypadModifier) == Qt::ControlModifier) {
        if (m_controls.btnSendData->isEnabled())
            m_controls.btnSendData->click();
        return true;
    }
    return false;
}

void MainWindow::closeEvent(QCloseEvent *event) {
    m_listener->Form_Unload();
    event->accept();
}
