#pragma once

#include "model/configuration.h"
#include "model/control.h"
#include "model/form_layout.h"
#include "model/listener_state.h"
#include "model/pair_count.h"
#include "model/received_data.h"

#include <QObject>

#include <array>
#include <optional>

// The send button's caption while no repeat runs.
inline const QString SendDataCaption = QStringLiteral("Send Data");

// The window's state without the window: every control by its name with the values the
// handlers read and write and the five program-wide values. The window shows it; the command line
// drives it as an operator would. What the program shows of its state, FormPresenter writes; the
// operator's inputs are read where they are used.
class Form final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Form)

public:
    explicit Form(QObject *parent = nullptr);
    ~Form() override;

    Control frmMain{QStringLiteral("frmMain"), this};

    Control lblListenPort{QStringLiteral("lblListenPort"), this};
    Control txtListenPort{QStringLiteral("txtListenPort"), this};
    Control lblListenTCP{QStringLiteral("lblListenTCP"), this};
    std::array<Control *, 2> optTCP{};
    Control btnConnect{QStringLiteral("btnConnect"), this};
    Control btnDisconnect{QStringLiteral("btnDisconnect"), this};
    std::array<Control *, 3> lblStatus{};
    Control Command1{QStringLiteral("Command1"), this};

    Control Label6{QStringLiteral("Label6"), this};
    std::array<Control *, 2> optReceiveType{};

    Control chkLogData{QStringLiteral("chkLogData"), this};
    Control Label2{QStringLiteral("Label2"), this};
    Control txtLogPath{QStringLiteral("txtLogPath"), this};
    Control btnLogLocation{QStringLiteral("btnLogLocation"), this};

    Control Label1{QStringLiteral("Label1"), this};
    ReceivedData txtNetData{this};

    Control Label5{QStringLiteral("Label5"), this};
    // Line breaks are held as LF, whatever the operator typed or pasted.
    Control txtSendData{QStringLiteral("txtSendData"), this};
    Control lblSendIP{QStringLiteral("lblSendIP"), this};
    Control txtSendIP{QStringLiteral("txtSendIP"), this};
    Control lblSendState{QStringLiteral("lblSendState"), this};
    Control btnClearSendData{QStringLiteral("btnClearSendData"), this};
    Control btnSendData{QStringLiteral("btnSendData"), this};

    Control chkEnableAutoRespond{QStringLiteral("chkEnableAutoRespond"), this};
    Control Label3{QStringLiteral("Label3"), this};
    Control Label4{QStringLiteral("Label4"), this};
    std::array<Control *, PairCount> txtWatchString{};
    std::array<Control *, PairCount> txtResponseString{};

    // The send and auto-respond controls, which only the full layout shows.
    QList<Control *> sendAndRespondControls();
};

// The port box's number, 0-65535; nothing for any other text. The box's change handler keeps it
// a whole number, so this is the one reading of it.
std::optional<int> listenPortNumber(const Form &form);

// Puts a log folder in its box with its final separator. The one writer of the box besides the
// operator's typing: the settings load and save, the folder chooser and the logger all come here.
void setLogFolder(Form &form, const QString &folder);
