#include "settings/settings_form.h"

#include "model/form.h"
#include "settings/settings_store.h"

void showSettings(Form &c, Configuration &configuration, const Settings &s) {
    c.txtListenPort.setText(s.port);
    c.optTCP[s.udp ? 1 : 0]->setValue(1);
    c.chkLogData.setValue(s.createLog ? 1 : 0);
    c.optReceiveType[s.httpRequests ? 1 : 0]->setValue(1);
    setLogFolder(c, s.logPath);
    if (s.enableAutoRespond)
        c.chkEnableAutoRespond.setValue(*s.enableAutoRespond);
    for (int i = 0; i < PairCount; ++i) {
        c.txtWatchString[i]->setText(s.watchStrings[i]);
        c.txtResponseString[i]->setText(s.responseStrings[i]);
    }
    c.txtNetData.setShowHex(s.showHex);
    c.txtNetData.setShowTimeStamps(s.showTimeStamps);
    ListenerConfiguration stored = configuration.value();
    stored.network = s.network;
    stored.pairs = s.pairOptions;
    stored.relay = s.relay;
    stored.tls = s.tls;
    stored.clientTls = s.clientTls;
    configuration.setValue(stored);
}

Settings settingsFromForm(Form &c, const Configuration &configuration) {
    Settings s;
    s.port = c.txtListenPort.Text();
    s.udp = !c.optTCP[0]->isOn();
    s.createLog = c.chkLogData.Value() != 0;
    s.httpRequests = !c.optReceiveType[0]->isOn();
    setLogFolder(c, c.txtLogPath.Text());
    s.logPath = c.txtLogPath.Text();
    s.enableAutoRespond = c.chkEnableAutoRespond.Value();
    for (int i = 0; i < PairCount; ++i) {
        s.watchStrings[i] = c.txtWatchString[i]->Text();
        s.responseStrings[i] = c.txtResponseString[i]->Text();
    }
    s.showHex = c.txtNetData.options().hex;
    s.showTimeStamps = c.txtNetData.options().timeStamps;
    s.network = configuration.network();
    s.pairOptions = configuration.value().pairs;
    s.relay = configuration.relay();
    s.tls = configuration.tls();
    s.tls.keyPassphrase.clear();
    s.clientTls = configuration.clientTls();
    return s;
}
