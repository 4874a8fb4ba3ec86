#pragma once

#include "model/form.h"

#include <QString>

#include <array>

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QWidget;
class ReceivedData;
class ReceivedDataBox;

// The form is drawn in twips, its geometry here and its heights in the model alike; 15 twips make
// one device-independent pixel.
constexpr int pixelsFromTwips(int twips) {
    return (twips + 7) / 15;
}
constexpr int ClientWidthTwips = 9780;

// The window's widgets by the names of the controls they show, built once by the window and
// bound to the form model.
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
};

// Builds every control on `window` with its name (also as objectName), texts, flags, fonts,
// geometry and tab order, and the names, tips and descriptions a screen reader reads; the window
// ends up in the full layout's geometry. Names and initial texts are the form's controls' own;
// the received-data box shows the form's received data.
Controls buildControls(QWidget *window, Form &form);
