#include "model/form.h"

#include "runtime/leading_number.h"
#include "runtime/paths.h"

#include <cmath>

namespace {

QString indexed(const char *name, int index) {
    return QStringLiteral("%1(%2)").arg(QLatin1String(name)).arg(index);
}

template <std::size_t N>
void makeArray(std::array<Control *, N> &array, const char *name, QObject *owner) {
    for (int i = 0; i < int(N); ++i)
        array[i] = new Control(indexed(name, i), owner);
}

} // namespace

// Every control with its design values.
Form::Form(QObject *parent) : QObject(parent) {
    frmMain.setCaption(QStringLiteral("KVX Sendrel"));
    lblListenPort.setCaption(QStringLiteral("Port"));
    txtListenPort.setText(QStringLiteral("7000"));
    lblListenTCP.setCaption(QStringLiteral("TCP/UDP"));
    makeArray(optTCP, "optTCP", this);
    Control::joinOptions({optTCP[0], optTCP[1]});
    optTCP[0]->setCaption(QStringLiteral(" "));
    optTCP[0]->setValue(1);
    btnConnect.setCaption(QStringLiteral("Start"));
    btnDisconnect.setCaption(QStringLiteral("Stop"));
    btnDisconnect.hide();
    makeArray(lblStatus, "lblStatus", this);
    Command1.setCaption(QStringLiteral("Clear Data"));

    Label6.setCaption(QStringLiteral("Data Input Type:"));
    makeArray(optReceiveType, "optReceiveType", this);
    Control::joinOptions({optReceiveType[0], optReceiveType[1]});
    optReceiveType[0]->setCaption(QStringLiteral("General ASCII Text"));
    optReceiveType[1]->setCaption(
        QStringLiteral("HTTP Requests (Auto-Reply to GET/PUT with 404 msg. and reset connection)"));
    optReceiveType[0]->setValue(1);

    chkLogData.setCaption(QStringLiteral("Log Received Data To Text File"));
    Label2.setCaption(QStringLiteral("Log Text File Save Location"));
    txtLogPath.setText(QStringLiteral("[Path To Save Log File]"));
    btnLogLocation.setCaption(QStringLiteral("..."));

    Label1.setCaption(QStringLiteral("Data Received:"));
    txtNetData.setDesignHeight(FullLayout.receivedData);

    Label5.setCaption(QStringLiteral("Data To Send:"));
    lblSendIP.setCaption(QStringLiteral("Client Mode Send IP Address:"));
    txtSendIP.setText(QStringLiteral("192.168.1.100"));
    lblSendState.setCaption(QStringLiteral("0"));
    btnClearSendData.setCaption(QStringLiteral("Clear"));
    btnSendData.setCaption(SendDataCaption);

    chkEnableAutoRespond.setCaption(QStringLiteral("Enable AutoRespond"));
    Label3.setCaption(QStringLiteral("Watch String"));
    Label4.setCaption(QStringLiteral("Response String"));
    makeArray(txtWatchString, "txtWatchString", this);
    makeArray(txtResponseString, "txtResponseString", this);

    frmMain.setDesignHeight(FullLayout.form);
}

Form::~Form() = default;

QList<Control *> Form::sendAndRespondControls() {
    QList<Control *> list{&Label5,      &txtSendData,          &btnClearSendData,
                          &btnSendData, &chkEnableAutoRespond, &Label3,
                          &Label4};
    for (int i = 0; i < PairCount; ++i)
        list << txtWatchString[i] << txtResponseString[i];
    return list;
}

std::optional<int> listenPortNumber(const Form &form) {
    const double value = std::round(leadingNumber(form.txtListenPort.Text()));
    if (!(value >= 0 && value <= 65535))
        return std::nullopt;
    return int(value);
}

void setLogFolder(Form &form, const QString &folder) {
    form.txtLogPath.setText(withFinalSeparator(folder));
}
