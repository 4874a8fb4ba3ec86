#pragma once

#include <QString>

#include <array>

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QTimer;
class QWidget;
class ReceivedDataBox;
class SocketArray;
class SocketControl;

// The send target's caption while the TCP listener has no peer; the listener and the sender
// both write it.
inline const QString NoPeerSendCaption =
    QStringLiteral("TCP Server Mode Send IP Address: Unavailable, no current connection");

// How many watch and response pairs the auto-respond section has.
inline constexpr int PairCount = 7;

// Design geometry is in twips; 15 twips make one device-independent pixel.
constexpr int pixelsFromTwips(int twips) {
    return (twips + 7) / 15;
}

// The window's control inventory: every control by its name, built once by the window.
// Subsystems reach the controls only through this struct.
//
// Controls that more than one class writes:
//   lblStatus(0)    Listener (start, stop, errors), StatusMonitor (idle and error texts)
//   lblStatus(1)    StatusMonitor only;  lblStatus(2)  Sender only (result of the last send)
//   lblSendIP, txtSendIP, btnSendData
//                   Listener (at every start and stop), Sender (send state at every tick)
//   txtNetData      ReceiveHandler (received chunks, replies, Clear Data), Sender (replies to
//                   a client send)
//   txtLogPath      the settings mapping (load, and the final separator on save), the window's
//                   log writer (final separator), FolderChooser (a picked folder)
//   txtListenPort   the settings mapping (load), Listener (its own normalisation, look)
//   optTCP, optReceiveType
//                   the settings mapping (load), Listener (enabled only while idle)
struct Controls {
    QWidget *frmMain = nullptr;

    QLabel *lblListenPort = nullptr;
    QLineEdit *txtListenPort = nullptr;
    QLabel *lblListenTCP = nullptr;
    QFrame *Frame4 = nullptr;
    std::array<QRadioButton *, 2> optTCP{};
    QPushButton *btnConnect = nullptr;
    QPushButton *btnDisconnect = nullptr;
    std::array<QLabel *, 3> lblStatus{};
    QPushButton *Command1 = nullptr;

    QLabel *Label6 = nullptr;
    std::array<QRadioButton *, 2> optReceiveType{};

    QCheckBox *chkLogData = nullptr;
    QLabel *Label2 = nullptr;
    QLineEdit *txtLogPath = nullptr;
    QPushButton *btnLogLocation = nullptr;

    QLabel *Label1 = nullptr;
    ReceivedDataBox *txtNetData = nullptr;

    QLabel *Label5 = nullptr;
    QPlainTextEdit *txtSendData = nullptr;
    QLabel *lblSendIP = nullptr;
    QLineEdit *txtSendIP = nullptr;
    QLabel *lblSendState = nullptr;
    QPushButton *btnClearSendData = nullptr;
    QPushButton *btnSendData = nullptr;

    QCheckBox *chkEnableAutoRespond = nullptr;
    QLabel *Label3 = nullptr;
    QLabel *Label4 = nullptr;
    std::array<QLineEdit *, PairCount> txtWatchString{};
    std::array<QLineEdit *, PairCount> txtResponseString{};

    QTimer *tmrMain = nullptr;
    QTimer *tmrSendState = nullptr;
    SocketArray *listenSock = nullptr;
    SocketControl *sendSock = nullptr;
};

// Builds every control on `window` with its name (also as objectName), texts, flags, fonts,
// geometry and tab order; the window ends up in the full layout's geometry.
Controls buildControls(QWidget *window);
